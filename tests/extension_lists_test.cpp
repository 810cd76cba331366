#include <gtest/gtest.h>

#include "results/extension_lists.h"

namespace velmira {
namespace {

TEST(ExtensionLists, ListsAreBarTerminatedLowerCaseItems) {
  for (std::string_view list : {kPhotoExtensions, kAudioExtensions, kVideoExtensions,
                                kDocumentExtensions, kArchiveExtensions}) {
    ASSERT_EQ(list.substr(0, 2), "*.");
    EXPECT_EQ(list.back(), '|');
    for (char c : list) EXPECT_FALSE(c >= 'A' && c <= 'Z');
  }
  EXPECT_EQ(kPhotoExtensions.substr(0, 18), "*.bmp|*.gif|*.jpg|");
  EXPECT_EQ(kVideoExtensions.substr(kVideoExtensions.size() - 12), "*.mxf|*.lrv|");
}

TEST(ExtensionLists, MembershipIsAPlainSubstringTest) {
  EXPECT_TRUE(ListContains(kAudioExtensions, "rm"));
  EXPECT_TRUE(ListContains(kVideoExtensions, "rm"));
  EXPECT_TRUE(ListContains(kVideoExtensions, "ts"));   // inside "*.mts"
  EXPECT_TRUE(ListContains(kPhotoExtensions, "jp"));   // inside "*.jpg"
  EXPECT_TRUE(ListContains(kPhotoExtensions, "ra"));   // inside "*.raf"
  EXPECT_TRUE(ListContains(kArchiveExtensions, ""));
  EXPECT_FALSE(ListContains(kPhotoExtensions, "JPG"));
  EXPECT_FALSE(ListContains(kDocumentExtensions, "exe"));
}

TEST(ExtensionLists, RecoveryFolderOrder) {
  struct Case { const char* name; const char* folder; };
  const Case cases[] = {
      {"IMG_0001.JPG", "photo"}, {"song.rm", "audio"},     {"clip.rmvb", "video"},
      {"clip.MTS", "video"},     {"x.ra", "photo"},        {"README", "others"},
      {"report.PDF", "document"}, {"backup.tar", "archive"}, {"setup.exe", "others"},
      {"a.b.mp3", "audio"},      {"trailing.", "others"},
  };
  for (const auto& c : cases) EXPECT_STREQ(RecoveryFolderName(RecoveryCategoryOf(c.name)), c.folder) << c.name;
  // Only 26 characters of extension are looked at.
  EXPECT_EQ(RecoveryCategoryOf("x." + std::string(26, 'z') + "jpg"), FileCategory::kOthers);
}

TEST(ExtensionLists, PreviewAndIconOrders) {
  EXPECT_EQ(PreviewKindOf("song.rm"), FileCategory::kAudio);
  EXPECT_EQ(PreviewKindOf("clip.mov"), FileCategory::kVideo);
  EXPECT_EQ(PreviewKindOf("noext"), FileCategory::kPhoto);
  EXPECT_EQ(PreviewTargetOf("clip.mov"), PreviewTarget::kTempMedia);
  EXPECT_EQ(PreviewTargetOf("song.MP3"), PreviewTarget::kTempMedia);
  EXPECT_EQ(PreviewTargetOf("a.jpg"), PreviewTarget::kTempPicture);
  EXPECT_EQ(PreviewTargetOf("a.zip"), PreviewTarget::kMemory);
  EXPECT_STREQ(PreviewTempFileName(PreviewTarget::kTempPicture), "tmp.jpg");
  // Icons try documents before video: "dps" is a document, "mod" a video.
  EXPECT_EQ(IconCategoryOf("a.rm"), FileCategory::kAudio);
  EXPECT_EQ(IconCategoryOf("a.mod"), FileCategory::kVideo);
  EXPECT_EQ(IconCategoryOf("a.et"), FileCategory::kDocument);
  EXPECT_EQ(IconCategoryOf("a.exe"), FileCategory::kOthers);
}

}  // namespace
}  // namespace velmira
