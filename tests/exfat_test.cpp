// exFAT: entry sets and the boot region on bytes, the fast scan on the
// exFAT images of the shared corpus (against The Sleuth Kit's listings),
// and the undelete and quick-format cases on cards made with mkfs.exfat and
// written through exfat-fuse (root and FUSE needed; skipped otherwise).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "engines/boot_sector.h"
#include "engines/combined/deep_recovery.h"
#include "engines/engine_factory.h"
#include "engines/exfat/deep_exfat_recovery.h"
#include "engines/exfat/exfat_format.h"
#include "engines/exfat/exfat_volume.h"
#include "engines/exfat/fast_exfat_recovery.h"
#include "platform/drives.h"
#include "platform/errors.h"
#include "platform/text.h"
#include "platform/time_util.h"
#include "tests/fixtures/carving_samples.h"
#include "tests/fixtures/data_home.h"
#include "tests/fixtures/engine_listing.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/memory_source.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

namespace fs = std::filesystem;
using testing::ShellQuote;

const std::string kCorpusDir = "msuhanov__dfir_ntfs/test_data/";

ByteView View(const std::vector<uint8_t>& bytes) {
  return ByteView(bytes.data(), bytes.size());
}

// A set as a live file system writes it: File, Stream, Name entries, then
// the checksum over all of them.
std::vector<uint8_t> MakeSet(const std::u16string& name, uint16_t attributes, uint32_t firstCluster,
                             uint64_t length, bool noFatChain = true) {
  const uint32_t names = static_cast<uint32_t>((name.size() + 14) / 15);
  std::vector<uint8_t> set(size_t{names + 2} * 32, 0);
  set[0] = kExfatFileEntry;
  set[1] = static_cast<uint8_t>(names + 1);
  set[4] = static_cast<uint8_t>(attributes);
  set[32] = kExfatStreamEntry;
  set[33] = noFatChain ? 0x03 : 0x01;  // allocation possible, NoFatChain
  set[35] = static_cast<uint8_t>(name.size());
  for (int i = 0; i < 8; ++i) {
    set[40 + i] = static_cast<uint8_t>(length >> (8 * i));  // valid data length
    set[56 + i] = static_cast<uint8_t>(length >> (8 * i));
  }
  for (int i = 0; i < 4; ++i) set[52 + i] = static_cast<uint8_t>(firstCluster >> (8 * i));
  for (size_t i = 0; i < name.size(); ++i) {
    const size_t at = (2 + i / 15) * 32 + 2 + (i % 15) * 2;
    set[(2 + i / 15) * 32] = kExfatNameEntry;
    set[at] = static_cast<uint8_t>(name[i]);
    set[at + 1] = static_cast<uint8_t>(name[i] >> 8);
  }
  const uint16_t sum = ExfatSetChecksum(View(set));
  set[2] = static_cast<uint8_t>(sum);
  set[3] = static_cast<uint8_t>(sum >> 8);
  return set;
}

uint64_t Utc(int y, int mo, int d, int h, int mi, int s, int ms) {
  CivilTime c;
  c.year = y, c.month = mo, c.day = d, c.hour = h, c.minute = mi, c.second = s, c.millisecond = 0;
  uint64_t t = 0;
  EXPECT_TRUE(FileTimeFromCivil(c, t));
  return t + uint64_t(ms) * 10000;
}

uint32_t Stamp(int y, int mo, int d, int h, int mi, int s) {
  return uint32_t(y - 1980) << 25 | uint32_t(mo) << 21 | uint32_t(d) << 16 | uint32_t(h) << 11 |
         uint32_t(mi) << 5 | uint32_t(s / 2);
}

// ---- Entry sets and times ------------------------------------------------

TEST(ExfatFormat, SetsOfARealFolderParseAndADeletedSetKeepsItsChecksum) {
  VELMIRA_REQUIRE_CORPUS(path, kCorpusDir + "exfat_dir.bin");
  std::vector<uint8_t> folder = testing::ReadFileBytes(path);
  size_t sets = 0;
  size_t firstAt = 0;
  for (size_t off = 0; off + 32 <= folder.size(); off += 32) {
    ExfatEntrySet set;
    if (!ParseExfatEntrySet(View(folder), off, set)) continue;
    if (sets++ == 0) firstAt = off;
    EXPECT_FALSE(set.name.empty());
  }
  ASSERT_GT(sets, 0u);
  // The sweep's test, with its first look in front, finds the folder.
  size_t sectorsWithSets = 0;
  for (size_t at = 0; at + 512 <= folder.size(); at += 512) {
    const ByteView sector(folder.data() + at, 512);
    EXPECT_EQ(CDeepExfatRecovery::HasEntrySet(sector), HasExfatEntrySet(sector, 512)) << at;
    sectorsWithSets += CDeepExfatRecovery::HasEntrySet(sector);
  }
  EXPECT_GT(sectorsWithSets, 0u);
  ExfatEntrySet live;
  ASSERT_TRUE(ParseExfatEntrySet(View(folder), firstAt, live));
  // Deleting clears the in-use bits and leaves the checksum: still one set.
  const uint32_t entries = folder[firstAt + 1] + 1u;
  for (uint32_t i = 0; i < entries; ++i) folder[firstAt + i * 32] &= 0x7F;
  ExfatEntrySet deleted;
  ASSERT_TRUE(ParseExfatEntrySet(View(folder), firstAt, deleted));
  EXPECT_TRUE(deleted.deleted);
  EXPECT_EQ(deleted.name, live.name);
  EXPECT_EQ(deleted.firstCluster, live.firstCluster);
  // One changed byte of the name, or a set half live and half deleted, is refused.
  folder[firstAt + 66] ^= 0x01;
  EXPECT_FALSE(ParseExfatEntrySet(View(folder), firstAt, deleted));
  folder[firstAt + 66] ^= 0x01;
  folder[firstAt] |= 0x80;
  EXPECT_FALSE(ParseExfatEntrySet(View(folder), firstAt, deleted));
}

