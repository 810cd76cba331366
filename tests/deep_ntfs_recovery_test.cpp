// The deep NTFS scan on volumes made by mkntfs and ntfs-3g and then damaged
// (boot sector and $MFT start wiped, an older volume under a newer one), and
// on records built byte by byte for the placement rules.
#include "engines/ntfs/deep_ntfs_recovery.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <random>

#include "engines/ntfs/deep_ntfs_sweep.h"
#include "platform/errors.h"
#include "tests/fixtures/data_home.h"
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

Bytes Content(size_t size, uint32_t seed, bool jpeg = false) {
  std::mt19937 rng(seed);
  Bytes b(size);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  static const uint8_t kJfif[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00};
  if (jpeg) std::copy(std::begin(kJfif), std::end(kJfif), b.begin());
  return b;
}

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

// Overwrites `size` bytes at `offset` of a file with zeros.
void ZeroAt(const std::string& path, uint64_t offset, size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fseek(f, static_cast<long>(offset), SEEK_SET), 0);
  const Bytes zeros(size, 0);
  ASSERT_EQ(std::fwrite(zeros.data(), 1, size, f), size);
  std::fclose(f);
}

class DeepNtfs : public ::testing::Test {
 protected:
  std::unique_ptr<CDeepNtfsRecovery> SweepImage(const std::string& image) {
    auto engine = std::make_unique<CDeepNtfsRecovery>();
    if (engine->OpenImage(image, 1001) != kOk || engine->BeginDeepNtfsLog("") != kOk) return nullptr;
    if (SweepDeepNtfs(*engine, nullptr, nullptr) != kOk) return nullptr;
    return engine;
  }
  testing::ScopedDataHome m_home;
  testing::TempDir m_out;
};

