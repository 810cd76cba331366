#include "engines/fat/fast_fat_recovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>

#include "engines/engine_factory.h"
#include "engines/fat/fat_volume.h"
#include "platform/errors.h"
#include "tests/fixtures/engine_listing.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes Content(size_t size, uint32_t seed, bool jpeg = false) {
  std::mt19937 rng(seed);
  Bytes b(size);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  static const uint8_t kJfif[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00};
  if (jpeg && size >= sizeof kJfif) std::copy(std::begin(kJfif), std::end(kJfif), b.begin());
  return b;
}

// A FAT image made with mkfs.vfat and filled with mtools.
class FatCard {
 public:
  FatCard(int bits, unsigned mib, const std::string& name = "card.img") : m_image(m_dir.File(name)) {
    m_ok = testing::MakeFatImage(m_image, bits, mib);
  }
  [[nodiscard]] bool ok() const { return m_ok; }
  [[nodiscard]] const std::string& image() const { return m_image; }
  [[nodiscard]] const testing::TempDir& dir() const { return m_dir; }

  void Mkdir(const std::string& path) {
    ASSERT_TRUE(testing::Mtools(m_image, "mmd", testing::ShellQuote("::/" + path))) << path;
  }
  void Put(const std::string& path, const Bytes& bytes) {
    const std::string local = m_dir.File("upload.bin");
    testing::WriteFileBytes(local, bytes);
    ASSERT_TRUE(testing::Mtools(m_image, "mcopy",
                                "-o " + testing::ShellQuote(local) + " " + testing::ShellQuote("::/" + path)))
        << path;
    m_files[path] = bytes;
  }
  void Delete(const std::string& path) {
    ASSERT_TRUE(testing::Mtools(m_image, "mdel", testing::ShellQuote("::/" + path)));
  }
  void DeleteTree(const std::string& path) {
    ASSERT_TRUE(testing::Mtools(m_image, "mdeltree", testing::ShellQuote("::/" + path)));
  }
  [[nodiscard]] const Bytes& Original(const std::string& path) const { return m_files.at(path); }

 private:
  testing::TempDir m_dir;
  std::string m_image;
  bool m_ok = false;
  std::map<std::string, Bytes> m_files;
};

using testing::ListAll;

// The number of records a full walk of the folder tree lists.
size_t CountListed(IFileRecoveryParse& engine) {
  size_t n = 0;
  std::function<void(const FoundRecord*, uint32_t, int)> walk = [&](const FoundRecord* folder, uint32_t depth,
                                                                    int guard) {
    std::vector<FoundRecord> children;
    if (guard > 40 || engine.ListChildren(folder, depth, children) != kOk) return;
    n += children.size();
    for (const auto& child : children)
      if (child.isFolder) walk(&child, depth + 1, guard + 1);
  };
  walk(nullptr, 0, 0);
  return n;
}

std::vector<std::string> Keys(const std::map<std::string, FoundRecord>& m) {
  std::vector<std::string> k;
  for (const auto& [path, rec] : m) k.push_back(path);
  return k;
}

class ScanLogHome : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("XDG_DATA_HOME", m_home.path().c_str(), 1); }
  void TearDown() override { ::unsetenv("XDG_DATA_HOME"); }
  testing::TempDir m_home;
};

using FastFat = ScanLogHome;

void BuildCameraCard(FatCard& card) {
  card.Mkdir("DCIM");
  card.Mkdir("DCIM/100CANON");
  card.Put("DCIM/100CANON/IMG_0001.JPG", Content(150000, 1, true));
  card.Put("DCIM/100CANON/IMG_0002.JPG", Content(70000, 2, true));
  card.Put("DCIM/100CANON/Holiday photo with a long name.jpeg", Content(9000, 3, true));
  card.Put("notes.txt", Content(10, 4));
  card.Put("empty.dat", {});
  card.Mkdir("Trip");
  card.Mkdir("Trip/Day one");
  card.Put("Trip/a.jpg", Content(40000, 5, true));
  card.Put("Trip/Day one/b.jpg", Content(5000, 6, true));
  card.Put("Trip/Day one/movie clip.mov", Content(300000, 7));
  card.Put("keep.txt", Content(3000, 8));
  card.Delete("DCIM/100CANON/IMG_0001.JPG");
  card.Delete("DCIM/100CANON/Holiday photo with a long name.jpeg");
  card.Delete("notes.txt");
  card.Delete("empty.dat");
  card.DeleteTree("Trip");
}