TEST(ExfatFormat, LongNamesAcrossEntriesAndSetsCutShortOrUnderSized) {
  std::u16string name;
  for (int i = 0; i < 40; ++i)
    name.push_back(static_cast<char16_t>(u'а' + i % 32));  // Cyrillic, 3 name entries
  name += u".jpg";
  std::vector<uint8_t> set = MakeSet(name, 0x20, 7, 123456);
  ExfatEntrySet parsed;
  ASSERT_TRUE(ParseExfatEntrySet(View(set), 0, parsed));
  EXPECT_EQ(parsed.name, Utf16ToUtf8(name));
  EXPECT_TRUE(parsed.noFatChain);
  EXPECT_EQ(parsed.firstCluster, 7u);
  EXPECT_EQ(parsed.dataLength, 123456u);
  EXPECT_TRUE(HasExfatEntrySet(View(set), 32));
  // The set runs past the bytes there are.
  EXPECT_FALSE(ParseExfatEntrySet(ByteView(set.data(), set.size() - 1), 0, parsed));
  EXPECT_FALSE(HasExfatEntrySet(ByteView(set.data(), set.size() - 32), 32));
  // A name longer than its Name entries can hold.
  std::vector<uint8_t> longer = set;
  longer[35] = static_cast<uint8_t>(name.size() + 15);
  EXPECT_FALSE(ParseExfatEntrySet(View(longer), 0, parsed));
  // Fewer than two secondaries is no set.
  std::vector<uint8_t> one = set;
  one[1] = 1;
  EXPECT_FALSE(ParseExfatEntrySet(View(one), 0, parsed));
}

TEST(ExfatFormat, TimesCarryTheirTenMillisecondsAndUtcOffset) {
  // 20:35:22 + 1.40 s, written at UTC+3 (12 quarter hours, valid bit set).
  EXPECT_EQ(ExfatFileTime(Stamp(2022, 1, 23, 20, 35, 22), 140, 0x8C), Utc(2022, 1, 23, 17, 35, 23, 400));
  // UTC-5 (-20 quarter hours as 7-bit two's complement).
  EXPECT_EQ(ExfatFileTime(Stamp(2022, 1, 23, 20, 35, 22), 0, 0x80 | (128 - 20)),
            Utc(2022, 1, 24, 1, 35, 22, 0));
  EXPECT_EQ(ExfatFileTime(0, 0, 0x80), 0u);
  EXPECT_EQ(ExfatFileTime(Stamp(2022, 13, 1, 0, 0, 0), 0, 0x80), 0u);  // no 13th month
}

// ---- Boot region ---------------------------------------------------------

TEST(ExfatBootRegion, ClassifiedAsExfatAndTheBackupServesWhenTheMainOneIsDamaged) {
  VELMIRA_REQUIRE_CORPUS(gz, kCorpusDir + "exfat_win.raw.gz");
  testing::TempDir dir;
  const std::string image = dir.File("exfat_win.raw");
  ASSERT_TRUE(testing::GunzipTo(gz, image));
  std::vector<uint8_t> bytes = testing::ReadFileBytes(image);
  ASSERT_GE(bytes.size(), 16384u);
  EXPECT_EQ(ClassifyFileSystem(ByteView(bytes.data(), 16384)), FileSystemKind::kExfat);
  EXPECT_STREQ(FileSystemKindName(FileSystemKind::kExfat), "exFAT");

  auto open = [&](ExfatVolume& volume) {
    testing::WriteFileBytes(image, bytes);
    SectorSource source;
    EXPECT_EQ(OpenImageSource(source, image), kOk);
    const int32_t err = volume.Open(&source, 0, 0, 512);
    CloseSource(source);
    return err;
  };
  ExfatVolume whole;
  ASSERT_EQ(open(whole), kOk);
  EXPECT_FALSE(whole.FromBackup());
  // A byte of the main region's OEM sector breaks its checksum, not the boot sector test.
  bytes[9 * 512 + 100] ^= 0xFF;
  ExfatVolume fromBackup;
  ASSERT_EQ(open(fromBackup), kOk);
  EXPECT_TRUE(fromBackup.FromBackup());
  EXPECT_EQ(fromBackup.Geometry().heapOffset, whole.Geometry().heapOffset);
  bytes[(12 + 9) * 512 + 100] ^= 0xFF;
  ExfatVolume none;
  EXPECT_EQ(open(none), kErrInvalidData);
}

// ---- Volumes built here ----------------------------------------------------

// A small exFAT volume built in memory, in sectors of any size: boot and
// backup regions, the table, the bitmap (cluster 2) and the root (cluster
// 4), then folders and files on clusters the test chooses. A deleted item
// keeps its table entries, as drivers leave them.
class BuiltVolume {
 public:
  static constexpr uint32_t kRoot = 4;
  static constexpr uint32_t kEnd = 0xFFFFFFFFu;

