// The NTFS decoders on real volumes: the shared corpus (checked against its
// listings) and volumes made here with mkntfs and ntfscp.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "engines/ntfs/ntfs_structures.h"
#include "platform/errors.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/memory_source.h"
#include "tests/fixtures/sha256.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using testing::ReadFileBytes;
using testing::RunCapture;
using testing::RunQuiet;
using testing::ShellQuote;
using testing::TempDir;
using Bytes = std::vector<uint8_t>;

std::string Sbin(const std::string& tool) {
  for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/"})
    if (std::ifstream(std::string(dir) + tool).good()) return std::string(dir) + tool;
  return tool;
}

// One opened NTFS volume, as an engine would hold it.
struct Volume {
  SectorSource source;
  NtfsGeometry g;
  MftRunMap mft;

  // Opens the volume that starts at `start` (512-byte units) of an image.
  void Open(const std::string& path, uint64_t start = 0) {
    ASSERT_EQ(OpenImageSource(source, path), kOk);
    Bytes boot(512);
    uint32_t got = 0;
    ASSERT_EQ(ReadSectors(1, source, boot.data(), start, 512, got), kOk);
    const ByteView view(boot.data(), boot.size());
    ASSERT_TRUE(IsNtfsBootSector(view));
    const uint32_t bps = view.U16At(0x0B);
    // The source counts in the image's own sectors.
    const uint64_t bytes = source.sectorCount * SourceSectorSize(source);
    ASSERT_EQ(NtfsGeometryFromBootSector(view, start * 512 / bps, (bytes - start * 512) / bps, g), kOk);
    ASSERT_EQ(ReadMftRunMap(source, g, mft), kOk);
    ASSERT_FALSE(mft.empty());
  }

  // The data of record n, through its resident value or its runs, cut to
  // `size`. `sparse` tells that a run had no clusters.
  int32_t ReadFile(uint64_t n, uint64_t size, Bytes& out, bool& sparse) const {
    sparse = false;
    const uint64_t sector = RecordToSector(g, mft, n);
    int32_t rc = ReadResidentData(source, g, sector, out);
    if (rc == kOk) {
      if (out.size() < size) return kErrInvalidData;
      out.resize(size);
      return kOk;
    }
    if (rc != kNtfsNoResidentData) return rc;
    std::vector<DataRun> runs;
    rc = GetAttributeRuns(source, g, mft, sector, kNtfsAttrData, runs);
    if (rc != kOk) return rc;
    out.clear();
    const uint32_t clusterBytes = g.sectorsPerCluster * g.bytesPerSector;
    for (const AbsoluteRun& run : ToAbsoluteRuns(runs)) {
      if (out.size() >= size) break;
      if (run.sparse) sparse = true;
      uint64_t first = 0;
      if (!run.valid || !ClusterToSector(g, static_cast<int64_t>(run.firstCluster), first))
        return kErrInvalidData;
      Bytes piece(run.length * clusterBytes);
      uint32_t got = 0;
      rc = ReadSectors(static_cast<uint32_t>(run.length * g.sectorsPerCluster), source, piece.data(), first,
                       g.bytesPerSector, got);
      if (rc != kOk) return rc;
      out.insert(out.end(), piece.begin(), piece.end());
    }
    if (out.size() < size) return kErrHandleEof;
    out.resize(size);
    return kOk;
  }

  // Sectors of the free stretches NextFreeExtent hands out from 0, and the
  // same count taken bit by bit.
  void FreeSectors(const VolumeBitmap& bitmap, uint64_t& byExtents, uint64_t& byBits) const {
    byExtents = 0;
    uint64_t pos = 0, len = 0;
    for (int guard = 0; guard < 1000000; ++guard) {
      NextFreeExtent(g, bitmap, pos, len);
      if (len == 0) break;
      byExtents += len;
      pos += len;
    }
    byBits = 0;
    for (uint64_t c = 0; c < bitmap.length * 8; ++c) {
      const uint64_t s = c * g.sectorsPerCluster;
      if (s >= g.partitionLength) break;
      if (!((bitmap.bytes[c / 8] >> (c % 8)) & 1))
        byBits += std::min<uint64_t>(g.sectorsPerCluster, g.partitionLength - s);
    }
  }
};

struct TruthFile {
  uint64_t record;
  uint64_t size;
  std::string sha;
  std::string path;
};

