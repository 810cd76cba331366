#include "engines/combined/deep_recovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engines/engine_factory.h"
#include "engines/ntfs/deep_ntfs_recovery.h"
#include "platform/errors.h"
#include "results/scan_log_registry.h"
#include "tests/fixtures/carving_samples.h"
#include "tests/fixtures/data_home.h"
#include "tests/fixtures/fat_card.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/memory_source.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using testing::CardContent;
using testing::FatCard;

constexpr const char* kPatterns = "*.jpg|*.thm|*.png|*.bin|";

std::unique_ptr<IFileRecoveryParse> OpenCombined(const std::string& image, CDeepRecovery*& combined) {
  auto engine = CreateEngineForImage(image, 1001, true);
  combined = dynamic_cast<CDeepRecovery*>(engine.get());
  return engine;
}

// Every progress call of a scan: the shown percent (percent x scale / 100),
// the raw values, and an optional stop.
struct ProgressLog {
  struct Call {
    int32_t percent, scale, shown;
    uint64_t position, total;
  };
  std::vector<Call> calls;
  // Answer kCancelled once the sweep has reached this share of its total.
  double stopAtShare = 2.0;
  bool stopInFastPass = false;

  static int32_t Callback(void* user, int32_t percent, int32_t scale, int32_t, uint64_t position,
                          uint64_t total, uint64_t, int32_t) {
    auto* log = static_cast<ProgressLog*>(user);
    log->calls.push_back({percent, scale, percent * scale / 100, position, total});
    if (scale == 9 && log->stopInFastPass) return kCancelled;
    if (scale == 90 && total > 0 &&
        static_cast<double>(position) >= log->stopAtShare * static_cast<double>(total))
      return kCancelled;
    return 0;
  }
};

// (name, size, tag) of every file the scan collects.
std::multiset<std::tuple<std::string, uint64_t, uint32_t>> Files(IFileRecoveryParse& engine) {
  std::vector<FoundRecord> found;
  EXPECT_EQ(engine.CollectMatches(kPatterns, found), kOk);
  std::multiset<std::tuple<std::string, uint64_t, uint32_t>> out;
  for (const FoundRecord& r : found) out.emplace(RecordName(r), uint64_t{r.size}, uint32_t{r.engineTag});
  return out;
}

uint64_t FatFirstSector(const FoundRecord& r) {
  return uint64_t{r.partitionStart} + r.dataStart + uint64_t{r.key - 2} * (r.clusterBytes / 512);
}

std::string Extension(const FoundRecord& r) {
  const std::string name = RecordName(r);
  return name.substr(name.rfind('.') + 1);
}

class CombinedScan : public ::testing::Test {
 protected:
  testing::ScopedDataHome m_home;
};

