#include "storage/disk_discovery.h"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/errors.h"
#include "storage/disk_image_copy.h"
#include "storage/sector_source.h"
#include "storage/volume_keys.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using testing::ShellQuote;
using testing::TempDir;

constexpr uint64_t kCyl = 255 * 63;

// Sets VELMIRA_DRIVES for one test.
class DrivesEnv {
 public:
  explicit DrivesEnv(const std::vector<std::string>& paths) {
    std::string all;
    for (const auto& p : paths) all += (all.empty() ? "" : ":") + p;
    ::setenv("VELMIRA_DRIVES", all.c_str(), 1);
  }
  ~DrivesEnv() { ::unsetenv("VELMIRA_DRIVES"); }
};

PartitionRecord Volume(uint64_t start, uint64_t count) {
  PartitionRecord r;
  r.startSector = start;
  r.sectorCount = count;
  r.partitionType = 7;
  return r;
}

// What one record should say; empty strings and -1 are not checked.
struct Expect {
  RegionKind kind;
  uint64_t start, count;
  const char* fs;
  uint8_t type;
  int32_t partNo;
  const char* label;
};

void CheckList(const std::vector<PartitionRecord>& list, const std::vector<Expect>& want,
               uint16_t firstNumber) {
  ASSERT_EQ(list.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    const PartitionRecord& r = list[i];
    const Expect& w = want[i];
    SCOPED_TRACE("record " + std::to_string(i));
    EXPECT_EQ(r.kind, w.kind);
    EXPECT_EQ(r.startSector, w.start);
    EXPECT_EQ(r.sectorCount, w.count);
    EXPECT_EQ(r.fileSystemName, w.fs);
    EXPECT_EQ(r.partitionType, w.type);
    EXPECT_EQ(r.partitionNumber, w.partNo);
    EXPECT_EQ(r.volumeLabel, w.label);
    EXPECT_EQ(r.letterOrNumber, firstNumber + i);
    if (w.kind == RegionKind::kVolume) {
      // Not mounted: the whole length counts as used.
      EXPECT_EQ(r.totalBytes, w.count * 512);
      EXPECT_EQ(r.freeBytes, 0u);
    } else {
      EXPECT_EQ(r.totalBytes, w.count * 512);
      EXPECT_EQ(r.freeBytes, r.totalBytes);
      EXPECT_EQ(r.usedBytes, 0u);
      EXPECT_TRUE(r.rootPath.empty());
    }
  }
}

TEST(DiskDiscovery, SizeAndDurationTexts) {
  const std::pair<int64_t, const char*> sizes[] = {
      {0, "0 Bytes"},
      {1023, "1023 Bytes"},
      {1024, "1.00 KB"},
      {1536, "1.50 KB"},
      {1048575, "1024.00 KB"},
      {1048576, "1.00 MB"},
      {1073741823, "1024.00 MB"},
      {1073741824, "1.00 GB"},
      {1099511627776, "1.00 TB"},
      {-5, "-5 Bytes"},
      {INT64_MAX, "8388608.00 TB"},
  };
  for (const auto& [n, text] : sizes) EXPECT_EQ(FormatSize(n), text) << n;
  const std::pair<int64_t, const char*> durations[] = {
      {0, "0 Sec"},           {59, "59 Sec"},         {60, "1 Min 0 Sec"}, {3599, "59 Min 59 Sec"},
      {3600, "1 Hour 0 Min"}, {7322, "2 Hour 2 Min"}, {-1, "-1 Sec"},      {-3600, "-3600 Sec"},
  };
  for (const auto& [s, text] : durations) EXPECT_EQ(FormatDuration(s), text) << s;
  // A language's own words.
  const DurationUnits german{"Std.", "Min.", "Sek."};
  EXPECT_EQ(FormatDuration(3, german), "3 Sek.");
  EXPECT_EQ(FormatDuration(75, german), "1 Min. 15 Sek.");
  EXPECT_EQ(FormatDuration(7322, german), "2 Std. 2 Min.");
}

