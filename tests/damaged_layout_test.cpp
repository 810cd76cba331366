// Scanning a medium whose start cannot be read, and one whose boot sector
// gives a wrong but plausible layout: the backup boot sectors are used, the
// layout is checked against the medium, and the deep scan never finds less
// than carving the same medium.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engines/boot_sector_read.h"
#include "engines/fat/fat_layout_check.h"
#include "engines/fat/fat_volume.h"
#include "engines/ntfs/ntfs_layout_check.h"
#include "engines/ntfs/ntfs_structures.h"
#include "platform/errors.h"
#include "tests/fixtures/carving_samples.h"
#include "tests/fixtures/data_home.h"
#include "tests/fixtures/fat_card.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/memory_source.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using testing::FatCard;
using testing::MakeMemorySource;
using testing::MemoryReader;
using testing::ReadFileBytes;
using testing::RunCapture;
using testing::ShellQuote;
using testing::WriteFileBytes;

// A photo the carver can size exactly: a JPEG's header and tables, a scan
// of pseudo-random bytes without FF, and the end mark.
std::vector<uint8_t> Photo(size_t size, uint32_t seed) {
  std::vector<uint8_t> b = testing::JpegHead();
  std::mt19937 rng(seed);
  while (b.size() < size - 2) b.push_back(static_cast<uint8_t>(rng() % 255));
  b.push_back(0xFF);
  b.push_back(0xD9);
  return b;
}

// Photos in the root and in DCIM; the odd ones deleted.
struct PhotoCard {
  std::unique_ptr<FatCard> card;
  std::set<uint64_t> liveSizes, deletedSizes;
};

PhotoCard MakePhotoCard(int bits, unsigned mib, const std::string& extra) {
  PhotoCard c;
  c.card = std::make_unique<FatCard>(bits, mib, extra);
  if (!c.card->ok() || !c.card->Mkdir("DCIM")) {
    c.card.reset();
    return c;
  }
  std::vector<std::string> deleted;
  for (uint32_t i = 0; i < 6; ++i) {
    const size_t size = 20000 + i * 7919;
    const std::string path = (i < 2 ? "" : "DCIM/") + std::string("P") + std::to_string(i) + ".JPG";
    if (!c.card->Put(path, Photo(size, i + 1))) {
      c.card.reset();
      return c;
    }
    if (i % 2 == 1) {
      deleted.push_back(path);
      c.deletedSizes.insert(size);
    } else {
      c.liveSizes.insert(size);
    }
  }
  // Deleted once all are written, so that no photo takes a deleted one's place.
  for (const std::string& path : deleted) {
    if (!c.card->Delete(path)) {
      c.card.reset();
      return c;
    }
  }
  return c;
}

void PatchBytes(const std::string& image, size_t offset, const std::vector<uint8_t>& bytes) {
  std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(f.good());
}

struct CliRun {
  int status = 0;
  std::string out, err;
};

// velmira-cli in `dir`; with `badSectors` ("FIRST COUNT" lines) its reads of
// card.img fail there.
CliRun Cli(const testing::TempDir& dir, const std::string& args, const std::string& badSectors = "") {
  std::string env;
  if (!badSectors.empty()) {
    std::ofstream(dir.File("bad.txt")) << badSectors;
    env = "ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=" + ShellQuote(VELMIRA_BAD_SECTOR_SHIM) +
          " VELMIRA_SHIM_FILE=card.img VELMIRA_SHIM_SECTORS=bad.txt ";
  }
  CliRun r;
  r.out = RunCapture("cd " + ShellQuote(dir.path()) + " && " + env + ShellQuote(VELMIRA_CLI_PATH) + " " +
                         args + " 2>" + ShellQuote(dir.File("err")),
                     r.status);
  const auto err = ReadFileBytes(dir.File("err"));
  r.err.assign(err.begin(), err.end());
  return r;
}

// The sizes in the first column of a --list (after its heading).
std::multiset<uint64_t> ListedSizes(const std::string& listing) {
  std::multiset<uint64_t> sizes;
  std::istringstream in(listing);
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    uint64_t size = 0;
    if (fields >> size) sizes.insert(size);
  }
  return sizes;
}

bool Contains(const std::multiset<uint64_t>& all, uint64_t size) {
  return all.find(size) != all.end();
}

// ---- Reading the start of a failing medium -------------------------------