// A card with deleted photos, a deleted camera thumbnail (a JPEG inside)
// and a deleted .thm that holds a PNG. The sweep reads only the free space;
// the carver finds each deleted file again by its content, and collecting
// leaves out the carved copies of files found with their names.
TEST_F(CombinedScan, CarvedCopiesOfNamedFilesAreLeftOutAndTheRootListsEveryEngine) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  FatCard card(32, 40);
  ASSERT_TRUE(card.ok());
  testing::Bytes png = testing::SampleOfType(kTypePng);
  ASSERT_FALSE(png.empty());
  ASSERT_TRUE(card.Put("keep.jpg", CardContent(20000, 1, true)));
  ASSERT_TRUE(card.Put("gone.jpg", testing::JpegPicture(3000, 4)));
  ASSERT_TRUE(card.Delete("gone.jpg"));
  ASSERT_TRUE(card.Mkdir("DCIM"));
  ASSERT_TRUE(card.Put("DCIM/a.jpg", testing::JpegPicture(30000, 2)));
  ASSERT_TRUE(card.Put("DCIM/photo.thm", testing::JpegPicture(8000, 3)));
  ASSERT_TRUE(card.Put("DCIM/shot.thm", png));
  for (const char* gone : {"DCIM/a.jpg", "DCIM/photo.thm", "DCIM/shot.thm"}) ASSERT_TRUE(card.Delete(gone));

  CDeepRecovery* combined = nullptr;
  auto engine = OpenCombined(card.image(), combined);
  ASSERT_NE(combined, nullptr);
  ASSERT_NE(combined->FastEngine(), nullptr);
  ASSERT_EQ(engine->Scan(""), kOk);
  EXPECT_TRUE(combined->Stats().freeSpaceOnly);
  EXPECT_LT(combined->Stats().totalSectors, combined->PartitionSectors());

  // What the carver found by itself, and at which sectors the named files start.
  std::vector<FoundRecord> carved;
  ASSERT_EQ(combined->Carver().CollectMatches(kPatterns, carved), kOk);
  std::vector<FoundRecord> all;
  ASSERT_EQ(engine->CollectMatches(kPatterns, all), kOk);
  std::map<std::string, uint64_t> startOf;  // extension -> first sector of the deleted named file
  for (const FoundRecord& r : all)
    if (r.engineTag == kTagFastFat) startOf[RecordName(r).substr(1)] = FatFirstSector(r);
  ASSERT_EQ(startOf.size(), 3u) << "the fast pass lists the three deleted files"
                                << ::testing::PrintToString(startOf);
  auto carvedAt = [](const std::vector<FoundRecord>& list, uint64_t sector, const std::string& ext) {
    return std::count_if(list.begin(), list.end(), [&](const FoundRecord& r) {
      return r.engineTag == kTagCarving && r.entrySector == sector && Extension(r) == ext;
    });
  };
  const uint64_t jpgStart = startOf.at(".jpg");
  const uint64_t thmStart = startOf.at("hoto.thm");
  const uint64_t pngStart = startOf.at("hot.thm");
  EXPECT_EQ(carvedAt(carved, jpgStart, "jpg"), 1);
  EXPECT_EQ(carvedAt(carved, thmStart, "jpg"), 1);
  EXPECT_EQ(carvedAt(carved, pngStart, "png"), 1);
  EXPECT_EQ(carvedAt(all, jpgStart, "jpg"), 0) << "same extension, same start";
  EXPECT_EQ(carvedAt(all, thmStart, "jpg"), 0) << "a jpg at the start of a thm";
  EXPECT_EQ(carvedAt(all, pngStart, "png"), 1) << "a png is no copy of a thm";
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end(), [](const FoundRecord& a, const FoundRecord& b) {
    return strcasecmp(a.name, b.name) < 0;
  }));

  // The root: the fast engine's and the carver's records together, files
  // first, names ignoring case.
  std::vector<FoundRecord> root;
  ASSERT_EQ(engine->ListChildren(nullptr, 0, root), kOk);
  std::set<uint32_t> tags;
  for (const FoundRecord& r : root) tags.insert(uint32_t{r.engineTag});
  EXPECT_TRUE(tags.count(kTagFastFat) && tags.count(kTagCarving)) << ::testing::PrintToString(tags);
  const auto firstFolder =
      std::find_if(root.begin(), root.end(), [](const FoundRecord& r) { return r.isFolder; });
  EXPECT_TRUE(std::none_of(firstFolder, root.end(), [](const FoundRecord& r) { return !r.isFolder; }));
  EXPECT_TRUE(std::is_sorted(root.begin(), firstFolder, [](const FoundRecord& a, const FoundRecord& b) {
    return strcasecmp(a.name, b.name) < 0;
  }));
  uint32_t count = 0;
  ASSERT_EQ(engine->CountFiles(nullptr, 0, count), kOk);
  EXPECT_GE(count, 3u);
  EXPECT_EQ(engine->ListChildren(nullptr, 1, root), kErrInvalidParameter);

  // Recovery and preview go to the engine that wrote the record.
  testing::TempDir out;
  const auto carvedPng = std::find_if(all.begin(), all.end(), [&](const FoundRecord& r) {
    return r.engineTag == kTagCarving && r.entrySector == pngStart;
  });
  ASSERT_NE(carvedPng, all.end());
  ASSERT_EQ(engine->RecoverItem(*carvedPng, out.File("shot.png"), 0), kOk);
  const auto bytes = testing::ReadFileBytes(out.File("shot.png"));
  ASSERT_FALSE(bytes.empty());
  ASSERT_LE(bytes.size(), png.size());
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), png.begin()));
  FoundRecord stranger = *carvedPng;
  stranger.engineTag = 9;
  EXPECT_EQ(engine->RecoverItem(stranger, out.File("x"), 0), kErrInvalidParameter)
      << "a record no engine wrote is never reported as recovered";
}

// Which carved files repeat a named file that starts at the same sector.
TEST(CombinedScanDuplicates, CarvedFileRepeatsANamedOneOfItsType) {
  EXPECT_TRUE(CDeepRecovery::CarvedRepeats("jpg", "jpg"));
  EXPECT_TRUE(CDeepRecovery::CarvedRepeats("JPEG", "jpg")) << "the carver spells jpeg jpg";
  EXPECT_TRUE(CDeepRecovery::CarvedRepeats("thm", "jpg")) << "a camera thumbnail is a JPEG";
  EXPECT_TRUE(CDeepRecovery::CarvedRepeats("tiff", "tif"));
  EXPECT_FALSE(CDeepRecovery::CarvedRepeats("thm", "png"));
  EXPECT_FALSE(CDeepRecovery::CarvedRepeats("jpg", "thm"));
  EXPECT_FALSE(CDeepRecovery::CarvedRepeats("", "jpg"));
}