  BuiltVolume(uint32_t bps, uint32_t spc, uint32_t clusters = 128) : m_bps(bps), m_spc(spc) {
    const uint32_t fatLength = ((clusters + 2) * 4 + bps - 1) / bps;
    m_heap = (24 + fatLength + 63) / 64 * 64;
    m_bytes.assign(size_t{m_heap + clusters * spc} * bps, 0);
    testing::Bytes boot(size_t{bps} * 12, 0);
    testing::PutBytes(boot, 0,
                      std::string_view("\xEB\x76\x90"
                                       "EXFAT   "));
    testing::PutLe64(boot, 72, m_heap + uint64_t{clusters} * spc);
    testing::PutLe32(boot, 80, 24);
    testing::PutLe32(boot, 84, fatLength);
    testing::PutLe32(boot, 88, m_heap);
    testing::PutLe32(boot, 92, clusters);
    testing::PutLe32(boot, 96, kRoot);
    boot[105] = 1;
    boot[108] = static_cast<uint8_t>(std::countr_zero(bps));
    boot[109] = static_cast<uint8_t>(std::countr_zero(spc));
    boot[110] = 1;
    boot[510] = 0x55;
    boot[511] = 0xAA;
    const uint32_t sum = ExfatBootChecksum(View(boot), bps);
    for (size_t off = size_t{bps} * 11; off < boot.size(); off += 4) testing::PutLe32(boot, off, sum);
    testing::PutBytes(m_bytes, 0, boot);
    testing::PutBytes(m_bytes, boot.size(), boot);
    Fat(0, 0xFFFFFFF8u);
    Fat(1, kEnd);
    for (const uint32_t c : {2u, 3u, kRoot}) {
      Fat(c, kEnd);
      Use(c);
    }
    const size_t root = ClusterByte(kRoot);
    m_bytes[root] = kExfatBitmapEntry;
    testing::PutLe32(m_bytes, root + 20, 2);
    testing::PutLe64(m_bytes, root + 24, (clusters + 7) / 8);
    m_bytes[root + 32] = kExfatUpcaseEntry;
    testing::PutLe32(m_bytes, root + 52, 3);
    testing::PutLe64(m_bytes, root + 56, 128);
    m_next[kRoot] = 64;
  }
  [[nodiscard]] uint32_t ClusterBytes() const { return m_bps * m_spc; }
  [[nodiscard]] uint32_t Heap() const { return m_heap; }
  std::vector<uint8_t>& Image() { return m_bytes; }
  void Fat(uint32_t cluster, uint32_t value) { testing::PutLe32(m_bytes, 24 * m_bps + cluster * 4, value); }

  void Folder(uint32_t parent, const std::u16string& name, uint32_t cluster, bool deleted) {
    AddSet(parent, MakeSet(name, kExfatAttrFolder, cluster, ClusterBytes()), deleted);
    if (!deleted) Use(cluster);
  }
  // A file on `clusters`, chained through the table unless they are one run
  // marked NoFatChain.
  void File(uint32_t parent, const std::u16string& name, const std::vector<uint32_t>& clusters,
            const std::vector<uint8_t>& data, bool deleted, bool chained = true) {
    AddSet(parent, MakeSet(name, 0x20, clusters.front(), data.size(), !chained), deleted);
    for (size_t i = 0; i < clusters.size(); ++i) {
      const size_t from = i * ClusterBytes();
      std::copy_n(data.begin() + static_cast<ptrdiff_t>(from),
                  std::min<size_t>(ClusterBytes(), data.size() - from),
                  m_bytes.begin() + static_cast<ptrdiff_t>(ClusterByte(clusters[i])));
      if (chained) Fat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : kEnd);
      if (!deleted) Use(clusters[i]);
    }
  }

 private:
  [[nodiscard]] size_t ClusterByte(uint32_t cluster) const {
    return (size_t{m_heap} + size_t{cluster - 2} * m_spc) * m_bps;
  }
  void Use(uint32_t cluster) {
    m_bytes[ClusterByte(2) + (cluster - 2) / 8] |= uint8_t(1u << ((cluster - 2) % 8));
  }
  void AddSet(uint32_t folder, std::vector<uint8_t> set, bool deleted) {
    if (deleted)
      for (size_t off = 0; off < set.size(); off += 32) set[off] &= 0x7F;
    size_t& next = m_next[folder];
    ASSERT_LE(next + set.size(), ClusterBytes());
    std::copy(set.begin(), set.end(), m_bytes.begin() + static_cast<ptrdiff_t>(ClusterByte(folder) + next));
    next += set.size();
  }

  uint32_t m_bps;
  uint32_t m_spc;
  uint32_t m_heap = 0;
  std::vector<uint8_t> m_bytes;
  std::map<uint32_t, size_t> m_next;  // folder cluster -> where its next set goes
};