// Allocated regular files of a corpus listing with an unnamed $DATA and a
// content hash, one per record.
std::vector<TruthFile> TruthFiles(const std::string& listing) {
  std::map<uint64_t, TruthFile> files;
  std::ifstream in(listing);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> cols;
    std::stringstream ss(line);
    std::string col;
    while (std::getline(ss, col, '\t')) cols.push_back(col);
    if (cols.size() < 9 || cols[0] != "allocated" || cols[1] != "r/r") continue;
    if (cols[3].find(':') != std::string::npos || cols[8].empty()) continue;
    const size_t dash = cols[2].find('-');
    if (dash == std::string::npos || cols[2].compare(dash, 5, "-128-") != 0) continue;
    const uint64_t record = std::stoull(cols[2].substr(0, dash));
    files.emplace(record, TruthFile{record, std::stoull(cols[4]), cols[8], cols[3]});
  }
  std::vector<TruthFile> out;
  for (auto& [n, f] : files) out.push_back(f);
  return out;
}

// Reads every listed file and compares its hash; returns how many were compared.
size_t CheckFilesAgainstListing(const Volume& v, const std::string& listing,
                                std::string* bitmapSha = nullptr) {
  size_t compared = 0;
  for (const TruthFile& f : TruthFiles(listing)) {
    Bytes data;
    bool sparse = false;
    const int32_t rc = v.ReadFile(f.record, f.size, data, sparse);
    if (sparse) continue;  // holes read as data at the previous run: not the file's content
    EXPECT_EQ(rc, kOk) << f.path;
    if (rc != kOk) continue;
    EXPECT_EQ(testing::Sha256Hex(data.data(), data.size()), f.sha) << f.path << " record " << f.record;
    if (f.record == 6 && bitmapSha) *bitmapSha = f.sha;
    ++compared;
  }
  return compared;
}

std::string Gunzip(const TempDir& dir, const std::string& gz, const std::string& name) {
  const std::string out = dir.File(name);
  return RunQuiet("gzip -dc " + ShellQuote(gz) + " > " + ShellQuote(out)) ? out : std::string();
}

void CheckBitmap(const Volume& v, const std::string& bitmapSha) {
  VolumeBitmap bitmap;
  ASSERT_EQ(LoadVolumeBitmap(v.source, v.g, v.mft, bitmap), kOk);
  ASSERT_GT(bitmap.length, 0u);
  if (!bitmapSha.empty()) {
    EXPECT_EQ(testing::Sha256Hex(bitmap.bytes.data(), bitmap.length), bitmapSha);
  }
  uint64_t byExtents = 0, byBits = 0;
  v.FreeSectors(bitmap, byExtents, byBits);
  EXPECT_GT(byBits, 0u);
  EXPECT_EQ(byExtents, byBits);
}

TEST(NtfsCorpus, Testfs1FilesAndBitmap) {
  VELMIRA_REQUIRE_CORPUS(image, "ColinFinck__ntfs/testdata/testfs1");
  VELMIRA_REQUIRE_CORPUS(listing, "_truth/ColinFinck__ntfs/testdata/testfs1.truth.tsv");
  Volume v;
  ASSERT_NO_FATAL_FAILURE(v.Open(image));
  EXPECT_EQ(v.g.sectorsPerCluster, 1u);
  EXPECT_EQ(v.g.mftSector, 32u);
  std::string bitmapSha;
  EXPECT_EQ(CheckFilesAgainstListing(v, listing, &bitmapSha), 12u);
  CheckBitmap(v, bitmapSha);

  // file-with-12345 (record 65): the value with its padding.
  Bytes data;
  ASSERT_EQ(ReadResidentData(v.source, v.g, RecordToSector(v.g, v.mft, 65), data), kOk);
  EXPECT_EQ(data, (Bytes{'1', '2', '3', '4', '5', 0, 0, 0}));
  // sparse-file (record 67): "12345", a hole, "11111".
  std::vector<DataRun> runs;
  ASSERT_EQ(GetAttributeRuns(v.source, v.g, v.mft, RecordToSector(v.g, v.mft, 67), kNtfsAttrData, runs), kOk);
  ASSERT_GE(runs.size(), 3u);
  EXPECT_FALSE(runs.front().sparse);
  EXPECT_TRUE(runs[1].sparse);
  EXPECT_EQ(runs[1].delta, 0);
}