// A stop during the fast pass of a new scan takes the log folder number
// back and records nothing; nothing was swept.
TEST_F(CombinedScan, StopInTheFastPassRecordsNothing) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  FatCard card(32, 34);
  ASSERT_TRUE(card.ok());
  ASSERT_TRUE(card.Put("a.jpg", CardContent(5000, 1, true)));
  CScanLogRegistry& registry = CScanLogRegistry::Instance();
  const uint64_t counter = registry.Counter();
  CDeepRecovery* combined = nullptr;
  auto engine = OpenCombined(card.image(), combined);
  ASSERT_NE(combined, nullptr);
  ProgressLog log;
  log.stopInFastPass = true;
  engine->SetProgressCallbacks(&ProgressLog::Callback, nullptr, &log, 100);
  EXPECT_EQ(engine->Scan(""), kCancelled);
  EXPECT_EQ(registry.Counter(), counter);
  EXPECT_TRUE(registry.Entries().empty());
  EXPECT_EQ(combined->Stats().sectorsSwept, 0u);
  EXPECT_TRUE(std::all_of(log.calls.begin(), log.calls.end(), [](const auto& c) { return c.scale == 9; }));
}

// A scan stopped halfway records where it stood; the next scan of the same
// source goes on from there, and the two runs together find what one
// uninterrupted scan finds. Progress runs from 9 % to 99 % in the sweep
// and ends at 100 %.
TEST_F(CombinedScan, StoppedScanGoesOnWhereItStoppedAndFindsTheSameFiles) {
  VELMIRA_REQUIRE_TOOL("mcopy");
  FatCard card(32, 48);
  ASSERT_TRUE(card.ok());
  for (int i = 0; i < 24; ++i) {
    const std::string name = "IMG_" + std::to_string(100 + i) + ".jpg";
    ASSERT_TRUE(card.Put(name, testing::JpegPicture(40000 + 3000 * i, 50 + i)));
  }
  for (int i = 0; i < 24; i += 2) ASSERT_TRUE(card.Delete("IMG_" + std::to_string(100 + i) + ".jpg"));
  ASSERT_TRUE(card.Reformat(32));
  ASSERT_TRUE(card.Put("new.jpg", testing::JpegPicture(5000, 7)));
  ASSERT_TRUE(card.Delete("new.jpg"));
  const std::string copy = card.dir().File("whole.img");
  std::filesystem::copy_file(card.image(), copy);

  // One uninterrupted scan of a copy.
  std::multiset<std::tuple<std::string, uint64_t, uint32_t>> whole;
  ProgressLog progress;
  {
    CDeepRecovery* combined = nullptr;
    auto engine = OpenCombined(copy, combined);
    ASSERT_NE(combined, nullptr);
    engine->SetProgressCallbacks(&ProgressLog::Callback, nullptr, &progress, 100);
    ASSERT_EQ(engine->Scan(""), kOk);
    whole = Files(*engine);
  }
  ASSERT_GE(whole.size(), 24u) << "the old photos carved, the new one by its name";
  ASSERT_FALSE(progress.calls.empty());
  int32_t previous = 0;
  bool sweepSeen = false;
  for (size_t i = 0; i + 1 < progress.calls.size(); ++i) {
    const auto& c = progress.calls[i];
    if (c.scale == 9) {
      EXPECT_FALSE(sweepSeen) << "the fast pass comes first";
      EXPECT_LE(c.shown, 9);
      continue;
    }
    sweepSeen = true;
    EXPECT_EQ(c.scale, 90);
    EXPECT_GE(c.shown, 9);
    EXPECT_LE(c.shown, 99);
    EXPECT_GE(c.shown, previous) << "call " << i << " at " << c.position;
    previous = c.shown;
  }
  EXPECT_TRUE(sweepSeen);
  EXPECT_EQ(previous, 99);
  EXPECT_EQ(progress.calls.back().percent, 100);
  EXPECT_EQ(progress.calls.back().scale, 100);

  // The same card, stopped halfway.
  CScanLogRegistry& registry = CScanLogRegistry::Instance();
  DeepScanSweep stoppedAt;
  {
    CDeepRecovery* combined = nullptr;
    auto engine = OpenCombined(card.image(), combined);
    ASSERT_NE(combined, nullptr);
    EXPECT_FALSE(combined->Continuing());
    ProgressLog stop;
    stop.stopAtShare = 0.5;
    engine->SetProgressCallbacks(&ProgressLog::Callback, nullptr, &stop, 100);
    ASSERT_EQ(engine->Scan(""), kCancelled);
    stoppedAt = combined->Stats().position;
    EXPECT_GT(stoppedAt.sectorsSwept, 0u);
    EXPECT_LT(stoppedAt.sectorsSwept, combined->Stats().totalSectors);
  }
  ASSERT_EQ(registry.Entries().size(), 2u) << "the whole scan and the stopped one";
  {
    CDeepRecovery* combined = nullptr;
    auto engine = OpenCombined(card.image(), combined);
    ASSERT_NE(combined, nullptr);
    ASSERT_TRUE(combined->Continuing());
    EXPECT_FALSE(combined->ContinuedLogFolder().empty());
    ProgressLog resumed;
    engine->SetProgressCallbacks(&ProgressLog::Callback, nullptr, &resumed, 100);
    ASSERT_EQ(engine->Scan(""), kOk);
    EXPECT_TRUE(combined->Stats().resumed);
    const auto firstSweep =
        std::find_if(resumed.calls.begin(), resumed.calls.end(), [](const auto& c) { return c.scale == 90; });
    ASSERT_NE(firstSweep, resumed.calls.end());
    EXPECT_GT(firstSweep->position, stoppedAt.sectorsSwept) << "no sector is swept twice";
    EXPECT_LE(firstSweep->position, stoppedAt.sectorsSwept + 128);
    EXPECT_EQ(Files(*engine), whole);
  }
}