void ExpectCameraCardRecovered(FatCard& card, int bits) {
  auto engine = CreateEngineForImage(card.image(), 1001, false);
  ASSERT_NE(engine, nullptr);
  ASSERT_NE(dynamic_cast<CFastFatRecovery*>(engine.get()), nullptr);
  ASSERT_EQ(engine->Scan(""), kOk);
  const auto found = ListAll(*engine);
  // Names without a long form are short names: lower-cased, and a deleted
  // entry's lost first letter shows as "!".
  const std::vector<std::string> expected = {"Trip",
                                             "Trip/!.jpg",
                                             "Trip/Day one",
                                             "Trip/Day one/!.jpg",
                                             "Trip/Day one/movie clip.mov",
                                             "dcim",
                                             "dcim/100canon",
                                             "dcim/100canon/!mg_0001.jpg",
                                             "dcim/100canon/Holiday photo with a long name.jpeg",
                                             "!mpty.dat",
                                             "!otes.txt"};
  std::vector<std::string> sortedExpected = expected;
  std::sort(sortedExpected.begin(), sortedExpected.end());
  EXPECT_EQ(Keys(found), sortedExpected) << "FAT" << bits;

  const std::pair<std::string, std::string> files[] = {
      {"dcim/100canon/Holiday photo with a long name.jpeg",
       "DCIM/100CANON/Holiday photo with a long name.jpeg"},
      {"dcim/100canon/!mg_0001.jpg", "DCIM/100CANON/IMG_0001.JPG"},
      {"!otes.txt", "notes.txt"},
      {"!mpty.dat", "empty.dat"},
      {"Trip/!.jpg", "Trip/a.jpg"},
      {"Trip/Day one/!.jpg", "Trip/Day one/b.jpg"},
      {"Trip/Day one/movie clip.mov", "Trip/Day one/movie clip.mov"},
  };
  testing::TempDir out;
  for (const auto& [listed, original] : files) {
    auto it = found.find(listed);
    ASSERT_NE(it, found.end()) << listed;
    const std::string target = out.File(std::to_string(it->second.recordNumber));
    EXPECT_EQ(engine->RecoverItem(it->second, target, 0), kOk) << listed;
    EXPECT_EQ(testing::ReadFileBytes(target), card.Original(original)) << listed << " FAT" << bits;
  }
  // A subfolder that cannot be made (a file stands at its name) fails the
  // folder's recovery, after the rest of the tree was written.
  const std::string tree = out.File("tree");
  ASSERT_TRUE(fs::create_directory(tree));
  testing::WriteFileBytes(tree + "/Day one", {1});
  const auto separators = static_cast<int32_t>(std::count(tree.begin(), tree.end(), '/'));
  EXPECT_EQ(engine->RecoverItem(found.at("Trip"), tree, separators - 1), kErrAlreadyExists) << "FAT" << bits;
  EXPECT_EQ(testing::ReadFileBytes(tree + "/!.jpg"), card.Original("Trip/a.jpg")) << "FAT" << bits;
  // The folder path of a file comes from the store.
  std::string path;
  EXPECT_EQ(engine->GetFolderPath(found.at("Trip/Day one/!.jpg"), path, 260), kOk);
  EXPECT_EQ(path, "Trip/Day one/");
  uint32_t count = 0;
  EXPECT_EQ(engine->CountFiles(nullptr, 0, count), kOk);
  EXPECT_EQ(count, 7u);
  std::vector<FoundRecord> jpegs;
  EXPECT_EQ(engine->CollectMatches("*.jpg|*.jpeg|", jpegs), kOk);
  EXPECT_EQ(jpegs.size(), 4u);
}

TEST_F(FastFat, Fat32CameraCardListsDeletedFilesAndRecoversThemByteForByte) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  FatCard card(32, 40);
  ASSERT_TRUE(card.ok());
  BuildCameraCard(card);
  ExpectCameraCardRecovered(card, 32);
}

TEST_F(FastFat, Fat16CameraCard) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  FatCard card(16, 20);
  ASSERT_TRUE(card.ok());
  BuildCameraCard(card);
  ExpectCameraCardRecovered(card, 16);
}

TEST_F(FastFat, Fat12FloppyScansAndRecovers) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  testing::TempDir dir;
  const std::string img = dir.File("floppy.img");
  testing::MakeBlankFile(img, 1474560);
  ASSERT_TRUE(
      testing::RunQuiet("PATH=\"$PATH:/sbin:/usr/sbin\" mkfs.vfat -F 12 " + testing::ShellQuote(img)));
  const Bytes a = Content(20000, 11), b = Content(777, 12);
  testing::WriteFileBytes(dir.File("a"), a);
  testing::WriteFileBytes(dir.File("b"), b);
  ASSERT_TRUE(testing::Mtools(img, "mcopy", testing::ShellQuote(dir.File("a")) + " ::/Report.doc"));
  ASSERT_TRUE(testing::Mtools(img, "mcopy", testing::ShellQuote(dir.File("b")) + " ::/keep.doc"));
  ASSERT_TRUE(testing::Mtools(img, "mdel", "::/Report.doc"));

  CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenImage(img, 1002), kOk);
  EXPECT_EQ(engine.Geometry().entryBits, 12u);
  EXPECT_EQ(engine.Geometry().rootSectors, 14u) << "224 root entries on a 1.44 MB floppy";
  ASSERT_EQ(engine.Scan(""), kOk);
  const auto found = ListAll(engine);
  ASSERT_EQ(Keys(found), std::vector<std::string>{"Report.doc"});
  EXPECT_EQ(found.at("Report.doc").sourceKey, 1002);
  EXPECT_EQ(engine.RecoverItem(found.at("Report.doc"), dir.File("out.doc"), 0), kOk);
  EXPECT_EQ(testing::ReadFileBytes(dir.File("out.doc")), a);
}

