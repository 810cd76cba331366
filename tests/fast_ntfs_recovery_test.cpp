// The fast NTFS scan on volumes made by a real NTFS driver (mkntfs and an
// ntfs-3g mount), on volumes built record by record where a tool cannot
// make the damage, and on the corpus volumes against their listings.
#include "engines/ntfs/fast_ntfs_recovery.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "engines/engine_factory.h"
#include "engines/output_sink.h"
#include "platform/errors.h"
#include "tests/fixtures/data_home.h"
#include "tests/fixtures/engine_listing.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/ntfs_disk.h"
#include "tests/fixtures/ntfs_record_builder.h"
#include "tests/fixtures/sha256.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using testing::NtfsRecordBuilder;
using testing::PutLe;

Bytes Content(size_t size, uint32_t seed, bool jpeg = false) {
  std::mt19937 rng(seed);
  Bytes b(size);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  static const uint8_t kJfif[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00};
  if (jpeg && size >= sizeof kJfif) std::copy(std::begin(kJfif), std::end(kJfif), b.begin());
  return b;
}

using testing::ListAll;

std::vector<std::string> Keys(const std::map<std::string, FoundRecord>& m) {
  std::vector<std::string> k;
  for (const auto& [path, rec] : m) k.push_back(path);
  return k;
}

// A run list of (length, delta) pairs; a delta of INT64_MIN is a sparse run.
Bytes RunList(const std::vector<std::pair<uint32_t, int64_t>>& runs) {
  Bytes out;
  for (const auto& [length, delta] : runs) {
    const bool sparse = delta == INT64_MIN;
    out.push_back(sparse ? 0x04 : 0x44);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(length >> (8 * i)));
    if (!sparse)
      for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(delta) >> (8 * i)));
  }
  return out;
}

// A small NTFS volume built record by record: 512-byte sectors, 4 KiB
// clusters, 1 KiB records, the $MFT at cluster 16 (and in further runs when
// asked), the root folder in record 5.
class SyntheticVolume {
 public:
  static constexpr uint32_t kCluster = 4096;
  static constexpr uint32_t kMftCluster = 16;

  explicit SyntheticVolume(uint32_t mftClusters = 32, uint64_t clusters = 1024,
                           std::vector<std::pair<uint32_t, int64_t>> moreMftRuns = {})
      : m_bytes(clusters * kCluster, 0), m_mftClusters(mftClusters) {
    const Bytes boot = testing::NtfsBootSector(512, 8, clusters * 8, kMftCluster);
    std::copy(boot.begin(), boot.end(), m_bytes.begin());
    std::vector<std::pair<uint32_t, int64_t>> runs{{mftClusters, kMftCluster}};
    uint64_t total = mftClusters;
    for (const auto& run : moreMftRuns) {
      runs.push_back(run);
      total += run.first;
    }
    NtfsRecordBuilder mft(1024, 0, 1);
    mft.Resident(0x30, testing::FileNameValue(5, u"$MFT", 3));
    mft.NonResident(0x80, RunList(runs), 0, total - 1, total * kCluster);
    Put(0, mft);
    NtfsRecordBuilder root(1024, 5, 3);
    root.Resident(0x30, testing::FileNameValue(5, u".", 3));
    Put(5, root);
  }

  void Put(uint32_t number, const NtfsRecordBuilder& record) { PutRaw(number, record.Build()); }
  void PutRaw(uint32_t number, const Bytes& bytes) {
    ASSERT_LT(number, m_mftClusters * 4) << "record outside the first $MFT run";
    std::copy(bytes.begin(), bytes.end(), m_bytes.begin() + kMftCluster * kCluster + number * 1024);
  }
  void PutCluster(uint64_t cluster, const Bytes& bytes) {
    std::copy(bytes.begin(), bytes.end(), m_bytes.begin() + static_cast<ptrdiff_t>(cluster * kCluster));
  }
  std::string Save(const testing::TempDir& dir, const std::string& name = "synthetic.img") const {
    testing::WriteFileBytes(dir.File(name), m_bytes);
    return dir.File(name);
  }

  // A file record: in use or not, a $FILE_NAME, and a resident $DATA of
  // `data` or a non-resident one over `runs` with `size` bytes.
  static NtfsRecordBuilder File(uint32_t number, uint32_t parent, const std::u16string& name,
                                uint16_t flags = 0) {
    NtfsRecordBuilder r(1024, number, flags);
    r.Resident(0x10, Bytes(0x30, 0));
    r.Resident(0x30, testing::FileNameValue(parent, name, 3));
    return r;
  }
  static NtfsRecordBuilder Folder(uint32_t number, uint32_t parent, const std::u16string& name,
                                  uint16_t flags = 2) {
    NtfsRecordBuilder r(1024, number, flags);
    r.Resident(0x30, testing::FileNameValue(parent, name, 3));
    return r;
  }

 private:
  Bytes m_bytes;
  uint32_t m_mftClusters;
};

