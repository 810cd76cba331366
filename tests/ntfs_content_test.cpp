// NTFS file content in the cases real volumes hold: long run lists, torn
// records, unreadable $MFT chunks, attributes in extension records, and
// compressed and encrypted files. Both the fast and the deep engine read
// every volume.
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <filesystem>
#include <functional>
#include <map>
#include <random>

#include "engines/ntfs/deep_ntfs_recovery.h"
#include "engines/ntfs/deep_ntfs_sweep.h"
#include "engines/ntfs/fast_ntfs_recovery.h"
#include "engines/ntfs/lznt1.h"
#include "jobs/scan_job.h"
#include "platform/errors.h"
#include "tests/fixtures/data_home.h"
#include "tests/fixtures/engine_listing.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/memory_source.h"
#include "tests/fixtures/ntfs_disk.h"
#include "tests/fixtures/ntfs_record_builder.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::NtfsRecordBuilder;
using testing::PutLe;

Bytes Content(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(size);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// A run list of (length, delta) pairs in 4-byte fields; a delta of
// INT64_MIN is a sparse run.
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

// A small volume built record by record: 512-byte sectors, 4 KiB clusters,
// 1 KiB records, the $MFT (32 clusters, 128 records) at cluster 16, the root
// folder in record 5.
class Volume {
 public:
  static constexpr uint32_t kCluster = 4096;
  static constexpr uint32_t kMftCluster = 16;
  static constexpr uint32_t kMftClusters = 32;

  explicit Volume(uint64_t clusters = 1024) : m_bytes(clusters * kCluster, 0) {
    const Bytes boot = testing::NtfsBootSector(512, 8, clusters * 8, kMftCluster);
    std::copy(boot.begin(), boot.end(), m_bytes.begin());
    NtfsRecordBuilder mft(1024, 0, 1);
    mft.Resident(0x30, testing::FileNameValue(5, u"$MFT", 3));
    mft.NonResident(0x80, RunList({{kMftClusters, kMftCluster}}), 0, kMftClusters - 1,
                    kMftClusters * kCluster);
    Put(0, mft);
    NtfsRecordBuilder root(1024, 5, 3);
    root.Resident(0x30, testing::FileNameValue(5, u".", 3));
    Put(5, root);
  }

  void Put(uint32_t number, const NtfsRecordBuilder& record, uint16_t usn = 0x0102) {
    PutRaw(number, record.Build(usn));
  }
  void PutRaw(uint32_t number, const Bytes& bytes) {
    std::copy(bytes.begin(), bytes.end(), m_bytes.begin() + kMftCluster * kCluster + number * 1024);
  }
  void PutCluster(uint64_t cluster, const Bytes& bytes) {
    std::copy(bytes.begin(), bytes.end(), m_bytes.begin() + static_cast<ptrdiff_t>(cluster * kCluster));
  }
  [[nodiscard]] static uint64_t RecordSector(uint32_t number) { return kMftCluster * 8 + number * 2; }
  [[nodiscard]] const Bytes& bytes() const { return m_bytes; }
  std::string Save(const testing::TempDir& dir, const std::string& name = "volume.img") const {
    testing::WriteFileBytes(dir.File(name), m_bytes);
    return dir.File(name);
  }

  // A deleted file record with $STANDARD_INFORMATION and $FILE_NAME.
  static NtfsRecordBuilder File(uint32_t number, const std::u16string& name, uint32_t parent = 5) {
    NtfsRecordBuilder r(1024, number, 0);
    r.Resident(0x10, Bytes(0x30, 0));
    r.Resident(0x30, testing::FileNameValue(parent, name, 3));
    return r;
  }

 private:
  Bytes m_bytes;
};

using testing::ListAll;

class NtfsContent : public ::testing::Test {
 protected:
  std::unique_ptr<CFastNtfsRecovery> Fast(const std::string& image) {
    auto engine = std::make_unique<CFastNtfsRecovery>();
    if (engine->OpenImage(image, 1001) != kOk || engine->Scan("") != kOk) return nullptr;
    return engine;
  }
  std::unique_ptr<CDeepNtfsRecovery> Deep(const std::string& image) {
    auto engine = std::make_unique<CDeepNtfsRecovery>();
    if (engine->OpenImage(image, 1001) != kOk || engine->BeginDeepNtfsLog("") != kOk) return nullptr;
    if (SweepDeepNtfs(*engine, nullptr, nullptr) != kOk) return nullptr;
    return engine;
  }
  // Recovers `record` and returns the bytes written (empty on failure, with
  // the code in `code`).
  Bytes Recover(IFileRecoveryParse& engine, const FoundRecord& record, int32_t* code = nullptr) {
    const std::string target = m_out.File("out/" + std::to_string(m_next++));
    const int32_t rc = engine.RecoverItem(record, target, 0);
    if (code != nullptr) *code = rc;
    if (rc != kOk) return {};
    return testing::ReadFileBytes(target);
  }
  testing::ScopedDataHome m_home;
  testing::TempDir m_out;
  int m_next = 0;
};

// ---------------------------------------------------------------------------
// Run lists of any length.

TEST_F(NtfsContent, AFileInManyFragmentsComesBackWhole) {
  Volume vol;
  // 60 one-cluster runs, every other cluster from 100 on: a run list of
  // 540 bytes, longer than a sector.
  std::vector<std::pair<uint32_t, int64_t>> runs;
  Bytes data;
  for (uint32_t i = 0; i < 60; ++i) {
    runs.push_back({1, i == 0 ? 100 : 2});
    const Bytes piece = Content(Volume::kCluster, 100 + i);
    vol.PutCluster(100 + 2 * i, piece);
    data.insert(data.end(), piece.begin(), piece.end());
  }
  data.resize(data.size() - 1000);
  auto file = Volume::File(40, u"fragments.bin");
  file.NonResident(0x80, RunList(runs), 0, 59, data.size());
  vol.Put(40, file);
  const std::string image = vol.Save(m_out);

  auto fast = Fast(image);
  ASSERT_NE(fast, nullptr);
  auto deep = Deep(image);
  ASSERT_NE(deep, nullptr);
  for (IFileRecoveryParse* engine :
       {static_cast<IFileRecoveryParse*>(fast.get()), static_cast<IFileRecoveryParse*>(deep.get())}) {
    const auto found = ListAll(*engine);
    ASSERT_EQ(found.count("fragments.bin"), 1u);
    int32_t code = -1;
    EXPECT_EQ(Recover(*engine, found.at("fragments.bin"), &code), data);
    EXPECT_EQ(code, kOk);
  }
}

// ---------------------------------------------------------------------------
// Torn records: the update sequence number does not match.

TEST_F(NtfsContent, ATornRecordIsDoubtfulAndListedOnlyWhileItsRunsLieInTheVolume) {
  Volume vol;
  const Bytes data = Content(3 * Volume::kCluster, 7);
  vol.PutCluster(200, data);
  auto whole = Volume::File(40, u"whole.bin");
  whole.NonResident(0x80, RunList({{3, 200}}), 0, 2, data.size());
  vol.Put(40, whole);
  auto torn = Volume::File(41, u"torn.bin");
  torn.NonResident(0x80, RunList({{3, 200}}), 0, 2, data.size());
  Bytes tornBytes = torn.Build();
  tornBytes[1022] ^= 0x55;  // the second sector is of another write
  vol.PutRaw(41, tornBytes);
  auto wild = Volume::File(42, u"wild.bin");
  wild.NonResident(0x80, RunList({{3, 200}, {2, 50000}}), 0, 4, 5 * Volume::kCluster);
  Bytes wildBytes = wild.Build();
  wildBytes[510] ^= 0x55;
  vol.PutRaw(42, wildBytes);
  const std::string image = vol.Save(m_out);

  auto fast = Fast(image);
  ASSERT_NE(fast, nullptr);
  auto deep = Deep(image);
  ASSERT_NE(deep, nullptr);
  for (IFileRecoveryParse* engine :
       {static_cast<IFileRecoveryParse*>(fast.get()), static_cast<IFileRecoveryParse*>(deep.get())}) {
    const auto found = ListAll(*engine);
    ASSERT_EQ(found.count("whole.bin"), 1u);
    ASSERT_EQ(found.count("torn.bin"), 1u);
    EXPECT_EQ(found.count("wild.bin"), 0u) << "a torn record with runs outside the volume";
    EXPECT_EQ(uint32_t{found.at("whole.bin").contentOk}, 1u);
    EXPECT_EQ(uint32_t{found.at("torn.bin").contentOk}, 0u);
    EXPECT_EQ(Recover(*engine, found.at("torn.bin")), data) << "its runs are still plausible";
  }
}

// ---------------------------------------------------------------------------
// $ATTRIBUTE_LIST: the data in an extension record.

TEST_F(NtfsContent, DataInAnExtensionRecordIsFoundThroughTheAttributeList) {
  Volume vol;
  const Bytes data = Content(2 * Volume::kCluster + 300, 11);
  vol.PutCluster(300, data);
  auto base = Volume::File(40, u"listed.bin");
  Bytes list = testing::AttributeListEntry(0x10, 0, 40);
  for (uint32_t type : {0x30u}) {
    const Bytes e = testing::AttributeListEntry(type, 0, 40);
    list.insert(list.end(), e.begin(), e.end());
  }
  const Bytes dataEntry = testing::AttributeListEntry(0x80, 0, 41);
  list.insert(list.end(), dataEntry.begin(), dataEntry.end());
  base.Resident(0x20, list);
  vol.Put(40, base);
  NtfsRecordBuilder extension(1024, 41, 0);
  extension.NonResident(0x80, RunList({{3, 300}}), 0, 2, data.size());
  vol.Put(41, extension);
  const std::string image = vol.Save(m_out);

  auto fast = Fast(image);
  ASSERT_NE(fast, nullptr);
  auto deep = Deep(image);
  ASSERT_NE(deep, nullptr);
  for (IFileRecoveryParse* engine :
       {static_cast<IFileRecoveryParse*>(fast.get()), static_cast<IFileRecoveryParse*>(deep.get())}) {
    const auto found = ListAll(*engine);
    ASSERT_EQ(found.size(), 1u);
    ASSERT_EQ(found.count("listed.bin"), 1u);
    EXPECT_EQ(uint64_t{found.at("listed.bin").size}, data.size());
    int32_t code = -1;
    EXPECT_EQ(Recover(*engine, found.at("listed.bin"), &code), data);
    EXPECT_EQ(code, kOk);
  }
}

// ---------------------------------------------------------------------------
// Compressed and encrypted files.

Bytes Text(size_t size, uint32_t seed) {
  static const char kWords[] = "the quick brown fox jumps over the lazy dog ";
  Bytes b(size);
  std::mt19937 rng(seed);
  for (size_t i = 0; i < size; ++i)
    b[i] = static_cast<uint8_t>(kWords[(i + rng() % 3) % (sizeof kWords - 1)]);
  return b;
}

TEST(Lznt1, ChunksLiteralsBackReferencesAndDamage) {
  // "abcabcabcabc" then 4,084 bytes of nothing more: one compressed chunk of
  // three literals and a back-reference of 9 bytes at offset 3, then an
  // uncompressed chunk of 4,096 bytes.
  Bytes stream = {0x00, 0xB0};  // header patched below
  stream.push_back(0x08);       // tag: items 0-2 literals, item 3 a reference
  for (char c : {'a', 'b', 'c'}) stream.push_back(static_cast<uint8_t>(c));
  // At position 3 the offset takes 4 bits (positions up to 16): offset 3 -> 2,
  // length 9 -> 6.
  const uint16_t token = static_cast<uint16_t>((2 << 12) | 6);
  stream.push_back(static_cast<uint8_t>(token));
  stream.push_back(static_cast<uint8_t>(token >> 8));
  PutLe(stream, 0, 0xB000 | (stream.size() - 2 - 1), 2);
  const Bytes raw = Content(4096, 3);
  PutLe(stream, stream.size(), 0x3000 | 4095, 2);
  stream.insert(stream.end(), raw.begin(), raw.end());

  Bytes out(3 * 4096, 0xEE);
  ASSERT_TRUE(Lznt1Decompress(stream, out));
  EXPECT_EQ(std::string(out.begin(), out.begin() + 12), "abcabcabcabc");
  EXPECT_EQ(Bytes(out.begin() + 12, out.begin() + 4096), Bytes(4096 - 12, 0)) << "a short chunk is padded";
  EXPECT_EQ(Bytes(out.begin() + 4096, out.begin() + 8192), raw);
  EXPECT_EQ(Bytes(out.begin() + 8192, out.end()), Bytes(4096, 0)) << "past the stream: zeros";

  // A reference before the chunk's start, a bad signature, a chunk longer
  // than the input: errors, never reads outside.
  Bytes back = stream;
  back[2 + 1 + 3 + 1] = 0xF0;  // offset 16 at position 3
  EXPECT_FALSE(Lznt1Decompress(back, out));
  Bytes sig = stream;
  sig[1] = 0x80;
  EXPECT_FALSE(Lznt1Decompress(sig, out));
  EXPECT_FALSE(Lznt1Decompress(Bytes(stream.begin(), stream.end() - 100), out));
  Bytes small(10);
  EXPECT_TRUE(Lznt1Decompress(stream, small));
  EXPECT_EQ(std::string(small.begin(), small.end()), "abcabcabca");
}

TEST_F(NtfsContent, CompressedFilesComeBackDecompressed) {
  testing::NtfsDisk disk(24, 4096);
  if (std::string why = disk.Unusable(); !why.empty()) GTEST_SKIP() << why;
  ASSERT_TRUE(disk.Mount());
  disk.Mkdir("Packed");
  const std::string folder = disk.dir().File("mnt/Packed");
  const uint8_t compressed[4] = {0x00, 0x00, 0x08, 0x00};  // FILE_ATTRIBUTE_COMPRESSED, big-endian
  ASSERT_EQ(setxattr(folder.c_str(), "system.ntfs_attrib_be", compressed, sizeof compressed, 0), 0)
      << "ntfs-3g refused to mark the folder compressed";
  // Text that compresses, random data that does not (a unit stored as is),
  // and a hole (a sparse unit) before more text.
  Bytes mixed = Text(70000, 1);
  const Bytes noise = Content(65536 * 2, 2);
  mixed.insert(mixed.end(), noise.begin(), noise.end());
  disk.Put("Packed/text.txt", Text(200000, 3));
  disk.PutSparse("Packed/mixed.bin", {{0, mixed}, {mixed.size() + 300000, Text(20000, 4)}});
  disk.Unmount();
  // The clusters hold compressed data indeed.
  ASSERT_TRUE(disk.Mount());
  disk.Remove("Packed");
  disk.Unmount();

  auto fast = Fast(disk.image());
  ASSERT_NE(fast, nullptr);
  auto deep = Deep(disk.image());
  ASSERT_NE(deep, nullptr);
  for (IFileRecoveryParse* engine :
       {static_cast<IFileRecoveryParse*>(fast.get()), static_cast<IFileRecoveryParse*>(deep.get())}) {
    const auto found = ListAll(*engine);
    for (const char* path : {"Packed/text.txt", "Packed/mixed.bin"}) {
      ASSERT_EQ(found.count(path), 1u) << path;
      int32_t code = -1;
      EXPECT_EQ(Recover(*engine, found.at(path), &code), disk.Original(path)) << path;
      EXPECT_EQ(code, kOk) << path;
    }
    // Preview decompresses too.
    Bytes memory(1000);
    uint32_t bytes = 1000;
    std::string preview;
    ASSERT_EQ(engine->ExtractForPreview(found.at("Packed/text.txt"), preview, memory.data(), bytes, nullptr,
                                        nullptr),
              kOk);
    EXPECT_EQ(memory, Bytes(disk.Original("Packed/text.txt").begin(),
                            disk.Original("Packed/text.txt").begin() + 1000));
  }
}

TEST_F(NtfsContent, EncryptedFilesAreListedAsDoubtful) {
  Volume vol;
  const Bytes data = Content(Volume::kCluster, 21);
  vol.PutCluster(400, data);
  auto plain = Volume::File(40, u"plain.bin");
  plain.NonResident(0x80, RunList({{1, 400}}), 0, 0, data.size());
  vol.Put(40, plain);
  auto efs = Volume::File(41, u"secret.bin");
  const size_t at = efs.NonResident(0x80, RunList({{1, 400}}), 0, 0, data.size());
  Bytes efsBytes = efs.Build();
  PutLe(efsBytes, at + 0x0C, 0x4000, 2);  // the $DATA is encrypted
  vol.PutRaw(41, efsBytes);
  const std::string image = vol.Save(m_out);

  auto fast = Fast(image);
  ASSERT_NE(fast, nullptr);
  auto deep = Deep(image);
  ASSERT_NE(deep, nullptr);
  for (IFileRecoveryParse* engine :
       {static_cast<IFileRecoveryParse*>(fast.get()), static_cast<IFileRecoveryParse*>(deep.get())}) {
    const auto found = ListAll(*engine);
    ASSERT_EQ(found.count("secret.bin"), 1u);
    EXPECT_EQ(uint32_t{found.at("plain.bin").contentOk}, 1u);
    EXPECT_EQ(uint32_t{found.at("secret.bin").contentOk}, 0u);
    // Its bytes are copied as stored, but the result says what they are.
    const std::string target = m_out.File("efs/" + std::to_string(m_next++));
    EXPECT_EQ(engine->RecoverItem(found.at("secret.bin"), target, 0), kErrEncryptedContent);
    EXPECT_EQ(testing::ReadFileBytes(target), data);
    EXPECT_NE(ErrorText(kErrEncryptedContent).find("encrypted"), std::string::npos);
  }
}

// ---------------------------------------------------------------------------
// An unreadable piece of the $MFT.

TEST_F(NtfsContent, AnUnreadableMftRecordLosesOnlyItselfAndIsCounted) {
  Volume vol;
  for (uint32_t n = 40; n < 44; ++n) {
    auto file = Volume::File(n, u"file" + std::u16string(1, static_cast<char16_t>(u'0' + n - 40)) + u".txt");
    file.Resident(0x80, Content(100, n));
    vol.Put(n, file);
  }
  const std::string image = vol.Save(m_out);
  auto engine = std::make_unique<CFastNtfsRecovery>();
  ASSERT_EQ(engine->OpenImage(image, 1001), kOk);
  auto reader = std::make_shared<testing::MemoryReader>(vol.bytes());
  // Record 41's second sector cannot be read.
  reader->FailRange((Volume::RecordSector(41) + 1) * 512, (Volume::RecordSector(41) + 2) * 512, kErrCrc);
  engine->SetReader(reader);
  ASSERT_EQ(engine->Scan(""), kOk);
  const auto found = ListAll(*engine);
  EXPECT_EQ(found.count("file0.txt"), 1u);
  EXPECT_EQ(found.count("file1.txt"), 0u);
  EXPECT_EQ(found.count("file2.txt"), 1u);
  EXPECT_EQ(found.count("file3.txt"), 1u);
  EXPECT_EQ(engine->UnreadSectors(), 2u) << "the record's two sectors";
  EXPECT_EQ(UnreadSectorsOf(*engine), 2u);
}

}  // namespace
}  // namespace velmira