TEST_F(DeepNtfs, VolumeWithoutBootSectorAndMftStartListsAndRecoversItsFiles) {
  testing::NtfsDisk disk(24, 4096);
  if (std::string why = disk.Unusable(); !why.empty()) GTEST_SKIP() << why;
  ASSERT_TRUE(disk.Mount());
  disk.Put("Photos/Trip/beach.jpg", Content(70000, 1, true));
  disk.Put("Photos/keep.bin", Content(12000, 2));
  disk.Put("Docs/note.txt", Content(300, 3));
  disk.Put("root.txt", Content(5000, 4));
  disk.Remove("Photos/Trip/beach.jpg");
  disk.Remove("root.txt");
  disk.Unmount();

  const Bytes boot = testing::ReadFileBytes(disk.image());
  const ByteView view(boot.data(), 512);
  const uint64_t clusterBytes = uint64_t{view.U8At(0x0D)} * 512;
  ZeroAt(disk.image(), 0, 512);
  ZeroAt(disk.image(), view.U64At(0x30) * clusterBytes, clusterBytes);

  auto engine = SweepImage(disk.image());
  ASSERT_NE(engine, nullptr);
  // Only the $MFTMirr's copy of record 0 is left; it explains no file.
  EXPECT_LE(engine->MftMaps().size(), 1u);
  const auto found = ListAll(*engine);
  for (const char* path : {"Photos/Trip/beach.jpg", "Photos/keep.bin", "Docs/note.txt", "root.txt"}) {
    ASSERT_EQ(found.count(path), 1u) << path;
    const FoundRecord& rec = found.at(path);
    EXPECT_EQ(uint32_t{rec.engineTag}, uint32_t{kTagDeepNtfs});
    EXPECT_EQ(uint64_t{rec.partitionStart}, 0u);
    const std::string original = path;
    const std::string target = m_out.File("out/" + std::to_string(rec.recordNumber));
    EXPECT_EQ(engine->RecoverItem(rec, target, 0), kOk) << path;
    EXPECT_EQ(testing::ReadFileBytes(target), disk.Original(original)) << path;
  }
  EXPECT_EQ(uint32_t{found.at("Photos/Trip/beach.jpg").contentOk}, 1u)
      << "its first cluster is found through its runs";
  EXPECT_EQ(found.count("Photos"), 1u);
  EXPECT_EQ(found.count("Photos/Trip"), 1u);
  EXPECT_EQ(engine->ClusterEstimate(), clusterBytes / 512);
  // System records never appear.
  for (const auto& [path, rec] : found) EXPECT_GT(uint32_t{rec.key}, 11u) << path;

  // The command line's deep scan lists the same files.
  int status = 0;
  const std::string listing =
      testing::RunCapture(std::string(VELMIRA_CLI_PATH) + " recover " + testing::ShellQuote(disk.image()) +
                              " --list 2>/dev/null </dev/null",
                          status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(listing.find("Photos/Trip/beach.jpg"), std::string::npos) << listing;
}

TEST_F(DeepNtfs, OldVolumeUnderANewOnePlacesEachFileUnderItsOwnVolumeStart) {
  constexpr uint64_t kOldStart = 16384;  // 8 MiB in
  testing::TempDir dir;
  const std::string image = dir.File("two.img");
  {
    testing::NtfsDisk old(24, 4096, "old.img");
    if (std::string why = old.Unusable(); !why.empty()) GTEST_SKIP() << why;
    ASSERT_TRUE(old.Mount());
    old.Put("OldDocs/old.bin", Content(20000, 7));
    old.Put("OldDocs/old2.txt", Content(100, 8));
    old.Unmount();
    testing::MakeBlankFile(image, 32ull << 20);
    ASSERT_TRUE(testing::RunQuiet("dd if=" + testing::ShellQuote(old.image()) + " of=" +
                                  testing::ShellQuote(image) + " bs=1M seek=8 conv=notrunc status=none"));
  }
  testing::NtfsDisk fresh(32, 4096, "new.img");
  if (std::string why = fresh.Unusable(); !why.empty()) GTEST_SKIP() << why;
  // The new volume is formatted over the old one's image.
  ASSERT_TRUE(
      testing::RunQuiet("cp " + testing::ShellQuote(image) + " " + testing::ShellQuote(fresh.image())));
  ASSERT_TRUE(testing::RunQuiet("PATH=\"$PATH:/sbin:/usr/sbin\" mkntfs -F -Q -q -c 4096 " +
                                testing::ShellQuote(fresh.image())));
  ASSERT_TRUE(fresh.Mount());
  fresh.Put("new1.txt", Content(50, 9));
  fresh.Put("new2.txt", Content(60, 10));
  fresh.Put("NewDir/new.bin", Content(9000, 11));
  fresh.Unmount();

  auto engine = SweepImage(fresh.image());
  ASSERT_NE(engine, nullptr);
  // The new $MFT from the boot sector, the old one from its record 0, and
  // the copies of record 0 in both $MFTMirr.
  ASSERT_EQ(engine->MftMaps().size(), 4u);
  const auto found = ListAll(*engine);
  ASSERT_EQ(found.count("OldDocs/old.bin"), 1u);
  ASSERT_EQ(found.count("NewDir/new.bin"), 1u);
  EXPECT_EQ(uint64_t{found.at("OldDocs/old.bin").partitionStart}, kOldStart);
  EXPECT_EQ(uint64_t{found.at("OldDocs/old2.txt").partitionStart}, kOldStart);
  EXPECT_EQ(uint64_t{found.at("NewDir/new.bin").partitionStart}, 0u);
  EXPECT_EQ(uint64_t{found.at("new1.txt").partitionStart}, 0u);
  const std::string target = m_out.File("old.bin");
  EXPECT_EQ(engine->RecoverItem(found.at("OldDocs/old.bin"), target, 0), kOk);
  EXPECT_EQ(testing::ReadFileBytes(target), Content(20000, 7));
}

// ---------------------------------------------------------------------------
// Records built byte by byte on a memory source.

Bytes FileRecord(uint32_t number, uint16_t flags, uint64_t parent, const std::u16string& name) {
  NtfsRecordBuilder b(1024, number, flags);
  b.Resident(kNtfsAttrFileName, testing::FileNameValue(parent, name, 1, 5));
  b.Resident(kNtfsAttrData, {'h', 'e', 'l', 'l', 'o'});
  return b.Build();
}

class DeepNtfsRecords : public DeepNtfs {
 protected:
  void Attach(uint64_t virtualBytes, uint32_t estimate) {
    auto reader = std::make_shared<testing::MemoryReader>(Bytes(1 << 20, 0), virtualBytes);
    m_reader = reader.get();
    ASSERT_EQ(m_engine.OpenSource(testing::MakeMemorySource(reader), 0, virtualBytes / 512, 1001), kOk);
    m_engine.SetClusterEstimate(estimate);
    ASSERT_EQ(m_engine.BeginDeepNtfsLog(""), kOk);
  }
  CDeepNtfsRecovery m_engine;
  testing::MemoryReader* m_reader = nullptr;
};

TEST_F(DeepNtfsRecords, WithoutAMapTheMftIsTakenToBeContiguousAroundTheRecord) {
  Attach(600ull << 20, 8);
  const Bytes record = FileRecord(64, 0, 40, u"far.txt");
  ASSERT_EQ(m_engine.ProcessFoundRecord(record, 1000000), kOk);
  const auto placement = m_engine.PlaceRecord(64, 1000000);
  ASSERT_EQ(placement.runs.size(), 1u);
  EXPECT_EQ(uint64_t{placement.runs[0].length}, 0u);
  EXPECT_EQ(placement.runs[0].delta, (1000000 - 128) / 8);
  ASSERT_EQ(m_engine.Directories().size(), 1u);
  const DirectoryRef& parent = m_engine.Directories()[0];
  EXPECT_EQ(parent.number, 40u);
  EXPECT_EQ(m_engine.LocateRecord(parent.runs, parent.partitionStart, parent.clusterEstimate, 40),
            1000000u - 48);
  // A run without end stops at the source's end.
  EXPECT_EQ(m_engine.LocateRecord(parent.runs, 0, 8, 0x7FFFFFFF), 0u);
  // Parent 40 is unreadable zeros: it becomes a lost folder holding the file.
  EXPECT_EQ(m_engine.FinishDeepNtfs(), kOk);
  const auto found = ListAll(m_engine);
  ASSERT_EQ(found.count("LostFolder40/far.txt"), 1u);
  EXPECT_EQ(uint64_t{found.at("LostFolder40/far.txt").entrySector}, 1000000u);
}

TEST_F(DeepNtfsRecords, EstimateHeaderCheckInUseFilesAndSharedParents) {
  Attach(4ull << 20, 1);
  // A non-resident file of 40,960 bytes in 10 clusters: 8 sectors per cluster.
  NtfsRecordBuilder big(1024, 70, 0);
  big.Resident(kNtfsAttrFileName, testing::FileNameValue(5, u"big.bin", 1, 40960));
  big.NonResident(kNtfsAttrData, {0x11, 10, 100}, 0, 9, 40960);
  ASSERT_EQ(m_engine.ProcessFoundRecord(big.Build(), 4000), kOk);
  EXPECT_EQ(m_engine.ClusterEstimate(), 8u);
  // A file without a usable allocation leaves the estimate.
  NtfsRecordBuilder odd(1024, 71, 0);
  odd.Resident(kNtfsAttrFileName, testing::FileNameValue(5, u"odd.bin", 1, 1));
  odd.NonResident(kNtfsAttrData, {0x11, 9, 100}, 0, 0, 10);
  ASSERT_EQ(m_engine.ProcessFoundRecord(odd.Build(), 4100), kOk);
  EXPECT_EQ(m_engine.ClusterEstimate(), 8u);

  // Bytes in use beyond the record: dropped, nothing listed.
  Bytes bad = FileRecord(80, 0, 5, u"bad.txt");
  PutLe(bad, kNtfsRecBytesInUse, 1025, 4);
  const uint64_t before = m_engine.GetFoundCount();
  EXPECT_EQ(m_engine.ProcessFoundRecord(bad, 5000), kErrInvalidParameter);
  Bytes badFirst = FileRecord(81, 0, 5, u"bad2.txt");
  PutLe(badFirst, kNtfsRecFirstAttribute, 0x3F0, 2);
  EXPECT_EQ(m_engine.ProcessFoundRecord(badFirst, 5002), kErrInvalidParameter);
  EXPECT_EQ(m_engine.GetFoundCount(), before);

  // An in-use file is listed like a deleted one; folders are not taken.
  ASSERT_EQ(m_engine.ProcessFoundRecord(FileRecord(90, 1, 5, u"live.txt"), 5100), kOk);
  ASSERT_EQ(m_engine.ProcessFoundRecord(FileRecord(91, 3, 5, u"dir"), 5102), kOk);
  // One parent met from records of two different $MFTs: collected once,
  // with the runs of the first.
  ASSERT_EQ(m_engine.ProcessFoundRecord(FileRecord(100, 0, 60, u"a.txt"), 6000), kOk);
  ASSERT_EQ(m_engine.ProcessFoundRecord(FileRecord(100, 0, 60, u"b.txt"), 7000), kOk);
  ASSERT_EQ(m_engine.Directories().size(), 1u);
  EXPECT_EQ(m_engine.Directories()[0].runs, m_engine.PlaceRecord(100, 6000).runs);
  EXPECT_EQ(m_engine.FinishDeepNtfs(), kOk);

  const auto found = ListAll(m_engine);
  EXPECT_EQ(found.count("live.txt"), 1u);
  EXPECT_EQ(found.count("dir"), 0u);
  EXPECT_EQ(found.count("bad.txt"), 0u);
  EXPECT_EQ(found.count("LostFolder60/a.txt"), 1u);
  EXPECT_EQ(found.count("LostFolder60/b.txt"), 1u);
  EXPECT_EQ(uint32_t{found.at("big.bin").clusterBytes}, 4096u);
  // The resident file reads back from the record where it was found.
  std::string preview;
  Bytes memory(16);
  uint32_t bytes = 16;
  EXPECT_EQ(m_engine.ExtractForPreview(found.at("live.txt"), preview, memory.data(), bytes, nullptr, nullptr),
            kNtfsNotFileRecord)
      << "the record was never written to the source";
}

TEST(DeepNtfsSweep, CandidateTestTakesOnlyPlausibleRecordHeaders) {
  Bytes record = FileRecord(64, 0, 5, u"x.txt");
  EXPECT_TRUE(IsNtfsRecordCandidate(ByteView(record.data(), record.size()), 1024));
  Bytes wrongAllocated = record;
  PutLe(wrongAllocated, kNtfsRecAllocated, 4096, 4);
  EXPECT_FALSE(IsNtfsRecordCandidate(ByteView(wrongAllocated.data(), wrongAllocated.size()), 1024));
  Bytes torn = record;
  torn[510] ^= 0xFF;
  EXPECT_FALSE(IsNtfsRecordCandidate(ByteView(torn.data(), torn.size()), 1024));
  EXPECT_FALSE(IsNtfsRecordCandidate(ByteView(record.data(), 100), 1024));
  EXPECT_EQ(SweepRecordSize(512), 1024u);
  EXPECT_EQ(SweepRecordSize(4096), 4096u);
}

}  // namespace
}  // namespace velmira