TEST(DiskDiscovery, UnallocatedRegionsLongerThanOneCylinder) {
  // C: at 2048 and D:, 20 GiB free after D:; the 1 MiB before C: is too short.
  const uint64_t gib = 2 * 1024 * 1024;  // sectors per GiB
  std::vector<PartitionRecord> list = {Volume(2048, 100 * gib), Volume(2048 + 100 * gib, 50 * gib)};
  const uint64_t end = 2048 + 150 * gib;
  AddUnallocatedRegions(list, 0, 63, kCyl, end + 20 * gib, 512);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[2].kind, RegionKind::kUnallocated);
  EXPECT_EQ(list[2].startSector, end);
  EXPECT_EQ(list[2].sectorCount, 20 * gib);
  EXPECT_EQ(list[2].totalBytes, 20ull << 30);
  EXPECT_EQ(list[2].freeBytes, 20ull << 30);
  EXPECT_EQ(list[2].partitionType, 0);

  // Exactly one cylinder is not "more than one"; one sector more is.
  list = {Volume(63 + kCyl, 100), Volume(63 + kCyl + 100 + kCyl + 1, 100)};
  AddUnallocatedRegions(list, 3, 63, kCyl, 63 + 3 * kCyl + 201, 4096);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[2].startSector, 63 + kCyl + 100);
  EXPECT_EQ(list[2].sectorCount, kCyl + 1);
  EXPECT_EQ(list[2].diskNumber, 3);
  EXPECT_EQ(list[2].totalBytes, (kCyl + 1) * 4096);

  // A record inside another (a damaged table) must not move the position
  // back, and one starting before the position must not wrap around.
  list = {Volume(100, 10 * kCyl), Volume(200, 10), Volume(5 * kCyl, 100)};
  AddUnallocatedRegions(list, 0, 63, kCyl, 10 * kCyl + 100, 512);
  EXPECT_EQ(list.size(), 3u);
  list = {Volume(0, UINT64_MAX)};
  AddUnallocatedRegions(list, 0, 63, kCyl, 1000 * kCyl, 512);
  EXPECT_EQ(list.size(), 1u);
}

TEST(DiskDiscovery, NumberingAndWalkAcrossDisks) {
  DiskMap map;
  map.disks[0] = {Volume(2048, 10), Volume(4096, 10)};
  map.disks[0].push_back(PartitionRecord{});
  map.disks[0].back().kind = RegionKind::kUnallocated;
  map.disks[3] = {Volume(63, 10)};  // the FAT32 volume of the next drive gets 4
  map.disks[5] = {};
  NumberPartitionRecords(map);
  EXPECT_EQ(map.disks[0][2].letterOrNumber, 3);
  EXPECT_EQ(map.disks[3][0].letterOrNumber, 4);

  PartitionCursor cursor;
  PartitionRecord r;
  std::vector<std::pair<int32_t, uint16_t>> seen;
  map.disks[0][0].diskNumber = 0;
  while (NextPartitionRecord(map, cursor, r)) seen.emplace_back(cursor.diskNumber, r.letterOrNumber);
  const std::vector<std::pair<int32_t, uint16_t>> want = {{0, 1}, {0, 2}, {0, 3}, {3, 4}};
  EXPECT_EQ(seen, want);
  EXPECT_FALSE(NextPartitionRecord(map, cursor, r));
  DiskMap empty;
  PartitionCursor c2;
  EXPECT_FALSE(NextPartitionRecord(empty, c2, r));
}