class FastNtfs : public ::testing::Test {
 protected:
  std::unique_ptr<CFastNtfsRecovery> ScanImage(const std::string& image) {
    auto engine = std::make_unique<CFastNtfsRecovery>();
    if (engine->OpenImage(image, 1001) != kOk || engine->Scan("") != kOk) return nullptr;
    return engine;
  }
  testing::ScopedDataHome m_home;
  testing::TempDir m_out;
};

// ---------------------------------------------------------------------------
// Volumes made by ntfs-3g.

TEST_F(FastNtfs, DeletedFilesInNestedFoldersComeBackWithNamesFoldersAndBytes) {
  testing::NtfsDisk disk(24, 1024);
  if (std::string why = disk.Unusable(); !why.empty()) GTEST_SKIP() << why;
  ASSERT_TRUE(disk.Mount());
  disk.Put("Photos/2024/Summer/beach.jpg", Content(70000, 1, true));
  disk.Put("Docs/note.txt", Content(300, 2));
  disk.Put("root.txt", Content(20, 3));
  disk.Put("empty.dat", {});
  disk.Put("keep.txt", Content(5000, 4));
  disk.Put("Live/live.jpg", Content(9000, 5, true));
  disk.Mkdir("Gone/Inner");
  // A file in several runs: three stretches of data with holes between.
  disk.PutSparse("Photos/2024/pieces.bin",
                 {{0, Content(5000, 10)}, {100000, Content(5000, 11)}, {200000, Content(3000, 12)}});
  const uint64_t pieces = disk.RecordOf("Photos/2024/pieces.bin");
  for (const char* p : {"Photos", "Docs/note.txt", "root.txt", "empty.dat", "Gone"}) disk.Remove(p);
  disk.Unmount();

  auto engine = CreateEngineForImage(disk.image(), 1001, false);
  ASSERT_NE(engine, nullptr);
  auto* ntfs = dynamic_cast<CFastNtfsRecovery*>(engine.get());
  ASSERT_NE(ntfs, nullptr);
  ASSERT_EQ(engine->Scan(""), kOk);
  const auto found = ListAll(*engine);
  // Live files and a deleted folder without deleted files give nothing.
  EXPECT_EQ(Keys(found), (std::vector<std::string>{"Docs", "Docs/note.txt", "Photos", "Photos/2024",
                                                   "Photos/2024/Summer", "Photos/2024/Summer/beach.jpg",
                                                   "Photos/2024/pieces.bin", "empty.dat", "root.txt"}));
  for (const auto& [path, rec] : found) {
    EXPECT_GT(uint32_t{rec.key}, 11u) << path;
    EXPECT_EQ(uint32_t{rec.engineTag}, uint32_t{kTagFastNtfs});
    EXPECT_EQ(uint16_t{rec.sourceKey}, 1001);
  }
  EXPECT_EQ(uint32_t{found.at("Photos/2024/pieces.bin").key}, pieces);

  // Several runs indeed.
  {
    SectorSource source;
    ASSERT_EQ(OpenImageSource(source, disk.image()), kOk);
    std::vector<DataRun> runs;
    ASSERT_EQ(
        GetAttributeRuns(source, ntfs->Geometry(), ntfs->MftRuns(),
                         RecordToSector(ntfs->Geometry(), ntfs->MftRuns(), pieces), kNtfsAttrData, runs),
        kOk);
    EXPECT_GE(runs.size(), 5u);
    EXPECT_EQ(std::count_if(runs.begin(), runs.end(), [](const DataRun& r) { return r.sparse; }), 2);
    std::vector<uint8_t> resident;
    EXPECT_EQ(ReadResidentData(source, ntfs->Geometry(), found.at("Docs/note.txt").entrySector, resident),
              kOk)
        << "a 300-byte file lives in its record";
  }
  const std::pair<std::string, std::string> files[] = {
      {"Photos/2024/Summer/beach.jpg", "Photos/2024/Summer/beach.jpg"},
      {"Photos/2024/pieces.bin", "Photos/2024/pieces.bin"},
      {"Docs/note.txt", "Docs/note.txt"},
      {"root.txt", "root.txt"},
      {"empty.dat", "empty.dat"}};
  for (const auto& [listed, original] : files) {
    const FoundRecord& rec = found.at(listed);
    EXPECT_EQ(uint64_t{rec.size}, disk.Original(original).size()) << listed;
    const std::string target = m_out.File("files/" + std::to_string(rec.recordNumber));
    EXPECT_EQ(engine->RecoverItem(rec, target, 0), kOk) << listed;
    EXPECT_TRUE(fs::exists(target)) << listed;
    EXPECT_EQ(testing::ReadFileBytes(target), disk.Original(original)) << listed;
  }
  EXPECT_EQ(uint32_t{found.at("Photos/2024/Summer/beach.jpg").contentOk}, 1u);
  std::string path;
  EXPECT_EQ(engine->GetFolderPath(found.at("Photos/2024/Summer/beach.jpg"), path, 260), kOk);
  EXPECT_EQ(path, "Photos/2024/Summer/");
  uint32_t count = 0;
  EXPECT_EQ(engine->CountFiles(nullptr, 0, count), kOk);
  EXPECT_EQ(count, 5u);
  std::vector<FoundRecord> jpegs;
  EXPECT_EQ(engine->CollectMatches("*.jpg|*.jpeg|", jpegs), kOk);
  ASSERT_EQ(jpegs.size(), 1u);

  // The folder tree comes back whole.
  // The depth base is the separators of the folder the tree is made in.
  const std::string tree = m_out.File("tree/Photos");
  const int32_t rootDepth = static_cast<int32_t>(std::count(tree.begin(), tree.end(), '/')) - 1;
  EXPECT_EQ(engine->RecoverItem(found.at("Photos"), tree, rootDepth), kOk);
  EXPECT_EQ(testing::ReadFileBytes(tree + "/2024/Summer/beach.jpg"),
            disk.Original("Photos/2024/Summer/beach.jpg"));
  EXPECT_EQ(testing::ReadFileBytes(tree + "/2024/pieces.bin"), disk.Original("Photos/2024/pieces.bin"));

  // Preview: a picture goes to tmp.jpg, a text to memory, cut at the capacity.
  std::string preview;
  uint32_t bytes = 0;
  ASSERT_EQ(engine->ExtractForPreview(found.at("Photos/2024/Summer/beach.jpg"), preview, nullptr, bytes,
                                      nullptr, nullptr),
            kOk);
  EXPECT_EQ(preview, m_home.ScanLogFolder() + "/tmp.jpg");
  EXPECT_EQ(testing::ReadFileBytes(preview), disk.Original("Photos/2024/Summer/beach.jpg"));
  Bytes memory(100);
  bytes = 100;
  preview.clear();
  ASSERT_EQ(
      engine->ExtractForPreview(found.at("Docs/note.txt"), preview, memory.data(), bytes, nullptr, nullptr),
      kOk);
  EXPECT_TRUE(preview.empty());
  EXPECT_EQ(bytes, 100u);
  EXPECT_EQ(memory,
            Bytes(disk.Original("Docs/note.txt").begin(), disk.Original("Docs/note.txt").begin() + 100));
}