TEST(NtfsCorpus, LinuxMadeVolumesAndAnAttributeList) {
  VELMIRA_REQUIRE_CORPUS(gz, "msuhanov__dfir_ntfs/test_data/ntfs3_attrlist.raw.gz");
  VELMIRA_REQUIRE_CORPUS(listing, "_truth/msuhanov__dfir_ntfs/test_data/ntfs3_attrlist.raw.gz.truth.tsv");
  TempDir dir;
  const std::string image = Gunzip(dir, gz, "attrlist.raw");
  ASSERT_FALSE(image.empty());
  Volume v;
  ASSERT_NO_FATAL_FAILURE(v.Open(image));
  std::string bitmapSha;
  EXPECT_EQ(CheckFilesAgainstListing(v, listing, &bitmapSha), 10u);
  CheckBitmap(v, bitmapSha);

  // Record 27 keeps its $DATA in extension record 28, named by a
  // non-resident attribute list: "123\n".
  Bytes data;
  bool sparse = false;
  ASSERT_EQ(v.ReadFile(27, 4, data, sparse), kOk);
  EXPECT_EQ(data, (Bytes{'1', '2', '3', '\n'}));
}

TEST(NtfsCorpus, WindowsVolumeInAPartition) {
  VELMIRA_REQUIRE_CORPUS(gz, "msuhanov__dfir_ntfs/test_data/ntfs_index.raw.gz");
  VELMIRA_REQUIRE_CORPUS(listing, "_truth/msuhanov__dfir_ntfs/test_data/ntfs_index.raw.gz.truth.tsv");
  TempDir dir;
  const std::string image = Gunzip(dir, gz, "index.raw");
  ASSERT_FALSE(image.empty());
  Volume v;
  ASSERT_NO_FATAL_FAILURE(v.Open(image, 128));
  EXPECT_EQ(v.g.partitionStart, 128u);
  std::string bitmapSha;
  EXPECT_EQ(CheckFilesAgainstListing(v, listing, &bitmapSha), 44u);
  CheckBitmap(v, bitmapSha);
}

TEST(NtfsCorpus, BootSectorGeometry) {
  VELMIRA_REQUIRE_CORPUS(dir, "msuhanov__dfir_ntfs/test_data");
  struct Case {
    const char* file;
    bool passes;
    uint32_t bytesPerSector, sectorsPerCluster, recordSize;
    uint64_t mftCluster;
  };
  const Case cases[] = {
      {"512.boot", true, 512, 1, 1024, 697002},  {"4kn.boot", true, 4096, 1, 4096, 4778},
      {"64k.boot", true, 512, 128, 1024, 49152}, {"128k.boot", false, 512, 256, 1024, 24576},
      {"4k.boot", true, 512, 8, 1024, 786432},
  };
  for (const Case& c : cases) {
    const Bytes boot = ReadFileBytes(dir + "/" + c.file);
    const ByteView view(boot.data(), boot.size());
    EXPECT_EQ(IsNtfsBootSector(view), c.passes) << c.file;
    NtfsGeometry g;
    ASSERT_EQ(NtfsGeometryFromBootSector(view, 100, 1u << 30, g), kOk) << c.file;
    EXPECT_EQ(g.bytesPerSector, c.bytesPerSector) << c.file;
    EXPECT_EQ(g.sectorsPerCluster, c.sectorsPerCluster) << c.file;
    EXPECT_EQ(g.recordSize, c.recordSize) << c.file;
    EXPECT_EQ(g.fixupCount, c.recordSize / 512) << c.file;
    EXPECT_EQ(g.mftSector, 100 + c.mftCluster * c.sectorsPerCluster) << c.file;
  }
}

// A raw $MFT file as the whole source: record n at sector n x sectors per record.
struct RawMft {
  SectorSource source;
  NtfsGeometry g;
  MftRunMap mft;
  bool Load(const std::string& path, uint32_t bytesPerSector) {
    const Bytes bytes = ReadFileBytes(path);
    if (bytes.empty()) return false;
    SetNtfsRecordGeometry(g, bytesPerSector);
    g.sectorsPerCluster = 4096 / g.bytesPerSector;
    g.partitionLength = bytes.size() / g.bytesPerSector;
    mft = {{bytes.size() / 4096, 0, false}};
    source = testing::MemorySource(bytes, g.bytesPerSector);
    return true;
  }
  std::vector<DataRun> Runs(uint64_t n) const {
    std::vector<DataRun> runs;
    EXPECT_EQ(GetAttributeRuns(source, g, mft, RecordToSector(g, mft, n), kNtfsAttrData, runs), kOk) << n;
    return runs;
  }
};

