#include "engines/fat/deep_fat_recovery.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "engines/fat/deep_fat_sweep.h"
#include "engines/fat/fat_directory.h"
#include "engines/fat/fat_volume.h"
#include "engines/output_sink.h"
#include "jobs/recovery_job.h"
#include "platform/errors.h"
#include "tests/fixtures/data_home.h"
#include "tests/fixtures/fat_card.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/memory_source.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::CardContent;
using testing::FatCard;

// ---------------------------------------------------------------------------
// Hand-made directory sectors.

constexpr uint16_t kDate = ((2020 - 1980) << 9) | (5 << 5) | 1;  // 2020-05-01
constexpr uint16_t kTime = (10 << 11) | (30 << 5);               // 10:30:00

void Put16(Bytes& b, size_t off, uint16_t v) {
  b[off] = static_cast<uint8_t>(v);
  b[off + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(Bytes& b, size_t off, uint32_t v) {
  Put16(b, off, static_cast<uint16_t>(v));
  Put16(b, off + 2, static_cast<uint16_t>(v >> 16));
}

// A short entry: an 11-byte name ("NAME    EXT"), attributes, first cluster, size.
Bytes ShortEntry(const char* name11, uint8_t attr, uint32_t cluster, uint32_t size = 0) {
  Bytes e(32, 0);
  std::memcpy(e.data(), name11, 11);
  e[11] = attr;
  Put16(e, 14, kTime);
  Put16(e, 16, kDate);
  Put16(e, 18, kDate);
  Put16(e, 20, static_cast<uint16_t>(cluster >> 16));
  Put16(e, 22, kTime);
  Put16(e, 24, kDate);
  Put16(e, 26, static_cast<uint16_t>(cluster));
  Put32(e, 28, size);
  return e;
}

uint8_t Checksum(const char* name11) {
  Bytes e(32, 0);
  std::memcpy(e.data(), name11, 11);
  return ShortNameChecksum(FatEntryView(ByteView(e.data(), e.size())));
}

// The long-name parts of `name` for the short name `name11`, in disk order
// (last part first).
std::vector<Bytes> LongNameParts(const std::string& name, const char* name11) {
  std::u16string chars(name.begin(), name.end());
  chars.push_back(0);
  const size_t parts = (chars.size() + 12) / 13;
  chars.resize(parts * 13, 0xFFFF);
  static const size_t kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  std::vector<Bytes> out;
  for (size_t p = parts; p >= 1; --p) {
    Bytes e(32, 0);
    e[0] = static_cast<uint8_t>(p | (p == parts ? 0x40 : 0));
    e[11] = 0x0F;
    e[13] = Checksum(name11);
    for (size_t i = 0; i < 13; ++i) Put16(e, kOffsets[i], chars[(p - 1) * 13 + i]);
    out.push_back(e);
  }
  return out;
}

// A 512-byte sector built entry by entry.
struct Sector {
  Bytes bytes = Bytes(512, 0);
  size_t used = 0;
  Sector& Add(const Bytes& entry) {
    std::memcpy(bytes.data() + used, entry.data(), 32);
    used += 32;
    return *this;
  }
  Sector& Add(const std::vector<Bytes>& entries) {
    for (const Bytes& e : entries) Add(e);
    return *this;
  }
  // Files named F<n> up to entry `upTo`.
  Sector& FillFiles(size_t upTo, char tag, uint32_t cluster) {
    for (int n = 0; used / 32 < upTo; ++n) {
      char name[32];
      std::snprintf(name, sizeof name, "%c%06d TXT", tag, n % 1000000);
      Add(ShortEntry(name, 0x20, cluster, 10));
    }
    return *this;
  }
  ByteView View() const { return ByteView(bytes.data(), bytes.size()); }
};

Sector FolderStart(uint32_t cluster, uint32_t parent) {
  Sector s;
  s.Add(ShortEntry(".          ", 0x10, cluster)).Add(ShortEntry("..         ", 0x10, parent));
  return s;
}

// A memory image of `sectors` sectors with `placed` sectors written in.
SectorSource Image(uint64_t sectors, const std::map<uint64_t, Sector>& placed,
                   const std::map<uint64_t, Bytes>& raw = {}) {
  Bytes bytes(sectors * 512, 0);
  for (const auto& [at, s] : placed) std::memcpy(bytes.data() + at * 512, s.bytes.data(), 512);
  for (const auto& [at, b] : raw) std::memcpy(bytes.data() + at * 512, b.data(), b.size());
  return testing::MemorySource(std::move(bytes));
}

// Hands the sectors to the engine in sweep order, as the sweep would. The
// sweep offers the engine only the sectors its first look lets through:
// every directory sector passes it.
void Feed(CDeepFatRecovery& engine, const std::map<uint64_t, Sector>& sectors) {
  for (const auto& [at, s] : sectors) {
    const bool dot = CDeepFatRecovery::IsDotDirectorySector(s.View());
    const bool directory = !dot && CDeepFatRecovery::IsDirectorySector(s.View());
    if (dot || directory) {
      EXPECT_TRUE(MayStartDirectorySector(s.View())) << "sector " << at;
    }
    if (dot)
      engine.OnDotDirectorySector(s.View(), at);
    else if (directory)
      engine.OnDirectorySector(s.View(), at);
  }
}

// ---------------------------------------------------------------------------
// Listing helpers.

std::map<std::string, FoundRecord> ListAll(IFileRecoveryParse& engine) {
  std::map<std::string, FoundRecord> out;
  std::function<void(const FoundRecord*, uint32_t, const std::string&)> walk =
      [&](const FoundRecord* folder, uint32_t depth, const std::string& prefix) {
        std::vector<FoundRecord> children;
        if (depth > 40 || engine.ListChildren(folder, depth, children) != kOk) return;
        for (const auto& child : children) {
          const std::string path = prefix + RecordName(child);
          out[path] = child;
          if (child.isFolder) walk(&child, depth + 1, path + "/");
        }
      };
  walk(nullptr, 0, "");
  return out;
}

std::vector<std::string> Paths(const std::map<std::string, FoundRecord>& m) {
  std::vector<std::string> k;
  for (const auto& [path, rec] : m) k.push_back(path);
  return k;
}

// The one listed path that ends in `suffix` (e.g. below a LostFolder whose
// number depends on the tools' allocation).
std::string PathEndingIn(const std::map<std::string, FoundRecord>& m, const std::string& suffix) {
  std::string found;
  for (const auto& [path, rec] : m)
    if (path.size() >= suffix.size() &&
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
      if (!found.empty()) return "(more than one)";
      found = path;
    }
  return found;
}

class DeepFat : public ::testing::Test {
 protected:
  testing::ScopedDataHome m_home;
  testing::TempDir m_out;
};

// ---------------------------------------------------------------------------
// Layouts.

TEST(FatLayoutTest, TwoFolderStartsGiveTheLayoutTheyAgreeOn) {
  const auto layout = LayoutFromObservations(10, 10240, 14, 10272, 0);
  ASSERT_TRUE(layout.has_value());
  EXPECT_EQ(*layout, (FatLayout{8, 10176, 0}));
  EXPECT_EQ(LayoutFromObservations(14, 10272, 10, 10240, 0), layout)
      << "the order of the two does not matter";
  EXPECT_FALSE(LayoutFromObservations(10, 1000, 12, 1005, 0)) << "5 sectors for 2 clusters";
  EXPECT_FALSE(LayoutFromObservations(10, 10272, 14, 10240, 0))
      << "the higher cluster lies at the lower sector";
  EXPECT_FALSE(LayoutFromObservations(10, 10240, 10, 10272, 0));
  EXPECT_FALSE(LayoutFromObservations(1, 100, 3, 101, 0)) << "cluster 1 names no folder";
  EXPECT_FALSE(LayoutFromObservations(1000, 40, 1001, 42, 0)) << "cluster 2 would lie before sector 0";
  EXPECT_FALSE(LayoutFromObservations(10, 10240, 14, 10272, 10200)) << "cluster 2 before the partition start";
  EXPECT_FALSE(LayoutFromObservations(10, 100, 11, 100 + 256, 0)) << "256 sectors per cluster";
  const auto based = LayoutFromObservations(10, 12288, 14, 12320, 2048);
  ASSERT_TRUE(based.has_value());
  EXPECT_EQ(*based, (FatLayout{8, 10176, 2048}));
  EXPECT_EQ(based->SectorOf(14), 12320u);
  EXPECT_EQ(based->SectorOf(0), 2048u + 10176 - 32);
  EXPECT_EQ(based->ClusterStartingAt(12320), 14u);
  EXPECT_FALSE(based->ClusterStartingAt(12321));
  EXPECT_EQ(based->ClusterHolding(12327), 14u);
  EXPECT_FALSE(based->ClusterHolding(2048 + 10175));
  EXPECT_FALSE((FatLayout{8, 20, 0}.SectorOf(0))) << "no room for a root folder before the data area";
}

TEST_F(DeepFat, FolderStartsInferTheLayoutOnlyWhenTheyAgree) {
  CDeepFatRecovery engine;
  std::map<uint64_t, Sector> sectors = {{10240, FolderStart(10, 0)}, {10272, FolderStart(14, 0)}};
  ASSERT_EQ(engine.OpenSource(Image(20000, sectors), 0, 20000, 1001), kOk);
  ASSERT_EQ(engine.BeginDeepFatLog(""), kOk);
  ASSERT_EQ(engine.AddBootSectorLayout(), kOk);
  EXPECT_TRUE(engine.Layouts().empty());
  EXPECT_EQ(engine.RootCluster(), 2u) << "no boot sector";
  Feed(engine, sectors);
  ASSERT_EQ(engine.Layouts().size(), 1u);
  EXPECT_EQ(engine.Layouts()[0], (FatLayout{8, 10176, 0}));
  EXPECT_FALSE(engine.HasBootLayout());

  CDeepFatRecovery other;
  std::map<uint64_t, Sector> odd = {{1000, FolderStart(10, 0)}, {1005, FolderStart(12, 0)}};
  ASSERT_EQ(other.OpenSource(Image(2000, odd), 0, 2000, 1001), kOk);
  ASSERT_EQ(other.BeginDeepFatLog(""), kOk);
  Feed(other, odd);
  EXPECT_TRUE(other.Layouts().empty());
}

// A boot sector whose data area lies beyond the end of the source (an image
// cut short) gives no layout.
TEST_F(DeepFat, BootLayoutBeyondTheSourceIsNotAdded) {
  VELMIRA_REQUIRE_TOOL("mkfs.vfat");
  FatCard card(16, 32);
  ASSERT_TRUE(card.ok());
  Bytes bytes = testing::ReadFileBytes(card.image());
  FatGeometry geometry;
  ASSERT_TRUE(ReadFatGeometry(ByteView(bytes.data(), 512), geometry));
  bytes.resize(size_t{geometry.dataStart} * 512);  // the data area starts exactly at the end
  CDeepFatRecovery engine;
  ASSERT_EQ(engine.OpenSource(testing::MemorySource(bytes), 0, geometry.dataStart, 1001), kOk);
  ASSERT_EQ(engine.BeginDeepFatLog(""), kOk);
  ASSERT_EQ(engine.AddBootSectorLayout(), kOk);
  EXPECT_TRUE(engine.Layouts().empty());
  EXPECT_FALSE(engine.HasBootLayout());

  CDeepFatRecovery whole;
  ASSERT_EQ(whole.OpenImage(card.image(), 1001), kOk);
  ASSERT_EQ(whole.BeginDeepFatLog(""), kOk);
  ASSERT_EQ(whole.AddBootSectorLayout(), kOk);
  ASSERT_EQ(whole.Layouts().size(), 1u);
  EXPECT_EQ(whole.Layouts()[0], (FatLayout{geometry.sectorsPerCluster, geometry.dataStart, 0}));
  EXPECT_EQ(whole.RootCluster(), 0u);
}

// ---------------------------------------------------------------------------
// Names, folders, pending files, high halves: hand-made sectors under a
// layout of 8 sectors per cluster with cluster 2 at sector 100.

constexpr uint64_t ClusterSector(uint32_t cluster) {
  return 100 + uint64_t{cluster - 2} * 8;
}

TEST_F(DeepFat, LongNameAcrossClustersJoinsOnlyAtAPlaceItCanContinue) {
  const char* kShort = "ALONGN~1TXT";
  const std::string kLong = "A long name that spans two cluster.txt";  // 3 parts
  const auto parts = LongNameParts(kLong, kShort);
  std::map<uint64_t, Sector> s;
  // Two empty folders that give the layout, and a decoy before them: a
  // cluster start with the name's checksum, but at a cluster below the folder's.
  Sector decoy;
  decoy.Add(LongNameParts("WRONG WRONG WRONG WRONG WRONG W.txt", kShort)[2])
      .Add(ShortEntry(kShort, 0x20, 60, 7));
  s[ClusterSector(5)] = decoy;
  s[ClusterSector(6)] = FolderStart(6, 0);
  s[ClusterSector(7)] = FolderStart(7, 0);
  // The root folder (cluster 2) names folder 10 "ALPHA".
  Sector root;
  root.Add(ShortEntry("CARD       ", 0x08, 0)).Add(ShortEntry("ALPHA      ", 0x10, 10));
  s[ClusterSector(2)] = root;
  // Folder 10: its cluster is full, and its last sector ends with the first
  // two parts of the long name; an entry naming the folder itself is noise.
  Sector first = FolderStart(10, 0);
  first.Add(ShortEntry("SELF       ", 0x10, 10));
  first.FillFiles(16, 'A', 40);
  s[ClusterSector(10)] = first;
  for (uint32_t i = 1; i < 7; ++i)
    s[ClusterSector(10) + i] = Sector().FillFiles(16, static_cast<char>('A' + i), 40);
  Sector last;
  last.FillFiles(14, 'H', 40).Add(parts[0]).Add(parts[1]);
  s[ClusterSector(10) + 7] = last;
  // A second decoy in the middle of a later cluster.
  s[ClusterSector(15) + 3] = decoy;
  // The folder's next cluster, far from its first: the last part and the short entry.
  Sector next;
  next.Add(parts[2]).Add(ShortEntry(kShort, 0x20, 50, 1234)).Add(ShortEntry("AFTER   TXT", 0x20, 51, 5));
  s[ClusterSector(30)] = next;

  CDeepFatRecovery engine;
  ASSERT_EQ(engine.OpenSource(Image(1000, s), 0, 1000, 1001), kOk);
  ASSERT_EQ(engine.BeginDeepFatLog(""), kOk);
  Feed(engine, s);
  engine.FinishDeepFat();
  ASSERT_EQ(engine.Layouts().size(), 1u);
  const auto found = ListAll(engine);
  ASSERT_TRUE(found.count("alpha/" + kLong)) << ::testing::PrintToString(Paths(found));
  const FoundRecord joined = found.at("alpha/" + kLong);
  EXPECT_EQ(uint64_t{joined.entrySector}, ClusterSector(30)) << "the sector that holds the short entry";
  EXPECT_EQ(uint32_t{joined.key}, 50u);
  EXPECT_EQ(uint64_t{joined.size}, 1234u);
  EXPECT_EQ(uint32_t{joined.clusterBytes}, 8u * 512);
  EXPECT_EQ(uint64_t{joined.dataStart}, 100u);
  EXPECT_TRUE(found.count("alpha/after.txt"));
  EXPECT_EQ(found.count("alpha/self"), 0u) << "a folder entry naming its own folder is not kept";
  EXPECT_TRUE(found.count("alpha/a000000.txt"));
  EXPECT_TRUE(found.count("alpha/h000013.txt"));
  for (const auto& [path, rec] : found)
    EXPECT_FALSE(path.find("WRONG") != std::string::npos && path.find("spans") != std::string::npos) << path;
  uint32_t count = 0;
  EXPECT_EQ(engine.CountFiles(nullptr, 0, count), kOk);
  EXPECT_EQ(count, 13u + 6 * 16 + 14 + 2 + 2)
      << "every file of folder 10, the joined one, the one after it, the two decoys";
}

// A folder's first sector met before any layout: its files wait, and are
// written exactly as if the layout had been known.
TEST_F(DeepFat, PendingFilesAreWrittenAsIfTheLayoutHadBeenKnown) {
  std::map<uint64_t, Sector> s;
  Sector a = FolderStart(4, 0);
  a.Add(LongNameParts("first photo.txt", "FIRSTP~1TXT")).Add(ShortEntry("FIRSTP~1TXT", 0x20, 20, 100));
  a.Add(ShortEntry("SUB        ", 0x10, 9));
  s[ClusterSector(4)] = a;
  Sector a2;
  a2.Add(ShortEntry("SECOND  TXT", 0x20, 21, 200));
  s[ClusterSector(4) + 1] = a2;  // the folder's next sector, before any layout
  Sector sub = FolderStart(9, 4);
  sub.Add(ShortEntry("INNER   TXT", 0x20, 22, 300));
  s[ClusterSector(9)] = sub;

  auto run = [&](bool knownLayout, size_t& pendingSeen) {
    auto engine = std::make_unique<CDeepFatRecovery>();
    std::map<uint64_t, Bytes> raw;
    if (knownLayout) {
      // Two agreeing folder starts earlier on the medium give the layout first.
      raw[ClusterSector(2)] = FolderStart(2, 0).bytes;
      raw[ClusterSector(3)] = FolderStart(3, 0).bytes;
    }
    EXPECT_EQ(engine->OpenSource(Image(1000, s, raw), 0, 1000, 1001), kOk);
    EXPECT_EQ(engine->BeginDeepFatLog(""), kOk);
    if (knownLayout) {
      engine->OnDotDirectorySector(ByteView(raw[ClusterSector(2)].data(), 512), ClusterSector(2));
      engine->OnDotDirectorySector(ByteView(raw[ClusterSector(3)].data(), 512), ClusterSector(3));
      EXPECT_EQ(engine->Layouts().size(), 1u);
    }
    pendingSeen = 0;
    for (const auto& [at, sector] : s) {
      if (CDeepFatRecovery::IsDotDirectorySector(sector.View()))
        engine->OnDotDirectorySector(sector.View(), at);
      else
        engine->OnDirectorySector(sector.View(), at);
      pendingSeen = std::max(pendingSeen, engine->PendingFileCount());
    }
    engine->FinishDeepFat();
    return engine;
  };
  size_t pendingLater = 0, pendingKnown = 0;
  auto later = run(false, pendingLater);
  auto known = run(true, pendingKnown);
  EXPECT_EQ(pendingLater, 2u) << "the first folder's two files wait for the layout";
  EXPECT_EQ(pendingKnown, 0u);
  EXPECT_EQ(later->PendingFileCount(), 0u);
  const auto a1 = ListAll(*later), b1 = ListAll(*known);
  ASSERT_EQ(Paths(a1), Paths(b1));
  ASSERT_TRUE(a1.count("LostFolder4/first photo.txt")) << ::testing::PrintToString(Paths(a1));
  EXPECT_TRUE(a1.count("LostFolder4/second.txt"));
  EXPECT_TRUE(a1.count("LostFolder4/sub/inner.txt"));
  for (const auto& [path, rec] : a1) {
    FoundRecord x = rec, y = b1.at(path);
    x.recordNumber = y.recordNumber = 0;
    EXPECT_EQ(std::memcmp(&x, &y, sizeof x), 0) << path;
  }
}

TEST_F(DeepFat, DeletedFileWithAZeroedHighHalfIsFoundByItsHeader) {
  // One sector per cluster, cluster 2 at sector 100: cluster 0x1_0005 lies
  // at sector 65,639.
  constexpr uint32_t kHigh = 0x10005;
  constexpr uint64_t kDataSector = 100 + kHigh - 2;
  std::map<uint64_t, Sector> s;
  s[101] = FolderStart(3, 0);
  Sector folder = FolderStart(4, 0);
  Bytes deleted = ShortEntry("\xE5MG_0001JPG", 0x20, 5, 700);
  folder.Add(deleted).Add(ShortEntry("\xE5MG_0002JPG", 0x20, 6, 700));  // no header anywhere
  s[102] = folder;
  const Bytes photo = CardContent(700, 9, true);
  Bytes padded = photo;
  padded.resize(1024, 0);
  CDeepFatRecovery engine;
  ASSERT_EQ(engine.OpenSource(Image(kDataSector + 10, s, {{kDataSector, padded}}), 0, kDataSector + 10, 1001),
            kOk);
  ASSERT_EQ(engine.BeginDeepFatLog(""), kOk);
  Feed(engine, s);
  engine.FinishDeepFat();
  std::vector<FoundRecord> photos;
  ASSERT_EQ(engine.CollectMatches("*.jpg|", photos), kOk);
  ASSERT_EQ(photos.size(), 1u) << "the file without a header fails its content check and is not listed";
  EXPECT_EQ(RecordName(photos[0]), "!mg_0001.jpg");
  EXPECT_EQ(uint32_t{photos[0].key}, kHigh);
  EXPECT_EQ(uint32_t{photos[0].contentOk}, 1u);
  const std::string out = m_out.File("photo.jpg");
  EXPECT_EQ(engine.RecoverItem(photos[0], out, 0), kOk);
  EXPECT_EQ(testing::ReadFileBytes(out), photo);
}

// Folders whose ".." entries point at each other, or a folder whose ".."
// names itself: every walk and depth count ends.
TEST_F(DeepFat, FolderLoopsEnd) {
  std::map<uint64_t, Sector> s;
  Sector x = FolderStart(20, 21);
  x.Add(ShortEntry("INX     TXT", 0x20, 40, 1));
  Sector y = FolderStart(21, 20);
  y.Add(ShortEntry("X          ", 0x10, 20)).Add(ShortEntry("INY     TXT", 0x20, 41, 1));
  Sector z = FolderStart(22, 22);
  z.Add(ShortEntry("INZ     TXT", 0x20, 42, 1));
  s[ClusterSector(20)] = x;
  s[ClusterSector(21)] = y;
  s[ClusterSector(22)] = z;
  CDeepFatRecovery engine;
  ASSERT_EQ(engine.OpenSource(Image(1000, s), 0, 1000, 1001), kOk);
  ASSERT_EQ(engine.BeginDeepFatLog(""), kOk);
  Feed(engine, s);
  engine.FinishDeepFat();
  EXPECT_EQ(engine.GetFoundCount(), 3u + 3u) << "three files, folders x and 21 and the lost folder 22";
  const auto found = ListAll(engine);
  EXPECT_TRUE(found.count("LostFolder22/inz.txt")) << ::testing::PrintToString(Paths(found));
  testing::TempDir out;
  const FoundRecord lost = found.at("LostFolder22");
  const std::string target = out.File("lost");
  ASSERT_EQ(engine.RecoverItem(lost, target, SeparatorCount(target) - 1), kOk);
  EXPECT_EQ(testing::ReadFileBytes(target + "/inz.txt").size(), 1u);
}

TEST_F(DeepFat, ReadingBackStopsCleanly) {
  CDeepFatRecovery engine;
  ASSERT_EQ(engine.OpenSource(Image(64, {}), 0, 64, 1001), kOk);
  FoundRecord r = MakeFoundRecord();
  r.clusterBytes = 1024;
  r.dataStart = 40;
  r.key = 2;
  r.size = 100000;  // runs past the end of the source
  SetRecordName(r, "big.bin");
  EXPECT_EQ(engine.RecoverItem(r, m_out.File("big.bin"), 0), kErrReadFault);
  EXPECT_FALSE(std::filesystem::exists(m_out.File("big.bin"))) << "an incomplete file is removed";
  {
    const KeepPartialScope keep(true);
    EXPECT_EQ(engine.RecoverItem(r, m_out.File("big.bin"), 0), kErrReadFault);
  }
  EXPECT_EQ(testing::ReadFileBytes(m_out.File("big.bin.partial")).size(), 24u * 512)
      << "the sectors up to the end";
  r.size = 0;
  EXPECT_EQ(engine.RecoverItem(r, m_out.File("empty.bin"), 0), kOk);
  EXPECT_TRUE(testing::ReadFileBytes(m_out.File("empty.bin")).empty());
  r.size = 10;
  r.clusterBytes = 104857600 + 512;
  EXPECT_EQ(engine.RecoverItem(r, m_out.File("huge.bin"), 0), kErrWriteFault);
  r.clusterBytes = 512;
  r.key = 0;
  r.dataStart = 20;  // no room for a root folder before it
  EXPECT_EQ(engine.RecoverItem(r, m_out.File("root.bin"), 0), kErrInvalidParameter);
  r.dataStart = UINT64_MAX;
  r.key = 5;
  EXPECT_EQ(engine.RecoverItem(r, m_out.File("wrap.bin"), 0), kErrInvalidParameter);
}

// ---------------------------------------------------------------------------
// Real cards.

// A card written with one cluster size and quick-formatted with another:
// the old folders are found under their old names with their files.
TEST_F(DeepFat, ReformattedCardShowsTheOldFolders) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  FatCard card(16, 32, "-s 4");
  ASSERT_TRUE(card.ok());
  // The old folders lie past what the new, larger tables cover.
  ASSERT_TRUE(card.Put("pad.bin", CardContent(300000, 1)));
  ASSERT_TRUE(card.Mkdir("DCIM"));
  ASSERT_TRUE(card.Mkdir("DCIM/100CANON"));
  ASSERT_TRUE(card.Mkdir("Summer holiday 2024"));
  ASSERT_TRUE(card.Mkdir("Summer holiday 2024/Beach day"));
  for (int i = 1; i <= 6; ++i)  // two sectors of entries
    ASSERT_TRUE(card.Put("DCIM/100CANON/Photo with a long name " + std::to_string(i) + ".jpg",
                         CardContent(20000 + i * 1000, 10 + i, true)));
  ASSERT_TRUE(card.Put("Summer holiday 2024/Beach day/sunset at the sea.jpg", CardContent(30000, 20, true)));
  ASSERT_TRUE(card.Put("Summer holiday 2024/IMG_0001.JPG", CardContent(9000, 21, true)));
  ASSERT_TRUE(card.Reformat(16, "-s 1"));
  ASSERT_TRUE(card.Put("new.jpg", CardContent(5000, 22, true)));

  CDeepFatRecovery engine;
  ASSERT_EQ(engine.OpenImage(card.image(), 1001), kOk);
  DeepFatSweepStats stats;
  ASSERT_EQ(RunDeepFatSweep(engine, nullptr, nullptr, &stats), kOk);
  EXPECT_EQ(stats.sectorsSwept, 65536u);
  ASSERT_EQ(engine.Layouts().size(), 2u);
  EXPECT_TRUE(engine.HasBootLayout());
  EXPECT_EQ(engine.Layouts()[0].sectorsPerCluster, 1u) << "the new format";
  EXPECT_EQ(engine.Layouts()[1].sectorsPerCluster, 4u) << "the old one, from its folders";
  const auto found = ListAll(engine);
  ASSERT_TRUE(found.count("new.jpg")) << ::testing::PrintToString(Paths(found));
  for (int i = 1; i <= 6; ++i) {
    const std::string name = "Photo with a long name " + std::to_string(i) + ".jpg";
    const std::string path = PathEndingIn(found, "/100canon/" + name);
    ASSERT_FALSE(path.empty()) << name << ::testing::PrintToString(Paths(found));
    EXPECT_EQ(engine.RecoverItem(found.at(path), m_out.File(name), 0), kOk);
    EXPECT_EQ(testing::ReadFileBytes(m_out.File(name)), card.Original("DCIM/100CANON/" + name)) << name;
  }
  // The top-level folder's own entry was in the old root, under the new
  // tables: it comes back as a lost folder, and recovers as a tree.
  const std::string beach = PathEndingIn(found, "/Beach day/sunset at the sea.jpg");
  ASSERT_FALSE(beach.empty());
  const std::string top = beach.substr(0, beach.find('/'));
  EXPECT_EQ(top.rfind("LostFolder", 0), 0u) << top;
  EXPECT_TRUE(found.count(top + "/img_0001.jpg"));
  // Its children are filed one level down: the root of the destination
  // stands one separator above the folder.
  const std::string holiday = m_out.File("holiday");
  ASSERT_EQ(engine.RecoverItem(found.at(top), holiday, SeparatorCount(holiday) - 1), kOk);
  EXPECT_EQ(testing::ReadFileBytes(m_out.File("holiday/Beach day/sunset at the sea.jpg")),
            card.Original("Summer holiday 2024/Beach day/sunset at the sea.jpg"));
  EXPECT_EQ(testing::ReadFileBytes(m_out.File("holiday/img_0001.jpg")),
            card.Original("Summer holiday 2024/IMG_0001.JPG"));
  std::string folderPath;
  EXPECT_EQ(engine.GetFolderPath(found.at(beach), folderPath, 260), kOk);
  EXPECT_EQ(folderPath, top + "/Beach day/");
  std::string preview;
  uint32_t bytes = 0;
  ASSERT_EQ(engine.ExtractForPreview(found.at(beach), preview, nullptr, bytes, nullptr, nullptr), kOk);
  EXPECT_EQ(preview, m_home.ScanLogFolder() + "/tmp.jpg");
  EXPECT_EQ(testing::ReadFileBytes(preview),
            card.Original("Summer holiday 2024/Beach day/sunset at the sea.jpg"));
}

// Without a boot sector the layout comes from the folders alone, and the
// tree is the one the boot sector's layout gives.
TEST_F(DeepFat, ZeroedBootSectorGivesTheSameTree) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  FatCard card(32, 40);
  ASSERT_TRUE(card.ok());
  ASSERT_TRUE(card.Mkdir("A"));
  ASSERT_TRUE(card.Mkdir("A/B"));
  ASSERT_TRUE(card.Mkdir("C"));
  ASSERT_TRUE(card.Put("A/in a.jpg", CardContent(3000, 30, true)));
  for (int i = 1; i <= 3; ++i)
    ASSERT_TRUE(
        card.Put("A/B/long picture name " + std::to_string(i) + ".jpg", CardContent(4000 + i, 30 + i, true)));
  ASSERT_TRUE(card.Put("C/x.doc", CardContent(700, 35)));
  ASSERT_TRUE(card.Put("top.jpg", CardContent(1500, 36, true)));
  ASSERT_TRUE(card.Delete("A/B/long picture name 2.jpg"));

  CDeepFatRecovery withBoot;
  ASSERT_EQ(withBoot.OpenImage(card.image(), 1001), kOk);
  ASSERT_EQ(RunDeepFatSweep(withBoot, nullptr, nullptr), kOk);
  ASSERT_TRUE(withBoot.HasBootLayout());

  Bytes image = testing::ReadFileBytes(card.image());
  std::fill(image.begin(), image.begin() + 512, 0);
  testing::WriteFileBytes(card.image(), image);
  CDeepFatRecovery zeroed;
  ASSERT_EQ(zeroed.OpenImage(card.image(), 1001), kOk);
  ASSERT_EQ(RunDeepFatSweep(zeroed, nullptr, nullptr), kOk);
  EXPECT_FALSE(zeroed.HasBootLayout());
  ASSERT_EQ(zeroed.Layouts().size(), 1u);
  EXPECT_EQ(zeroed.Layouts()[0], withBoot.Layouts()[0]);

  const auto a = ListAll(zeroed), b = ListAll(withBoot);
  EXPECT_EQ(Paths(a), Paths(b));
  for (const char* path : {"top.jpg", "a/in a.jpg", "a/b/long picture name 1.jpg",
                           "a/b/long picture name 3.jpg", "c/x.doc", "a/b/long picture name 2.jpg"})
    EXPECT_TRUE(a.count(path)) << path << ::testing::PrintToString(Paths(a));
  for (const auto& [path, rec] : a) {
    FoundRecord x = rec, y = b.at(path);
    x.recordNumber = y.recordNumber = 0;
    EXPECT_EQ(std::memcmp(&x, &y, sizeof x), 0) << path;
  }
  const std::pair<const char*, const char*> files[] = {
      {"top.jpg", "top.jpg"},
      {"a/b/long picture name 2.jpg", "A/B/long picture name 2.jpg"},
      {"c/x.doc", "C/x.doc"}};
  for (const auto& [listed, original] : files) {
    ASSERT_TRUE(a.count(listed)) << listed;
    EXPECT_EQ(zeroed.RecoverItem(a.at(listed), m_out.File("f"), 0), kOk);
    EXPECT_EQ(testing::ReadFileBytes(m_out.File("f")), card.Original(original)) << listed;
    std::filesystem::remove(m_out.File("f"));
  }
}