TEST_F(FastNtfs, AFolderWhoseRecordNowHoldsAFileBecomesALostFolder) {
  testing::NtfsDisk disk(16);
  if (std::string why = disk.Unusable(); !why.empty()) GTEST_SKIP() << why;
  ASSERT_TRUE(disk.Mount());
  disk.Put("Old/letter.txt", Content(400, 7));
  const uint64_t folder = disk.RecordOf("Old");
  disk.Remove("Old");
  // New files take free records again after a while; one gets the folder's.
  std::string newer;
  for (int i = 0; i < 40 && newer.empty(); ++i) {
    const std::string name = "newer" + std::to_string(i) + ".txt";
    disk.Put(name, Content(10, 8));
    if (disk.RecordOf(name) == folder) newer = name;
  }
  ASSERT_FALSE(newer.empty()) << "ntfs-3g never gave the folder's record to a file";
  disk.Unmount();

  auto engine = ScanImage(disk.image());
  ASSERT_NE(engine, nullptr);
  const std::string lost = "LostFolder" + std::to_string(folder);
  const auto found = ListAll(*engine);
  EXPECT_EQ(Keys(found), (std::vector<std::string>{lost, lost + "/letter.txt"}));
  EXPECT_EQ(uint32_t{found.at(lost).clusterBytes}, kNoClusterBytes);
  std::vector<FoundRecord> inside;
  ASSERT_EQ(engine->ListChildren(&found.at(lost), 1, inside), kOk);
  ASSERT_EQ(inside.size(), 1u) << "the file's depth is 1";
  std::string path;
  EXPECT_EQ(engine->GetFolderPath(inside[0], path, 260), kOk);
  EXPECT_EQ(path, lost + "/");
  EXPECT_EQ(engine->RecoverItem(inside[0], m_out.File("letter.txt"), 0), kOk);
  EXPECT_EQ(testing::ReadFileBytes(m_out.File("letter.txt")), disk.Original("Old/letter.txt"));
}

// ---------------------------------------------------------------------------
// Volumes built record by record.

