#include "engines/boot_sector.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using Bytes = std::vector<uint8_t>;

// The host is little-endian, as the stored fields are.
template <typename T>
void PutLe(Bytes& b, size_t off, T v) {
  ASSERT_LE(off + sizeof v, b.size());
  std::memcpy(b.data() + off, &v, sizeof v);
}
void Put16(Bytes& b, size_t off, uint16_t v) {
  PutLe(b, off, v);
}
void Put32(Bytes& b, size_t off, uint32_t v) {
  PutLe(b, off, v);
}
void Put64(Bytes& b, size_t off, uint64_t v) {
  PutLe(b, off, v);
}

Bytes NtfsBoot(uint8_t sectorsPerCluster = 8) {
  Bytes b(512, 0);
  std::memcpy(&b[3], "NTFS    ", 8);
  Put16(b, 11, 512);
  b[13] = sectorsPerCluster;
  Put64(b, 40, 204800);
  b[510] = 0x55;
  b[511] = 0xAA;
  return b;
}

Bytes Fat16Boot() {
  Bytes b(512, 0);
  std::memcpy(&b[3], "mkfs.fat", 8);
  Put16(b, 11, 512);
  b[13] = 4;
  Put16(b, 14, 4);
  b[16] = 2;
  Put16(b, 17, 512);
  Put16(b, 19, 40960);
  Put16(b, 22, 40);
  b[510] = 0x55;
  b[511] = 0xAA;
  return b;
}

Bytes Fat32Boot() {
  Bytes b(512, 0);
  Put16(b, 11, 512);
  b[13] = 1;
  Put16(b, 14, 32);
  b[16] = 2;
  Put32(b, 32, 200000);
  Put32(b, 36, 1550);
  std::memcpy(&b[82], "FAT32   ", 8);
  b[510] = 0x55;
  b[511] = 0xAA;
  return b;
}

ByteView View(const Bytes& b) {
  return ByteView(b.data(), b.size());
}

TEST(BootSector, NtfsFieldRules) {
  EXPECT_TRUE(IsNtfsBootSector(View(NtfsBoot())));
  for (uint8_t spc : {1, 2, 4, 8, 16, 32, 64, 128})
    EXPECT_TRUE(IsNtfsBootSector(View(NtfsBoot(spc)))) << int(spc);
  for (uint8_t spc : {0, 3, 6, 129, 0xF8}) EXPECT_FALSE(IsNtfsBootSector(View(NtfsBoot(spc)))) << int(spc);

  struct Damage {
    const char* what;
    void (*apply)(Bytes&);
  };
  const Damage damages[] = {
      {"oem text", [](Bytes& b) { b[10] = 'X'; }},
      {"bytes per sector not a multiple of 512", [](Bytes& b) { Put16(b, 11, 520); }},
      {"reserved sectors", [](Bytes& b) { Put16(b, 14, 1); }},
      {"total sectors zero", [](Bytes& b) { Put64(b, 40, 0); }},
      {"byte 16", [](Bytes& b) { b[16] = 1; }},
      {"byte 20", [](Bytes& b) { b[20] = 1; }},
      {"byte 22", [](Bytes& b) { b[22] = 1; }},
      {"byte 35", [](Bytes& b) { b[35] = 1; }},
      {"signature", [](Bytes& b) { b[511] = 0; }},
  };
  for (const auto& d : damages) {
    Bytes b = NtfsBoot();
    d.apply(b);
    EXPECT_FALSE(IsNtfsBootSector(View(b))) << d.what;
  }
  Bytes zeroBps = NtfsBoot();
  Put16(zeroBps, 11, 0);
  EXPECT_TRUE(IsNtfsBootSector(View(zeroBps))) << "0 is a multiple of 512";
  Bytes shortSector = NtfsBoot();
  shortSector.resize(511);
  EXPECT_FALSE(IsNtfsBootSector(View(shortSector)));
}