TEST(DiskDiscovery, MbrAndGptDrivesListVolumesGapsAndWholeDrives) {
  VELMIRA_REQUIRE_TOOL("sfdisk");
  VELMIRA_REQUIRE_TOOL("mkfs.vfat");
  VELMIRA_REQUIRE_TOOL("mkntfs");
  VELMIRA_REQUIRE_TOOL("mke2fs");
  TempDir dir;
  // MBR: FAT32, a 10 MiB gap, NTFS, a 4 MiB gap, an unformatted partition,
  // an extended partition with one ext4 logical drive, free space at the end.
  const std::string mbr = dir.File("mbr.img");
  ASSERT_TRUE(testing::MakePartitionedImage(mbr, 160ull << 20,
                                            "label: dos\n"
                                            "start=2048, size=81920, type=c\n"
                                            "start=104448, size=32768, type=7\n"
                                            "start=145408, size=32768, type=83\n"
                                            "start=178176, size=61440, type=5\n"
                                            "start=180224, size=32768, type=83\n"));
  ASSERT_TRUE(testing::FormatAt(mbr, 2048, 40, "fat32", "CARD"));
  ASSERT_TRUE(testing::FormatAt(mbr, 104448, 16, "ntfs", "Data"));
  ASSERT_TRUE(testing::FormatAt(mbr, 180224, 16, "ext4", "linux"));
  // GPT: FAT16 and ext4, free space up to the end.
  const std::string gpt = dir.File("gpt.img");
  ASSERT_TRUE(
      testing::MakePartitionedImage(gpt, 64ull << 20,
                                    "label: gpt\n"
                                    "start=2048, size=32768, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n"
                                    "start=34816, size=16384\n"));
  ASSERT_TRUE(testing::FormatAt(gpt, 2048, 16, "fat16", "GPTFAT"));
  ASSERT_TRUE(testing::FormatAt(gpt, 34816, 8, "ext4"));
  // A blank drive, and a card formatted without a partition table.
  const std::string blank = dir.File("blank.img");
  testing::MakeBlankFile(blank, 8ull << 20);
  const std::string floppy = dir.File("floppy.img");
  testing::MakeBlankFile(floppy, 20ull << 20);
  ASSERT_TRUE(testing::FormatAt(floppy, 0, 20, "fat16", "FLOPPY"));

  DrivesEnv env({mbr, gpt, blank, dir.File("missing.img"), floppy});
  DiskMap map;
  ASSERT_TRUE(EnumeratePartitions(map));
  ASSERT_EQ(map.disks.size(), 4u);
  EXPECT_EQ(map.disks.count(3), 0u) << "a drive that cannot be opened is not listed";
  using K = RegionKind;
  CheckList(map.disks[0],
            {{K::kVolume, 2048, 81920, "FAT32", 11, 1, "CARD"},
             {K::kUnallocated, 83968, 20480, "", 0, -1, ""},
             {K::kVolume, 104448, 32768, "NTFS", 7, 2, "Data"},
             // The unformatted partition keeps its row and type byte; the
             // 4 MiB before it is less than a cylinder.
             {K::kVolume, 145408, 32768, "unknown file system", 0x83, 3, ""},
             {K::kVolume, 180224, 32768, "ext4", 0x83, 5, "linux"},
             {K::kUnallocated, 212992, 327680 - 212992, "", 0, -1, ""}},
            1);
  CheckList(map.disks[1],
            {{K::kVolume, 2048, 32768, "FAT", 6, 1, "GPTFAT"},
             {K::kVolume, 34816, 16384, "ext4", 0x83, 2, ""},
             {K::kUnallocated, 51200, 131072 - 51200, "", 0, -1, ""}},
            7);
  CheckList(map.disks[2], {{K::kWholeDrive, 0, 16384, "", 0, -1, ""}}, 10);
  CheckList(map.disks[4], {{K::kVolume, 0, 40960, "FAT", 6, 0, "FLOPPY"}}, 11);
  EXPECT_EQ(map.disks[0][0].rootPath, mbr);
  EXPECT_EQ(map.disks[0][0].diskNumber, 0);
  EXPECT_EQ(map.disks[4][0].diskNumber, 4);
  EXPECT_EQ(map.sectorSize, 512u);

  // Every number is a source key bound to its device.
  auto binding = FindVolumeKey(5);
  ASSERT_TRUE(binding.has_value());
  EXPECT_EQ(binding->devicePath, mbr);
  EXPECT_TRUE(binding->mountPoint.empty());
  binding = FindVolumeKey(10);
  ASSERT_TRUE(binding.has_value());
  EXPECT_EQ(binding->devicePath, blank);
  uint64_t freeBytes = 0;
  EXPECT_EQ(GetVolumeFreeBytes(1, freeBytes), kErrPathNotFound) << "not mounted";

  // A rebuild with fewer drives drops the keys it no longer lists.
  {
    DrivesEnv fewer({blank});
    ASSERT_TRUE(EnumeratePartitions(map));
  }
  ASSERT_EQ(map.disks.size(), 1u);
  EXPECT_TRUE(FindVolumeKey(1).has_value());
  EXPECT_FALSE(FindVolumeKey(2).has_value());
  EXPECT_FALSE(FindVolumeKey(11).has_value());
}