TEST(DamagedStart, SectorsAreReadOneByOneAndBackupBootSectorsStandIn) {
  VELMIRA_REQUIRE_TOOL("mkfs.vfat");
  VELMIRA_REQUIRE_TOOL("mkntfs");
  // A bad sector among good ones costs that sector alone.
  {
    std::vector<uint8_t> bytes(16 * 512);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(1 + i / 512);
    auto reader = std::make_shared<MemoryReader>(bytes);
    reader->FailRange(3 * 512, 4 * 512, kErrReadFault);
    const SectorSource source = MakeMemorySource(reader);
    std::vector<uint8_t> out(8 * 512, 0xAA);
    EXPECT_EQ(ReadSectorsEach(source, 0, 8, 512, out.data()), 1u);
    for (size_t s = 0; s < 8; ++s) EXPECT_EQ(out[s * 512], s == 3 ? 0 : s + 1) << "sector " << s;
    // Past the end of the source counts as unread, without a read.
    EXPECT_EQ(ReadSectorsEach(source, 14, 4, 512, out.data()), 2u);
  }

  testing::TempDir dir;
  // FAT32: sector 0 unreadable, the backup at sector 6 stands in.
  FatCard fat32(32, 40);
  ASSERT_TRUE(fat32.ok());
  auto reader = std::make_shared<MemoryReader>(ReadFileBytes(fat32.image()));
  const std::vector<uint8_t> primary(reader->bytes().begin(), reader->bytes().begin() + 512);
  reader->FailRange(0, 512, kErrReadFault);
  std::vector<uint8_t> boot;
  uint64_t from = 99;
  ASSERT_TRUE(ReadVolumeBootSector(MakeMemorySource(reader), 0, 0, 512, 4096, boot, from));
  EXPECT_EQ(from, 6u);
  ASSERT_EQ(boot.size(), 4096u);
  EXPECT_TRUE(std::equal(primary.begin() + 11, primary.begin() + 90, boot.begin() + 11));
  // A first sector that reads stands for itself: wiped, it tells no volume.
  {
    auto wiped = std::make_shared<MemoryReader>(reader->bytes());
    std::fill(wiped->bytes().begin(), wiped->bytes().begin() + 512, 0);
    EXPECT_FALSE(ReadVolumeBootSector(MakeMemorySource(wiped), 0, 0, 512, 4096, boot, from));
  }
  // With the backup gone too there is no boot sector; what was read is zeros.
  reader->FailRange(0, 41 * 512, kErrReadFault);
  EXPECT_FALSE(ReadVolumeBootSector(MakeMemorySource(reader), 0, 0, 512, 4096, boot, from));
  EXPECT_TRUE(std::all_of(boot.begin(), boot.end(), [](uint8_t b) { return b == 0; }));

  // NTFS: its backup sits in the volume's last sector.
  const std::string ntfs = dir.File("ntfs.img");
  ASSERT_TRUE(testing::MakeNtfsImage(ntfs, 8));
  auto ntfsReader = std::make_shared<MemoryReader>(ReadFileBytes(ntfs));
  const uint64_t sectors = ntfsReader->Size() / 512;
  ntfsReader->FailRange(0, 4096, kErrReadFault);
  ASSERT_TRUE(ReadVolumeBootSector(MakeMemorySource(ntfsReader), 0, 0, 512, 4096, boot, from));
  EXPECT_EQ(from, sectors - 1);
  EXPECT_EQ(std::memcmp(boot.data() + 3, "NTFS    ", 8), 0);
}