TEST(NtfsCorpus, RawMftRunLists) {
  VELMIRA_REQUIRE_CORPUS(pairs, "msuhanov__dfir_ntfs/test_data/mapping_pairs_1.mft");
  VELMIRA_REQUIRE_CORPUS(sparse, "msuhanov__dfir_ntfs/test_data/compressed_sparse.mft");
  RawMft m;
  ASSERT_TRUE(m.Load(pairs, 512));
  EXPECT_EQ(m.Runs(44),
            (std::vector<DataRun>{{4, 1222, false}, {9, 5, false}, {150, 670, false}, {41, -660, false}}));
  EXPECT_EQ(m.Runs(73), (std::vector<DataRun>{{1, 1278, false}, {3, 0, true}, {1, 4, false}}));
  const auto abs = ToAbsoluteRuns(m.Runs(73));
  EXPECT_EQ(abs[1].firstCluster, 1278u) << "a hole starts where the previous run started";
  EXPECT_EQ(abs[2].firstCluster, 1282u);

  RawMft c;
  ASSERT_TRUE(c.Load(sparse, 512));
  EXPECT_EQ(c.Runs(43), (std::vector<DataRun>{{256, 0, true}, {16, 1994, false}}));
  EXPECT_EQ(c.Runs(39), (std::vector<DataRun>{{1, 1993, false}, {15, 0, true}}));
  // Every record of both files decodes without complaint.
  for (const RawMft* f : {&m, &c})
    for (uint64_t n = 0; n < 256; ++n) {
      std::vector<DataRun> runs;
      Bytes data;
      const uint64_t sector = RecordToSector(f->g, f->mft, n);
      const int32_t rc = GetAttributeRuns(f->source, f->g, f->mft, sector, kNtfsAttrData, runs);
      EXPECT_TRUE(rc == kOk || rc == kNtfsNotFileRecord || rc == kNtfsAttributeNotFound) << n;
      const int32_t rd = ReadResidentData(f->source, f->g, sector, data);
      EXPECT_TRUE(rd == kOk || rd == kNtfsNoResidentData) << n;
    }
}

TEST(NtfsCorpus, FourKilobyteRecordsAndSingleRecords) {
  VELMIRA_REQUIRE_CORPUS(large, "msuhanov__dfir_ntfs/test_data/4k-large.mft");
  VELMIRA_REQUIRE_CORPUS(ea, "msuhanov__dfir_ntfs/test_data/frs_ea.bin");
  RawMft m;
  ASSERT_TRUE(m.Load(large, 4096));
  EXPECT_EQ(m.Runs(0), (std::vector<DataRun>{{256, 10666, false}}));
  // 1.txt: a resident value of 3,216 bytes, readable only with one-sector records.
  Bytes data;
  ASSERT_EQ(ReadResidentData(m.source, m.g, RecordToSector(m.g, m.mft, 39), data), kOk);
  ASSERT_EQ(data.size(), 3216u);
  std::string abc;
  while (abc.size() < data.size()) abc += "ABC";
  EXPECT_EQ(std::string(data.begin(), data.end()), abc) << "every 512-byte block restored";
  std::vector<uint8_t> window;
  ASSERT_EQ(ReadFileRecord(m.source, m.g, RecordToSector(m.g, m.mft, 39), window), kOk);
  NtfsGeometry small = m.g;
  SetNtfsRecordGeometry(small, 512);
  EXPECT_EQ(ResidentDataOf(ByteView(window.data(), window.size()), small, data), kErrInvalidParameter)
      << "longer than a 1 KiB record";

  // A single 1 KiB record as the whole source: the window is cut to the record.
  const Bytes record = ReadFileBytes(ea);
  const SectorSource one = testing::MemorySource(record);
  NtfsGeometry g;
  SetNtfsRecordGeometry(g, 512);
  ASSERT_EQ(ReadFileRecord(one, g, 0, window), kOk);
  ASSERT_EQ(ReadResidentData(one, g, 0, data), kOk);
  EXPECT_EQ(data, (Bytes{'v', 'v', '1', '2', '3', '\n', 0, 0}));
  NtfsAttributeWalk walk(ByteView(window.data(), window.size()), kNtfsWindowBytes);
  std::vector<std::string> names;
  while (walk.Next()) {
    NtfsFileName fn;
    if (walk.type() == kNtfsAttrFileName && ReadFileNameValue(walk.attribute(), fn)) names.push_back(fn.name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"TEST_X~1.TXT", "test_xattr.txt"}));
}