// A disk with a FAT32 volume at sector 2048, an NTFS volume after it and
// 20 GiB of (sparse) free space, and a second drive holding one FAT32 volume
// without a partition table.
TEST(DiskDiscovery, TwoVolumesTwentyGibFreeAndASecondDrive) {
  VELMIRA_REQUIRE_TOOL("sfdisk");
  VELMIRA_REQUIRE_TOOL("mkfs.vfat");
  VELMIRA_REQUIRE_TOOL("mkntfs");
  TempDir dir;
  const uint64_t freeSectors = 20ull << 21;  // 20 GiB
  const std::string disk = dir.File("disk.img");
  ASSERT_TRUE(testing::MakePartitionedImage(disk, (116736 + freeSectors) * 512,
                                            "label: dos\n"
                                            "start=2048, size=81920, type=c\n"
                                            "start=83968, size=32768, type=7\n"));
  ASSERT_TRUE(testing::FormatAt(disk, 2048, 40, "fat32", "SYSTEM"));
  ASSERT_TRUE(testing::FormatAt(disk, 83968, 16, "ntfs", "Data"));
  const std::string stick = dir.File("stick.img");
  testing::MakeBlankFile(stick, 40ull << 20);
  ASSERT_TRUE(testing::FormatAt(stick, 0, 40, "fat32", "STICK"));

  DrivesEnv env({disk, stick});
  DiskMap map;
  ASSERT_TRUE(EnumeratePartitions(map));
  using K = RegionKind;
  // The 1 MiB before the first volume is shorter than a cylinder.
  CheckList(map.disks[0],
            {{K::kVolume, 2048, 81920, "FAT32", 11, 1, "SYSTEM"},
             {K::kVolume, 83968, 32768, "NTFS", 7, 2, "Data"},
             {K::kUnallocated, 116736, freeSectors, "", 0, -1, ""}},
            1);
  EXPECT_EQ(map.disks[0][2].totalBytes, 20ull << 30);
  CheckList(map.disks[1], {{K::kVolume, 0, 81920, "FAT32", 11, 0, "STICK"}}, 4);
}

TEST(DiskDiscovery, DamagedTablesAndHostileLabels) {
  VELMIRA_REQUIRE_TOOL("sfdisk");
  VELMIRA_REQUIRE_TOOL("mkfs.vfat");
  VELMIRA_REQUIRE_TOOL("mke2fs");
  TempDir dir;
  // A table written for a larger medium: one entry runs past the end of the
  // drive, one starts beyond it.
  const std::string cut = dir.File("cut.img");
  ASSERT_TRUE(testing::MakePartitionedImage(cut, 128ull << 20,
                                            "label: dos\n"
                                            "start=2048, size=200000, type=6\n"
                                            "start=202048, size=20000, type=c\n"));
  ASSERT_TRUE(testing::FormatAt(cut, 2048, 16, "fat16"));
  std::filesystem::resize_file(cut, 40ull << 20);
  // An ext4 volume whose label carries terminal escape codes.
  const std::string escape = dir.File("escape.img");
  ASSERT_TRUE(testing::MakePartitionedImage(escape, 40ull << 20, "label: dos\nstart=2048, type=83\n"));
  ASSERT_TRUE(testing::FormatAt(escape, 2048, 16, "ext4", "a\x1b[2Jb\x07"));

  DrivesEnv env({cut, escape});
  DiskMap map;
  ASSERT_TRUE(EnumeratePartitions(map));
  ASSERT_EQ(map.disks[0].size(), 1u);
  EXPECT_EQ(map.disks[0][0].startSector, 2048u);
  EXPECT_EQ(map.disks[0][0].sectorCount, 81920u - 2048u) << "clipped at the end of the drive";
  EXPECT_EQ(map.disks[0][0].fileSystemName, "FAT");
  ASSERT_EQ(map.disks[1].size(), 1u);
  EXPECT_EQ(map.disks[1][0].volumeLabel, "a\xEF\xBF\xBD[2Jb\xEF\xBF\xBD");
}