TEST_F(FastNtfs, DosNameThenWin32NameListsTheWin32Name) {
  SyntheticVolume vol;
  auto a = SyntheticVolume::File(40, 5, u"LONGFI~1.TXT");
  a.Resident(0x30, testing::FileNameValue(5, u"Long file name.txt", 1));
  a.Resident(0x80, Content(30, 1));
  vol.Put(40, a);
  auto b = SyntheticVolume::File(41, 5, u"ONLYDOS.TXT");
  b.Resident(0x80, Content(30, 2));
  vol.Put(41, b);
  auto c = NtfsRecordBuilder(1024, 42, 0);
  c.Resident(0x30, testing::FileNameValue(5, u"First Win32.txt", 1));
  c.Resident(0x30, testing::FileNameValue(5, u"FIRSTW~1.TXT", 2));
  vol.Put(42, c);
  // System records never appear, deleted or not.
  vol.Put(7, SyntheticVolume::File(7, 5, u"system.txt"));
  vol.Put(11, SyntheticVolume::File(11, 5, u"extend.txt"));
  auto engine = ScanImage(vol.Save(m_out));
  ASSERT_NE(engine, nullptr);
  const auto found = ListAll(*engine);
  EXPECT_EQ(Keys(found), (std::vector<std::string>{"First Win32.txt", "Long file name.txt", "ONLYDOS.TXT"}));
  EXPECT_EQ(engine->GetFoundCount(), 3u);
  // Files in the root are filed under record 5 at depth 0, with no folder.
  const FoundRecord& top = found.at("Long file name.txt");
  EXPECT_EQ(uint32_t{top.key}, 40u);
  EXPECT_EQ(uint64_t{top.size}, 30u);
  EXPECT_EQ(uint64_t{top.entrySector}, 16u * 8 + 40 * 2);
  EXPECT_EQ(uint32_t{top.clusterBytes}, 4096u);
  EXPECT_TRUE(engine->DirectoryList().empty());
  std::vector<FoundRecord> none;
  EXPECT_EQ(engine->ListChildren(nullptr, 1, none), kErrInvalidParameter);
  // No allocation map yet: nothing free is reported.
  uint64_t pos = 0, len = 9;
  EXPECT_EQ(engine->NextFreeExtent(pos, len), 1);
  EXPECT_EQ(len, 0u);
}

TEST_F(FastNtfs, FileListedOnlyInAnAttributeListIsRecoveredThroughTheList) {
  SyntheticVolume vol;
  // Base record 50: the name (with a stale size) and the list; the data's
  // two extents lie in records 51 and 52, clusters 200-201 and 300-301.
  auto base = NtfsRecordBuilder(1024, 50, 0);
  base.Resident(0x30, testing::FileNameValue(5, u"listed.bin", 3, 0));
  Bytes list;
  for (const Bytes& e : {testing::AttributeListEntry(0x30, 0, 50), testing::AttributeListEntry(0x80, 0, 51),
                         testing::AttributeListEntry(0x80, 2, 52)})
    list.insert(list.end(), e.begin(), e.end());
  base.Resident(0x20, list);
  vol.Put(50, base);
  auto first = NtfsRecordBuilder(1024, 51, 0);
  first.NonResident(0x80, RunList({{2, 200}}), 0, 1, 14000);
  vol.Put(51, first);
  auto second = NtfsRecordBuilder(1024, 52, 0);
  second.NonResident(0x80, RunList({{2, 300}}), 2, 3, 0);
  vol.Put(52, second);
  const Bytes data = Content(4 * 4096, 4);
  vol.PutCluster(200, Bytes(data.begin(), data.begin() + 8192));
  vol.PutCluster(300, Bytes(data.begin() + 8192, data.end()));
  auto engine = ScanImage(vol.Save(m_out));
  ASSERT_NE(engine, nullptr);
  const auto found = ListAll(*engine);
  ASSERT_EQ(Keys(found), std::vector<std::string>{"listed.bin"});
  EXPECT_EQ(uint64_t{found.at("listed.bin").size}, 14000u)
      << "the size comes from the extent, not the stale name";
  EXPECT_EQ(engine->RecoverItem(found.at("listed.bin"), m_out.File("listed.bin"), 0), kOk);
  EXPECT_EQ(testing::ReadFileBytes(m_out.File("listed.bin")), Bytes(data.begin(), data.begin() + 14000));
}