// A volume made here: a file in twelve pieces, a resident file, an empty one.
class MadeVolume : public ::testing::Test {
 protected:
  void Make(unsigned sectorSize, unsigned clusterSize) {
    if (!testing::ToolAvailable("mkntfs") || !testing::ToolAvailable("ntfscp"))
      GTEST_SKIP() << "ntfs-3g tools missing";
    image = dir.File("v.img");
    testing::MakeBlankFile(image, 8u << 20);
    ASSERT_TRUE(RunQuiet(Sbin("mkntfs") + " -F -Q -q -s " + std::to_string(sectorSize) + " -c " +
                         std::to_string(clusterSize) + " " + ShellQuote(image)));
    testing::WriteRandomFile(dir.File("src"), 64 * clusterSize, 7);
    const Bytes src = ReadFileBytes(dir.File("src"));
    for (unsigned i = 1; i <= 12; ++i) {
      frag.assign(src.begin(), src.begin() + i * 3 * clusterSize - 100);
      testing::WriteFileBytes(dir.File("part"), frag);
      Bytes gap(clusterSize, static_cast<uint8_t>(i));
      testing::WriteFileBytes(dir.File("gap"), gap);
      ASSERT_TRUE(Copy("part", "frag"));
      ASSERT_TRUE(Copy("gap", "gap" + std::to_string(i)));
    }
    small.assign(src.begin() + 5, src.begin() + 305);
    testing::WriteFileBytes(dir.File("small"), small);
    testing::WriteFileBytes(dir.File("empty"), {});
    ASSERT_TRUE(Copy("small", "small"));
    ASSERT_TRUE(Copy("empty", "empty"));
    ASSERT_NO_FATAL_FAILURE(v.Open(image));
  }
  bool Copy(const std::string& from, const std::string& to) {
    return RunQuiet("ntfscp -q -f " + ShellQuote(image) + " " + ShellQuote(dir.File(from)) + " /" + to);
  }
  uint64_t Inode(const std::string& name) {
    int status = 0;
    const std::string out =
        RunCapture("ntfsinfo -F /" + name + " " + ShellQuote(image) + " 2>/dev/null", status);
    const size_t at = out.find("Dumping Inode ");
    return at == std::string::npos ? 0 : std::stoull(out.substr(at + 14));
  }
  uint64_t FreeClusters() {
    int status = 0;
    const std::string out = RunCapture("ntfsinfo -m " + ShellQuote(image) + " 2>/dev/null", status);
    const size_t at = out.find("Free Clusters: ");
    return at == std::string::npos ? 0 : std::stoull(out.substr(at + 15));
  }
  void CheckFiles() {
    Bytes data;
    bool sparse = false;
    const uint64_t fragRecord = Inode("frag");
    ASSERT_NE(fragRecord, 0u);
    ASSERT_EQ(v.ReadFile(fragRecord, frag.size(), data, sparse), kOk);
    EXPECT_TRUE(data == frag) << "fragmented file differs";
    std::vector<DataRun> runs;
    ASSERT_EQ(
        GetAttributeRuns(v.source, v.g, v.mft, RecordToSector(v.g, v.mft, fragRecord), kNtfsAttrData, runs),
        kOk);
    EXPECT_GE(runs.size(), 10u);
    ASSERT_EQ(v.ReadFile(Inode("small"), small.size(), data, sparse), kOk);
    EXPECT_TRUE(data == small);
    ASSERT_EQ(ReadResidentData(v.source, v.g, RecordToSector(v.g, v.mft, Inode("empty")), data), kOk);
    EXPECT_TRUE(data.empty());

    VolumeBitmap bitmap;
    ASSERT_EQ(LoadVolumeBitmap(v.source, v.g, v.mft, bitmap), kOk);
    uint64_t byExtents = 0, byBits = 0;
    v.FreeSectors(bitmap, byExtents, byBits);
    EXPECT_EQ(byExtents, byBits);
    EXPECT_EQ(byBits, FreeClusters() * v.g.sectorsPerCluster);
  }

  TempDir dir;
  std::string image;
  Bytes frag, small;
  Volume v;
};

TEST_F(MadeVolume, FilesAndFreeSpaceOn512ByteSectors) {
  ASSERT_NO_FATAL_FAILURE(Make(512, 1024));
  if (IsSkipped()) return;
  EXPECT_EQ(v.g.recordSize, 1024u);
  CheckFiles();
}

TEST_F(MadeVolume, FilesAndFreeSpaceOn4096ByteSectors) {
  ASSERT_NO_FATAL_FAILURE(Make(4096, 4096));
  if (IsSkipped()) return;
  EXPECT_EQ(v.g.recordSize, 4096u);
  EXPECT_EQ(v.g.fixupCount, 8u);
  CheckFiles();
}

}  // namespace
}  // namespace velmira
