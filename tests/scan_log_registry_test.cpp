#include "results/scan_log_registry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/text.h"
#include "results/scan_log.h"
#include "storage/volume_keys.h"
#include "tests/fixtures/data_home.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileBytes;
using testing::ScopedDataHome;
using testing::WriteFileBytes;

DeepScanSweep Sweep(uint64_t base) {
  return {base, base + 1, base + 2, base + 3, base + 4};
}

std::vector<uint8_t> ConfigBytes(uint64_t counter, const std::vector<DeepScanEntry>& entries) {
  std::vector<uint8_t> bytes(8 + entries.size() * sizeof(DeepScanEntry));
  std::memcpy(bytes.data(), &counter, 8);
  if (!entries.empty()) std::memcpy(bytes.data() + 8, entries.data(), entries.size() * sizeof(DeepScanEntry));
  return bytes;
}

DeepScanEntry PartitionEntry(uint32_t disk, uint64_t start, uint64_t count, const std::string& folder) {
  DeepScanEntry e = MakeDeepScanEntry();
  e.diskNumber = disk;
  e.startSector = start;
  e.sectorCount = count;
  WriteUtf16LeField(e.logFolder, kDeepScanPathUnits, Utf8ToUtf16(folder));
  return e;
}

class ScanLogRegistryTest : public ::testing::Test {
 protected:
  void TearDown() override { ClearVolumeKeys(); }
  std::string Folder(int n) const { return m_home.ScanLogFolder() + "/" + std::to_string(n) + "/"; }
  ScopedDataHome m_home;
};

TEST_F(ScanLogRegistryTest, NewFoldersCountUpAndClearLeftovers) {
  CScanLogRegistry registry(m_home.ScanLogFolder());
  EXPECT_EQ(registry.Counter(), 0u);
  EXPECT_EQ(registry.CurrentLogFolder(), Folder(0));
  fs::create_directories(Folder(1) + "old");
  WriteFileBytes(Folder(1) + "old/Fast_0_1", {1, 2, 3});
  EXPECT_EQ(registry.NewLogFolder(), kOk);
  EXPECT_EQ(registry.CurrentLogFolder(), Folder(1));
  EXPECT_FALSE(fs::exists(Folder(1)));
  registry.TakeBackLogFolder();
  EXPECT_EQ(registry.CurrentLogFolder(), Folder(0));
  registry.TakeBackLogFolder();
  EXPECT_EQ(registry.Counter(), 0u);
}

TEST_F(ScanLogRegistryTest, RecordedScanIsStoredByteForByteAndFoundAgain) {
  {
    CScanLogRegistry registry(m_home.ScanLogFolder());
    ASSERT_EQ(registry.NewLogFolder(), kOk);
    ASSERT_EQ(registry.NewLogFolder(), kOk);
    fs::create_directories(Folder(2));
    ASSERT_EQ(registry.RecordDeepScan(3, 1, 2048, 1000000, Sweep(10), Folder(2), ""), kOk);
    // A second record of the same partition updates the entry.
    ASSERT_EQ(registry.RecordDeepScan(3, 1, 2048, 1000000, Sweep(20), Folder(2), ""), kOk);
    EXPECT_EQ(registry.Entries().size(), 1u);
  }
  const std::vector<uint8_t> config = ReadFileBytes(m_home.ScanLogFolder() + "/config");
  ASSERT_EQ(config.size(), 8u + 1120u);
  EXPECT_EQ(config[0], 2);         // counter
  EXPECT_EQ(config[8 + 0], 1);     // diskNumber
  EXPECT_EQ(config[8 + 8], 0x00);  // startSector 2048 = 0x800
  EXPECT_EQ(config[8 + 9], 0x08);
  EXPECT_EQ(config[8 + 24], 20);  // extentStart
  EXPECT_EQ(config[8 + 56], 24);  // filesFound
  const std::string folder = Folder(2);
  for (size_t i = 0; i < folder.size(); ++i) {
    EXPECT_EQ(config[8 + 600 + 2 * i], static_cast<uint8_t>(folder[i]));
    EXPECT_EQ(config[8 + 600 + 2 * i + 1], 0);
  }
  EXPECT_FALSE(fs::exists(m_home.ScanLogFolder() + "/config.tmp"));

  CScanLogRegistry registry(m_home.ScanLogFolder());
  EXPECT_EQ(registry.Counter(), 2u);
  DeepScanEntry entry = MakeDeepScanEntry();
  EXPECT_FALSE(registry.FindEntryForPartition(1, 2048, 999999, 3, entry));
  EXPECT_FALSE(registry.Continuing());
  ASSERT_TRUE(registry.FindEntryForPartition(1, 2048, 1000000, 3, entry));
  EXPECT_TRUE(registry.Continuing());
  EXPECT_EQ(uint64_t{entry.sectorsSwept}, 23u);
  EXPECT_EQ(EntryLogFolder(entry), Folder(2));
  EXPECT_EQ(registry.CurrentLogFolder(), Folder(2));

  // A log opened now lands in the continued folder.
  CScanLog log(&registry);
  ASSERT_EQ(log.OpenLog("Pro_Fat_2048_1"), kOk);
  EXPECT_EQ(log.MainPath(), Folder(2) + "Pro_Fat_2048_1");

  ASSERT_EQ(registry.NewLogFolder(), kOk);
  EXPECT_FALSE(registry.Continuing());
  EXPECT_EQ(registry.CurrentLogFolder(), Folder(3));
}