class ExfatBuilt : public ::testing::Test {
 protected:
  // A folder with a deleted file fragmented between a live one's clusters,
  // a subfolder with a deleted file whose chain is gone, and a deleted tree
  // of empty folders. Returns the files' bytes by path.
  std::map<std::string, std::vector<uint8_t>> Populate(BuiltVolume& v) {
    const uint32_t cb = v.ClusterBytes();
    std::map<std::string, std::vector<uint8_t>> files = {
        {"Frag/a.bin", testing::RandomBytes(4 * cb - 100, 1)},
        {"Frag/b.bin", testing::RandomBytes(3 * cb, 2)},
        {"Frag/Sub/c.bin", testing::RandomBytes(2 * cb + 7, 3)}};
    v.Folder(BuiltVolume::kRoot, u"Frag", 20, false);
    v.Folder(20, u"Sub", 40, false);
    v.File(20, u"a.bin", {50, 52, 54, 56}, files["Frag/a.bin"], true);
    v.File(20, u"b.bin", {51, 53, 55}, files["Frag/b.bin"], false);
    v.File(40, u"c.bin", {60, 61, 62}, files["Frag/Sub/c.bin"], true);
    for (uint32_t c : {60u, 61u, 62u}) v.Fat(c, 0);  // its chain was cleared
    v.Folder(BuiltVolume::kRoot, u"Trip", 70, true);
    v.Folder(70, u"Empty", 71, true);
    return files;
  }
  // The deep exFAT scan of `bytes` read in `unit`-byte sectors, every sector
  // from `start` on handed to it as the combined sweep does.
  std::unique_ptr<CDeepExfatRecovery> Deep(const std::vector<uint8_t>& bytes, uint32_t unit,
                                           uint64_t start = 0) {
    auto engine = std::make_unique<CDeepExfatRecovery>();
    EXPECT_EQ(engine->OpenSource(testing::MemorySource(bytes, unit), start, 0, 1002, unit), kOk);
    EXPECT_EQ(engine->BeginDeepExfatLog(""), kOk);
    for (size_t s = start * unit; s + unit <= bytes.size(); s += unit)
      if (CDeepExfatRecovery::HasEntrySet(ByteView(bytes.data() + s, unit)))
        engine->OnSector(ByteView(bytes.data() + s, bytes.size() - s), s / unit);
    EXPECT_EQ(engine->FinishDeepExfat(), kOk);
    return engine;
  }
  // Whether every file comes back byte for byte under its path.
  void ExpectSame(IFileRecoveryParse& engine, const std::map<std::string, std::vector<uint8_t>>& files,
                  const std::set<std::string>& only = {}) {
    const auto listing = testing::ListAll(engine);
    for (const auto& [path, bytes] : files) {
      if (!only.empty() && only.count(path) == 0) continue;
      auto it = listing.find(path);
      ASSERT_NE(it, listing.end()) << path;
      const std::string out = m_dir.File("out" + std::to_string(m_outs++));
      EXPECT_EQ(engine.RecoverItem(it->second, out, 0), kOk) << path;
      EXPECT_EQ(testing::ReadFileBytes(out), bytes) << path;
    }
  }
  testing::ScopedDataHome m_home;
  testing::TempDir m_dir;
  int m_outs = 0;
};

TEST_F(ExfatBuilt, TheDeepScanFollowsChainsTheTableStillHoldsWithOrWithoutABootRegion) {
  BuiltVolume v(512, 8);
  const auto files = Populate(v);
  auto deep = Deep(v.Image(), 512);
  EXPECT_TRUE(deep->LayoutFromBoot());
  ExpectSame(*deep, files);
  // Without the boot regions the layout is inferred and the table found by
  // its first entries; a cluster size off by one would misplace a.bin.
  std::fill_n(v.Image().begin(), 24 * 512, uint8_t{0});
  deep = Deep(v.Image(), 512);
  EXPECT_FALSE(deep->LayoutFromBoot());
  EXPECT_EQ(deep->Layout().heapOffset, v.Heap());
  ExpectSame(*deep, files);
  // With the table gone as well, a fragmented file cannot be told from
  // consecutive clusters; those whose data lay in one run still come back.
  std::fill_n(v.Image().begin() + 24 * 512, 512, uint8_t{0});
  deep = Deep(v.Image(), 512);
  ExpectSame(*deep, files, {"Frag/Sub/c.bin"});
}

TEST_F(ExfatBuilt, EmptyDeletedFoldersAreListedByBothScans) {
  BuiltVolume v(512, 8);
  (void)Populate(v);
  CFastExfatRecovery fast;
  ASSERT_EQ(fast.OpenSource(testing::MemorySource(v.Image()), 0, 0, 1001), kOk);
  ASSERT_EQ(fast.Scan(""), kOk);
  auto deep = Deep(v.Image(), 512);
  for (IFileRecoveryParse* engine : std::initializer_list<IFileRecoveryParse*>{&fast, deep.get()}) {
    const auto listing = testing::ListAll(*engine);
    ASSERT_TRUE(listing.count("Trip/Empty"));
    EXPECT_EQ(uint32_t{listing.at("Trip/Empty").isFolder}, 1u);
    // The tree comes back with its empty folder.
    const std::string tree = m_dir.File("tree" + std::to_string(m_outs++) + "/Trip");
    const int32_t rootDepth = static_cast<int32_t>(std::count(tree.begin(), tree.end(), '/')) - 1;
    ASSERT_EQ(engine->RecoverItem(listing.at("Trip"), tree, rootDepth), kOk);
    EXPECT_TRUE(fs::is_directory(tree + "/Empty"));
  }
}

TEST_F(ExfatBuilt, AVolumeInOtherSectorsThanTheSourceIsReadInItsOwn) {
  // A 4Kn card's volume 1 MiB into an image read in 512-byte sectors.
  BuiltVolume big(4096, 1);
  auto files = Populate(big);
  std::vector<uint8_t> image(1 << 20, 0);
  image.insert(image.end(), big.Image().begin(), big.Image().end());
  {
    CFastExfatRecovery fast;
    ASSERT_EQ(fast.OpenSource(testing::MemorySource(image, 512), 2048, 0, 1001, 512), kOk);
    ASSERT_EQ(fast.Scan(""), kOk);
    EXPECT_EQ(fast.ExtentSectorBytes(), 4096u);
    ExpectSame(fast, files, {"Frag/a.bin", "Frag/Sub/c.bin"});
    auto deep = Deep(image, 512, 2048);
    EXPECT_TRUE(deep->LayoutFromBoot());
    EXPECT_EQ(deep->Layout().sectorsPerCluster, 8u);
    ExpectSame(*deep, files);
  }
  // The fast scan of a volume of 512-byte sectors read in 4096-byte ones.
  const auto fastIn4096 = [this](BuiltVolume& v, const std::map<std::string, std::vector<uint8_t>>& want) {
    CFastExfatRecovery fast;
    ASSERT_EQ(fast.OpenSource(testing::MemorySource(v.Image(), 4096), 0, 0, 1001, 4096), kOk);
    ASSERT_EQ(fast.Scan(""), kOk);
    ExpectSame(fast, want, {"Frag/a.bin", "Frag/Sub/c.bin"});
  };
  BuiltVolume small(512, 8);
  files = Populate(small);
  {
    fastIn4096(small, files);
    auto deep = Deep(small.Image(), 4096);
    EXPECT_TRUE(deep->LayoutFromBoot());
    EXPECT_EQ(deep->Layout().sectorsPerCluster, 1u);
    ExpectSame(*deep, files);
  }
  // Clusters smaller than the sectors read: the fast scan reads them, the
  // deep scan places nothing rather than a guess.
  BuiltVolume tiny(512, 1);
  files = Populate(tiny);
  fastIn4096(tiny, files);
  EXPECT_EQ(Deep(tiny.Image(), 4096)->GetFoundCount(), 0u);
  // A 4096-byte volume that starts inside one of its sectors is refused.
  image.erase(image.begin(), image.begin() + 512);
  CFastExfatRecovery refused;
  EXPECT_EQ(refused.OpenSource(testing::MemorySource(image, 512), 2047, 0, 1001, 512), kErrInvalidParameter);
  EXPECT_EQ(refused.Scan(""), kErrInvalidParameter);
}