// An ext volume has no free-space map the sweep can use: the whole source
// is swept, so its lost files are still carved. A piece that cannot be read
// is passed over and the sweep goes on.
TEST_F(CombinedScan, ExtSourceIsSweptWholeAndUnreadablePiecesArePassedOver) {
  VELMIRA_REQUIRE_TOOL("mke2fs");
  testing::TempDir dir;
  const std::string image = dir.File("ext.img");
  ASSERT_TRUE(testing::MakeExtImage(image, 8));
  std::vector<uint8_t> bytes = testing::ReadFileBytes(image);
  const testing::Bytes png = testing::SampleOfType(kTypePng);
  const size_t pngAt = bytes.size() - 64 * 1024;  // the last piece; ext leaves the end of a small volume free
  std::copy(png.begin(), png.end(), bytes.begin() + static_cast<std::ptrdiff_t>(pngAt));
  testing::WriteFileBytes(image, bytes);

  CDeepRecovery* combined = nullptr;
  auto engine = OpenCombined(image, combined);
  ASSERT_NE(combined, nullptr);
  auto reader = std::make_shared<testing::MemoryReader>(bytes);
  reader->FailRange(1 << 20, (1 << 20) + 4096, kErrReadFault);
  combined->SetSweepReader(reader);
  ASSERT_EQ(engine->Scan(""), kOk);
  EXPECT_FALSE(combined->Stats().freeSpaceOnly);
  EXPECT_EQ(combined->Stats().totalSectors, bytes.size() / 512);
  EXPECT_EQ(combined->Stats().sectorsSwept, bytes.size() / 512);
  EXPECT_GE(combined->Stats().unreadPieces, 1u);
  std::vector<FoundRecord> found;
  ASSERT_EQ(engine->CollectMatches("*.png|", found), kOk);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(uint64_t{found[0].entrySector}, pngAt / 512);
}

// An NTFS volume whose $MFT lies beyond the end of the medium has no volume
// bitmap to tell its free space; the deep scan then sweeps the whole source
// instead of none of it.
TEST_F(CombinedScan, VolumeWithoutAMapIsSweptWhole) {
  VELMIRA_REQUIRE_TOOL("mkntfs");
  testing::TempDir dir;
  const std::string image = dir.File("ntfs.img");
  ASSERT_TRUE(testing::MakeNtfsImage(image, 8));
  std::vector<uint8_t> bytes = testing::ReadFileBytes(image);
  for (int i = 0; i < 8; ++i) bytes[0x30 + i] = i == 3 ? 0x10 : 0;  // $MFT cluster far past the end
  testing::WriteFileBytes(image, bytes);

  CDeepRecovery* combined = nullptr;
  auto engine = OpenCombined(image, combined);
  ASSERT_NE(combined, nullptr);
  ASSERT_NE(combined->FastEngine(), nullptr);
  ASSERT_EQ(engine->Scan(""), kOk);
  EXPECT_FALSE(combined->Stats().freeSpaceOnly) << "no volume bitmap, no free-space map";
  EXPECT_EQ(combined->Stats().sectorsSwept, combined->PartitionSectors());
  EXPECT_GT(combined->SweepEngine<CDeepNtfsRecovery>()->GetFoundCount(), 0u)
      << "the records of the volume are found by the sweep";
}

}  // namespace
}  // namespace velmira