TEST(BootSector, FatVariantsAndClusterCountChoice) {
  EXPECT_TRUE(IsFat16BootSector(View(Fat16Boot())));
  EXPECT_TRUE(IsFatBootSector(View(Fat16Boot())));
  EXPECT_TRUE(IsFat32BootSector(View(Fat32Boot())));
  EXPECT_TRUE(IsFatBootSector(View(Fat32Boot())));

  Bytes b = Fat16Boot();
  b[13] = 3;
  EXPECT_FALSE(IsFatBootSector(View(b))) << "sectors per cluster must be a power of two";
  b = Fat16Boot();
  Put16(b, 11, 0);
  EXPECT_FALSE(IsFatBootSector(View(b)));
  b = Fat16Boot();
  b[13] = 0;
  EXPECT_FALSE(IsFatBootSector(View(b)));
  b = Fat16Boot();
  b[16] = 0;
  EXPECT_FALSE(IsFatBootSector(View(b)));
  b = Fat32Boot();
  std::memcpy(&b[82], "FAT16   ", 8);
  EXPECT_FALSE(IsFatBootSector(View(b))) << "many clusters and no FAT16 fields";

  // Layout fields so large that the cluster count wraps around are refused.
  b = Fat16Boot();
  Put16(b, 14, 0xFFFF);
  EXPECT_FALSE(IsFatBootSector(View(b)));
}

TEST(BootSector, EncryptedVolumesAreNotFat) {
  Bytes b = Fat32Boot();
  std::memcpy(&b[3], "-FVE-FS-", 8);
  EXPECT_TRUE(IsEncryptedVolumeBootSector(View(b)));
  EXPECT_FALSE(IsFatBootSector(View(b)));

  b = Fat32Boot();
  std::memset(&b[480], 'x', 8);
  std::memset(&b[488], 0xFF, 19);
  b[507] = 0x00;
  b[508] = 0x1F;
  b[509] = 0x2C;
  EXPECT_TRUE(IsEncryptedVolumeBootSector(View(b)));
  EXPECT_FALSE(IsFatBootSector(View(b)));
  b[509] = 0x2D;
  EXPECT_FALSE(IsEncryptedVolumeBootSector(View(b)));
  EXPECT_TRUE(IsFatBootSector(View(b)));
}

Bytes ExtSuperblock() {
  Bytes sb(1024, 0);
  Put32(sb, 0, 2048);
  Put32(sb, 4, 8192);
  Put32(sb, 20, 1);
  Put32(sb, 32, 8192);
  Put32(sb, 40, 2048);
  Put16(sb, 56, 0xEF53);
  Put32(sb, 84, 11);
  return sb;
}

TEST(BootSector, ExtSuperblockRules) {
  const Bytes sb = ExtSuperblock();
  EXPECT_TRUE(IsExtSuperblock(View(sb)));
  Bytes b = sb;
  Put32(b, 20, 0);
  EXPECT_FALSE(IsExtSuperblock(View(b))) << "1 KiB blocks start at block 1";
  b = sb;
  Put32(b, 24, 2);
  EXPECT_FALSE(IsExtSuperblock(View(b))) << "4 KiB blocks start at block 0";
  Put32(b, 20, 0);
  EXPECT_TRUE(IsExtSuperblock(View(b)));
  b = sb;
  Put32(b, 24, 0xFFFFFFFF);  // a hostile shift count must not be evaluated
  EXPECT_FALSE(IsExtSuperblock(View(b)));
  b = sb;
  Put32(b, 40, 1024);
  EXPECT_FALSE(IsExtSuperblock(View(b))) << "group counts disagree";
  b = sb;
  Put32(b, 84, 2);
  EXPECT_FALSE(IsExtSuperblock(View(b)));
  b = sb;
  Put32(b, 32, 0);
  EXPECT_FALSE(IsExtSuperblock(View(b)));
  b = sb;
  Put32(b, 84, 2048);
  EXPECT_FALSE(IsExtSuperblock(View(b))) << "first inode must be below the inode count";
}