// ---- The corpus images against The Sleuth Kit ------------------------------

struct TruthRow {
  std::string path;
  uint64_t size = 0;
  std::string sha256;
};

// The deleted regular files of a truth listing.
std::vector<TruthRow> DeletedFiles(const std::string& truthPath) {
  std::vector<TruthRow> rows;
  std::ifstream in(truthPath);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> cols;
    std::stringstream ss(line);
    for (std::string col; std::getline(ss, col, '\t');) cols.push_back(col);
    if (cols.size() < 9 || cols[0] != "deleted" || cols[1] != "r/r") continue;
    rows.push_back({cols[3], std::stoull(cols[4]), cols[8]});
  }
  return rows;
}

class ExfatCorpus : public ::testing::Test {
 protected:
  // The fast engine's listing of a corpus image, by path.
  std::map<std::string, FoundRecord> FastListing(const std::string& name,
                                                 std::unique_ptr<IFileRecoveryParse>& engine) {
    const std::string gz = testing::CorpusPath(kCorpusDir + name);
    if (gz.empty()) return {};
    m_image = m_dir.File(name + ".raw");
    if (!testing::GunzipTo(gz, m_image)) return {};
    engine = CreateEngineForImage(m_image, 1001, false);
    if (!engine || engine->Scan("") != kOk) return {};
    return testing::ListAll(*engine);
  }
  testing::ScopedDataHome m_home;
  testing::TempDir m_dir;
  std::string m_image;
};

TEST_F(ExfatCorpus, EveryDeletedFileTheSleuthKitListsIsFoundWithItsPath) {
  for (const char* name : {"exfat_win.raw.gz", "win_exfat_7.raw.gz", "exfat_encrypted.raw.gz"}) {
    SCOPED_TRACE(name);
    VELMIRA_REQUIRE_CORPUS(truth, "_truth/" + kCorpusDir + name + ".truth.tsv");
    std::unique_ptr<IFileRecoveryParse> engine;
    const auto listing = FastListing(name, engine);
    ASSERT_TRUE(engine) << "no engine for " << name;
    const std::vector<TruthRow> rows = DeletedFiles(truth);
    ASSERT_FALSE(rows.empty());
    std::map<std::string, int> sharing;  // deleted files may share a path; the listing keeps one
    for (const TruthRow& row : rows) ++sharing[row.path];
    for (const TruthRow& row : rows) {
      auto it = listing.find(row.path);
      ASSERT_NE(it, listing.end()) << row.path;
      if (sharing[row.path] == 1) {
        EXPECT_EQ(uint64_t{it->second.size}, row.size) << row.path;
      }
      EXPECT_EQ(uint32_t{it->second.engineTag}, uint32_t{kTagFastExfat});
    }
  }
}

TEST_F(ExfatCorpus, DeletedFilesWhoseClustersAreInUseAgainAreOverwritten) {
  std::unique_ptr<IFileRecoveryParse> engine;
  const auto listing = FastListing("exfat_win.raw.gz", engine);
  if (!engine) GTEST_SKIP() << "shared corpus not present";
  // 1.bin's cluster holds a live file now; the empty text file has no data to lose.
  ASSERT_TRUE(listing.count("1.bin"));
  EXPECT_EQ(uint32_t{listing.at("1.bin").contentOk}, 0u);
  ASSERT_TRUE(listing.count("Текстовый документ.txt"));
  EXPECT_EQ(uint32_t{listing.at("Текстовый документ.txt").contentOk}, 1u);
  testing::TempDir out;
  EXPECT_EQ(engine->RecoverItem(listing.at("1.bin"), out.File("1.bin"), 0), kErrContentOverwritten);
  // Times are UTC: Windows wrote 20:35:24 local at UTC+3.
  const CivilTime modified = CivilFromFileTime(listing.at("1.bin").modified);
  EXPECT_EQ(modified.hour, 17);
}

TEST_F(ExfatCorpus, AFolderDeletedWhileTheBitmapStillHoldsItIsReadAfterTheLiveOnes) {
  std::unique_ptr<IFileRecoveryParse> engine;
  const auto listing = FastListing("exfat_orphan.raw.gz", engine);
  if (!engine) GTEST_SKIP() << "shared corpus not present";
  size_t inTest = 0;
  for (const auto& [path, record] : listing) inTest += path.rfind("test/", 0) == 0 && !record.isFolder;
  EXPECT_EQ(inTest, 400u);
}