// The corpus images: 400 deleted entries in one deleted folder that spans
// several clusters; a folder cluster that now belongs to another folder;
// deleted folders full of orphans; a folder loop.
TEST_F(DeepFat, CorpusImages) {
  VELMIRA_REQUIRE_CORPUS(dir, "msuhanov__dfir_ntfs/test_data");
  testing::TempDir tmp;
  struct Case {
    const char* image;
    size_t files;
    size_t folders;
  };
  for (const Case c : {Case{"fat_dir.raw.gz", 400, 1}, Case{"fat16_moved.raw.gz", 1, 3},
                       Case{"fat_deleted_dir.raw.gz", 502, 2}, Case{"fat_deleted_dir_2.raw.gz", 252, 3},
                       // Its two live files in a directory sector lack the
                       // archive bit; they are files all the same.
                       Case{"fat32_loop.raw.gz", 2, 1}}) {
    const std::string img = tmp.File(c.image) + ".img";
    ASSERT_TRUE(testing::GunzipTo(dir + "/" + c.image, img)) << c.image;
    CDeepFatRecovery engine;
    ASSERT_EQ(engine.OpenImage(img, 1001), kOk);
    ASSERT_EQ(RunDeepFatSweep(engine, nullptr, nullptr), kOk) << c.image;
    const auto found = ListAll(engine);
    size_t files = 0, folders = 0;  // names repeat, so count the records of a walk
    std::function<void(const FoundRecord*, uint32_t)> walk = [&](const FoundRecord* folder, uint32_t depth) {
      std::vector<FoundRecord> children;
      if (depth > 40 || engine.ListChildren(folder, depth, children) != kOk) return;
      for (const FoundRecord& child : children) {
        (child.isFolder ? folders : files)++;
        if (child.isFolder) walk(&child, depth + 1);
      }
    };
    walk(nullptr, 0);
    EXPECT_EQ(files, c.files) << c.image;
    EXPECT_EQ(folders, c.folders) << c.image << ::testing::PrintToString(Paths(found));
    if (std::string(c.image) == "fat_dir.raw.gz") {
      EXPECT_TRUE(found.count("test")) << "the deleted folder's long name";
    }
    if (std::string(c.image) == "fat16_moved.raw.gz") {
      EXPECT_TRUE(found.count("test/2/11/1.txt"));
    }
  }
}

