#include "results/extension_lists.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "engines/carving/signature_table.h"
#include "results/result_tree.h"

namespace velmira {
namespace {

TEST(ExtensionLists, ListsAreBarTerminatedLowerCaseItems) {
  for (std::string_view list :
       {kPhotoExtensions, kAudioExtensions, kVideoExtensions, kDocumentExtensions, kArchiveExtensions}) {
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
  EXPECT_TRUE(ListContains(kVideoExtensions, "ts"));  // inside "*.mts"
  EXPECT_TRUE(ListContains(kPhotoExtensions, "jp"));  // inside "*.jpg"
  EXPECT_TRUE(ListContains(kArchiveExtensions, ""));
  EXPECT_FALSE(ListContains(kPhotoExtensions, "JPG"));
  EXPECT_FALSE(ListContains(kDocumentExtensions, "exe"));
  // A whole item of one list is not found inside a longer item of another.
  EXPECT_FALSE(ListContains(kPhotoExtensions, "ra"));   // "*.raf": "ra" is audio's own
  EXPECT_FALSE(ListContains(kPhotoExtensions, "avi"));  // "*.avif"
  EXPECT_FALSE(ListContains(kAudioExtensions, "fla"));  // "*.flac"
  EXPECT_TRUE(ListContains(kPhotoExtensions, "avif"));
  // Any pattern text, as typed or converted for the engines, ends items with "|" or its end.
  EXPECT_TRUE(ListContains("*.jpg|*.avi", "avi"));
  EXPECT_TRUE(ListContains(".\\.avif|.\\.avi|", "avi"));
  EXPECT_FALSE(ListContains("*.avif|*.jpg", "avi"));
  EXPECT_TRUE(ListContains("*.jpeg|", "jp"));  // not a known extension: a plain substring
}

// Every extension the carver names its files with lands in the folder and
// type group meant for it; a new row must be given its place here.
TEST(ExtensionLists, CarvedExtensionsHaveTheirCategory) {
  const std::map<std::string, std::string> wanted = {
      // photo
      {"jpg", "photo"},
      {"jpeg", "photo"},
      {"jpe", "photo"},
      {"jfif", "photo"},
      {"png", "photo"},
      {"gif", "photo"},
      {"bmp", "photo"},
      {"dib", "photo"},
      {"tif", "photo"},
      {"tiff", "photo"},
      {"psd", "photo"},
      {"ico", "photo"},
      {"heic", "photo"},
      {"heif", "photo"},
      {"avif", "photo"},
      {"webp", "photo"},
      {"cr3", "photo"},
      {"cr2", "photo"},
      {"nef", "photo"},
      {"arw", "photo"},
      {"dng", "photo"},
      {"orf", "photo"},
      {"rw2", "photo"},
      {"raf", "photo"},
      // audio
      {"mp3", "audio"},
      {"mp2", "audio"},
      {"wav", "audio"},
      {"ape", "audio"},
      {"mid", "audio"},
      {"mmf", "audio"},
      {"wma", "audio"},
      {"rm", "audio"},
      {"m4a", "audio"},
      {"flac", "audio"},
      {"ogg", "audio"},
      {"opus", "audio"},
      {"aac", "audio"},
      {"oga", "audio"},
      {"mka", "audio"},
      // video
      {"mpeg", "video"},
      {"mpg", "video"},
      {"vob", "video"},
      {"mp4", "video"},
      {"m4v", "video"},
      {"mov", "video"},
      {"3gp", "video"},
      {"rmvb", "video"},
      {"wmv", "video"},
      {"asf", "video"},
      {"swf", "video"},
      {"avi", "video"},
      {"flv", "video"},
      {"fla", "video"},
      {"mkv", "video"},
      {"webm", "video"},
      {"ts", "video"},
      {"mts", "video"},
      {"mxf", "video"},
      // document
      {"doc", "document"},
      {"dot", "document"},
      {"wps", "document"},
      {"wpt", "document"},
      {"xls", "document"},
      {"xlt", "document"},
      {"xla", "document"},
      {"et", "document"},
      {"ett", "document"},
      {"ppt", "document"},
      {"pot", "document"},
      {"pps", "document"},
      {"dps", "document"},
      {"dpt", "document"},
      {"ole", "document"},
      {"docx", "document"},
      {"docm", "document"},
      {"dotm", "document"},
      {"dotx", "document"},
      {"xlsx", "document"},
      {"xlsb", "document"},
      {"xlsm", "document"},
      {"xlam", "document"},
      {"xltx", "document"},
      {"xltm", "document"},
      {"pptx", "document"},
      {"pptm", "document"},
      {"potx", "document"},
      {"potm", "document"},
      {"ppsx", "document"},
      {"ppsm", "document"},
      {"mso07", "document"},
      {"pdf", "document"},
      {"odt", "document"},
      {"ods", "document"},
      {"odp", "document"},
      {"epub", "document"},
      {"msg", "document"},
      {"xps", "document"},
      {"db", "document"},
      {"sqlite", "document"},
      {"dbx", "document"},
      {"pst", "document"},
      {"xlw", "document"},
      // archive
      {"zip", "archive"},
      {"rar", "archive"},
      {"7z", "archive"},
      {"gz", "archive"},
      {"gzip", "archive"},
      {"cab", "archive"},
      {"tar", "archive"},
      {"bz2", "archive"},
      {"xz", "archive"},
      {"jar", "archive"},
      {"apk", "archive"},
      {"tgz", "archive"},
      // others
      {"exe", "others"},
      {"dll", "others"},
      {"sys", "others"},
      {"gho", "others"},
      {"ttf", "others"},
  };
  for (const auto& [ext, folder] : wanted)
    EXPECT_STREQ(RecoveryFolderName(RecoveryCategoryOf("123." + ext)), folder.c_str()) << ext;
  for (const SignatureRow& row : SignatureTable()) {
    const auto it = wanted.find(row.extension);
    if (it == wanted.end()) {
      ADD_FAILURE() << "no category is meant for the carved extension ." << row.extension;
      continue;
    }
    // The icon and the type tree agree with the folder.
    const std::string name = std::string("9.") + row.extension;
    EXPECT_EQ(IconCategoryOf(name), RecoveryCategoryOf(name)) << row.extension;
  }
  // Spellings of one type share one type-tree group.
  for (const auto& [alias, key] : std::map<std::string, std::string>{{"a.jpe", "jpg"},
                                                                     {"a.JFIF", "jpg"},
                                                                     {"a.heif", "heic"},
                                                                     {"a.dib", "bmp"},
                                                                     {"a.mpg", "mpeg"},
                                                                     {"a.sqlite", "db"}})
    EXPECT_EQ(TypeGroupKey(alias), key) << alias;
}

TEST(ExtensionLists, RecoveryFolderOrder) {
  struct Case {
    const char* name;
    const char* folder;
  };
  const Case cases[] = {
      {"IMG_0001.JPG", "photo"}, {"song.rm", "audio"}, {"clip.rmvb", "video"},     {"clip.MTS", "video"},
      {"x.ra", "audio"},         {"README", "others"}, {"report.PDF", "document"}, {"backup.tar", "archive"},
      {"setup.exe", "others"},   {"a.b.mp3", "audio"}, {"trailing.", "others"},
  };
  for (const auto& c : cases)
    EXPECT_STREQ(RecoveryFolderName(RecoveryCategoryOf(c.name)), c.folder) << c.name;
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