TEST_F(FastNtfs, RunsPastTheVolumeEndEndTheFileWithAnError) {
  SyntheticVolume vol;
  auto f = SyntheticVolume::File(60, 5, u"cut.jpg");
  // One cluster inside, then two far past the 1,024 clusters of the volume.
  f.NonResident(0x80, RunList({{1, 500}, {2, 5000}}), 0, 2, 3 * 4096);
  vol.Put(60, f);
  const Bytes inside = Content(4096, 5, true);
  vol.PutCluster(500, inside);
  // A sparse run in the middle reads as zeros.
  auto s = SyntheticVolume::File(61, 5, u"holes.bin");
  s.NonResident(0x80, RunList({{1, 600}, {2, INT64_MIN}, {1, 2}}), 0, 3, 4 * 4096 - 100);
  vol.Put(61, s);
  const Bytes a = Content(4096, 6), b = Content(4096, 7);
  vol.PutCluster(600, a);
  vol.PutCluster(602, b);
  auto engine = ScanImage(vol.Save(m_out));
  ASSERT_NE(engine, nullptr);
  const auto found = ListAll(*engine);
  ASSERT_EQ(Keys(found), (std::vector<std::string>{"cut.jpg", "holes.bin"}));

  struct Seen {
    std::vector<int32_t> errors;
  } seen;
  engine->SetProgressCallbacks(
      nullptr,
      [](void* user, int32_t, int32_t, int32_t error, const std::string&) -> int32_t {
        static_cast<Seen*>(user)->errors.push_back(error);
        return 0;
      },
      &seen, 100);
  {
    const KeepPartialScope keep(true);
    EXPECT_EQ(engine->RecoverItem(found.at("cut.jpg"), m_out.File("cut.jpg"), 0), kErrInvalidParameter);
  }
  EXPECT_FALSE(fs::exists(m_out.File("cut.jpg"))) << "an incomplete file never stands under its name";
  EXPECT_EQ(testing::ReadFileBytes(m_out.File("cut.jpg.partial")), inside)
      << "what lies inside the volume is kept";
  ASSERT_FALSE(seen.errors.empty());
  EXPECT_EQ(seen.errors.back(), kErrInvalidParameter);

  Bytes expected = a;
  expected.resize(3 * 4096, 0);
  expected.insert(expected.end(), b.begin(), b.end() - 100);
  EXPECT_EQ(engine->RecoverItem(found.at("holes.bin"), m_out.File("holes.bin"), 0), kOk);
  EXPECT_EQ(testing::ReadFileBytes(m_out.File("holes.bin")), expected);

  // A failed preview leaves no picture behind.
  std::string preview;
  uint32_t bytes = 0;
  EXPECT_EQ(engine->ExtractForPreview(found.at("cut.jpg"), preview, nullptr, bytes, nullptr, nullptr),
            kErrInvalidParameter);
  EXPECT_TRUE(preview.empty());
  EXPECT_FALSE(fs::exists(m_home.ScanLogFolder() + "/tmp.jpg"));
}

TEST_F(FastNtfs, FolderRecordsThatCannotBeReadBecomeLostFolders) {
  // The $MFT's second run lies past the volume's end: records 128 and up
  // cannot be read.
  SyntheticVolume vol(32, 1024, {{8, 5000}});
  auto f = SyntheticVolume::File(80, 130, u"orphan.txt");
  f.Resident(0x80, Content(10, 8));
  vol.Put(80, f);
  // A folder record whose signature is gone, and one that lost its name.
  auto g = SyntheticVolume::File(81, 90, u"under-broken.txt");
  g.Resident(0x80, Content(10, 9));
  vol.Put(81, g);
  vol.PutRaw(90, Bytes(1024, 0x5A));
  auto h = SyntheticVolume::File(82, 91, u"under-nameless.txt");
  h.Resident(0x80, Content(10, 10));
  vol.Put(82, h);
  auto nameless = NtfsRecordBuilder(1024, 91, 3);
  nameless.Resident(0x10, Bytes(0x30, 0));
  vol.Put(91, nameless);
  auto engine = ScanImage(vol.Save(m_out));
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(engine->DirectoryList(), (std::vector<uint32_t>{130, 90, 91}));
  EXPECT_EQ(Keys(ListAll(*engine)),
            (std::vector<std::string>{"LostFolder130", "LostFolder130/orphan.txt", "LostFolder90",
                                      "LostFolder90/under-broken.txt", "LostFolder91",
                                      "LostFolder91/under-nameless.txt"}));
}