// recover on a card whose first sector cannot be read finds its deleted
// photos through the FAT32 backup boot sector; with the first 41 sectors of
// a FAT16 card unreadable (no backup) the whole medium is swept and every
// photo is carved. Both end with the bad-sector exit status.
TEST(DamagedStart, RecoverReadsPastABadStart) {
  VELMIRA_REQUIRE_TOOL("mkfs.vfat");
  VELMIRA_REQUIRE_TOOL("mcopy");
  testing::ScopedDataHome home;

  PhotoCard fat32 = MakePhotoCard(32, 40, "");
  ASSERT_TRUE(fat32.card);
  CliRun r = Cli(fat32.card->dir(), "recover card.img --list", "0 1\n");
  EXPECT_EQ(r.status, 6) << r.err;
  EXPECT_NE(r.err.find("backup boot sector (sector 6)"), std::string::npos) << r.err;
  std::multiset<uint64_t> listed = ListedSizes(r.out);
  for (uint64_t size : fat32.deletedSizes) EXPECT_TRUE(Contains(listed, size)) << size << "\n" << r.out;
  // The fast scan alone works from the backup too, and the names come from
  // the folders (not numbered carvings).
  r = Cli(fat32.card->dir(), "recover card.img --fast --list", "0 1\n");
  EXPECT_EQ(r.status, 6) << r.err;
  listed = ListedSizes(r.out);
  for (uint64_t size : fat32.deletedSizes) EXPECT_TRUE(Contains(listed, size)) << size << "\n" << r.out;
  EXPECT_NE(r.out.find("dcim/"), std::string::npos) << r.out;
  r = Cli(fat32.card->dir(), "probe card.img", "0 1\n");
  EXPECT_EQ(r.status, 6) << r.err;
  EXPECT_NE(r.out.find("file system:  FAT"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("unreadable:   1 of the first 32 sectors"), std::string::npos) << r.out;

  PhotoCard fat16 = MakePhotoCard(16, 32, "-s 1");
  ASSERT_TRUE(fat16.card);
  r = Cli(fat16.card->dir(), "recover card.img --list", "0 41\n");
  EXPECT_EQ(r.status, 6) << r.err;
  EXPECT_NE(r.err.find("whole medium"), std::string::npos) << r.err;
  listed = ListedSizes(r.out);
  for (uint64_t size : fat16.deletedSizes) EXPECT_TRUE(Contains(listed, size)) << size << "\n" << r.out;
  for (uint64_t size : fat16.liveSizes) EXPECT_TRUE(Contains(listed, size)) << size << "\n" << r.out;
}

// ---- Layouts that lie ------------------------------------------------------

struct Lie {
  const char* what;
  size_t offset;   // of the field in the boot sector
  size_t width;    // 1, 2 or 4 bytes
  uint32_t value;  // 0: double the field
};

// One wrong but plausible field at a time, on a FAT16 and a FAT32 card.
const Lie kFat16Lies[] = {
    {"reserved sectors +16", 14, 2, 17},  // mkfs.vfat gives FAT16 one reserved sector
    {"three tables", 16, 1, 3},
    {"table size doubled", 22, 2, 0},
    {"four sectors per cluster", 13, 1, 4},
    {"1024 root entries", 17, 2, 1024},
    {"65535 root entries", 17, 2, 65535},
};
const Lie kFat32Lies[] = {
    {"48 reserved sectors", 14, 2, 48},
    {"three tables", 16, 1, 3},
    {"table size doubled", 36, 4, 0},
    {"two sectors per cluster", 13, 1, 2},
};

void Tell(const std::string& image, const Lie& lie) {
  std::vector<uint8_t> head = ReadFileBytes(image);
  head.resize(512);
  uint32_t value = lie.value;
  if (value == 0) {
    for (size_t i = 0; i < lie.width; ++i) value |= uint32_t{head[lie.offset + i]} << (8 * i);
    value *= 2;
  }
  std::vector<uint8_t> bytes(lie.width);
  for (size_t i = 0; i < lie.width; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  PatchBytes(image, lie.offset, bytes);
}

bool LayoutHoldsOn(const std::string& image) {
  SectorSource source;
  if (OpenImageSource(source, image) != kOk) return false;
  std::vector<uint8_t> boot(512);
  uint32_t got = 0;
  if (ReadSectors(1, source, boot.data(), 0, 512, got) != kOk) return false;
  FatGeometry geometry;
  if (!ReadFatGeometry(ByteView(boot.data(), boot.size()), geometry)) return false;
  const bool holds =
      FatLayoutHolds(source, 0, source.sectorCount, ByteView(boot.data(), boot.size()), geometry);
  (void)CloseSource(source);
  return holds;
}

// The deep scan lists every photo carving finds (but those still in place,
// which are not lost) on each lying card; and the check tells each lie from
// the true layout.
TEST(LyingLayout, DeepScanNeverFindsLessThanCarving) {
  VELMIRA_REQUIRE_TOOL("mkfs.vfat");
  VELMIRA_REQUIRE_TOOL("mcopy");
  testing::ScopedDataHome home;
  struct Card {
    int bits;
    unsigned mib;
    const char* extra;
    const Lie* lies;
    size_t count;
  };
  const Card cards[] = {{16, 32, "-s 8", kFat16Lies, std::size(kFat16Lies)},
                        {32, 40, "-s 1", kFat32Lies, std::size(kFat32Lies)}};
  for (const Card& c : cards) {
    PhotoCard card = MakePhotoCard(c.bits, c.mib, c.extra);
    ASSERT_TRUE(card.card);
    const std::string image = card.card->image();
    EXPECT_TRUE(LayoutHoldsOn(image)) << "FAT" << c.bits;
    const std::vector<uint8_t> truth = ReadFileBytes(image);
    for (size_t i = 0; i < c.count; ++i) {
      const Lie& lie = c.lies[i];
      SCOPED_TRACE(std::string("FAT") + std::to_string(c.bits) + ": " + lie.what);
      WriteFileBytes(image, truth);
      Tell(image, lie);
      EXPECT_FALSE(LayoutHoldsOn(image));
      const CliRun carved = Cli(card.card->dir(), "carve card.img --list");
      ASSERT_EQ(carved.status, 0) << carved.err;
      const std::multiset<uint64_t> carvedSizes = ListedSizes(carved.out);
      for (uint64_t size : card.deletedSizes) ASSERT_TRUE(Contains(carvedSizes, size)) << carved.out;
      std::filesystem::remove_all(home.ScanLogFolder());
      const CliRun recovered = Cli(card.card->dir(), "recover card.img --list");
      EXPECT_EQ(recovered.status, 0) << recovered.err;
      const std::multiset<uint64_t> listed = ListedSizes(recovered.out);
      for (uint64_t size : carvedSizes)
        if (!card.liveSizes.count(size)) {
          EXPECT_TRUE(Contains(listed, size)) << size << "\n" << recovered.out;
        }
    }
  }
}

// A sector of the second table that cannot be read is no evidence against
// the layout; an NTFS boot sector that puts the $MFT elsewhere is.
TEST(LyingLayout, UnreadableSectorsAreNoEvidenceAndTheMftIsChecked) {
  VELMIRA_REQUIRE_TOOL("mkfs.vfat");
  VELMIRA_REQUIRE_TOOL("mkntfs");
  FatCard fat16(16, 32);
  ASSERT_TRUE(fat16.ok());
  auto reader = std::make_shared<MemoryReader>(ReadFileBytes(fat16.image()));
  const ByteView boot(reader->bytes().data(), 512);
  FatGeometry g;
  ASSERT_TRUE(ReadFatGeometry(boot, g));
  const uint64_t second = uint64_t{g.reservedSectors} + g.sectorsPerTable;
  reader->bytes()[second * 512] ^= 0x01;  // the copies now differ...
  EXPECT_FALSE(FatLayoutHolds(MakeMemorySource(reader), 0, reader->Size() / 512, boot, g));
  reader->FailRange(second * 512, (second + 1) * 512, kErrReadFault);  // ...where nothing can be read
  EXPECT_TRUE(FatLayoutHolds(MakeMemorySource(reader), 0, reader->Size() / 512, boot, g));

  testing::TempDir dir;
  const std::string ntfs = dir.File("ntfs.img");
  ASSERT_TRUE(testing::MakeNtfsImage(ntfs, 8));
  std::vector<uint8_t> bytes = ReadFileBytes(ntfs);
  const uint64_t sectors = bytes.size() / 512;
  auto check = [&](const std::vector<uint8_t>& image) {
    const ByteView view(image.data(), 512);
    NtfsGeometry geometry;
    EXPECT_EQ(NtfsGeometryFromBootSector(view, 0, sectors, geometry), kOk);
    return NtfsLayoutHolds(MakeMemorySource(image), geometry, view);
  };
  EXPECT_TRUE(check(bytes));
  std::vector<uint8_t> moved = bytes;
  moved[0x30] ^= 0x02;  // the $MFT's cluster
  EXPECT_FALSE(check(moved));
  // The $MFT named elsewhere in both boot sectors: the record still tells.
  std::memcpy(moved.data() + (sectors - 1) * 512, moved.data(), 512);
  EXPECT_FALSE(check(moved));
  // A field changed in the primary alone shows against the backup.
  std::vector<uint8_t> hidden = bytes;
  hidden[0x1C] ^= 0x3F;
  EXPECT_FALSE(check(hidden));
}

}  // namespace
}  // namespace velmira