TEST_F(ExfatCorpus, AVolumeInsideAPartitionTableIsReadFromItsStart) {
  VELMIRA_REQUIRE_CORPUS(gz, kCorpusDir + "exfat_lin_part.raw.gz");
  const std::string image = m_dir.File("lin.raw");
  ASSERT_TRUE(testing::GunzipTo(gz, image));
  SectorSource source;
  ASSERT_EQ(OpenImageSource(source, image), kOk);
  CFastExfatRecovery engine;
  ASSERT_EQ(engine.OpenSource(std::move(source), 2048, 0, 1001), kOk);
  ASSERT_EQ(engine.Scan(""), kOk);
  EXPECT_EQ(engine.GetFoundCount(), 0u);  // nothing deleted there
  EXPECT_TRUE(engine.UpcaseChecked());
  ASSERT_EQ(engine.LoadAllocationMap(), kOk);
  uint64_t position = 0;
  uint64_t length = 0;
  ASSERT_EQ(engine.NextFreeExtent(position, length), 1);
  EXPECT_GT(length, 0u);
  EXPECT_GE(position, engine.Volume().Geometry().heapOffset);  // free space lies in the heap
}

// ---- Cards written through exfat-fuse --------------------------------------

class Undo {
 public:
  explicit Undo(std::string command) : m_command(std::move(command)) {}
  ~Undo() {
    if (!m_command.empty()) (void)testing::RunQuiet(m_command);
  }
  Undo(const Undo&) = delete;
  Undo& operator=(const Undo&) = delete;

 private:
  std::string m_command;
};

class ExfatCard : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (loop devices and FUSE mounts)";
    VELMIRA_REQUIRE_TOOL("mkfs.exfat");
    VELMIRA_REQUIRE_TOOL("mount.exfat-fuse");
    VELMIRA_REQUIRE_TOOL("losetup");
    if (!fs::exists("/dev/fuse")) GTEST_SKIP() << "no /dev/fuse here";
    m_image = m_dir.File("card.img");
    testing::MakeBlankFile(m_image, 32ull << 20);
    if (!testing::RunQuiet("mkfs.exfat -c 4096 " + ShellQuote(m_image))) GTEST_SKIP() << "mkfs.exfat failed";
    fs::create_directories(m_dir.File("mnt"));
    fs::create_directories(m_dir.File("orig"));
  }
  bool Mount() {
    int status = -1;
    std::string loop =
        testing::RunCapture("losetup -f --show " + ShellQuote(m_image) + " 2>/dev/null", status);
    while (!loop.empty() && loop.back() == '\n') loop.pop_back();
    if (status != 0 || loop.empty()) return false;
    m_detach = std::make_unique<Undo>("losetup -d " + ShellQuote(loop));
    if (!testing::RunQuiet("mount.exfat-fuse " + ShellQuote(loop) + " " + ShellQuote(m_dir.File("mnt"))))
      return false;
    m_unmount = std::make_unique<Undo>("umount " + ShellQuote(m_dir.File("mnt")));
    return true;
  }
  void Unmount() {
    m_unmount.reset();
    m_detach.reset();
  }
  // Writes a file to the card (and keeps its twin): a JPEG picture for a
  // ".JPG" name, pseudo-random bytes otherwise.
  void Put(const std::string& path, size_t size, uint32_t seed) {
    const std::string twin = m_dir.File("orig/" + std::to_string(seed));
    if (path.ends_with(".JPG"))
      testing::WriteFileBytes(twin, testing::JpegPicture(size, seed));
    else
      testing::WriteRandomFile(twin, size, seed);
    fs::create_directories(fs::path(m_dir.File("mnt/" + path)).parent_path());
    fs::copy_file(twin, m_dir.File("mnt/" + path));
    m_files[path] = twin;
  }
  // Two files written a cluster at a time, in turns: each is fragmented
  // between the other's clusters.
  void PutInterleaved(const std::string& first, const std::string& second, size_t clusters, uint32_t seed) {
    fs::create_directories(fs::path(m_dir.File("mnt/" + first)).parent_path());
    std::ofstream a(m_dir.File("mnt/" + first), std::ios::binary);
    std::ofstream b(m_dir.File("mnt/" + second), std::ios::binary);
    std::vector<uint8_t> bytes[2];
    for (size_t i = 0; i < clusters; ++i)
      for (int k = 0; k < 2; ++k) {
        const std::vector<uint8_t> piece =
            testing::RandomBytes(4096, seed + static_cast<uint32_t>(i * 2 + k));
        std::ofstream& out = k == 0 ? a : b;
        out.write(reinterpret_cast<const char*>(piece.data()), static_cast<std::streamsize>(piece.size()));
        out.flush();  // the driver takes the cluster now
        bytes[k].insert(bytes[k].end(), piece.begin(), piece.end());
      }
    ASSERT_TRUE(a.good() && b.good());
    for (int k = 0; k < 2; ++k) {
      const std::string twin = m_dir.File("orig/" + std::to_string(seed + 1000 + k));
      testing::WriteFileBytes(twin, bytes[k]);
      m_files[k == 0 ? first : second] = twin;
    }
  }
  void Remove(const std::string& path) { fs::remove_all(m_dir.File("mnt/" + path)); }
  // Recovers a record and tells whether the bytes are the twin's.
  bool SameBytes(IFileRecoveryParse& engine, const FoundRecord& record, const std::string& twin) {
    const std::string out = m_dir.File("out/" + std::to_string(m_recovered++));
    fs::create_directories(m_dir.File("out"));
    return engine.RecoverItem(record, out, 0) == kOk &&
           testing::ReadFileBytes(out) == testing::ReadFileBytes(twin);
  }
  void TearDown() override { Unmount(); }

  testing::ScopedDataHome m_home;
  testing::TempDir m_dir;
  std::string m_image;
  std::map<std::string, std::string> m_files;  // path on the card -> twin
  std::unique_ptr<Undo> m_detach;
  std::unique_ptr<Undo> m_unmount;
  int m_recovered = 0;
};

