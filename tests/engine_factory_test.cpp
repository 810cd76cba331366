#include "engines/engine_factory.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "engines/carving/file_type_recovery.h"
#include "engines/combined/deep_recovery.h"
#include "engines/ext/fast_ext_recovery.h"
#include "engines/fat/deep_fat_recovery.h"
#include "engines/fat/fast_fat_recovery.h"
#include "engines/ntfs/deep_ntfs_recovery.h"
#include "engines/ntfs/fast_ntfs_recovery.h"
#include "platform/errors.h"
#include "tests/fixtures/data_home.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/ntfs_record_builder.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using testing::TempDir;

int32_t CancelAlways(void*, int32_t, int32_t, int32_t, uint64_t, uint64_t, uint64_t, int32_t) {
  return kCancelled;
}

TEST(EngineFactory, ExtGetsThePlaceholderThatFindsNothing) {
  VELMIRA_REQUIRE_TOOL("mke2fs");
  TempDir dir;
  const std::string img = dir.File("ext.img");
  ASSERT_TRUE(testing::MakeExtImage(img, 8));
  auto engine = CreateEngineForImage(img, 1001, false);
  ASSERT_NE(engine, nullptr);
  EXPECT_NE(dynamic_cast<CFastExtRecovery*>(engine.get()), nullptr);
  engine->SetProgressCallbacks(CancelAlways, nullptr, nullptr, 100);
  EXPECT_EQ(engine->Scan(""), kOk);
  EXPECT_EQ(engine->GetFoundCount(), 0u);
  std::vector<FoundRecord> found;
  EXPECT_EQ(engine->CollectMatches("*.jpg|", found), kOk);
  EXPECT_TRUE(found.empty());
  uint64_t pos = 0, len = 0;
  EXPECT_EQ(engine->NextFreeExtent(pos, len), 0) << "not a fast engine with a map";

  // Through a drive number the placeholder opens the drive and keeps the range.
  ::setenv("VELMIRA_DRIVES", img.c_str(), 1);
  auto byDisk = CreateEngineForPartition(0, 0, 16384, 1, false);
  ::unsetenv("VELMIRA_DRIVES");
  auto* ext = dynamic_cast<CFastExtRecovery*>(byDisk.get());
  ASSERT_NE(ext, nullptr);
  EXPECT_EQ(ext->SectorCount(), 16384u);

  // An NTFS boot sector in front of the superblock: two file systems claim
  // the volume, so a fast scan reads neither and a deep scan sweeps it all.
  std::vector<uint8_t> bytes = testing::ReadFileBytes(img);
  const std::vector<uint8_t> boot = testing::NtfsBootSector(512, 8, bytes.size() / 512 - 1, 4);
  std::copy(boot.begin(), boot.end(), bytes.begin());
  const std::string both = dir.File("both.img");
  testing::WriteFileBytes(both, bytes);
  TargetProbe probe;
  ASSERT_EQ(ProbeTarget(ImageTarget(both, 1001), probe), kOk);
  EXPECT_EQ(probe.kind, FileSystemKind::kAmbiguous);
  EXPECT_EQ(FileSystemText(probe), "ambiguous (NTFS, ext)");
  EXPECT_EQ(CreateEngineForImage(both, 1001, false), nullptr);
  testing::ScopedDataHome home;
  auto deep = CreateEngineForImage(both, 1001, true);
  auto* combined = dynamic_cast<CDeepRecovery*>(deep.get());
  ASSERT_NE(combined, nullptr);
  EXPECT_EQ(combined->FastEngine(), nullptr);
}

// Every engine answers the slots it shares in one way, before it has a log:
// a search callback is kept for the log to come, and a null folder below
// the root is refused.
TEST(EngineFactory, SharedSlotsAnswerAlikeBeforeAScan) {
  std::vector<std::unique_ptr<IFileRecoveryParse>> engines;
  for (const FileSystemRow& row : FileSystemRows()) engines.push_back(row.newFastEngine());
  engines.push_back(std::make_unique<CDeepFatRecovery>());
  engines.push_back(std::make_unique<CDeepNtfsRecovery>());
  engines.push_back(std::make_unique<CFileTypeRecovery>());
  for (size_t i = 0; i < engines.size(); ++i) {
    IFileRecoveryParse& engine = *engines[i];
    EXPECT_EQ(engine.SetSearchCallback(nullptr, nullptr), kOk) << i;
    std::vector<FoundRecord> list{MakeFoundRecord()};
    EXPECT_EQ(engine.ListChildren(nullptr, 0, list), kOk) << i;
    EXPECT_TRUE(list.empty()) << i;
    EXPECT_EQ(engine.ListChildren(nullptr, 1, list), kErrInvalidParameter) << i;
    uint32_t count = 7;
    EXPECT_EQ(engine.CountFiles(nullptr, 1, count), kErrInvalidParameter) << i;
    EXPECT_EQ(engine.CountFiles(nullptr, 0, count), kOk) << i;
    EXPECT_EQ(count, 0u) << i;
    EXPECT_EQ(engine.GetFoundCount(), 0u) << i;
    std::string path = "x";
    EXPECT_EQ(engine.GetFolderPath(MakeFoundRecord(), path, 260), kErrInvalidParameter) << i;
    EXPECT_TRUE(path.empty()) << i;
    EXPECT_EQ(engine.OpenImage("", 1001), kErrPathNotFound) << i << ": an empty path names no image";
  }
}

