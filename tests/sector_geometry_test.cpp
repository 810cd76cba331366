// Drives and image files with 4096-byte sectors: the sector size an image's
// own bytes imply and the --sector-size override, the partition list of such
// a disk (gaps, damaged partitions), small FAT32 volumes, and the deep scan
// of NTFS and FAT volumes formatted with 4096-byte sectors.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "engines/boot_sector.h"
#include "engines/combined/deep_recovery.h"
#include "engines/engine_factory.h"
#include "engines/ntfs/deep_ntfs_sweep.h"
#include "engines/ntfs/ntfs_structures.h"
#include "platform/drives.h"
#include "platform/errors.h"
#include "storage/disk_discovery.h"
#include "storage/sector_source.h"
#include "tests/fixtures/carving_samples.h"
#include "tests/fixtures/data_home.h"
#include "tests/fixtures/fat_card.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/ntfs_disk.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using testing::ShellQuote;

class DrivesEnv {
 public:
  explicit DrivesEnv(const std::string& list) { ::setenv("VELMIRA_DRIVES", list.c_str(), 1); }
  ~DrivesEnv() { ::unsetenv("VELMIRA_DRIVES"); }
};

class ForcedSectorSize {
 public:
  explicit ForcedSectorSize(uint32_t bytes) { EXPECT_TRUE(SetSectorSizeOverride(bytes)); }
  ~ForcedSectorSize() { (void)SetSectorSizeOverride(0); }
};

std::string CliOutput(const std::string& args, int& status) {
  return testing::RunCapture(ShellQuote(VELMIRA_CLI_PATH) + " " + args + " 2>&1", status);
}

// An MBR whose entries (type, start, count) count in 4096-byte sectors, as
// a drive with 4096-byte sectors carries it. sfdisk writes one only through
// a device with that sector size, so the table is written here.
bool Write4kMbr(const std::string& disk,
                const std::vector<std::tuple<uint8_t, uint32_t, uint32_t>>& entries) {
  testing::Bytes mbr(512, 0);
  for (size_t i = 0; i < entries.size(); ++i) {
    const size_t at = 446 + 16 * i;
    mbr[at + 4] = std::get<0>(entries[i]);
    testing::PutLe32(mbr, at + 8, std::get<1>(entries[i]));
    testing::PutLe32(mbr, at + 12, std::get<2>(entries[i]));
  }
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  std::fstream out(disk, std::ios::binary | std::ios::in | std::ios::out);
  out.write(reinterpret_cast<const char*>(mbr.data()), 512);
  out.close();
  return !out.fail();
}

bool CopyInto(const std::string& volume, const std::string& disk, uint64_t sector4k) {
  return testing::RunQuiet("dd if=" + ShellQuote(volume) + " of=" + ShellQuote(disk) +
                           " bs=4096 seek=" + std::to_string(sector4k) + " conv=notrunc status=none");
}

// A 128 MiB disk of 4096-byte sectors: a FAT32 volume at 256, an NTFS volume
// at 12,800, a FAT partition whose boot sector is gone at 25,600 (2,048
// sectors), and 17, 18 and 20 MiB of unallocated space after each.
class FourKDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkfs.vfat", "mkntfs", "dd"})
      if (!testing::ToolAvailable(tool)) GTEST_SKIP() << tool << " is not installed";
    testing::MakeBlankFile(m_disk, 128ull << 20);
    testing::MakeBlankFile(m_dir.File("fat.img"), 32ull << 20);
    testing::MakeBlankFile(m_dir.File("ntfs.img"), 32ull << 20);
    ASSERT_TRUE(testing::RunQuiet("PATH=\"$PATH:/sbin:/usr/sbin\" mkfs.vfat -F 32 -S 4096 -n FOURK " +
                                  ShellQuote(m_dir.File("fat.img"))));
    ASSERT_TRUE(testing::RunQuiet("PATH=\"$PATH:/sbin:/usr/sbin\" mkntfs -F -Q -q -s 4096 " +
                                  ShellQuote(m_dir.File("ntfs.img"))));
    ASSERT_TRUE(CopyInto(m_dir.File("fat.img"), m_disk, 256));
    ASSERT_TRUE(CopyInto(m_dir.File("ntfs.img"), m_disk, 12800));
    ASSERT_TRUE(Write4kMbr(m_disk, {{0x0C, 256, 8192}, {0x07, 12800, 8192}, {0x0C, 25600, 2048}}));
    // A photo inside the damaged partition, at drive sector 25,610.
    testing::WriteFileBytes(m_dir.File("photo.jpg"), testing::JpegPicture(50000, 4));
    ASSERT_TRUE(CopyInto(m_dir.File("photo.jpg"), m_disk, 25610));
  }

  // The first drive's rows as (start, count, kind, file system, type).
  static std::vector<std::tuple<uint64_t, uint64_t, RegionKind, std::string, int>> Rows(
      const std::string& drive) {
    DrivesEnv env(drive);
    DiskMap map;
    EXPECT_TRUE(EnumeratePartitions(map));
    std::vector<std::tuple<uint64_t, uint64_t, RegionKind, std::string, int>> rows;
    for (const PartitionRecord& r : map.disks[0])
      rows.emplace_back(r.startSector, r.sectorCount, r.kind, r.fileSystemName, r.partitionType);
    EXPECT_EQ(map.sectorSize, 4096u);
    return rows;
  }

  static std::vector<std::tuple<uint64_t, uint64_t, RegionKind, std::string, int>> Expected() {
    return {{256, 8192, RegionKind::kVolume, "FAT32", 11},
            {8448, 4352, RegionKind::kUnallocated, "", 0},
            {12800, 8192, RegionKind::kVolume, "NTFS", 7},
            {20992, 4608, RegionKind::kUnallocated, "", 0},
            {25600, 2048, RegionKind::kVolume, "unknown file system", 0x0C},
            {27648, 5120, RegionKind::kUnallocated, "", 0}};
  }

  testing::ScopedDataHome m_home;  // for the scan logs of the commands run
  testing::TempDir m_dir;
  std::string m_disk = m_dir.File("disk.img");
};