TEST(DiskDiscovery, CorpusTablesWithoutFileSystemsListTheirEntries) {
  VELMIRA_REQUIRE_CORPUS(gpt3, "msuhanov__dfir_ntfs/test_data/gpt-512-3p.raw.gz");
  VELMIRA_REQUIRE_CORPUS(gpt0, "msuhanov__dfir_ntfs/test_data/gpt-512-0p.raw.gz");
  VELMIRA_REQUIRE_CORPUS(mbr4, "msuhanov__dfir_ntfs/test_data/mbr-512-p4.bin");
  VELMIRA_REQUIRE_CORPUS(mbr1, "msuhanov__dfir_ntfs/test_data/mbr-512-p1.bin");
  TempDir dir;
  ASSERT_TRUE(testing::RunQuiet("gzip -dc " + ShellQuote(gpt3) + " > " + ShellQuote(dir.File("gpt3.raw"))));
  ASSERT_TRUE(testing::RunQuiet("gzip -dc " + ShellQuote(gpt0) + " > " + ShellQuote(dir.File("gpt0.raw"))));
  DrivesEnv env({dir.File("gpt3.raw"), dir.File("gpt0.raw"), mbr4, mbr1});
  DiskMap map;
  ASSERT_TRUE(EnumeratePartitions(map));
  // Every table entry is listed, without a file system, with its type byte
  // (none on GPT); the gaps are shorter than a cylinder. A table without
  // entries leaves the drive listed whole.
  using K = RegionKind;
  CheckList(map.disks[0],
            {{K::kVolume, 34, 31, "unknown file system", 0, 1, ""},
             {K::kVolume, 65, 64, "unknown file system", 0, 2, ""},
             {K::kVolume, 129, 1886, "unknown file system", 0, 3, ""}},
            1);
  CheckList(map.disks[1], {{K::kWholeDrive, 0, 2048, "", 0, -1, ""}}, 4);
  for (int32_t disk : {2, 3}) {
    SCOPED_TRACE(disk);
    ASSERT_EQ(map.disks[disk].size(), 1u);
    EXPECT_EQ(map.disks[disk][0].kind, K::kVolume);
    EXPECT_EQ(map.disks[disk][0].fileSystemName, "unknown file system");
    EXPECT_EQ(map.disks[disk][0].partitionType, 0x83);
    EXPECT_EQ(map.disks[disk][0].sectorCount, 1u) << "the entry cut at the drive's end";
  }
}