TEST(EngineFactory, TargetsSmallerThan16KiBGiveNoEngine) {
  TempDir dir;
  testing::WriteRandomFile(dir.File("small.img"), 16383);
  for (bool deep : {false, true}) EXPECT_EQ(CreateEngineForImage(dir.File("small.img"), 1001, deep), nullptr);
  TargetProbe probe;
  PartitionLocator target;
  target.imagePath = dir.File("small.img");
  EXPECT_EQ(ProbeTarget(target, probe), kErrReadFault);
  target.imagePath = dir.File("missing.img");
  EXPECT_EQ(ProbeTarget(target, probe), kErrFileNotFound);
  EXPECT_EQ(CreateEngineForImage(target.imagePath, 1001, false), nullptr);
  EXPECT_EQ(CreateEngineForPartition(1 << 20, 0, 100, 1, false), nullptr);
}

TEST(EngineFactory, PartitionHeadIsReadAtItsStartSector) {
  VELMIRA_REQUIRE_TOOL("mke2fs");
  TempDir dir;
  // A "disk" of 1 MiB of random bytes followed by an ext volume at sector 2048.
  const std::string vol = dir.File("vol.img");
  ASSERT_TRUE(testing::MakeExtImage(vol, 8));
  testing::WriteRandomFile(dir.File("disk.img"), 1 << 20);
  ASSERT_TRUE(testing::RunQuiet("cat " + testing::ShellQuote(vol) + " >> " +
                                testing::ShellQuote(dir.File("disk.img"))));
  ::setenv("VELMIRA_DRIVES", dir.File("disk.img").c_str(), 1);
  PartitionLocator target;
  target.diskNumber = 0;
  TargetProbe probe;
  ASSERT_EQ(ProbeTarget(target, probe), kOk);
  EXPECT_EQ(probe.kind, FileSystemKind::kOther);
  target.startSector = 2048;
  ASSERT_EQ(ProbeTarget(target, probe), kOk);
  EXPECT_EQ(probe.kind, FileSystemKind::kExt);
  ::unsetenv("VELMIRA_DRIVES");
}

// Without the deep flag an unknown file system has no engine; with it
// every source gets the combined deep scan, which sweeps what no file system
// describes.
TEST(EngineFactory, DeepScansGetTheCombinedEngineForEveryFileSystem) {
  TempDir dir;
  testing::WriteRandomFile(dir.File("random.img"), 1 << 20);
  EXPECT_EQ(CreateEngineForImage(dir.File("random.img"), 1001, false), nullptr);
  EXPECT_EQ(NewEngineFor(FileSystemKind::kOther, false), nullptr);
  EXPECT_NE(dynamic_cast<CFastFatRecovery*>(NewEngineFor(FileSystemKind::kFat, false).get()), nullptr);
  EXPECT_NE(dynamic_cast<CFastNtfsRecovery*>(NewEngineFor(FileSystemKind::kNtfs, false).get()), nullptr);
  for (FileSystemKind kind :
       {FileSystemKind::kOther, FileSystemKind::kFat, FileSystemKind::kNtfs, FileSystemKind::kExt})
    EXPECT_NE(dynamic_cast<CDeepRecovery*>(NewEngineFor(kind, true).get()), nullptr);
  // A file system whose deep records carry a tag takes part in the sweep,
  // under a log prefix and a sweep rank of its own, so that its records are
  // routed and a continued scan finds its log again.
  for (const FileSystemRow& row : FileSystemRows())
    EXPECT_EQ(row.deepTag != kNoEngineTag, row.newSweepParticipant != nullptr) << row.name;
  std::set<std::string> prefixes;
  std::set<int> ranks;
  for (const SweepMember& member : NewSweepMembers()) {
    EXPECT_TRUE(prefixes.insert(member.participant->LogPrefix()).second) << member.row->name;
    EXPECT_TRUE(ranks.insert(member.row->sweepRank).second) << member.row->name;
  }
  EXPECT_EQ(prefixes.size(), 3u);
  testing::ScopedDataHome home;
  auto engine = CreateEngineForImage(dir.File("random.img"), 1001, true);
  auto* combined = dynamic_cast<CDeepRecovery*>(engine.get());
  ASSERT_NE(combined, nullptr);
  EXPECT_EQ(combined->FastEngine(), nullptr);
}

}  // namespace
}  // namespace velmira