// The volume no longer looks as it did: its entry is not continued, and
// neither it nor its folder is removed (it may be another medium's).
TEST_F(ScanLogRegistryTest, AChangedVolumeIsNotContinuedAndKeepsItsLogs) {
  CScanLogRegistry registry(m_home.ScanLogFolder());
  ASSERT_EQ(registry.NewLogFolder(), kOk);
  fs::create_directories(Folder(1));
  WriteFileBytes(Folder(1) + "Fast_0_1", {1});
  // Source key 7 is not mounted when the scan is recorded: volume size 0.
  ASSERT_EQ(registry.RecordDeepScan(7, 0, 63, 5000, Sweep(1), Folder(1), ""), kOk);
  // Now it is (here: the temporary folder's file system) and its size differs.
  BindVolumeKey(7, {"/dev/null", m_home.path()});
  ASSERT_NE(VolumeTotalBytes(7), 0u);
  DeepScanEntry entry = MakeDeepScanEntry();
  EXPECT_FALSE(registry.FindEntryForPartition(0, 63, 5000, 7, entry));
  EXPECT_FALSE(registry.Continuing());
  EXPECT_EQ(registry.Entries().size(), 1u);
  EXPECT_TRUE(fs::exists(Folder(1) + "Fast_0_1"));
  // A new scan of that key records a second entry beside the first.
  ASSERT_EQ(registry.NewLogFolder(), kOk);
  fs::create_directories(Folder(2));
  ASSERT_EQ(registry.RecordDeepScan(7, 0, 63, 5000, Sweep(2), Folder(2), ""), kOk);
  EXPECT_EQ(registry.Entries().size(), 2u);
  EXPECT_EQ(ReadFileBytes(m_home.ScanLogFolder() + "/config").size(), 8u + 2 * 1120u);
}

TEST_F(ScanLogRegistryTest, ImagesAreKnownByPathAndLastWriteTime) {
  testing::TempDir images;
  const std::string image = images.File("card.img");
  WriteFileBytes(image, std::vector<uint8_t>(4096, 0));
  CScanLogRegistry registry(m_home.ScanLogFolder());
  ASSERT_EQ(registry.NewLogFolder(), kOk);
  fs::create_directories(Folder(1));
  ASSERT_EQ(registry.RecordDeepScan(1001, kImageDiskNumber, 0, 8, Sweep(5), Folder(1), image), kOk);
  ASSERT_EQ(registry.Entries().size(), 1u);
  EXPECT_EQ(EntryImagePath(registry.Entries()[0]), image);
  EXPECT_NE(uint64_t{registry.Entries()[0].imageWriteTime}, 0u);

  DeepScanEntry entry = MakeDeepScanEntry();
  EXPECT_FALSE(registry.FindEntryForImage(images.File("other.img"), entry));
  ASSERT_TRUE(registry.FindEntryForImage(image, entry));
  EXPECT_EQ(uint64_t{entry.extentDone}, 7u);
  // A partition lookup never picks an image's entry.
  EXPECT_FALSE(registry.FindEntryForPartition(kImageDiskNumber, 0, 8, 0, entry));

  // The image was written since: its old results are not continued, but
  // left alone.
  fs::last_write_time(image, fs::last_write_time(image) + std::chrono::seconds(5));
  EXPECT_FALSE(registry.FindEntryForImage(image, entry));
  EXPECT_EQ(registry.Entries().size(), 1u);
  EXPECT_TRUE(fs::exists(Folder(1)));
}

TEST_F(ScanLogRegistryTest, ALeftoverTemporaryFileIsTakenWhenConfigIsMissing) {
  fs::create_directories(m_home.ScanLogFolder());
  fs::create_directories(Folder(4));
  std::vector<DeepScanEntry> entries{PartitionEntry(0, 2048, 100, Folder(4)),
                                     PartitionEntry(1, 2048, 100, Folder(5))};
  std::vector<uint8_t> bytes = ConfigBytes(9, entries);
  bytes.resize(bytes.size() - 500);  // the second entry was cut short
  WriteFileBytes(m_home.ScanLogFolder() + "/config.tmp", bytes);

  CScanLogRegistry registry(m_home.ScanLogFolder());
  EXPECT_TRUE(fs::exists(m_home.ScanLogFolder() + "/config"));
  EXPECT_FALSE(fs::exists(m_home.ScanLogFolder() + "/config.tmp"));
  EXPECT_EQ(registry.Counter(), 9u);
  ASSERT_EQ(registry.Entries().size(), 1u);
  DeepScanEntry entry = MakeDeepScanEntry();
  EXPECT_TRUE(registry.FindEntryForPartition(0, 2048, 100, 0, entry));

  // "config" wins over a leftover "config.tmp".
  WriteFileBytes(m_home.ScanLogFolder() + "/config.tmp", ConfigBytes(77, {}));
  CScanLogRegistry again(m_home.ScanLogFolder());
  EXPECT_EQ(again.Counter(), 9u);

  // A short or missing file gives an empty registry.
  WriteFileBytes(m_home.ScanLogFolder() + "/config", {1, 2, 3});
  CScanLogRegistry shortFile(m_home.ScanLogFolder());
  EXPECT_EQ(shortFile.Counter(), 0u);
  EXPECT_TRUE(shortFile.Entries().empty());
}