// A loop device over a file, with 4096-byte logical sectors, detached at the
// end; empty when losetup refuses.
class LoopDevice {
 public:
  explicit LoopDevice(const std::string& file) {
    int status = 0;
    m_path = testing::RunCapture("PATH=\"$PATH:/sbin:/usr/sbin\" losetup -f --show --sector-size 4096 " +
                                     ShellQuote(file) + " 2>/dev/null",
                                 status);
    m_path.erase(m_path.find_last_not_of('\n') + 1);
    if (status != 0) m_path.clear();
  }
  ~LoopDevice() {
    if (!m_path.empty())
      (void)testing::RunQuiet("PATH=\"$PATH:/sbin:/usr/sbin\" losetup -d " + ShellQuote(m_path));
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  [[nodiscard]] const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

// The image file's table is read in 4096-byte sectors; the damaged
// partition keeps its row and type byte; gaps of 17 MiB count.
TEST_F(FourKDisk, ImageFileListsEveryPartitionAndTheGaps) {
  FileHandle handle;
  ASSERT_EQ(OpenReadOnly(m_disk, handle), kOk);
  EXPECT_EQ(ImageSectorSize(handle), 4096u);
  EXPECT_EQ(Rows(m_disk), Expected());

  int status = 0;
  const std::string listed = CliOutput("disks --drive " + ShellQuote(m_disk), status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(listed.find("32768 sectors of 4096 bytes"), std::string::npos) << listed;
  EXPECT_NE(listed.find("unknown file system (type 0C)"), std::string::npos) << listed;
  const std::string probed = CliOutput("probe --drive " + ShellQuote(m_disk) + " 1", status);
  EXPECT_EQ(status, 0) << probed;
  EXPECT_NE(probed.find("sector size:  4096"), std::string::npos) << probed;
  EXPECT_NE(probed.find("file system:  FAT"), std::string::npos) << probed;
  EXPECT_NE(CliOutput("probe --drive " + ShellQuote(m_disk) + " 3", status).find("file system:  NTFS"),
            std::string::npos);
  // The deep scan of the damaged partition's row finds the photo.
  const std::string found = CliOutput("recover --drive " + ShellQuote(m_disk) + " 5 --list", status);
  EXPECT_EQ(status, 0) << found;
  EXPECT_NE(found.find("25610.jpg"), std::string::npos) << found;
}

// The same disk through a loop device whose logical sectors are 4096 bytes:
// the kernel's sector size is taken, and the gaps still count in bytes.
TEST_F(FourKDisk, LoopDeviceWith4096ByteSectorsListsTheSameRows) {
  if (::geteuid() != 0) GTEST_SKIP() << "loop devices need root";
  const LoopDevice device(m_disk);
  if (device.path().empty()) GTEST_SKIP() << "losetup --sector-size 4096 was refused";
  const std::string& loop = device.path();
  EXPECT_EQ(Rows(loop), Expected());
  int status = 0;
  // Carving the whole drive goes to its end, counted in its own sectors.
  const std::string carved = CliOutput("carve --drive " + ShellQuote(loop) + " disk:0 --list", status);
  EXPECT_EQ(status, 0) << carved;
  EXPECT_NE(carved.find("25610.jpg"), std::string::npos) << carved;
  // An image copied from the drive lists the same partitions.
  const std::string copy = m_dir.File("copy.img");
  const std::string imaged =
      CliOutput("image --drive " + ShellQuote(loop) + " disk:0 " + ShellQuote(copy), status);
  ASSERT_EQ(status, 0) << imaged;
  EXPECT_EQ(Rows(copy), Expected());
}

// What an image's first bytes say about its sector size.
TEST(ImageSectorSize, GptMbrAndBootSectorsTellTheSize) {
  testing::Bytes head(8192, 0);
  EXPECT_EQ(SectorSizeFromHead(head.data(), head.size(), 1 << 20, nullptr, nullptr), 512u) << "nothing known";
  testing::PutBytes(head, 4096, "EFI PART");
  EXPECT_EQ(SectorSizeFromHead(head.data(), head.size(), 1 << 20, nullptr, nullptr), 4096u);
  testing::PutBytes(head, 512, "EFI PART");
  EXPECT_EQ(SectorSizeFromHead(head.data(), head.size(), 1 << 20, nullptr, nullptr), 512u);
  // A hostile boot sector's stated size is taken only when it is a sector size.
  testing::Bytes boot(512, 0);
  testing::PutBytes(boot, 3, "NTFS    ");
  boot[510] = 0x55;
  boot[511] = 0xAA;
  for (const auto& [stated, expected] : std::vector<std::pair<uint16_t, uint32_t>>{
           {4096, 4096}, {2048, 2048}, {512, 512}, {0, 512}, {4095, 512}, {32768, 512}}) {
    testing::PutLe16(boot, 11, stated);
    EXPECT_EQ(SectorSizeFromHead(boot.data(), boot.size(), 1 << 20, nullptr, nullptr), expected) << stated;
  }
}

// A bare volume image made on 4096-byte sectors (a small FAT32, whose
// sector count sits in the 16-bit field) is opened and probed in its own
// sectors; --sector-size overrides what the bytes say.
TEST(ImageSectorSize, BareVolumeImageAndOverride) {
  VELMIRA_REQUIRE_TOOL("mkfs.vfat");
  testing::FatCard card(32, 32, "-S 4096");
  ASSERT_TRUE(card.ok());
  SectorSource source;
  OpenedTarget opened;
  ASSERT_EQ(OpenTargetSource(ImageTarget(card.image(), 1001), source, opened), kOk);
  EXPECT_EQ(opened.bytesPerSector, 4096u);
  EXPECT_EQ(opened.sectorCount, 8192u);
  EXPECT_EQ(source.sectorCount, 8192u);

  TargetProbe probe;
  ASSERT_EQ(ProbeTarget(ImageTarget(card.image(), 1001), probe), kOk);
  EXPECT_EQ(probe.kind, FileSystemKind::kFat) << "FAT32 with its sector count in the 16-bit field";
  EXPECT_EQ(probe.bytesPerSector, 4096u);
  {
    ForcedSectorSize forced(512);
    ASSERT_EQ(OpenTargetSource(ImageTarget(card.image(), 1001), source, opened), kOk);
    EXPECT_EQ(opened.bytesPerSector, 512u);
    EXPECT_EQ(opened.sectorCount, 65536u);
  }
  EXPECT_FALSE(SetSectorSizeOverride(1000));
  EXPECT_FALSE(SetSectorSizeOverride(256));
  EXPECT_EQ(SectorSizeOverride(), 0u);

  int status = 0;
  std::string out = CliOutput("probe " + ShellQuote(card.image()), status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("sector size:  4096"), std::string::npos) << out;
  EXPECT_NE(out.find("file system:  FAT"), std::string::npos) << out;
  out = CliOutput("--sector-size=512 probe " + ShellQuote(card.image()), status);
  EXPECT_NE(out.find("sector size:  512"), std::string::npos) << out;
  out = CliOutput("probe --sector-size 1000 " + ShellQuote(card.image()), status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(out.find("--sector-size needs a power of two"), std::string::npos) << out;
}

// The record size comes from the boot sector's clusters-per-record field.
TEST(NtfsRecordSize, TakenFromTheBootSector) {
  testing::Bytes boot(512, 0);
  testing::PutLe16(boot, 0x0B, 512);
  boot[0x0D] = 8;
  testing::PutLe64(boot, 0x30, 4);
  for (const auto& [field, expected] : std::vector<std::pair<uint8_t, uint32_t>>{{0xF6, 1024},
                                                                                 {0xF4, 4096},
                                                                                 {0x01, 4096},
                                                                                 {0x02, 8192},
                                                                                 {0x40, 1024},
                                                                                 {0x00, 1024},
                                                                                 {0x80, 1024}}) {
    boot[0x40] = field;
    NtfsGeometry g;
    ASSERT_EQ(NtfsGeometryFromBootSector(ByteView(boot.data(), boot.size()), 0, 1000, g), kOk);
    EXPECT_EQ(g.recordSize, expected) << int{field};
    EXPECT_EQ(g.sectorsPerRecord * g.bytesPerSector, g.recordSize);
    EXPECT_EQ(g.fixupCount, g.recordSize / 512);
  }
}

class FourKScan : public ::testing::Test {
 protected:
  // Scans an image with the combined engine; the carved .jpg sizes.
  static std::vector<uint64_t> CarvedPhotos(const std::string& image, CombinedSweepStats& stats) {
    auto engine = CreateEngineForImage(image, 1001, true);
    auto* combined = dynamic_cast<CDeepRecovery*>(engine.get());
    EXPECT_NE(combined, nullptr);
    if (combined == nullptr) return {};
    EXPECT_NE(combined->FastEngine(), nullptr);
    EXPECT_EQ(engine->Scan(""), kOk);
    stats = combined->Stats();
    std::vector<FoundRecord> carved;
    EXPECT_EQ(combined->Carver().CollectMatches("*.jpg|", carved), kOk);
    std::vector<uint64_t> sizes;
    for (const FoundRecord& r : carved) sizes.push_back(uint64_t{r.size});  // a copy: the field is packed
    return sizes;
  }

  testing::ScopedDataHome m_home;
};

// A deleted photo in the free space of an NTFS volume formatted with
// 4096-byte sectors (4096-byte records): the deep scan reads the records and
// the sweep of the free extents carves the photo, whether the image is read
// in its own sectors or forced to 512-byte ones.
TEST_F(FourKScan, NtfsVolumeRecordsAndFreeSpacePhoto) {
  testing::NtfsDisk disk(48, 0, "ntfs.img", 4096);
  if (const std::string why = disk.Unusable(); !why.empty()) GTEST_SKIP() << why;
  const testing::Bytes photo = testing::JpegPicture(300000, 7);
  ASSERT_TRUE(disk.Mount());
  disk.Put("keep.bin", testing::CardContent(50000, 3));
  disk.Put("DCIM/photo.jpg", photo);
  disk.Unmount();
  ASSERT_TRUE(disk.Mount());
  disk.Remove("DCIM/photo.jpg");
  disk.Unmount();

  // The second scan, in other sectors, does not continue the first one's
  // positions: it finds the photo once, at its own sector numbers.
  for (const uint32_t forced : {0u, 512u}) {
    SCOPED_TRACE(forced);
    ForcedSectorSize sectors(forced);
    CombinedSweepStats stats;
    const std::vector<uint64_t> sizes = CarvedPhotos(disk.image(), stats);
    EXPECT_TRUE(stats.freeSpaceOnly);
    EXPECT_FALSE(stats.resumed);
    EXPECT_EQ(std::count(sizes.begin(), sizes.end(), photo.size()), 1) << ::testing::PrintToString(sizes);

    // The deep NTFS sweep of the whole volume finds its 4096-byte records.
    CDeepNtfsRecovery deep;
    ASSERT_EQ(deep.OpenImage(disk.image(), 1001), kOk);
    EXPECT_EQ(deep.Geometry().recordSize, 4096u);
    ASSERT_EQ(deep.BeginDeepNtfsLog(""), kOk);
    ASSERT_EQ(SweepDeepNtfs(deep, nullptr, nullptr), kOk);
    std::vector<FoundRecord> named;
    ASSERT_EQ(deep.CollectMatches("*.jpg|*.bin|", named), kOk);
    std::vector<std::string> names;
    for (const FoundRecord& r : named) names.push_back(RecordName(r));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"keep.bin", "photo.jpg"}));
  }
}

// The same for a FAT16 card formatted with 4096-byte sectors: its free
// extents are given in the sweep's sectors.
TEST_F(FourKScan, FatFreeSpacePhotoWhenSweptIn512ByteSectors) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  testing::FatCard card(16, 32, "-S 4096 -s 1");
  ASSERT_TRUE(card.ok());
  ASSERT_TRUE(card.Put("fill.bin", testing::CardContent(6000000, 5)));
  const testing::Bytes photo = testing::JpegPicture(200000, 9);
  ASSERT_TRUE(card.Put("photo.jpg", photo));
  ASSERT_TRUE(card.Delete("photo.jpg"));

  ForcedSectorSize sectors(512);
  CombinedSweepStats stats;
  const std::vector<uint64_t> sizes = CarvedPhotos(card.image(), stats);
  EXPECT_TRUE(stats.freeSpaceOnly);
  EXPECT_LT(stats.totalSectors, 65536u - 6000000 / 512) << "the file's clusters are not swept";
  EXPECT_EQ(std::count(sizes.begin(), sizes.end(), photo.size()), 1) << ::testing::PrintToString(sizes);
}

}  // namespace
}  // namespace velmira