// The deep scan of the command line finds a deleted folder's sectors in the
// free space: the deep FAT engine lists its file under a lost folder (next
// to the fast scan's own listing) and recovers it byte for byte.
TEST_F(DeepFat, CommandLineDeepScanFindsTheDeletedFolder) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  FatCard card(32, 40);
  ASSERT_TRUE(card.ok());
  ASSERT_TRUE(card.Mkdir("Trip"));
  ASSERT_TRUE(card.Put("Trip/Day one.jpg", CardContent(2500, 40, true)));
  ASSERT_TRUE(card.DeleteTree("Trip"));
  int status = -1;
  const std::string cli =
      testing::ShellQuote(VELMIRA_CLI_PATH) + " recover " + testing::ShellQuote(card.image());
  const std::string json = testing::RunCapture(cli + " --list --json </dev/null", status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(json.find("/Day one.jpg\",\"size\":2500,"), std::string::npos) << json;
  EXPECT_EQ(json.find("{\"path\":\"LostFolder"), std::string::npos)
      << "the deep FAT engine's copy of the same file is left out\n"
      << json;
  (void)testing::RunCapture(cli + " --continue --to " + testing::ShellQuote(m_out.path()) + " 2>&1", status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(testing::ReadFileBytes(m_out.File("photo/Day one.jpg")), card.Original("Trip/Day one.jpg"));
  EXPECT_FALSE(std::filesystem::exists(m_out.File("photo/Day one(1).jpg"))) << "recovered once";
}

}  // namespace
}  // namespace velmira