// Records whose offsets and lengths point outside themselves. The record
// after each (a trap) holds a valid file name; a walk that left its record
// would list "trap.txt".
TEST_F(FastNtfs, HostileRecordsAreNeverReadPastTheirEnd) {
  SyntheticVolume vol;
  Bytes trapAttribute;
  {
    NtfsRecordBuilder t(1024, 0, 0);
    t.Resident(0x30, testing::FileNameValue(5, u"trap.txt", 1));
    const Bytes plain = t.Plain();
    trapAttribute.assign(plain.begin() + static_cast<ptrdiff_t>(t.firstAttribute()),
                         plain.begin() + static_cast<ptrdiff_t>(t.firstAttribute()) + 0x70);
  }
  Bytes trap(1024, 0);  // no "FILE": the sweep itself never lists it
  for (size_t at = 0; at + trapAttribute.size() <= trap.size(); at += 0x80)
    std::copy(trapAttribute.begin(), trapAttribute.end(), trap.begin() + static_cast<ptrdiff_t>(at));

  std::vector<Bytes> hostile;
  auto named = [](uint32_t number) {
    auto r = NtfsRecordBuilder(1024, number, 0);
    r.Resident(0x10, Bytes(0x30, 0));
    return r;
  };
  {  // bytes in use far past the record, no end marker: the walk must stop at 1,024
    Bytes r = named(100).Plain();
    PutLe(r, 0x18, 8192, 4);
    const size_t end = 0x38 + 0x48;
    for (size_t at = end; at + 0x10 <= 1024; at += 0x10) {
      PutLe(r, at, 0x40, 4);  // harmless attributes of 16 bytes up to the end
      PutLe(r, at + 4, 0x10, 4);
    }
    hostile.push_back(r);
  }
  {  // a $FILE_NAME whose length runs past the bytes in use
    auto r = named(102);
    const size_t at = r.Resident(0x30, testing::FileNameValue(5, u"longer.txt", 1));
    Bytes b = r.Plain();
    PutLe(b, at + 4, 0x400, 4);
    hostile.push_back(b);
  }
  {  // a name whose length runs past its attribute: cut to the attribute
    auto r = named(104);
    const size_t at = r.Resident(0x30, testing::FileNameValue(5, u"clip.txt", 1));
    Bytes b = r.Plain();
    PutLe(b, at + 0x18 + 0x40, 200, 1);
    hostile.push_back(b);
  }
  {  // first attribute beyond the record
    Bytes b = named(106).Plain();
    PutLe(b, 0x14, 0xFFF0, 2);
    hostile.push_back(b);
  }
  {  // a negative 16-bit attribute length after a good name
    auto r = named(108);
    r.Resident(0x30, testing::FileNameValue(5, u"negative.txt", 1));
    const size_t at = r.Raw(Bytes(0x20, 0));
    Bytes b = r.Plain();
    PutLe(b, at, 0x80, 4);
    PutLe(b, at + 4, 0xFFF8, 4);
    hostile.push_back(b);
  }
  {  // a resident $DATA whose value lies outside the record; an attribute
     // list naming the record itself
    auto r = named(110);
    r.Resident(0x30, testing::FileNameValue(5, u"outside.txt", 1));
    r.Resident(0x20, testing::AttributeListEntry(0x80, 0, 110));
    const size_t at = r.Resident(0x80, Content(16, 1));
    Bytes b = r.Plain();
    PutLe(b, at + 0x14, 0xFF00, 2);
    hostile.push_back(b);
  }
  for (const Bytes& r : hostile) {
    const uint32_t number = ByteView(r.data(), r.size()).U32At(0x2C);
    Bytes stored = r;
    // The stored form carries the update sequence.
    const uint16_t usn = 0x0707;
    PutLe(stored, 0x30, usn, 2);
    for (size_t i = 1; i <= 2; ++i) {
      stored[0x32 + 2 * (i - 1)] = stored[i * 512 - 2];
      stored[0x32 + 2 * (i - 1) + 1] = stored[i * 512 - 1];
      PutLe(stored, i * 512 - 2, usn, 2);
    }
    vol.PutRaw(number, stored);
    vol.PutRaw(number + 1, trap);
  }
  auto engine = ScanImage(vol.Save(m_out));
  ASSERT_NE(engine, nullptr);
  const auto found = ListAll(*engine);
  EXPECT_EQ(Keys(found), (std::vector<std::string>{"clip.txt", "negative.txt", "outside.txt"}));
  for (const auto& [path, rec] : found) {
    const std::string target = m_out.File("x/" + path);
    const int32_t rc = engine->RecoverItem(rec, target, 0);
    EXPECT_NE(rc, kCancelled) << path;
  }
}

TEST_F(FastNtfs, RecoveringAFolderTreeStopsAfterTheFileWhoseCallbackCancels) {
  SyntheticVolume vol;
  vol.Put(20, SyntheticVolume::Folder(20, 5, u"Trip", 2));
  vol.Put(21, SyntheticVolume::Folder(21, 20, u"Day two", 2));
  for (uint32_t i = 0; i < 3; ++i) {
    const std::u16string names[] = {u"a.txt", u"b.txt", u"c.txt"};
    auto f = SyntheticVolume::File(30 + i, i == 2 ? 21 : 20, names[i]);
    f.Resident(0x80, Content(50, i));
    vol.Put(30 + i, f);
  }
  auto engine = ScanImage(vol.Save(m_out));
  ASSERT_NE(engine, nullptr);
  const auto found = ListAll(*engine);
  ASSERT_EQ(Keys(found), (std::vector<std::string>{"Trip", "Trip/Day two", "Trip/Day two/c.txt", "Trip/a.txt",
                                                   "Trip/b.txt"}));
  const std::string dest = m_out.File("out/Trip");
  const auto depth = static_cast<int32_t>(std::count(dest.begin(), dest.end(), '/')) - 1;
  // Without a cancel the whole tree comes back.
  ASSERT_EQ(engine->RecoverItem(found.at("Trip"), dest, depth), kOk);
  EXPECT_TRUE(fs::exists(dest + "/Day two/c.txt"));
  fs::remove_all(m_out.File("out"));

  engine->SetProgressCallbacks(
      nullptr,
      [](void*, int32_t, int32_t, int32_t, const std::string& path) -> int32_t {
        return path.ends_with("a.txt") ? kCancelled : 0;
      },
      nullptr, 100);
  EXPECT_EQ(engine->RecoverItem(found.at("Trip"), dest, depth), kCancelled);
  EXPECT_FALSE(fs::exists(dest + "/a.txt")) << "the file stopped while it was written is removed";
  EXPECT_TRUE(fs::is_empty(dest)) << "no temporary file is left either";
  EXPECT_FALSE(fs::exists(dest + "/b.txt"));
  EXPECT_FALSE(fs::exists(dest + "/Day two")) << "folders queued behind the file are not made";
}