TEST_F(ExfatCard, FortyPercentDeletedAndADeletedTreeComeBackByteForByteWithTheirPaths) {
  if (!Mount()) GTEST_SKIP() << "the card cannot be mounted through exfat-fuse here";
  uint32_t seed = 1;
  for (int i = 0; i < 20; ++i) Put("DCIM/100CAM/IMG_" + std::to_string(i) + ".JPG", 3000 + i * 9001, seed++);
  for (int i = 0; i < 6; ++i) Put("Docs/a/b/note" + std::to_string(i) + ".txt", 700 + i * 30011, seed++);
  Put("Docs/top.dat", 65536 * 3 + 5, seed++);
  PutInterleaved("Clips/a.bin", "Clips/b.bin", 6, seed++);
  std::set<std::string> deleted;
  for (int i = 0; i < 20; i += 5)
    for (int j : {i, i + 2}) {
      const std::string path = "DCIM/100CAM/IMG_" + std::to_string(j) + ".JPG";
      Remove(path);
      deleted.insert(path);
    }
  Remove("Docs");
  Remove("Clips/a.bin");  // its chain goes with it; its data lies between b.bin's clusters
  deleted.insert("Clips/a.bin");
  for (const auto& [path, twin] : m_files)
    if (path.rfind("Docs/", 0) == 0) deleted.insert(path);
  Unmount();

  auto fast = CreateEngineForImage(m_image, 1001, false);
  ASSERT_TRUE(fast);
  ASSERT_EQ(fast->Scan(""), kOk);
  const auto listing = testing::ListAll(*fast);
  size_t files = 0;
  for (const auto& [path, record] : listing) files += record.isFolder == 0;
  EXPECT_EQ(files, deleted.size());  // live files are not listed
  for (const std::string& path : deleted) {
    auto it = listing.find(path);
    ASSERT_NE(it, listing.end()) << path;
    EXPECT_EQ(uint32_t{it->second.contentOk}, 1u) << path;
    EXPECT_TRUE(SameBytes(*fast, it->second, m_files[path])) << path;
  }
  // A deleted folder recovered whole.
  ASSERT_TRUE(listing.count("Docs"));
  const std::string tree = m_dir.File("tree/Docs");
  const int32_t rootDepth = static_cast<int32_t>(std::count(tree.begin(), tree.end(), '/')) - 1;
  ASSERT_EQ(fast->RecoverItem(listing.at("Docs"), tree, rootDepth), kOk);
  EXPECT_EQ(testing::ReadFileBytes(m_dir.File("tree/Docs/a/b/note3.txt")),
            testing::ReadFileBytes(m_files["Docs/a/b/note3.txt"]));

  // The deep scan sweeps the free space and finds the same sets again: each
  // file is listed once.
  auto deep = CreateEngineForImage(m_image, 1002, true);
  ASSERT_TRUE(deep);
  ASSERT_EQ(deep->Scan(""), kOk);
  std::vector<FoundRecord> matches;
  ASSERT_EQ(deep->CollectMatches("*.jpg|*.txt|*.dat|*.bin|", matches), kOk);
  std::map<std::string, int> seen;
  for (const FoundRecord& r : matches) ++seen[RecordName(r)];
  for (const std::string& path : deleted) EXPECT_EQ(seen[fs::path(path).filename().string()], 1) << path;
  RecordProperty("deleted", static_cast<int>(deleted.size()));

  // With the boot regions gone the whole card is swept: the live
  // fragmented file is read along the chain the table still holds.
  const std::string bare = m_dir.File("bare.img");
  fs::copy_file(m_image, bare);
  {
    std::fstream f(bare, std::ios::in | std::ios::out | std::ios::binary);
    const std::vector<char> zeros(24 * 512, 0);
    f.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    ASSERT_TRUE(f.good());
  }
  auto swept = CreateEngineForImage(bare, 1003, true);
  ASSERT_TRUE(swept);
  ASSERT_EQ(swept->Scan(""), kOk);
  matches.clear();
  ASSERT_EQ(swept->CollectMatches("*.bin|", matches), kOk);
  auto live = std::find_if(matches.begin(), matches.end(), [](const FoundRecord& r) {
    return RecordName(r) == "b.bin" && r.engineTag == kTagDeepExfat;
  });
  ASSERT_NE(live, matches.end());
  EXPECT_TRUE(SameBytes(*swept, *live, m_files["Clips/b.bin"]));
}