TEST_F(FastFat, DeletedShortNameShowsExclamationMark) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  FatCard card(32, 40);
  ASSERT_TRUE(card.ok());
  card.Put("MG_0001.JPG", Content(4000, 21, true));
  card.Delete("MG_0001.JPG");
  CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenImage(card.image(), 1001), kOk);
  ASSERT_EQ(engine.Scan(""), kOk);
  EXPECT_EQ(Keys(ListAll(engine)), std::vector<std::string>{"!g_0001.jpg"});
}

TEST_F(FastFat, ASecondScanInTheSameMinuteGetsItsOwnLog) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  FatCard card(16, 20);
  ASSERT_TRUE(card.ok());
  card.Put("Lost.txt", Content(100, 1));
  card.Delete("Lost.txt");
  CFastFatRecovery first, second;
  ASSERT_EQ(first.OpenImage(card.image(), 1001), kOk);
  ASSERT_EQ(second.OpenImage(card.image(), 1002), kOk);
  ASSERT_EQ(first.Scan(""), kOk);
  ASSERT_EQ(second.Scan(""), kOk);
  EXPECT_EQ(first.GetFoundCount(), 1u);
  EXPECT_EQ(second.GetFoundCount(), 1u);
  EXPECT_EQ(ListAll(first).size(), 1u);
  EXPECT_EQ(ListAll(second).size(), 1u) << "the second scan must not append to the first one's log";

  // A scan handed a folder by whoever runs it makes its log there.
  testing::TempDir handed;
  const std::string folder = handed.File("logs") + "/";
  CFastFatRecovery third;
  third.SetLogFolder(folder);
  ASSERT_EQ(third.OpenImage(card.image(), 1003), kOk);
  ASSERT_EQ(third.Scan(""), kOk);
  ASSERT_NE(third.Store(), nullptr);
  EXPECT_EQ(third.Store()->MainPath().rfind(folder + "Fast_0_", 0), 0u) << third.Store()->MainPath();
  EXPECT_EQ(ListAll(third).size(), 1u);
}

TEST_F(FastFat, CancelAtTheFirstPeriodicReportStopsWithoutTheFinalReport) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  FatCard card(16, 20);
  ASSERT_TRUE(card.ok());
  card.Put("a.txt", Content(100, 1));
  card.Delete("a.txt");
  CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenImage(card.image(), 1001), kOk);
  engine.SetReportInterval(0);
  struct Seen {
    std::vector<int32_t> percents;
  } seen;
  engine.SetProgressCallbacks(
      [](void* user, int32_t percent, int32_t, int32_t, uint64_t, uint64_t, uint64_t, int32_t) -> int32_t {
        auto* s = static_cast<Seen*>(user);
        s->percents.push_back(percent);
        return percent == 2 ? kCancelled : 0;
      },
      nullptr, &seen, 100);
  EXPECT_EQ(engine.Scan(""), kCancelled);
  EXPECT_EQ(seen.percents, (std::vector<int32_t>{1, 2}));
}

TEST_F(FastFat, FreeRunSkipsClustersOfLiveFilesAndLiveChainsEndEarly) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  FatCard card(32, 40);
  ASSERT_TRUE(card.ok());
  // Fragment a file around a live one: write A, B, C; delete A and C; write a
  // large D that fills A's hole and goes on past C... simpler: write small
  // X, big Y, small Z; delete X then write W of two clusters: W takes X's
  // cluster and the first free one after Z. Deleting W then leaves a chain
  // whose second cluster lies beyond the live Y and Z.
  const uint32_t cb = 512;  // mkfs.vfat picks one sector per cluster for 40 MiB FAT32
  card.Put("Xfile.bin", Content(cb, 31));
  card.Put("Yfile.bin", Content(cb * 3, 32));
  card.Put("Zfile.bin", Content(cb, 33));
  card.Delete("Xfile.bin");
  const Bytes w = Content(cb * 2, 34);
  card.Put("Wfile.bin", w);
  card.Delete("Wfile.bin");
  CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenImage(card.image(), 1001), kOk);
  ASSERT_EQ(engine.Geometry().ClusterBytes(), cb);
  ASSERT_EQ(engine.Scan(""), kOk);
  auto found = ListAll(engine);
  ASSERT_TRUE(found.count("Wfile.bin"));
  testing::TempDir out;
  EXPECT_EQ(engine.RecoverItem(found.at("Wfile.bin"), out.File("w"), 0), kOk);
  EXPECT_EQ(testing::ReadFileBytes(out.File("w")), w) << "the second cluster lies after the live y and z";
}