TEST_F(ScanLogRegistryTest, FoldersNamedByADamagedRegistryAreNeverDeleted) {
  testing::TempDir outside;
  const std::string victim = outside.path() + "/";
  WriteFileBytes(outside.File("precious.jpg"), {0xFF, 0xD8});
  fs::create_directories(m_home.ScanLogFolder());
  const std::vector<DeepScanEntry> entries{
      PartitionEntry(0, 63, 100, victim),
      PartitionEntry(0, 64, 100, m_home.ScanLogFolder() + "/../"),
      PartitionEntry(0, 65, 100, m_home.ScanLogFolder() + "/"),
  };
  WriteFileBytes(m_home.ScanLogFolder() + "/config", ConfigBytes(1, entries));
  CScanLogRegistry registry(m_home.ScanLogFolder());
  ASSERT_EQ(registry.Entries().size(), 3u);

  BindVolumeKey(9, {"/dev/null", m_home.path()});  // every entry is stale for key 9
  DeepScanEntry entry = MakeDeepScanEntry();
  EXPECT_FALSE(registry.FindEntryForPartition(0, 63, 100, 9, entry));
  EXPECT_FALSE(registry.FindEntryForPartition(0, 64, 100, 9, entry));
  EXPECT_FALSE(registry.FindEntryForPartition(0, 65, 100, 9, entry));
  EXPECT_TRUE(registry.Entries().empty());
  EXPECT_TRUE(fs::exists(outside.File("precious.jpg")));
  EXPECT_TRUE(fs::exists(m_home.ScanLogFolder() + "/config"));
  EXPECT_EQ(registry.RemoveLogFolder(victim), kErrAccessDenied);
  EXPECT_TRUE(fs::exists(outside.File("precious.jpg")));

  // Nor is an outside folder continued in: logs would be written there.
  WriteFileBytes(m_home.ScanLogFolder() + "/config", ConfigBytes(1, {PartitionEntry(0, 63, 100, victim)}));
  CScanLogRegistry reloaded(m_home.ScanLogFolder());
  EXPECT_FALSE(reloaded.FindEntryForPartition(0, 63, 100, 0, entry));
  EXPECT_FALSE(reloaded.Continuing());
  EXPECT_TRUE(reloaded.Entries().empty());
}

TEST_F(ScanLogRegistryTest, PathsThatDoNotFitTheirFieldAreRefused) {
  CScanLogRegistry registry(m_home.ScanLogFolder());
  const std::string longImage = "/" + std::string(300, 'i') + ".img";
  EXPECT_EQ(registry.RecordDeepScan(1001, kImageDiskNumber, 0, 8, Sweep(0), Folder(0), longImage),
            kErrFilenameTooLong);
  EXPECT_EQ(registry.RecordDeepScan(1, 0, 0, 8, Sweep(0), "/" + std::string(300, 'f'), ""),
            kErrFilenameTooLong);
  EXPECT_TRUE(registry.Entries().empty());
  // A name of 259 UTF-16 units fits; one more does not.
  const std::string fits = "/" + std::string(257, 'x') + "/";
  EXPECT_EQ(registry.RecordDeepScan(1, 0, 0, 8, Sweep(0), fits, ""), kOk);
  EXPECT_EQ(EntryLogFolder(registry.Entries()[0]), fits);
}

TEST_F(ScanLogRegistryTest, TheProcessRegistryFollowsTheDataFolder) {
  CScanLogRegistry& first = CScanLogRegistry::Instance();
  EXPECT_EQ(first.ScanLogFolder(), m_home.ScanLogFolder());
  ASSERT_EQ(first.NewLogFolder(), kOk);
  ASSERT_EQ(first.RecordDeepScan(1, 0, 0, 8, Sweep(0), first.CurrentLogFolder(), ""), kOk);
  {
    ScopedDataHome other;
    CScanLogRegistry& second = CScanLogRegistry::Instance();
    EXPECT_EQ(&second, &first);
    EXPECT_EQ(second.ScanLogFolder(), other.ScanLogFolder());
    EXPECT_EQ(second.Counter(), 0u);
  }
  EXPECT_EQ(CScanLogRegistry::Instance().Counter(), 1u);
  EXPECT_EQ(CScanLogRegistry::Instance().Entries().size(), 1u);
}

}  // namespace
}  // namespace velmira