TEST_F(ExfatCard, AFourKilobyteSectorCardReadInSmallerSectorsGivesEachFileOnceByteForByte) {
  // The card formatted through a loop device of 4096-byte sectors.
  int status = -1;
  std::string loop =
      testing::RunCapture("losetup -b 4096 -f --show " + ShellQuote(m_image) + " 2>/dev/null", status);
  while (!loop.empty() && loop.back() == '\n') loop.pop_back();
  if (status != 0 || loop.empty()) GTEST_SKIP() << "no loop device of 4096-byte sectors here";
  const bool formatted = testing::RunQuiet("mkfs.exfat " + ShellQuote(loop));
  ASSERT_TRUE(testing::RunQuiet("losetup -d " + ShellQuote(loop)));
  if (!formatted) GTEST_SKIP() << "mkfs.exfat failed on a 4Kn loop device";
  if (!Mount()) GTEST_SKIP() << "the card cannot be mounted through exfat-fuse here";
  for (uint32_t i = 0; i < 6; ++i) Put("DCIM/IMG_" + std::to_string(i) + ".JPG", 20000 + i * 13001, 300 + i);
  Put("Trip/Day1/IMG_6.JPG", 30000, 306);
  Put("Trip/Day2/IMG_7.JPG", 40000, 307);
  for (uint32_t i : {1u, 4u}) Remove("DCIM/IMG_" + std::to_string(i) + ".JPG");
  Remove("Trip");  // its folders lie in free space: the sweep meets its files again
  Unmount();

  // Read as an image of 512-byte sectors, the scans count in the card's own.
  ASSERT_TRUE(SetSectorSizeOverride(512));
  struct ResetOverride {
    ~ResetOverride() { (void)SetSectorSizeOverride(0); }
  } reset;
  auto deep = CreateEngineForImage(m_image, 1006, true);
  ASSERT_TRUE(deep);
  ASSERT_EQ(deep->Scan(""), kOk);
  std::vector<FoundRecord> matches;
  ASSERT_EQ(deep->CollectMatches("*.jpg|", matches), kOk);
  for (const std::string path :
       {"DCIM/IMG_1.JPG", "DCIM/IMG_4.JPG", "Trip/Day1/IMG_6.JPG", "Trip/Day2/IMG_7.JPG"}) {
    std::vector<FoundRecord> named;
    for (const FoundRecord& r : matches)
      if (RecordName(r) == fs::path(path).filename().string()) named.push_back(r);
    ASSERT_EQ(named.size(), 1u) << path;  // the sweep's find is the fast scan's file
    EXPECT_EQ(uint32_t{named.front().engineTag}, uint32_t{kTagFastExfat});
    EXPECT_TRUE(SameBytes(*deep, named.front(), m_files[path])) << path;
  }
}

TEST_F(ExfatCard, AfterAQuickFormatNinetyPercentComeBackByteForByteWithNames) {
  if (!Mount()) GTEST_SKIP() << "the card cannot be mounted through exfat-fuse here";
  uint32_t seed = 100;
  for (int i = 0; i < 24; ++i) Put("DCIM/100CAM/P" + std::to_string(i) + ".JPG", 5000 + i * 17003, seed++);
  for (int i = 0; i < 8; ++i) Put("Music/Album/track" + std::to_string(i) + ".mp3", 9000 + i * 23011, seed++);
  Unmount();
  ASSERT_TRUE(testing::RunQuiet("mkfs.exfat -c 4096 " + ShellQuote(m_image)));

  auto fast = CreateEngineForImage(m_image, 1003, false);
  ASSERT_TRUE(fast);
  ASSERT_EQ(fast->Scan(""), kOk);
  EXPECT_EQ(fast->GetFoundCount(), 0u);  // the new root knows nothing

  // Every card file found by its name whose bytes come back whole.
  auto sameByName = [&](IFileRecoveryParse& engine, const std::map<std::string, FoundRecord>& listing) {
    std::map<std::string, std::vector<FoundRecord>> byName;
    for (const auto& [path, record] : listing)
      if (!record.isFolder && record.engineTag == kTagDeepExfat) byName[RecordName(record)].push_back(record);
    size_t same = 0;
    for (const auto& [path, twin] : m_files)
      for (const FoundRecord& record : byName[fs::path(path).filename().string()])
        if (SameBytes(engine, record, twin)) {
          ++same;
          break;
        }
    return same;
  };
  // A copy of the card whose boot regions are gone as well (a new path: a
  // scan of the first one would be continued).
  const std::string bare = m_dir.File("bare.img");
  fs::copy_file(m_image, bare);
  {
    std::fstream f(bare, std::ios::in | std::ios::out | std::ios::binary);
    const std::vector<char> zeros(24 * 512, 0);
    f.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    ASSERT_TRUE(f.good());
  }

  auto deep = CreateEngineForImage(m_image, 1004, true);
  ASSERT_TRUE(deep);
  ASSERT_EQ(deep->Scan(""), kOk);
  auto* combined = dynamic_cast<CDeepRecovery*>(deep.get());
  ASSERT_NE(combined, nullptr);
  EXPECT_TRUE(combined->SweepEngine<CDeepExfatRecovery>()->LayoutFromBoot());
  const ExfatLayout boot = combined->SweepEngine<CDeepExfatRecovery>()->Layout();
  const auto listing = testing::ListAll(*deep);
  const size_t same = sameByName(*deep, listing);
  EXPECT_GE(same * 10, m_files.size() * 9) << same << " of " << m_files.size();
  RecordProperty("same", static_cast<int>(same));
  RecordProperty("files", static_cast<int>(m_files.size()));
  // The subfolders keep their names; the folders the old root held are lost ones.
  bool albumKept = false;
  for (const auto& [path, record] : listing) albumKept |= path.find("/Album/track0.mp3") != std::string::npos;
  EXPECT_TRUE(albumKept);

  // Without a boot region the cluster size and heap start are inferred.
  auto inferred = CreateEngineForImage(bare, 1005, true);
  ASSERT_TRUE(inferred);
  ASSERT_EQ(inferred->Scan(""), kOk);
  auto* second = dynamic_cast<CDeepRecovery*>(inferred.get());
  ASSERT_NE(second, nullptr);
  EXPECT_FALSE(second->SweepEngine<CDeepExfatRecovery>()->LayoutFromBoot());
  EXPECT_EQ(second->SweepEngine<CDeepExfatRecovery>()->Layout().sectorsPerCluster, boot.sectorsPerCluster);
  EXPECT_EQ(second->SweepEngine<CDeepExfatRecovery>()->Layout().heapOffset, boot.heapOffset);
  const size_t again = sameByName(*inferred, testing::ListAll(*inferred));
  EXPECT_GE(again * 10, m_files.size() * 9) << again << " of " << m_files.size();
  RecordProperty("sameWithoutBoot", static_cast<int>(again));
}

}  // namespace
}  // namespace velmira