TEST_F(FastFat, PreviewGoesToTheTempPictureOrMemory) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  FatCard card(16, 20);
  ASSERT_TRUE(card.ok());
  const Bytes pic = Content(6000, 41, true), doc = Content(3000, 42);
  card.Put("Photo.jpg", pic);
  card.Put("Doc.txt", doc);
  card.Delete("Photo.jpg");
  card.Delete("Doc.txt");
  CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenImage(card.image(), 1001), kOk);
  ASSERT_EQ(engine.Scan(""), kOk);
  auto found = ListAll(engine);
  std::string path;
  uint32_t bytes = 0;
  ASSERT_EQ(engine.ExtractForPreview(found.at("Photo.jpg"), path, nullptr, bytes, nullptr, nullptr), kOk);
  EXPECT_EQ(path, m_home.path() + "/Orvanta/ScanLog/tmp.jpg");
  EXPECT_EQ(testing::ReadFileBytes(path), pic);
  Bytes memory(1000);
  bytes = 1000;
  path.clear();
  ASSERT_EQ(engine.ExtractForPreview(found.at("Doc.txt"), path, memory.data(), bytes, nullptr, nullptr), kOk);
  EXPECT_TRUE(path.empty());
  EXPECT_EQ(bytes, 1000u);
  EXPECT_EQ(memory, Bytes(doc.begin(), doc.begin() + 1000));
}

TEST_F(FastFat, AllocationMapGivesTheFreeExtents) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  FatCard card(16, 20);
  ASSERT_TRUE(card.ok());
  card.Put("a.bin", Content(2048 * 3, 51));
  CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenImage(card.image(), 1001), kOk);
  uint64_t pos = 0, len = 0;
  EXPECT_EQ(engine.NextFreeExtent(pos, len), 1);
  EXPECT_EQ(len, 0u) << "no map loaded yet";
  EXPECT_EQ(engine.LoadAllocationMap(), 0);
  const FatGeometry& g = engine.Geometry();
  pos = 0;
  ASSERT_EQ(engine.NextFreeExtent(pos, len), 1);
  // Cluster 2 holds the file (and its clusters follow), so free space starts after it.
  const uint64_t used = (2048 * 3 + g.ClusterBytes() - 1) / g.ClusterBytes();
  EXPECT_EQ(pos, g.dataStart + used * g.sectorsPerCluster);
  EXPECT_GT(len, 0u);
  EXPECT_LE(pos + len, uint64_t{g.totalSectors});
  uint64_t beyond = uint64_t{g.totalSectors} + 10;
  EXPECT_EQ(engine.NextFreeExtent(beyond, len), 1);
  EXPECT_EQ(len, 0u);
}

// Record counts of a full listing (folders included). The Sleuth Kit reports
// only the deleted folder of fat_dir.raw; its 400 deleted entries are all
// there, as are fat_deleted_dir's 504 (most of them orphans to TSK). A
// folder cycle (fat32_loop) must end, and a reused folder cluster
// (fat16_moved) must not be listed under the deleted folder.
TEST_F(FastFat, CorpusImagesEndAndListTheirDeletedEntries) {
  VELMIRA_REQUIRE_CORPUS(dir, "msuhanov__dfir_ntfs/test_data");
  testing::TempDir tmp;
  struct Case {
    const char* image;
    size_t records;
  };
  for (const Case c :
       {Case{"fat_deleted_dir.raw.gz", 504}, Case{"fat_deleted_dir_2.raw.gz", 68},
        Case{"fat_dir.raw.gz", 401}, Case{"fat32_loop.raw.gz", 0}, Case{"fat_lfn_test.raw.gz", 0},
        Case{"fat_unusual_cluster.raw.gz", 0}, Case{"fat16_moved.raw.gz", 0}}) {
    const std::string img = tmp.File(c.image) + ".img";
    ASSERT_TRUE(testing::GunzipTo(dir + "/" + c.image, img)) << c.image;
    auto engine = CreateEngineForImage(img, 1001, false);
    ASSERT_NE(engine, nullptr) << c.image;
    ASSERT_EQ(engine->Scan(""), kOk) << c.image;
    EXPECT_EQ(CountListed(*engine), c.records) << c.image;
    EXPECT_EQ(engine->GetFoundCount(), c.records) << c.image;
  }
}

}  // namespace
}  // namespace velmira
