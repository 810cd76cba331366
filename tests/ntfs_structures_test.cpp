#include "engines/ntfs/ntfs_structures.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "engines/ntfs/ntfs_run_copy.h"
#include "platform/errors.h"
#include "tests/fixtures/memory_source.h"
#include "tests/fixtures/ntfs_record_builder.h"

namespace velmira {
namespace {

using testing::AttributeListEntry;
using testing::MemorySource;
using testing::NtfsRecordBuilder;
using testing::PutLe;
using testing::ReaderOf;

using Bytes = std::vector<uint8_t>;

// A 2 MiB volume of 512-byte sectors and 4 KiB clusters whose $MFT is one run
// of 64 clusters at cluster 16: record n lies at sector 128 + 2n.
struct Volume {
  static constexpr uint64_t kMftCluster = 16;
  NtfsGeometry g;
  MftRunMap mft{{64, kMftCluster, false}};
  Bytes image = Bytes(2u << 20, 0);

  Volume() {
    SetNtfsRecordGeometry(g, 512);
    g.sectorsPerCluster = 8;
    g.partitionLength = image.size() / 512;
    g.mftSector = kMftCluster * 8;
  }
  uint64_t RecordSector(uint64_t n) const { return kMftCluster * 8 + 2 * n; }
  void Put(uint64_t sector, const Bytes& bytes) {
    std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<ptrdiff_t>(sector * 512));
  }
  void PutRecord(uint64_t n, const NtfsRecordBuilder& r) { Put(RecordSector(n), r.Build()); }
  SectorSource Source() const { return MemorySource(image); }
};

ByteView View(const Bytes& b) {
  return ByteView(b.data(), b.size());
}

// A non-resident $DATA attribute whose run list is `runList`, as raw bytes.
Bytes DataAttribute(const Bytes& runList) {
  NtfsRecordBuilder r;
  const size_t at = r.NonResident(kNtfsAttrData, runList, 0, 0, 0);
  const Bytes plain = r.Plain();
  const uint32_t length = ByteView(plain.data(), plain.size()).U32At(at + 4);
  return Bytes(plain.begin() + static_cast<ptrdiff_t>(at),
               plain.begin() + static_cast<ptrdiff_t>(at + length));
}

std::vector<DataRun> Decode(const Bytes& runList, uint32_t bps = 512) {
  NtfsGeometry g;
  SetNtfsRecordGeometry(g, bps);
  std::vector<DataRun> runs;
  const Bytes attr = DataAttribute(runList);
  DecodeRunList(View(attr), g, runs);
  return runs;
}

TEST(NtfsGeometry, FromBootSector) {
  NtfsGeometry g;
  Bytes boot = testing::NtfsBootSector(512, 8, 4095, 16);
  ASSERT_TRUE(IsNtfsBootSector(View(boot)));
  ASSERT_EQ(NtfsGeometryFromBootSector(View(boot), 2048, 4096, g), kOk);
  EXPECT_EQ(g.partitionStart, 2048u);
  EXPECT_EQ(g.partitionLength, 4096u);
  EXPECT_EQ(g.mftSector, 2048u + 128u);
  EXPECT_EQ(g.sectorsPerCluster, 8u);

  boot[0x0D] = 0xF4;  // 2^12 sectors, the large-cluster form
  ASSERT_EQ(NtfsGeometryFromBootSector(View(boot), 0, 4096, g), kOk);
  EXPECT_EQ(g.sectorsPerCluster, 4096u);
  boot[0x0D] = 0;
  EXPECT_EQ(NtfsGeometryFromBootSector(View(boot), 0, 4096, g), kErrInvalidParameter);
  boot[0x0D] = 128;
  PutLe(boot, 0x30, UINT64_MAX / 64, 8);  // MFT cluster x 128 overflows
  EXPECT_EQ(NtfsGeometryFromBootSector(View(boot), 0, 4096, g), kErrInvalidParameter);
  EXPECT_EQ(NtfsGeometryFromBootSector(View(boot).Sub(0, 100), 0, 4096, g), kErrInvalidParameter);
}

TEST(NtfsFixup, RestoresEverySectorEndWithoutCheckingTheSequenceNumber) {
  NtfsRecordBuilder r(1024, 7);
  Bytes value(1000, 0);
  for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<uint8_t>(i * 13);
  r.Resident(kNtfsAttrData, value);
  Bytes stored = r.Build(0x4242);
  EXPECT_EQ(stored[510], 0x42);
  // A torn write: the sequence number no longer matches; the words are restored anyway.
  stored[0x30] = 0x99;
  ApplyFixup(stored, 2, 512);
  Bytes plain = r.Plain();
  stored[0x30] = plain[0x30];
  stored[0x31] = plain[0x31];
  EXPECT_EQ(0, std::memcmp(stored.data() + 0x38, plain.data() + 0x38, 1024 - 0x38));

  // A 4,096-byte record: eight words, one per 512-byte block.
  NtfsRecordBuilder big(4096, 1, 1, 512);
  big.Resident(kNtfsAttrData, Bytes(4030, 0xAB));
  Bytes bigStored = big.Build();
  NtfsGeometry g4k;
  SetNtfsRecordGeometry(g4k, 4096);
  ApplyFixup(bigStored, g4k.fixupCount, g4k.fixupStride);
  for (size_t end = 512; end <= 4096; end += 512) EXPECT_EQ(bigStored[end - 2], 0xAB) << end;
}

TEST(NtfsFixup, HostileCountAndStrideStayInsideTheBuffer) {
  Bytes small(0x40, 0x11);
  ApplyFixup(small, 1000, 2);  // words past the buffer are not taken
  ApplyFixup(small, 5, 0);
  ApplyFixup(small, 5, 1);
  ApplyFixup(std::span<uint8_t>(small.data(), 0x20), 2, 512);
  Bytes record(1024, 0);
  ApplyFixup(record, UINT32_MAX, 512);  // only the two blocks that fit
  SUCCEED();
}

TEST(NtfsRunList, DecodesTheDocumentedRuns) {
  EXPECT_EQ(Decode({0x21, 0x10, 0x80, 0xFF}), (std::vector<DataRun>{{16, -128, false}}));
  EXPECT_EQ(Decode({0x31, 0x20, 0x00, 0x00, 0x01}), (std::vector<DataRun>{{32, 65536, false}}));
  // A sparse run is kept with delta 0, marked.
  EXPECT_EQ(Decode({0x01, 0x08}), (std::vector<DataRun>{{8, 0, true}}));
  // Two runs: +1000, then -200.
  const auto runs = Decode({0x21, 0x01, 0xE8, 0x03, 0x21, 0x01, 0x38, 0xFF});
  ASSERT_EQ(runs.size(), 2u);
  const auto abs = ToAbsoluteRuns(runs);
  EXPECT_EQ(abs[0].firstCluster, 1000u);
  EXPECT_EQ(abs[1].firstCluster, 800u);
  // Seven-byte fields; the length keeps its low 32 bits.
  const auto wide = Decode({0x77, 1, 2, 3, 4, 5, 6, 7, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  ASSERT_EQ(wide.size(), 1u);
  EXPECT_EQ(wide[0].length, 0x04030201u);
  EXPECT_EQ(wide[0].delta, -1);
}

TEST(NtfsRunList, MalformedListsEndQuietlyAndKeepWhatCameBefore) {
  const Bytes good = {0x11, 0x04, 0x10};
  struct Case {
    const char* what;
    Bytes tail;
  };
  const Case cases[] = {
      {"end byte", {0x00, 0x11, 0x01, 0x01}},
      {"length nibble 8", {0x18, 1, 2, 3, 4, 5, 6, 7, 8, 1}},
      {"offset nibble 8", {0x81, 1, 1, 2, 3, 4, 5, 6, 7, 8}},
      {"nibbles F", {0xFF}},
  };
  for (const Case& c : cases) {
    Bytes list = good;
    list.insert(list.end(), c.tail.begin(), c.tail.end());
    EXPECT_EQ(Decode(list), (std::vector<DataRun>{{4, 16, false}})) << c.what;
  }

  // A run that runs off the attribute's end is not taken.
  Bytes attr = DataAttribute({0x11, 0x04, 0x10, 0x00});
  attr[0x40 + 3] = 0x44;  // wants 8 more bytes than the attribute holds
  attr.resize(0x48);
  PutLe(attr, 4, 0x48, 4);
  NtfsGeometry g;
  std::vector<DataRun> runs;
  DecodeRunList(View(attr), g, runs);
  EXPECT_EQ(runs, (std::vector<DataRun>{{4, 16, false}}));

  // The attribute's bytes end before its length says (view cut short).
  runs.clear();
  DecodeRunList(View(attr).Sub(0, 0x42), g, runs);
  EXPECT_TRUE(runs.empty());

  // A run-list offset past the attribute, and a header of zeros.
  Bytes header(0x48, 0);
  PutLe(header, 4, 0x48, 4);
  PutLe(header, 0x20, 0xFFFF, 2);
  runs.clear();
  DecodeRunList(View(header), g, runs);
  EXPECT_TRUE(runs.empty());
  DecodeRunList(ByteView(), g, runs);
  EXPECT_TRUE(runs.empty());
}

TEST(NtfsRunList, AttributesOfASectorOrLongerAreDecodedWhole) {
  Bytes list;
  for (int i = 0; i < 150; ++i) list.insert(list.end(), {0x11, 0x01, 0x02});
  EXPECT_EQ(Decode(list, 512).size(), 150u);  // attribute of 0x40 + 451 bytes, padded: >= 512
  EXPECT_EQ(Decode(list, 1024).size(), 150u);
}

TEST(NtfsRunList, AbsoluteRunsStopAtNegativeOrOverflowingSums) {
  const std::vector<DataRun> runs = {{1, 10, false}, {1, -20, false}, {1, 30, false}};
  const auto abs = ToAbsoluteRuns(runs);
  EXPECT_TRUE(abs[0].valid);
  EXPECT_FALSE(abs[1].valid);
  EXPECT_FALSE(abs[2].valid) << "a run after an unlocatable one stays unlocatable";
  const std::vector<DataRun> huge = {{1, INT64_MAX, false}, {1, 1, false}};
  EXPECT_FALSE(ToAbsoluteRuns(huge)[1].valid);

  NtfsGeometry g;
  g.sectorsPerCluster = 8;
  g.partitionStart = 100;
  uint64_t sector = 0;
  EXPECT_TRUE(ClusterToSector(g, 5, sector));
  EXPECT_EQ(sector, 140u);
  EXPECT_FALSE(ClusterToSector(g, -1, sector));
  EXPECT_FALSE(ClusterToSector(g, INT64_MAX, sector));
}

TEST(NtfsRunList, CopiesReadOnlyWholeClustersBelowTheLimit) {
  // 20 sectors and clusters of 8: clusters 0 and 1 are whole, the last four
  // sectors belong to no cluster.
  Bytes image(20 * 512);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i / 512 + 1);
  const SectorSource source = MemorySource(image);
  Bytes out;
  auto copy = [&](const std::vector<DataRun>& runs, uint64_t clusterLimit, size_t bytes) {
    out.assign(bytes, 0xEE);
    OutputSink sink;
    sink.UseMemory(out.data(), static_cast<uint32_t>(bytes));
    std::vector<uint8_t> buffer(4096);
    uint64_t remaining = bytes;
    const RunCopy copied = CopyDataRuns(source, 512, 0, 8, clusterLimit, runs, buffer, sink, remaining,
                                        [](int32_t) { return 0; });
    out.resize(sink.MemoryBytes());
    return copied.code;
  };
  EXPECT_EQ(copy({{1, 1, false}}, 2, 512), kOk);
  EXPECT_EQ(out, Bytes(image.begin() + 8 * 512, image.begin() + 9 * 512));
  EXPECT_EQ(copy({{1, 0, true}}, 0, 100), kOk);
  EXPECT_EQ(out, Bytes(100, 0)) << "a sparse run is zeros, wherever the limit lies";
  // Cluster 2 starts inside the source, but is not whole: nothing of it is
  // read, as the run checks of the scan and the compressed copy decide.
  EXPECT_EQ(copy({{1, 2, false}}, 2, 512), kErrInvalidParameter);
  EXPECT_TRUE(out.empty());
  // A cluster whose sector number does not fit 64 bits is refused, however
  // far the limit lies.
  EXPECT_EQ(copy({{1, int64_t{1} << 62, false}}, UINT64_MAX, 512), kErrInvalidParameter);
  EXPECT_TRUE(out.empty());
}

TEST(NtfsRecordToSector, WalksTheMftRuns) {
  NtfsGeometry g;
  SetNtfsRecordGeometry(g, 512);
  g.sectorsPerCluster = 8;
  g.partitionStart = 63;
  // 16 clusters at 1000, then 8 clusters at 1000 - 300.
  const MftRunMap map = {{16, 1000, false}, {8, -300, false}};
  EXPECT_EQ(RecordToSector(g, map, 0), 63u + 8000u);
  EXPECT_EQ(RecordToSector(g, map, 63), 63u + 8000u + 126u);
  EXPECT_EQ(RecordToSector(g, map, 64), 63u + 700u * 8u) << "first record of the second run";
  EXPECT_EQ(RecordToSector(g, map, 95), 63u + 700u * 8u + 62u);
  EXPECT_EQ(RecordToSector(g, map, 96), 63u) << "beyond the runs: the partition start";
  EXPECT_EQ(RecordToSector(g, map, UINT64_MAX), 63u);
  EXPECT_EQ(RecordToSector(g, {}, 0), 63u);
  EXPECT_EQ(RecordToSector(g, {{16, -5, false}}, 0), 63u) << "negative cluster";
  EXPECT_EQ(RecordToSector(g, {{UINT64_MAX, 1, false}}, 5), 63u) << "run length overflow";
  EXPECT_EQ(RecordToSector(g, {{4, INT64_MAX, false}}, 1), 63u) << "sector overflow";
}

TEST(NtfsAttributeWalk, BoundsAndStops) {
  NtfsRecordBuilder r;
  r.Resident(0x10, Bytes(8, 1));
  r.Resident(0, Bytes(8, 2));
  r.Resident(kNtfsAttrFill, Bytes(8, 3));
  r.Resident(0xFE000000u, Bytes(8, 3));
  r.Resident(kNtfsAttrData, Bytes(8, 4));
  const Bytes rec = r.Plain();
  auto types = [&](size_t limit, uint32_t flags) {
    std::vector<uint32_t> seen;
    NtfsAttributeWalk walk(View(rec), limit, flags);
    while (walk.Next()) seen.push_back(walk.type());
    return seen;
  };
  EXPECT_EQ(types(kNtfsWindowBytes, 0),
            (std::vector<uint32_t>{0x10, 0, kNtfsAttrFill, 0xFE000000u, kNtfsAttrData}));
  EXPECT_EQ(types(kNtfsWindowBytes, kWalkStopAtTypeZero), (std::vector<uint32_t>{0x10}));
  EXPECT_EQ(types(kNtfsWindowBytes, kWalkStopAtFill), (std::vector<uint32_t>{0x10, 0}));
  EXPECT_EQ(types(r.firstAttribute() + 1, 0), (std::vector<uint32_t>{0x10}));
  EXPECT_TRUE(types(r.firstAttribute(), 0).empty());

  // Hostile lengths: 0, a negative 16-bit step, a step past the limit.
  Bytes bad = rec;
  PutLe(bad, r.firstAttribute() + 4, 0x0001FFF8u, 4);
  NtfsAttributeWalk backwards(View(bad), kNtfsWindowBytes, kWalkLength16Signed);
  ASSERT_TRUE(backwards.Next());
  EXPECT_FALSE(backwards.Next());
  EXPECT_FALSE(backwards.Next());
  NtfsAttributeWalk full(View(bad), kNtfsWindowBytes);
  ASSERT_TRUE(full.Next());
  EXPECT_FALSE(full.Next()) << "0x1FFF8 steps beyond the record";
  PutLe(bad, r.firstAttribute() + 4, 0, 4);
  EXPECT_FALSE(NtfsAttributeWalk(View(bad), kNtfsWindowBytes).Next());
  // A first-attribute offset past the view, and an empty view.
  PutLe(bad, 0x14, 0xFFFF, 2);
  EXPECT_FALSE(NtfsAttributeWalk(View(bad), kNtfsWindowBytes).Next());
  EXPECT_FALSE(NtfsAttributeWalk(ByteView(), kNtfsWindowBytes).Next());
}

TEST(NtfsFileName, ValueAndNameBoundedByTheAttribute) {
  NtfsRecordBuilder r;
  const size_t at = r.Resident(kNtfsAttrFileName,
                               testing::FileNameValue(0x1234567890ull, u"photo.jpg", 1, 777, 11, 22, 33));
  const Bytes rec = r.Plain();
  NtfsFileName fn;
  ASSERT_TRUE(ReadFileNameValue(View(rec).Sub(at, 1024 - at), fn));
  EXPECT_EQ(fn.parent, 0x34567890u);
  EXPECT_EQ(fn.created, 11u);
  EXPECT_EQ(fn.modified, 22u);
  EXPECT_EQ(fn.accessed, 33u);
  EXPECT_EQ(fn.dataSize, 777u);
  EXPECT_EQ(fn.nameSpace, 1u);
  EXPECT_EQ(fn.name, "photo.jpg");

  Bytes cut = rec;
  PutLe(cut, at + 0x18 + 0x40, 200, 1);  // name length past the attribute
  ASSERT_TRUE(ReadFileNameValue(View(cut).Sub(at, 1024 - at), fn));
  EXPECT_EQ(fn.name.substr(0, 9), "photo.jpg");
  EXPECT_LE(fn.name.size(), 16u);
  EXPECT_FALSE(ReadFileNameValue(View(rec).Sub(at, 0x50), fn));
}

TEST(NtfsResidentData, CorruptRecordsGiveTheirCodes) {
  struct Case {
    const char* what;
    std::function<void(Bytes&, size_t)> damage;  // record bytes (plain) and the $DATA offset
    int32_t expected;
  };
  const Case cases[] = {
      {"not FILE", [](Bytes& b, size_t) { b[0] = 'B'; }, kNtfsNoResidentData},
      {"non-resident", [](Bytes& b, size_t at) { b[at + 8] = 1; }, kNtfsNoResidentData},
      {"no $DATA", [](Bytes& b, size_t at) { PutLe(b, at, 0xFFFFFFFFu, 4); }, kNtfsNoResidentData},
      {"fill marker first", [](Bytes& b, size_t at) { PutLe(b, at, kNtfsAttrFill, 4); }, kNtfsNoResidentData},
      {"length 0", [](Bytes& b, size_t at) { PutLe(b, at + 4, 0, 4); }, kNtfsNoResidentData},
      {"length = record size", [](Bytes& b, size_t at) { PutLe(b, at + 4, 1024 + 0x18, 4); },
       kErrInvalidParameter},
      {"value offset past length", [](Bytes& b, size_t at) { PutLe(b, at + 0x14, 0x200, 2); },
       kErrInvalidParameter},
      {"first offset near window end",
       [](Bytes& b, size_t) {
         PutLe(b, 0x14, 8100, 2);
         PutLe(b, 8100, kNtfsAttrData, 4);
         PutLe(b, 8104, 0x300, 4);
         PutLe(b, 8100 + 0x14, 0x18, 2);
       },
       kErrInvalidParameter},
  };
  for (const Case& c : cases) {
    Volume v;
    NtfsRecordBuilder r(1024, 40, 0);
    const size_t at = r.Resident(kNtfsAttrData, Bytes(100, 7));
    Bytes window = r.Plain();
    window.resize(8192, 0);
    c.damage(window, at);
    v.Put(v.RecordSector(40), window);
    const SectorSource src = v.Source();
    Bytes data;
    EXPECT_EQ(ReadResidentData(src, v.g, v.RecordSector(40), data), c.expected) << c.what;
  }
}

TEST(NtfsReadFileRecord, ReadErrorsAndTheSourceEnd) {
  Volume v;
  NtfsRecordBuilder r(1024, 3, 1);
  r.Resident(kNtfsAttrData, Bytes(600, 9));
  v.PutRecord(3, r);
  // The last record of the source: the window runs past the end.
  const uint64_t last = v.image.size() / 512 - 2;
  v.Put(last, r.Build());
  SectorSource src = v.Source();
  Bytes window;
  ASSERT_EQ(ReadFileRecord(src, v.g, last, window), kOk);
  EXPECT_EQ(0, std::memcmp(window.data() + 0x38, r.Plain().data() + 0x38, 1024 - 0x38));
  EXPECT_EQ(ReadFileRecord(src, v.g, last + 1, window), kErrInvalidParameter);
  EXPECT_EQ(ReadFileRecord(src, v.g, v.image.size(), window), kErrInvalidParameter);
  EXPECT_EQ(ReadFileRecord(src, v.g, 0, window), kNtfsNotFileRecord);

  // A bad sector after the record does not hide it; one inside it does.
  const uint64_t at = v.RecordSector(3);
  ReaderOf(src).FailRange((at + 5) * 512, (at + 6) * 512, kErrReadFault);
  ASSERT_EQ(ReadFileRecord(src, v.g, at, window), kOk);
  EXPECT_EQ(window[600], 9);
  ReaderOf(src).FailRange((at + 1) * 512, (at + 2) * 512, kErrReadFault);
  EXPECT_EQ(ReadFileRecord(src, v.g, at, window), kErrReadFault);
  std::vector<DataRun> runs;
  EXPECT_EQ(GetAttributeRuns(src, v.g, v.mft, at, kNtfsAttrData, runs), kErrReadFault);
  Bytes data;
  EXPECT_EQ(ReadResidentData(src, v.g, at, data), kErrReadFault);
}

TEST(NtfsAttributeRuns, FirstAttributeOfTheType) {
  Volume v;
  NtfsRecordBuilder r(1024, 30, 0);
  r.Resident(kNtfsAttrFileName, testing::FileNameValue(5, u"x.bin"));
  r.NonResident(kNtfsAttrData, {0x21, 0x04, 0x00, 0x01, 0x11, 0x02, 0x10}, 0, 5, 6 * 4096);
  r.NonResident(kNtfsAttrData, {0x11, 0x09, 0x09}, 0, 8, 100, u"ads");
  v.PutRecord(30, r);
  const SectorSource src = v.Source();
  std::vector<DataRun> runs;
  ASSERT_EQ(GetAttributeRuns(src, v.g, v.mft, v.RecordSector(30), kNtfsAttrData, runs), kOk);
  EXPECT_EQ(runs, (std::vector<DataRun>{{4, 256, false}, {2, 16, false}}));
  runs.clear();
  EXPECT_EQ(GetAttributeRuns(src, v.g, v.mft, v.RecordSector(30), 0xB0, runs), kNtfsAttributeNotFound);
  EXPECT_EQ(GetAttributeRuns(src, v.g, v.mft, v.RecordSector(31), kNtfsAttrData, runs), kNtfsNotFileRecord);
  EXPECT_TRUE(runs.empty());
}

TEST(NtfsAttributeRuns, CorruptRecordsGiveTheirCodes) {
  struct Case {
    const char* what;
    std::function<void(Bytes&, size_t)> damage;  // the stored record and the $DATA offset
    int32_t expected;
    size_t runs;
  };
  const Case cases[] = {
      {"intact", [](Bytes&, size_t) {}, kOk, 2},
      {"signature", [](Bytes& b, size_t) { b[3] = 'X'; }, kNtfsNotFileRecord, 0},
      {"fix-up words lost, sequence number torn",
       [](Bytes& b, size_t) {
         b[0x30] ^= 0xFF;
         PutLe(b, 0x32, 0, 4);
       },
       kOk, 2},
      {"first offset past the window", [](Bytes& b, size_t) { PutLe(b, 0x14, 9000, 2); },
       kNtfsAttributeNotFound, 0},
      {"attribute length 0", [](Bytes& b, size_t at) { PutLe(b, at - 0x48 + 4, 0, 4); },
       kNtfsAttributeNotFound, 0},
      {"attribute length past the window",
       [](Bytes& b, size_t at) { PutLe(b, at - 0x48 + 4, 0x7FFFFFF0u, 4); }, kNtfsAttributeNotFound, 0},
      {"$DATA as long as a sector", [](Bytes& b, size_t at) { PutLe(b, at + 4, 512, 4); }, kOk, 2},
      {"run list offset past the attribute", [](Bytes& b, size_t at) { PutLe(b, at + 0x20, 0xFFF0, 2); }, kOk,
       0},
      {"run list running off the end", [](Bytes& b, size_t at) { b[at + 0x40 + 6] = 0x77; }, kOk, 2},
      {"huge run offsets",
       [](Bytes& b, size_t at) {
         const Bytes huge = {0x71, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x71,
                             0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x00};
         std::copy(huge.begin(), huge.end(), b.begin() + static_cast<ptrdiff_t>(at + 0x40));
         PutLe(b, at + 4, 0x58, 4);
       },
       kOk, 2},
  };
  for (const Case& c : cases) {
    Volume v;
    NtfsRecordBuilder r(1024, 30, 0);
    r.Resident(0x10, Bytes(0x30, 0));
    const size_t at = r.NonResident(kNtfsAttrData, {0x11, 0x04, 0x10, 0x11, 0x02, 0x10}, 0, 5, 100);
    Bytes stored = r.Build();
    stored.resize(kNtfsWindowBytes, 0);
    c.damage(stored, at);
    v.Put(v.RecordSector(30), stored);
    const SectorSource src = v.Source();
    std::vector<DataRun> runs;
    EXPECT_EQ(GetAttributeRuns(src, v.g, v.mft, v.RecordSector(30), kNtfsAttrData, runs), c.expected)
        << c.what;
    EXPECT_EQ(runs.size(), c.runs) << c.what;
    for (const AbsoluteRun& run : ToAbsoluteRuns(runs)) {
      uint64_t sector = 0;
      if (run.valid) (void)ClusterToSector(v.g, static_cast<int64_t>(run.firstCluster), sector);
    }
  }
}

// A file whose $DATA lies in two extension records (runs at clusters 300 and
// 100, then 200), named by a resident attribute list of the base record.
struct ListedFile {
  Volume v;
  Bytes list;
  ListedFile() {
    list = AttributeListEntry(0x10, 0, 50);
    for (const Bytes& e :
         {AttributeListEntry(kNtfsAttrData, 0, 51), AttributeListEntry(kNtfsAttrData, 0, 51, u"s"),
          AttributeListEntry(kNtfsAttrData, 6, 52)})
      list.insert(list.end(), e.begin(), e.end());
    NtfsRecordBuilder base(1024, 50, 0);
    base.Resident(0x10, Bytes(48, 0));
    base.Resident(kNtfsAttrAttributeList, list);
    base.Resident(kNtfsAttrFileName, testing::FileNameValue(5, u"big.bin"));
    v.PutRecord(50, base);
    NtfsRecordBuilder first(1024, 51, 0);
    first.NonResident(kNtfsAttrData, {0x11, 0x02, 0x64, 0x21, 0x04, 0x2C, 0x01, 0x00}, 0, 5, 9 * 4096);
    first.NonResident(kNtfsAttrData, {0x11, 0x01, 0x05}, 0, 0, 10, u"s");
    v.PutRecord(51, first);
    NtfsRecordBuilder second(1024, 52, 0);
    second.NonResident(kNtfsAttrData, {0x21, 0x03, 0xC8, 0x00}, 6, 8, 0);
    v.PutRecord(52, second);
  }
};

TEST(NtfsAttributeList, GathersEveryExtentInPlace) {
  ListedFile f;
  const SectorSource src = f.v.Source();
  std::vector<DataRun> runs;
  ASSERT_EQ(GetAttributeRuns(src, f.v.g, f.v.mft, f.v.RecordSector(50), kNtfsAttrData, runs), kOk);
  const auto abs = ToAbsoluteRuns(runs);
  ASSERT_EQ(abs.size(), 3u);
  EXPECT_EQ(abs[0].firstCluster, 100u);
  EXPECT_EQ(abs[0].length, 2u);
  EXPECT_EQ(abs[1].firstCluster, 400u);
  EXPECT_EQ(abs[1].length, 4u);
  EXPECT_EQ(abs[2].firstCluster, 200u) << "the second extent counts from cluster 0";
  EXPECT_EQ(abs[2].length, 3u);
}

TEST(NtfsAttributeList, UnreadableExtentKeepsLaterDataInPlace) {
  ListedFile f;
  f.v.image[f.v.RecordSector(51) * 512] = 'X';  // the first extent's record is gone
  const SectorSource src = f.v.Source();
  std::vector<DataRun> runs;
  ASSERT_EQ(GetAttributeRuns(src, f.v.g, f.v.mft, f.v.RecordSector(50), kNtfsAttrData, runs), kOk);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_TRUE(runs[0].sparse);
  EXPECT_EQ(runs[0].length, 6u);
  EXPECT_EQ(ToAbsoluteRuns(runs)[1].firstCluster, 200u);

  // No extent at all readable: nothing, and 0 (the list was there).
  f.v.image[f.v.RecordSector(52) * 512] = 'X';
  const SectorSource src2 = f.v.Source();
  runs.clear();
  EXPECT_EQ(GetAttributeRuns(src2, f.v.g, f.v.mft, f.v.RecordSector(50), kNtfsAttrData, runs), kOk);
  EXPECT_TRUE(runs.empty());
}

TEST(NtfsAttributeList, HostileListsEnd) {
  ListedFile f;
  NtfsRecordBuilder base(1024, 50, 0);
  Bytes list = AttributeListEntry(kNtfsAttrData, 0, 50);  // points back at its own record
  Bytes zero = AttributeListEntry(kNtfsAttrData, 0, 51);
  PutLe(zero, 4, 0, 2);  // entry length 0
  list.insert(list.end(), zero.begin(), zero.end());
  base.Resident(kNtfsAttrAttributeList, list);
  f.v.PutRecord(50, base);
  const SectorSource src = f.v.Source();
  std::vector<DataRun> runs;
  EXPECT_EQ(GetAttributeRuns(src, f.v.g, f.v.mft, f.v.RecordSector(50), kNtfsAttrData, runs), kOk);
  EXPECT_TRUE(runs.empty());

  // Extents out of order, a huge gap, a record number past the $MFT.
  Bytes odd = AttributeListEntry(kNtfsAttrData, 6, 52);
  for (const Bytes& e :
       {AttributeListEntry(kNtfsAttrData, 0, 51), AttributeListEntry(kNtfsAttrData, 1ull << 40, 51),
        AttributeListEntry(kNtfsAttrData, 0, 0xFFFFFFFFFFFFull)})
    odd.insert(odd.end(), e.begin(), e.end());
  NtfsRecordBuilder base2(1024, 50, 0);
  base2.Resident(kNtfsAttrAttributeList, odd);
  f.v.PutRecord(50, base2);
  const SectorSource src2 = f.v.Source();
  runs.clear();
  EXPECT_EQ(GetAttributeRuns(src2, f.v.g, f.v.mft, f.v.RecordSector(50), kNtfsAttrData, runs), kOk);
  // The extent at VCN 6 comes first; the one at 0 is then behind it and skipped.
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_TRUE(runs[0].sparse);
  EXPECT_EQ(ToAbsoluteRuns(runs)[1].firstCluster, 200u);
}

TEST(NtfsAttributeList, NonResidentListAndTheMftsOwnList) {
  // $MFT record 0 holds its first extent; its list (non-resident, at cluster
  // 200) names a second extent in record 9, located through the first.
  Volume v;
  Bytes list = AttributeListEntry(kNtfsAttrData, 0, 0);
  const Bytes second = AttributeListEntry(kNtfsAttrData, 64, 9);
  list.insert(list.end(), second.begin(), second.end());
  v.Put(200 * 8, list);
  NtfsRecordBuilder zero(1024, 0, 1);
  zero.NonResident(kNtfsAttrAttributeList, {0x21, 0x01, 0xC8, 0x00}, 0, 0, list.size());
  zero.NonResident(kNtfsAttrData, {0x11, 0x40, 0x10}, 0, 63, 64 * 4096);
  v.PutRecord(0, zero);
  NtfsRecordBuilder nine(1024, 9, 1);
  nine.NonResident(kNtfsAttrData, {0x21, 0x20, 0x20, 0x01}, 64, 95, 0);
  v.PutRecord(9, nine);
  const SectorSource src = v.Source();
  MftRunMap map = {{99, 99, false}};
  ASSERT_EQ(ReadMftRunMap(src, v.g, map), kOk);
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(ToAbsoluteRuns(map)[1].firstCluster, 288u);
  EXPECT_EQ(RecordToSector(v.g, map, 64 * 4), 288u * 8);

  // The same list without the extension record: the base extent remains.
  v.image[v.RecordSector(9) * 512] = 0;
  const SectorSource src2 = v.Source();
  ASSERT_EQ(ReadMftRunMap(src2, v.g, map), kOk);
  EXPECT_EQ(map, (MftRunMap{{64, 16, false}}));
}

TEST(NtfsBitmap, LoadAndFreeExtents) {
  Volume v;
  // 512 clusters: bitmap of 64 bytes at cluster 300; clusters 0..99 and
  // 130..139 allocated, the rest free except the last byte.
  Bytes bits(64, 0);
  for (int c = 0; c < 100; ++c) bits[c / 8] |= static_cast<uint8_t>(1 << (c % 8));
  for (int c = 130; c < 140; ++c) bits[c / 8] |= static_cast<uint8_t>(1 << (c % 8));
  bits[63] = 0xFF;
  v.Put(300 * 8, bits);
  NtfsRecordBuilder six(1024, 6, 1);
  six.NonResident(kNtfsAttrData, {0x21, 0x01, 0x2C, 0x01}, 0, 0, 64);
  v.PutRecord(6, six);
  SectorSource src = v.Source();
  VolumeBitmap bitmap;
  ASSERT_EQ(LoadVolumeBitmap(src, v.g, v.mft, bitmap), kOk);
  EXPECT_EQ(bitmap.length, 64u);
  ASSERT_GE(bitmap.bytes.size(), 64u);
  EXPECT_EQ(0, std::memcmp(bitmap.bytes.data(), bits.data(), 64));

  uint64_t pos = 5 * 8 + 3, len = 0;  // inside the allocated start
  NextFreeExtent(v.g, bitmap, pos, len);
  EXPECT_EQ(pos, 100u * 8 + 3);
  EXPECT_EQ(len, 30u * 8);
  pos = 110 * 8;  // inside a free stretch: unchanged, the rest of it
  NextFreeExtent(v.g, bitmap, pos, len);
  EXPECT_EQ(pos, 110u * 8);
  EXPECT_EQ(len, 20u * 8);
  pos = 140 * 8;  // free up to the set last byte
  NextFreeExtent(v.g, bitmap, pos, len);
  EXPECT_EQ(len, (504u - 140u) * 8);
  pos = 505 * 8;  // allocated up to the bitmap's end: stays, length 0
  NextFreeExtent(v.g, bitmap, pos, len);
  EXPECT_EQ(pos, 505u * 8);
  EXPECT_EQ(len, 0u);
  pos = v.g.partitionLength + 5;
  NextFreeExtent(v.g, bitmap, pos, len);
  EXPECT_EQ(pos, v.g.partitionLength);
  EXPECT_EQ(len, 0u);

  // Summing every extent from 0 gives the free clusters, each once.
  uint64_t total = 0;
  pos = 0;
  for (int guard = 0; guard < 100; ++guard) {
    NextFreeExtent(v.g, bitmap, pos, len);
    if (len == 0) break;
    total += len;
    pos += len;
  }
  EXPECT_EQ(total, (512u - 100u - 10u - 8u) * 8);

  // A short partition clips the stretch.
  NtfsGeometry shortVolume = v.g;
  shortVolume.partitionLength = 120 * 8;
  pos = 0;
  NextFreeExtent(shortVolume, bitmap, pos, len);
  EXPECT_EQ(len, 20u * 8);
}

TEST(NtfsBitmap, FailuresLeaveTheOldBitmap) {
  Volume v;
  NtfsRecordBuilder six(1024, 6, 1);
  six.NonResident(kNtfsAttrData, {0x21, 0x01, 0x2C, 0x01}, 0, 0, 64);
  v.PutRecord(6, six);
  VolumeBitmap bitmap;
  bitmap.bytes = {1, 2, 3};
  bitmap.length = 3;

  Volume empty;
  EXPECT_EQ(LoadVolumeBitmap(empty.Source(), empty.g, empty.mft, bitmap), kNtfsNotFileRecord);
  NtfsRecordBuilder noData(1024, 6, 1);
  noData.Resident(0x10, Bytes(8, 0));
  empty.PutRecord(6, noData);
  EXPECT_EQ(LoadVolumeBitmap(empty.Source(), empty.g, empty.mft, bitmap), kNtfsAttributeNotFound);
  EXPECT_EQ(bitmap.length, 3u);

  // A read fault inside the bitmap's run: loaded, the unread part free.
  SectorSource src = v.Source();
  ReaderOf(src).FailRange(300 * 8 * 512, 301 * 8 * 512, kErrReadFault);
  ASSERT_EQ(LoadVolumeBitmap(src, v.g, v.mft, bitmap), kOk);
  EXPECT_EQ(bitmap.length, 64u);
  EXPECT_EQ(bitmap.bytes[0], 0);

  // A hostile run length does not size the buffer.
  NtfsRecordBuilder huge(1024, 6, 1);
  huge.NonResident(kNtfsAttrData, {0x41, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, 0, 0, UINT64_MAX);
  v.PutRecord(6, huge);
  ASSERT_EQ(LoadVolumeBitmap(v.Source(), v.g, v.mft, bitmap), kOk);
  EXPECT_LE(bitmap.bytes.size(), 2u * 4096u);
  EXPECT_EQ(bitmap.length, bitmap.bytes.size());

  NtfsGeometry noClusters = v.g;
  noClusters.sectorsPerCluster = 0;
  uint64_t pos = 0, len = 9;
  NextFreeExtent(noClusters, bitmap, pos, len);
  EXPECT_EQ(len, 0u);
}

}  // namespace
}  // namespace velmira
