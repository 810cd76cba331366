#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "platform/byte_view.h"
#include "platform/drives.h"
#include "platform/errors.h"
#include "platform/folders.h"
#include "platform/status.h"
#include "platform/text.h"
#include "platform/time_util.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

TEST(Errors, ErrnoMapsOntoWin32Codes) {
  EXPECT_EQ(ErrorFromErrno(ENOENT), 2);
  EXPECT_EQ(ErrorFromErrno(ENOTDIR), 3);
  EXPECT_EQ(ErrorFromErrno(EACCES), 5);
  EXPECT_EQ(ErrorFromErrno(EPERM), 5);
  EXPECT_EQ(ErrorFromErrno(ENOMEM), 8);
  EXPECT_EQ(ErrorFromErrno(EIO, IoDirection::kRead), 30);
  EXPECT_EQ(ErrorFromErrno(EIO, IoDirection::kWrite), 29);
  EXPECT_EQ(ErrorFromErrno(EEXIST), 183);
  EXPECT_EQ(ErrorFromErrno(EINVAL), 87);
  EXPECT_EQ(ErrorFromErrno(ENOSPC), 112);
  EXPECT_EQ(ErrorFromErrno(EPROTO), kErrGenFailure) << "documented fallback";
  EXPECT_EQ(ErrorText(30), "The system cannot read from the specified device.");
  EXPECT_EQ(ErrorText(112), "There is not enough space on the disk.");
  EXPECT_EQ(ErrorText(777777), "Unknown error 777777.");

  // An outcome leaves as a code only at the interface: a fatal one never as
  // 0, a skip with the record's own code.
  static_assert(Status::Fatal(kOk, "lost").Code() == kErrGenFailure);
  static_assert(Status::FromCode(kOk, "unused").IsOk() && Status().Code() == kOk);
  constexpr Status skip = Status::Skip(kErrInvalidParameter, "a damaged header");
  static_assert(skip.IsSkip() && !skip.IsFatal() && skip.Code() == kErrInvalidParameter);
  constexpr Status full = Status::FromCode(kErrDiskFull, "the scan log could not be written");
  static_assert(full.IsFatal() && full.Code() == kErrDiskFull);
  // A stop ends a pass like a fatal error but is no failure to report.
  static_assert(full.IsFailure() && !full.IsCancelled());
  static_assert(Status::FromCode(kCancelled, "x").IsCancelled() && !Status::Cancelled().IsFailure());
  EXPECT_STREQ(full.Reason(), "the scan log could not be written");
  EXPECT_STREQ(Status::Ok().Reason(), "");
}

TEST(Text, Utf8Utf16RoundTripAndRepair) {
  const std::string s = "Fotos/привет/😀.jpg";
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(s)), s);
  EXPECT_EQ(Utf8ToUtf16("\xC3\xA9"), u"\u00E9");
  EXPECT_EQ(Utf8ToUtf16("a\xFF"
                        "b"),
            u"a\uFFFDb");
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82"), u"\uFFFD\uFFFD") << "truncated sequence";
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD") << "overlong '/' must not decode to '/'";
  const char16_t lone[] = {u'a', 0xD800, u'b'};
  EXPECT_EQ(Utf16ToUtf8(std::u16string_view(lone, 3)),
            "a\xEF\xBF\xBD"
            "b");

  uint8_t field[8];
  WriteUtf16LeField(field, 4, u"abcdef");
  EXPECT_EQ(Utf16LeBytesToUtf8(field, 4), "abc");
  EXPECT_EQ(field[6], 0);
  const char16_t pair[] = {u'x', u'y', 0xD83D, 0xDE00};
  WriteUtf16LeField(field, 4, std::u16string_view(pair, 4));
  EXPECT_EQ(Utf16LeBytesToUtf8(field, 4), "xy") << "a surrogate pair is never split";
}