struct Reports {
  std::vector<int32_t> percents;
  std::vector<int32_t> secondsLeft;
  int32_t cancelAt = -1;
};

int32_t Record(void* user, int32_t percent, int32_t, int32_t secondsLeft, uint64_t, uint64_t, uint64_t,
               int32_t) {
  auto* r = static_cast<Reports*>(user);
  r->percents.push_back(percent);
  r->secondsLeft.push_back(secondsLeft);
  return static_cast<int32_t>(r->percents.size()) == r->cancelAt ? kCancelled : 0;
}

TEST_F(FastNtfs, ProgressComesOncePerChunkWithTheEstimate) {
  // 2,048 records: two chunks of 1,024.
  SyntheticVolume vol(512, 2048);
  auto f = SyntheticVolume::File(1500, 5, u"late.txt");
  f.Resident(0x80, Content(10, 1));
  vol.Put(1500, f);
  const std::string image = vol.Save(m_out);

  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(image, 1001), kOk);
  engine.SetReportInterval(0);
  Reports seen;
  engine.SetProgressCallbacks(Record, nullptr, &seen, 100);
  ASSERT_EQ(engine.Scan(""), kOk);
  EXPECT_EQ(seen.percents, (std::vector<int32_t>{50, 100, 100}));
  EXPECT_GE(seen.secondsLeft[0], 0) << "the estimate is made at once with no interval";
  EXPECT_EQ(engine.GetFoundCount(), 1u);

  CFastNtfsRecovery scaled;
  ASSERT_EQ(scaled.OpenImage(image, 1001), kOk);
  Reports nine;
  scaled.SetProgressCallbacks(Record, nullptr, &nine, 9);
  ASSERT_EQ(scaled.Scan(""), kOk);
  EXPECT_EQ(nine.secondsLeft[0], -1) << "only a scale of 100 gets an estimate";

  CFastNtfsRecovery cancelled;
  ASSERT_EQ(cancelled.OpenImage(image, 1001), kOk);
  Reports stop;
  stop.cancelAt = 1;
  cancelled.SetProgressCallbacks(Record, nullptr, &stop, 100);
  EXPECT_EQ(cancelled.Scan(""), kCancelled);
  EXPECT_EQ(stop.percents, std::vector<int32_t>{50}) << "no final report after a cancel";
}

// ---------------------------------------------------------------------------
// Corpus volumes.

struct TruthRow {
  std::string status;
  uint64_t record = 0;
  std::string path;
  uint64_t size = 0;
  std::string sha;
};

std::vector<TruthRow> ReadTruth(const std::string& file) {
  std::vector<TruthRow> rows;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> cols;
    std::stringstream ss(line);
    std::string col;
    while (std::getline(ss, col, '\t')) cols.push_back(col);
    if (cols.size() < 9 || !cols[1].ends_with("/r")) continue;
    TruthRow row;
    row.status = cols[0];
    row.record = std::stoull(cols[2]);
    row.path = cols[3];
    row.size = std::stoull(cols[4]);
    row.sha = cols[8];
    rows.push_back(row);
  }
  return rows;
}

// A FoundRecord for a live record, as the scan would have made it deleted.
FoundRecord RecordFor(const CFastNtfsRecovery& engine, uint64_t number, uint64_t size) {
  FoundRecord r = MakeFoundRecord();
  r.key = static_cast<uint32_t>(number);
  r.size = size;
  r.clusterBytes = engine.Geometry().sectorsPerCluster * engine.Geometry().bytesPerSector;
  r.entrySector = RecordToSector(engine.Geometry(), engine.MftRuns(), number);
  r.partitionStart = engine.Geometry().partitionStart;
  return r;
}

