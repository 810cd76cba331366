#include "jobs/scan_job.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "engines/combined/deep_recovery.h"
#include "jobs/search_job.h"
#include "platform/errors.h"
#include "tests/fixtures/fake_scan_engine.h"
#include "tests/fixtures/image_tools.h"
#include "tests/fixtures/photo_image.h"
#include "tests/fixtures/temp_dir.h"

namespace velmira {
namespace {

using testing::FakeFile;
using testing::FakeScanEngine;

const TextSection kMessages = {{"MSG0702", "Scanning partition %d"},
                               {"MSG0703", "Scanning image file"},
                               {"MSG0704", "Progress:"},
                               {"MSG0705", "Estimating..."},
                               {"MSG0706", "Sectors:"},
                               {"MSG0707", "Files found:"},
                               {"MSG0708", "Time left: "},
                               {"MSG1202", "Collecting %d"},
                               {"MSG1203", "Collecting %s"},
                               {"MSG1204", "Collected:"}};

// The interface codes of a job's scan results.
std::vector<int32_t> Codes(const std::vector<Status>& results) {
  std::vector<int32_t> codes;
  for (const Status& r : results) codes.push_back(r.Code());
  return codes;
}

std::unique_ptr<ScanSource> Partition(uint16_t number) {
  auto s = std::make_unique<ScanSource>();
  PartitionRecord p;
  p.letterOrNumber = number;
  s->partition = p;
  return s;
}

std::unique_ptr<ScanSource> Image(const std::string& path, uint16_t key) {
  auto s = std::make_unique<ScanSource>();
  s->imagePath = path;
  s->imageValue = key;
  return s;
}

TEST(ScanProgressView, PercentTimeAndSectorLabels) {
  // The overall percent is the engine's share of the whole.
  ScanProgressView v = MakeScanProgressView(kMessages, 50, 90, 75, 10, 100, 3);
  EXPECT_EQ(v.percent, 45);
  EXPECT_EQ(v.percentText, "Progress: 45%");
  EXPECT_TRUE(v.timeVisible);
  EXPECT_EQ(v.timeText, "Time left: 1 Min 15 Sec");
  EXPECT_TRUE(v.sectorsVisible);
  EXPECT_EQ(v.sectorsText, "Sectors: 10 / 100");
  EXPECT_EQ(v.totalFileText, "Files found: 3");
  // The time's words come from the language file where it has them.
  TextSection german = kMessages;
  german["UnitSec"] = "Sek.";
  german["UnitMin"] = "Min.";
  EXPECT_EQ(MakeScanProgressView(german, 50, 90, 75, 10, 100, 3).timeText, "Time left: 1 Min. 15 Sek.");

  // A small share never shows an estimate, whatever seconds it gives.
  for (int32_t seconds : {-1, 0, 5000}) {
    v = MakeScanProgressView(kMessages, 99, 9, seconds, 0, 0, 0);
    EXPECT_EQ(v.percent, 8);
    EXPECT_TRUE(v.timeVisible);
    EXPECT_EQ(v.timeText, "Estimating...");
    EXPECT_FALSE(v.sectorsVisible);
  }
  // A single engine without an estimate: empty time; with a known total the
  // sector labels show.
  v = MakeScanProgressView(kMessages, 10, 100, -1, 1, 2, 0);
  EXPECT_FALSE(v.timeVisible);
  EXPECT_EQ(v.timeText, "");
  EXPECT_TRUE(v.sectorsVisible);
  // Scale 90 without an estimate: still the waiting text.
  EXPECT_EQ(MakeScanProgressView(kMessages, 10, 90, -1, 0, 0, 0).timeText, "Estimating...");
  // A wild percent does not overflow.
  EXPECT_EQ(MakeScanProgressView(kMessages, INT32_MAX, 100, 0, 0, 0, 0).percent, INT32_MAX);
}

TEST(ScanStageText, PartitionsByNumberImagesByFileName) {
  EXPECT_EQ(ScanStageText(kMessages, *Partition(3)), "Scanning partition 3");
  EXPECT_EQ(ScanStageText(kMessages, *Image("/media/x/card one.img", 1001)),
            "Scanning image file card one.img");
  EXPECT_EQ(ScanStageText(kMessages, *Image("C:\\img\\a.img", 1001)), "Scanning image file a.img");
  EXPECT_EQ(SearchStageText(kMessages, *Image("/a/b.img", 1001)), "Collecting b.img");
  EXPECT_EQ(SearchStageText(kMessages, *Partition(2)), "Collecting 2");
}

// Records what a front end would show.
struct Recorder : ScanJob::Observer {
  std::vector<std::string> stages;
  std::vector<int32_t> percents;
  bool answer = true;
  int asked = 0;
  void OnStage(size_t, const std::string& text) override { stages.push_back(text); }
  void OnProgress(const ScanProgressView& v) override { percents.push_back(v.percent); }
  bool ContinueEarlierScan(const ScanSource&) override {
    ++asked;
    return answer;
  }
};

// A builder handing out prepared fake engines in order (null = no engine).
struct Builder {
  std::vector<FakeScanEngine*> built;
  std::vector<bool> fail;
  size_t next = 0;
  std::function<void(FakeScanEngine&, size_t)> prepare;
  EngineBuilder Make() {
    return [this](const ScanSource&, bool) -> std::unique_ptr<IFileRecoveryParse> {
      const size_t i = next++;
      if (i < fail.size() && fail[i]) return nullptr;
      auto engine = std::make_unique<FakeScanEngine>();
      if (prepare) prepare(*engine, i);
      built.push_back(engine.get());
      return engine;
    };
  }
};

TEST(ScanJob, ScansEverySourceInOrderWithItsOwnEngine) {
  auto a = Partition(1), b = Partition(2), c = Image("/x/c.img", 1001);
  JobControl control;
  Recorder seen;
  Builder builder;
  ScanJob job({a.get(), b.get(), c.get()}, true, control, kMessages, &seen);
  job.SetEngineBuilder(builder.Make());
  EXPECT_EQ(job.Run(), ScanJob::Outcome::kFinished);
  EXPECT_EQ(control.done.load(), 1);
  EXPECT_EQ(seen.stages, (std::vector<std::string>{"Scanning partition 1", "Scanning partition 2",
                                                   "Scanning image file c.img"}));
  EXPECT_EQ(seen.percents.size(), 12u);
  EXPECT_EQ(seen.percents.back(), 100);
  ASSERT_EQ(builder.built.size(), 3u);
  EXPECT_EQ(a->engine.get(), builder.built[0]);
  EXPECT_EQ(c->engine.get(), builder.built[2]);
  EXPECT_EQ(Codes(job.ScanResults()), (std::vector<int32_t>{0, 0, 0}));
  EXPECT_TRUE(job.FirstFailure().IsOk());
  EXPECT_EQ(ScanJob::CloseCode(ScanJob::Outcome::kFinished), 1);

  // A scan that fails is kept with its source; the next source is scanned.
  Builder failing;
  failing.prepare = [](FakeScanEngine& e, size_t i) {
    if (i == 1) e.scanResult = kErrReadFault;
  };
  ScanJob second({a.get(), b.get(), c.get()}, true, control);
  second.SetEngineBuilder(failing.Make());
  EXPECT_EQ(second.Run(), ScanJob::Outcome::kFinished);
  EXPECT_EQ(Codes(second.ScanResults()), (std::vector<int32_t>{0, kErrReadFault, 0}));
  size_t failed = 0;
  EXPECT_EQ(second.FirstFailure(&failed).Code(), kErrReadFault);
  EXPECT_EQ(failed, 1u);
  EXPECT_EQ(second.FailureText(second.FirstFailure()), ErrorText(kErrReadFault));
}

TEST(ScanJob, NoEngineStopsWithCodeThreeAndKeepsEarlierEngines) {
  auto a = Partition(1), b = Partition(2), c = Partition(3);
  JobControl control;
  Builder builder;
  builder.fail = {false, true, false};
  ScanJob job({a.get(), b.get(), c.get()}, true, control);
  job.SetEngineBuilder(builder.Make());
  const ScanJob::Outcome outcome = job.Run();
  EXPECT_EQ(outcome, ScanJob::Outcome::kNoEngine);
  EXPECT_EQ(ScanJob::CloseCode(outcome), 3);
  EXPECT_FALSE(ScanJob::Announces(outcome));
  EXPECT_EQ(job.FailedSource(), 1u);
  EXPECT_NE(a->engine, nullptr);
  EXPECT_EQ(b->engine, nullptr);
  EXPECT_EQ(c->engine, nullptr);  // never built
  EXPECT_EQ(builder.next, 2u);
  EXPECT_EQ(control.done.load(), 1);
}

TEST(ScanJob, EmptyListEndsAtOnce) {
  JobControl control;
  ScanJob job({}, true, control);
  EXPECT_EQ(job.Run(), ScanJob::Outcome::kEmpty);
  EXPECT_FALSE(ScanJob::Announces(ScanJob::Outcome::kEmpty));
  EXPECT_EQ(control.done.load(), 1);
}

// An engine reporting after every piece: the front end sees every percent,
// in order, but not the same state again and again.
TEST(ScanJob, ProgressShowsEveryPercentButNotEveryReport) {
  auto a = Partition(1);
  JobControl control;
  Recorder fine;
  Builder many;
  many.prepare = [](FakeScanEngine& engine, size_t) { engine.steps = 5000; };
  ScanJob busy({a.get()}, true, control, kMessages, &fine);
  busy.SetEngineBuilder(many.Make());
  EXPECT_EQ(busy.Run(), ScanJob::Outcome::kFinished);
  std::vector<int32_t> distinct = fine.percents;
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  EXPECT_EQ(distinct.size(), 101u);  // 0 to 100
  EXPECT_TRUE(std::is_sorted(fine.percents.begin(), fine.percents.end()));
  EXPECT_EQ(fine.percents.back(), 100);
  EXPECT_LT(fine.percents.size(), 5000u);
}

TEST(ScanJob, CancelDuringTheSecondSourceSkipsTheThird) {
  auto a = Partition(1), b = Partition(2), c = Partition(3);
  JobControl control;
  Builder builder;
  builder.prepare = [&](FakeScanEngine& e, size_t i) {
    if (i == 1)
      e.onStep = [&](int32_t step) {
        if (step == 2) control.Cancel();
      };
  };
  ScanJob job({a.get(), b.get(), c.get()}, true, control);
  job.SetEngineBuilder(builder.Make());
  const ScanJob::Outcome outcome = job.Run();
  EXPECT_EQ(outcome, ScanJob::Outcome::kCancelled);
  EXPECT_TRUE(ScanJob::Announces(outcome));
  EXPECT_EQ(ScanJob::CloseCode(outcome), 1);
  EXPECT_EQ(Codes(job.ScanResults()), (std::vector<int32_t>{0, kCancelled}));
  EXPECT_EQ(builder.built[1]->reportsDone, 3);  // stopped at the report after the cancel
  EXPECT_EQ(c->engine, nullptr);
}

// The front end pauses the token while it asks "really stop?": the worker
// waits at its next report, and goes on when the answer is No.
TEST(ScanJob, PausedTokenHoldsTheWorkerAndNoLetsItGoOn) {
  auto a = Partition(1);
  JobControl control;
  Builder builder;
  std::atomic<int32_t> step{-1};
  builder.prepare = [&](FakeScanEngine& e, size_t) {
    e.steps = 6;
    e.onStep = [&](int32_t s) { step.store(s); };
  };
  ScanJob job({a.get()}, true, control);
  job.SetEngineBuilder(builder.Make());
  control.Pause();  // the question opens
  std::thread worker([&] { (void)job.Run(); });
  while (step.load() < 0) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(step.load(), 0);  // blocked in its first report
  EXPECT_EQ(control.done.load(), 0);
  control.Resume();  // answered No
  worker.join();
  EXPECT_EQ(builder.built[0]->reportsDone, 6);
  EXPECT_EQ(Codes(job.ScanResults()), (std::vector<int32_t>{0}));
}

TEST(ScanJob, EarlierDeepScanIsContinuedOrDeclined) {
  for (const bool answer : {true, false}) {
    auto a = Partition(1);
    JobControl control;
    Recorder seen;
    seen.answer = answer;
    Builder builder;
    int declined = 0;
    ScanJob job({a.get()}, true, control, kMessages, &seen);
    job.SetEngineBuilder(builder.Make());
    job.SetContinuation({[](IFileRecoveryParse&) { return true; }, [&](IFileRecoveryParse&) { ++declined; }});
    EXPECT_EQ(job.Run(), ScanJob::Outcome::kFinished);
    EXPECT_EQ(seen.asked, 1);
    EXPECT_EQ(declined, answer ? 0 : 1);
  }
  // A fast scan never continues anything.
  auto a = Partition(1);
  JobControl control;
  Recorder seen;
  Builder builder;
  ScanJob job({a.get()}, false, control, kMessages, &seen);
  job.SetEngineBuilder(builder.Make());
  job.SetContinuation({[](IFileRecoveryParse&) { return true; }, nullptr});
  (void)job.Run();
  EXPECT_EQ(seen.asked, 0);
}

// The real factory with the fast engines on a FAT image with deleted files.
TEST(ScanJob, FastScanOfARealFatImage) {
  VELMIRA_REQUIRE_TOOL("mkfs.vfat");
  VELMIRA_REQUIRE_TOOL("mcopy");
  velmira::testing::TempDir dir;
  ::setenv("XDG_DATA_HOME", (dir.path() + "/data").c_str(), 1);
  const std::string image = dir.path() + "/card.img";
  ASSERT_TRUE(velmira::testing::MakeFatImageWithDeletedPhotos(image, dir.path(), {"a.jpeg", "b.JPG"}));
  auto source = Image(image, 1001);
  JobControl control;
  Recorder seen;
  ScanJob job({source.get()}, false, control, kMessages, &seen);
  ASSERT_EQ(job.Run(), ScanJob::Outcome::kFinished);
  ASSERT_NE(source->engine, nullptr);
  std::vector<FoundRecord> found;
  SearchJob search({source.get()}, ConvertSearchPattern("*.jpg|*.jpeg"), found, control);
  control.Reset();
  EXPECT_EQ(search.Run(), SearchJob::Outcome::kFinished);
  EXPECT_EQ(found.size(), 2u);
  for (const FoundRecord& r : found) EXPECT_EQ(uint32_t{r.sourceKey}, 1001u);
}

// The combined deep engine: a stopped scan of an image is offered for
// continuing the next time; declining deletes the earlier scan's logs.
TEST(ScanJob, StoppedDeepScanIsOfferedAgainAndDeclinedLogsGo) {
  VELMIRA_REQUIRE_TOOL("mkfs.vfat");
  VELMIRA_REQUIRE_TOOL("mcopy");
  velmira::testing::TempDir dir;
  ::setenv("XDG_DATA_HOME", (dir.path() + "/data").c_str(), 1);
  const std::string image = dir.path() + "/card.img";
  ASSERT_TRUE(velmira::testing::MakeFatImageWithDeletedPhotos(image, dir.path(), {"a.jpg"}, false, 34));

  // Stops once the sweep has begun.
  struct Stopper : ScanJob::Observer {
    JobControl* control = nullptr;
    bool answer = true;
    int asked = 0;
    std::string earlierFolder;
    void OnProgress(const ScanProgressView& v) override {
      if (control != nullptr && v.percent >= 20) control->Cancel();
    }
    bool ContinueEarlierScan(const ScanSource& source) override {
      ++asked;
      if (auto* deep = dynamic_cast<CDeepRecovery*>(source.engine.get()))
        earlierFolder = deep->ContinuedLogFolder();
      return answer;
    }
  };
  auto source = Image(image, 1001);
  JobControl control;
  Stopper first;
  first.control = &control;
  ScanJob stopped({source.get()}, true, control, kMessages, &first);
  EXPECT_EQ(stopped.Run(), ScanJob::Outcome::kCancelled);
  EXPECT_EQ(first.asked, 0);

  control.Reset();
  Stopper second;
  second.answer = false;
  ScanJob again({source.get()}, true, control, kMessages, &second);
  EXPECT_EQ(again.Run(), ScanJob::Outcome::kFinished);
  EXPECT_EQ(second.asked, 1);
  ASSERT_FALSE(second.earlierFolder.empty());
  EXPECT_FALSE(std::filesystem::exists(second.earlierFolder)) << second.earlierFolder;
  std::vector<FoundRecord> found;
  control.Reset();
  SearchJob search({source.get()}, ConvertSearchPattern("*.jpg"), found, control);
  EXPECT_EQ(search.Run(), SearchJob::Outcome::kFinished);
  EXPECT_GE(found.size(), 1u);
}

}  // namespace
}  // namespace velmira