TEST(DiskDiscovery, MountPointsFromTheMountTable) {
  TempDir dir;
  std::ofstream(dir.File("mountinfo"))
      << "21 26 0:20 / /proc rw,relatime - proc proc rw\n"
         "98 26 8:17 / /media/card rw,relatime - vfat /dev/sdb1 rw\n"
         "99 26 8:17 / /media/again rw,relatime - vfat /dev/sdb1 rw\n"
         "100 26 259:3 /sub /mnt/with\\040space rw - ext4 /dev/nvme0n1p3 rw\n";
  std::string where;
  ASSERT_TRUE(FindMountPointIn(dir.File("mountinfo"), makedev(8, 17), where));
  EXPECT_EQ(where, "/media/card");
  ASSERT_TRUE(FindMountPointIn(dir.File("mountinfo"), makedev(259, 3), where));
  EXPECT_EQ(where, "/mnt/with space");
  EXPECT_FALSE(FindMountPointIn(dir.File("mountinfo"), makedev(8, 18), where));
  EXPECT_FALSE(FindMountPointIn(dir.File("absent"), makedev(8, 17), where));
  EXPECT_FALSE(FindDriveLetter(dir.File("mountinfo"), where)) << "not a block device";
}

// Runs only where the test may attach loop devices and mount ext4 (root):
// a partition of an image file, mounted through a loop device at its offset.
TEST(DiskDiscovery, MountedVolumeGetsItsMountPointSizesAndKey) {
  VELMIRA_REQUIRE_TOOL("losetup");
  VELMIRA_REQUIRE_TOOL("sfdisk");
  VELMIRA_REQUIRE_TOOL("mke2fs");
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount";
  TempDir dir;
  const std::string image = dir.File("disk.img");
  ASSERT_TRUE(
      testing::MakePartitionedImage(image, 24ull << 20, "label: dos\nstart=2048, size=32768, type=83\n"));
  ASSERT_TRUE(testing::FormatAt(image, 2048, 16, "ext4"));
  int status = 0;
  std::string loop = testing::RunCapture(
      "losetup -f --show -o 1048576 --sizelimit 16777216 " + ShellQuote(image) + " 2>/dev/null", status);
  while (!loop.empty() && loop.back() == '\n') loop.pop_back();
  if (status != 0 || loop.empty()) GTEST_SKIP() << "no loop device";
  struct Cleanup {
    std::string loop, mnt;
    bool mounted = false;
    ~Cleanup() {
      if (mounted) testing::RunQuiet("umount " + ShellQuote(mnt));
      testing::RunQuiet("losetup -d " + ShellQuote(loop));
    }
  } cleanup{loop, dir.File("mnt")};
  std::filesystem::create_directory(cleanup.mnt);
  if (!testing::RunQuiet("mount -o ro " + ShellQuote(loop) + " " + ShellQuote(cleanup.mnt)))
    GTEST_SKIP() << "cannot mount here";
  cleanup.mounted = true;

  DrivesEnv env({image});
  DiskMap map;
  ASSERT_TRUE(EnumeratePartitions(map));
  ASSERT_EQ(map.disks[0].size(), 1u);
  const PartitionRecord& r = map.disks[0][0];
  EXPECT_EQ(r.startSector, 2048u);
  EXPECT_EQ(r.rootPath, loop);
  EXPECT_EQ(r.mountPoint, std::filesystem::canonical(cleanup.mnt).string());
  EXPECT_GT(r.freeBytes, 0u);
  EXPECT_LT(r.totalBytes, 16ull << 20) << "the file system's own size";
  EXPECT_EQ(r.usedBytes, r.totalBytes - r.freeBytes);
  uint64_t free = 0;
  EXPECT_EQ(GetVolumeFreeBytes(r.letterOrNumber, free), kOk);
  EXPECT_GT(free, 0u);
  std::string fsName;
  EXPECT_EQ(GetVolumeFileSystem(r.letterOrNumber, fsName), kOk);
  EXPECT_EQ(fsName, "ext4");
  FlushVolume(r.letterOrNumber);

  // An image of the drive may not be written into the file system it holds.
  EXPECT_EQ(CheckImageTarget(image, cleanup.mnt + "/copy.img", 1), ImageTargetProblem::kOnSource);
  EXPECT_EQ(CheckImageTarget(loop, cleanup.mnt + "/copy.img", 1), ImageTargetProblem::kOnSource);
  EXPECT_EQ(CheckImageTarget(image, dir.File("copy.img"), 1), ImageTargetProblem::kNone);
}

}  // namespace
}  // namespace velmira