TEST(Text, AsciiFoldingAndNameFields) {
  EXPECT_EQ(AsciiCompareNoCase("DCIM", "dcim"), 0);
  EXPECT_LT(AsciiCompareNoCase("abc", "ABD"), 0);
  EXPECT_FALSE(AsciiEqualNoCase("\xC3\x89", "\xC3\xA9")) << "only ASCII folds";
  EXPECT_EQ(AsciiLower("IMG_01.JPG"), "img_01.jpg");

  char field[6];
  CopyToNameField(field, sizeof field,
                  "ab\xE2\x82\xAC"
                  "cd");  // "ab€cd"
  EXPECT_EQ(NameFieldText(field, sizeof field), "ab\xE2\x82\xAC");
  CopyToNameField(field, sizeof field, "abcd\xE2\x82\xAC");
  EXPECT_EQ(NameFieldText(field, sizeof field), "abcd");

  EXPECT_EQ(SafeFileName("../etc"), ".._etc");
  EXPECT_EQ(SafeFileName(".."), "_");
  EXPECT_EQ(SafeFileName(""), "_");
  EXPECT_EQ(SafeFileName("a\\b\x01"
                         "c"),
            "a_b_c");
  EXPECT_EQ(SafeFileName("photo.jpg"), "photo.jpg");
}

TEST(Time, FileTimeConversions) {
  uint64_t ft = 0;
  ASSERT_TRUE(FileTimeFromCivil({1970, 1, 1, 0, 0, 0, 0, 4}, ft));
  EXPECT_EQ(ft, kFileTimeUnixEpoch);
  ASSERT_TRUE(FileTimeFromCivil({1601, 1, 1, 0, 0, 0, 0, 1}, ft));
  EXPECT_EQ(ft, 0u);
  EXPECT_FALSE(FileTimeFromCivil({2023, 2, 29, 0, 0, 0, 0, 0}, ft));
  EXPECT_TRUE(FileTimeFromCivil({2024, 2, 29, 0, 0, 0, 0, 0}, ft));

  ASSERT_TRUE(FileTimeFromCivil({2016, 5, 21, 13, 45, 59, 500, 0}, ft));
  const CivilTime c = CivilFromFileTime(ft);
  EXPECT_EQ(c.year, 2016);
  EXPECT_EQ(c.month, 5);
  EXPECT_EQ(c.day, 21);
  EXPECT_EQ(c.hour, 13);
  EXPECT_EQ(c.minute, 45);
  EXPECT_EQ(c.second, 59);
  EXPECT_EQ(c.millisecond, 500);
  EXPECT_EQ(c.dayOfWeek, 6);  // a Saturday
  EXPECT_EQ(FileTimeText(FileTimeFromUnixSeconds(86400 + 61)), "1970-01-02 00:01:01");
  EXPECT_EQ(UnixSecondsFromFileTime(FileTimeFromUnixSeconds(1234567890)), 1234567890);
  const uint64_t t0 = TickCountMs();
  EXPECT_GE(TickCountMs(), t0);
}

TEST(Drives, NaturalOrderAndSysfsFiltering) {
  std::vector<std::string> names = {"sdaa", "sdb", "nvme1n1", "sda", "nvme0n10", "nvme0n2", "sdz", "mmcblk0"};
  SortNaturally(names);
  EXPECT_EQ(names, (std::vector<std::string>{"mmcblk0", "nvme0n2", "nvme0n10", "nvme1n1", "sda", "sdb", "sdz",
                                             "sdaa"}));

  testing::TempDir sys;
  namespace fs = std::filesystem;
  for (const char* n : {"sdb", "sda", "ram0", "zram0", "loop0", "loop1", "vda"})
    fs::create_directories(sys.File(n));
  fs::create_directories(sys.File("loop1/loop"));
  std::ofstream(sys.File("loop1/loop/backing_file")) << "/tmp/x.img\n";
  EXPECT_EQ(ListDiskDevicesIn(sys.path()),
            (std::vector<std::string>{"/dev/loop1", "/dev/sda", "/dev/sdb", "/dev/vda"}));

  ::setenv("VELMIRA_DRIVES", "/a.img::/dev/sdq", 1);
  EXPECT_EQ(ListDiskDevices(), (std::vector<std::string>{"/a.img", "/dev/sdq"}));
  std::string path;
  EXPECT_EQ(DiskDevicePath(1, path), kOk);
  EXPECT_EQ(path, "/dev/sdq");
  EXPECT_EQ(DiskDevicePath(2, path), kErrFileNotFound);
  EXPECT_EQ(DiskDevicePath(-1, path), kErrFileNotFound);
  ::unsetenv("VELMIRA_DRIVES");
}