TEST(BootSector, ClassificationOrder) {
  Bytes head(16384, 0);
  // A boot sector carrying FAT32 text and a FAT size (fields NTFS leaves
  // alone) is still NTFS only: the FAT tests need a FAT count at byte 16,
  // which NTFS requires to be 0, so no sector passes both.
  Bytes ntfs = NtfsBoot();
  Put32(ntfs, 36, 100);
  std::memcpy(&ntfs[82], "FAT32   ", 8);
  std::copy(ntfs.begin(), ntfs.end(), head.begin());
  EXPECT_EQ(ClassifyFileSystem(View(head)), FileSystemKind::kNtfs);
  // An ext superblock behind it (one file system formatted over another)
  // makes two claims: neither is trusted, and both are named.
  const Bytes sb = ExtSuperblock();
  std::copy(sb.begin(), sb.end(), head.begin() + 1024);
  const HeadClassification both = ClassifyHead(View(head));
  EXPECT_EQ(both.kind, FileSystemKind::kAmbiguous);
  EXPECT_EQ(both.accepted, (std::vector<FileSystemKind>{FileSystemKind::kNtfs, FileSystemKind::kExt}));
  EXPECT_EQ(FileSystemText(both), "ambiguous (NTFS, ext)");

  std::fill(head.begin() + 1024, head.begin() + 2048, 0);
  const Bytes fat = Fat16Boot();
  std::copy(fat.begin(), fat.end(), head.begin());
  EXPECT_EQ(ClassifyFileSystem(View(head)), FileSystemKind::kFat);
  std::copy(sb.begin(), sb.end(), head.begin() + 1024);
  EXPECT_EQ(ClassifyFileSystem(View(head)), FileSystemKind::kAmbiguous);
  // An encrypted volume is not FAT; the ext superblock behind it decides.
  std::memcpy(&head[3], "-FVE-FS-", 8);
  EXPECT_EQ(ClassifyFileSystem(View(head)), FileSystemKind::kExt);
  std::fill(head.begin() + 1024, head.begin() + 2048, 0);
  EXPECT_EQ(ClassifyFileSystem(View(head)), FileSystemKind::kOther);
  EXPECT_EQ(ClassifyFileSystem(ByteView(head.data(), 100)), FileSystemKind::kOther);
}

TEST(BootSector, ImagesMadeByTheRealTools) {
  VELMIRA_REQUIRE_TOOL("mkfs.vfat");
  testing::TempDir dir;
  struct Case {
    int bits;
    unsigned mib;
  };
  for (const Case c : {Case{12, 2}, Case{16, 20}, Case{32, 40}}) {
    const std::string img = dir.File("fat" + std::to_string(c.bits) + ".img");
    ASSERT_TRUE(testing::MakeFatImage(img, c.bits, c.mib));
    const Bytes head = testing::ReadFileBytes(img);
    EXPECT_EQ(ClassifyFileSystem(View(head)), FileSystemKind::kFat) << c.bits;
    EXPECT_EQ(IsFat32BootSector(View(head)), c.bits == 32);
  }
  if (testing::ToolAvailable("mkntfs")) {
    const std::string img = dir.File("ntfs.img");
    ASSERT_TRUE(testing::MakeNtfsImage(img, 8));
    EXPECT_EQ(ClassifyFileSystem(View(testing::ReadFileBytes(img))), FileSystemKind::kNtfs);
  }
  if (testing::ToolAvailable("mke2fs")) {
    const std::string img = dir.File("ext.img");
    ASSERT_TRUE(testing::MakeExtImage(img, 8));
    EXPECT_EQ(ClassifyFileSystem(View(testing::ReadFileBytes(img))), FileSystemKind::kExt);
  }
}

TEST(BootSector, CorpusBootSectors) {
  VELMIRA_REQUIRE_CORPUS(dir, "msuhanov__dfir_ntfs/test_data");
  auto load = [&](const char* name) { return testing::ReadFileBytes(dir + "/" + name); };
  for (const char* name : {"512.boot", "4k.boot", "4kn.boot", "64k.boot", "volume_start.bin"}) {
    const Bytes b = load(name);
    ASSERT_FALSE(b.empty()) << name;
    EXPECT_TRUE(IsNtfsBootSector(View(b))) << name;
  }
  // 128 KiB clusters are written as a negative exponent (0xF8), which the
  // sector-per-cluster rule does not accept; a sector without 55 AA fails too.
  EXPECT_FALSE(IsNtfsBootSector(View(load("128k.boot"))));
  EXPECT_FALSE(IsNtfsBootSector(View(load("nobootcode.boot"))));
  for (const char* name : {"fat12_bs.bin", "fat32_bs.bin", "fat32_bs_dirty.bin", "fat16_edge.bin"}) {
    const Bytes b = load(name);
    EXPECT_TRUE(IsFatBootSector(View(b))) << name;
    EXPECT_FALSE(IsNtfsBootSector(View(b))) << name;
  }
  EXPECT_TRUE(IsFat32BootSector(View(load("fat32_bs.bin"))));
  EXPECT_FALSE(IsFatBootSector(View(load("exfat_br.bin"))));
  EXPECT_FALSE(IsNtfsBootSector(View(load("exfat_br.bin"))));
}

}  // namespace
}  // namespace velmira