TEST_F(FastNtfs, CorpusVolumesListNothingAndReadTheirFilesBackByteForByte) {
  VELMIRA_REQUIRE_CORPUS(corpus, "msuhanov__dfir_ntfs/test_data");
  const std::string truth = testing::CorpusPath("_truth/");
  struct Case {
    std::string image;
    bool gz;
  };
  size_t checked = 0;
  for (const Case& c : {Case{"ColinFinck__ntfs/testdata/testfs1", false},
                        Case{"msuhanov__dfir_ntfs/test_data/ntfs3.raw.gz", true},
                        Case{"msuhanov__dfir_ntfs/test_data/ntfs3_attrlist.raw.gz", true}}) {
    std::string image = testing::CorpusPath(c.image);
    if (c.gz) {
      image = m_out.File(fs::path(c.image).filename().string() + ".img");
      ASSERT_TRUE(testing::GunzipTo(testing::CorpusPath(c.image), image));
    }
    auto engine = ScanImage(image);
    ASSERT_NE(engine, nullptr) << c.image;
    // Records 16 to 23 are unused and nameless; no user file was deleted.
    EXPECT_EQ(engine->GetFoundCount(), 0u) << c.image;
    std::set<uint64_t> done;
    for (const TruthRow& row : ReadTruth(truth + c.image + ".truth.tsv")) {
      if (row.status != "allocated" || row.path.find('$') != std::string::npos || row.sha.size() != 64)
        continue;
      if (!done.insert(row.record).second) continue;
      const std::string out = m_out.File("corpus/" + std::to_string(checked));
      EXPECT_EQ(engine->RecoverItem(RecordFor(*engine, row.record, row.size), out, 0), kOk) << row.path;
      const Bytes got = testing::ReadFileBytes(out);
      EXPECT_EQ(testing::Sha256Hex(got.data(), got.size()), row.sha) << c.image << " " << row.path;
      ++checked;
    }
  }
  // testfs1: empty, resident, 1000 bytes, sparse; ntfs3: three; attrlist:
  // one, whose $DATA lies in an extension record.
  EXPECT_EQ(checked, 8u);
}

// A raw $MFT from the corpus placed in a volume of its own at the cluster its
// record 0 names (a sparse file).
std::string WrapMft(const std::string& mft, const testing::TempDir& dir, uint32_t bytesPerSector = 512,
                    uint8_t sectorsPerCluster = 8) {
  const Bytes records = testing::ReadFileBytes(mft);
  // Record 0's $DATA run: header at the run-list offset of its $DATA.
  Bytes r0(records.begin(), records.begin() + std::min<size_t>(records.size(), 4096));
  NtfsGeometry g;
  SetNtfsRecordGeometry(g, bytesPerSector);
  ApplyFixup(r0, g.fixupCount, g.fixupStride);
  NtfsAttributeWalk walk(ByteView(r0.data(), r0.size()), r0.size());
  uint64_t cluster = 0;
  while (walk.Next()) {
    if (walk.type() != kNtfsAttrData) continue;
    std::vector<DataRun> runs;
    DecodeRunList(walk.attribute(), g, runs);
    if (!runs.empty()) cluster = static_cast<uint64_t>(runs[0].delta);
    break;
  }
  const uint64_t clusterBytes = uint64_t{bytesPerSector} * sectorsPerCluster;
  const uint64_t total = (cluster + 1024) * clusterBytes;
  const std::string path = dir.File(fs::path(mft).filename().string() + ".img");
  testing::MakeBlankFile(path, total);
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  const Bytes boot = testing::NtfsBootSector(static_cast<uint16_t>(bytesPerSector), sectorsPerCluster,
                                             total / bytesPerSector, cluster);
  f.write(reinterpret_cast<const char*>(boot.data()), static_cast<std::streamsize>(boot.size()));
  f.seekp(static_cast<std::streamoff>(cluster * clusterBytes));
  f.write(reinterpret_cast<const char*>(records.data()), static_cast<std::streamsize>(records.size()));
  return path;
}

TEST_F(FastNtfs, CorpusMftFilesFindTheirDeletedFilesInTheirFolders) {
  VELMIRA_REQUIRE_CORPUS(dir, "msuhanov__dfir_ntfs/test_data");
  struct Case {
    const char* mft;
    std::vector<std::string> listed;
    uint64_t records;
  };
  // deleted.mft: one deleted file four deleted folders deep. mapping_pairs_1:
  // two deleted records of the same name in one folder. orphan.mft: four
  // files of a deleted folder, which is listed under its own name.
  const Case cases[] = {
      {"deleted.mft", {"1", "1/2", "1/2/3", "1/2/3/4", "1/2/3/4/file.txt"}, 5},
      {"mapping_pairs_1.mft", {"test_dir", "test_dir/.partially_sparse_3.swp"}, 3},
      {"orphan.mft", {"n1", "n1/2.txt", "n1/3.txt", "n1/4.txt", "n1/5.txt"}, 5},
      {"mapping_pairs_2.mft", {}, 0},
      {"compressed_sparse.mft", {}, 0},
      {"slack.mft", {}, 0},
  };
  for (const Case& c : cases) {
    auto engine = ScanImage(WrapMft(dir + "/" + c.mft, m_out));
    ASSERT_NE(engine, nullptr) << c.mft;
    EXPECT_EQ(Keys(ListAll(*engine)), c.listed) << c.mft;
    EXPECT_EQ(engine->GetFoundCount(), c.records) << c.mft;
  }
}

}  // namespace
}  // namespace velmira