TEST(Drives, ImageFileGeometry) {
  testing::TempDir dir;
  testing::WriteRandomFile(dir.File("g.img"), 255 * 63 * 512 * 3 + 100);
  FileHandle h;
  ASSERT_EQ(OpenReadOnly(dir.File("g.img"), h), kOk);
  DriveGeometry g;
  ASSERT_EQ(QueryDriveGeometry(h, g), kOk);
  EXPECT_EQ(g.bytesPerSector, 512u);
  EXPECT_EQ(g.cylinders, 3u);
  EXPECT_EQ(g.mediaType, kFixedMedia);
  EXPECT_EQ(QueryBusType(h), kBusTypeUnknown);
}

TEST(Folders, XdgFoldersAndCreation) {
  testing::TempDir dir;
  ::setenv("XDG_DATA_HOME", dir.path().c_str(), 1);
  EXPECT_EQ(AppDataFolder(), dir.path());
  EXPECT_EQ(CompanyDataFolder(), dir.path() + "/Orvanta");
  ::setenv("XDG_DATA_HOME", "relative/path", 1);
  EXPECT_NE(AppDataFolder(), "relative/path") << "relative XDG paths are ignored";
  ::unsetenv("XDG_DATA_HOME");

  const std::string deep = dir.File("a/b/c");
  EXPECT_EQ(CreateFolderWithParents(deep), kOk);
  EXPECT_EQ(CreateFolderWithParents(deep), kOk) << "an existing folder is success";
  testing::WriteFileBytes(dir.File("plain"), {1});
  EXPECT_NE(CreateFolderWithParents(dir.File("plain")), kOk);

  // Removing a tree never follows a link out of it.
  testing::WriteFileBytes(dir.File("keep.txt"), {1, 2});
  std::filesystem::create_directory_symlink(dir.path(), dir.File("a/b/up"));
  std::filesystem::create_symlink(dir.File("keep.txt"), dir.File("a/link.txt"));
  EXPECT_EQ(RemoveFolderTree(dir.File("a")), kOk);
  EXPECT_FALSE(std::filesystem::exists(dir.File("a")));
  EXPECT_TRUE(std::filesystem::exists(dir.File("keep.txt")));
  EXPECT_EQ(RemoveFolderTree(dir.File("a")), kOk);
}

TEST(ByteView, GettersNeverReadPastTheEnd) {
  const uint8_t bytes[6] = {1, 2, 3, 4, 5, 6};
  ByteView v(bytes, 6);
  EXPECT_EQ(v.U16At(4), 0x0605);
  EXPECT_EQ(v.U16At(5), 0);
  EXPECT_EQ(v.U32At(2), 0x06050403u);
  EXPECT_EQ(v.U32At(3), 0u);
  EXPECT_EQ(v.U64At(0), 0u);
  EXPECT_EQ(v.U16BeAt(0), 0x0102);
  EXPECT_EQ(v.U8At(SIZE_MAX), 0);
  EXPECT_FALSE(v.Has(SIZE_MAX, 2)) << "offset + width must not wrap";
  EXPECT_EQ(v.Sub(4, 100).size(), 2u);
  EXPECT_EQ(v.Sub(7, 1).size(), 0u);
  EXPECT_TRUE(v.Matches(1, "\x02\x03"));
  EXPECT_FALSE(v.Matches(5, "\x06\x07"));
}

}  // namespace
}  // namespace velmira
