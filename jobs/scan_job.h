// The scan job: one engine per source, built through the engine factories
// and scanned in order, with the progress texts a front end shows. No window
// here: the desktop program's progress window and the command line drive the
// same job.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engines/file_recovery_parse.h"
#include "jobs/cancel_token.h"
#include "jobs/scan_source.h"
#include "platform/language_manager.h"
#include "platform/status.h"
#include "results/scan_log.h"
#include "storage/disk_discovery.h"

namespace velmira {

// The cancel token and done flag a job shares with its front end. Each
// progress report passes the token's checkpoint: a front end that asks
// "really stop?" pauses the token meanwhile, so the worker waits there.
struct JobControl : CancelToken {
  std::atomic<int32_t> done{0};

  void Reset() {
    CancelToken::Reset();
    done.store(0);
  }
};

// What a progress report shows, worked out from the engine's numbers.
struct ScanProgressView {
  int32_t percent = 0;  // overall: engine percent x scale / 100
  std::string percentText;
  bool timeVisible = true;  // false: the time label shows nothing
  std::string timeText;
  bool sectorsVisible = false;  // only with a known total
  std::string sectorsText;
  std::string totalFileText;
  uint64_t position = 0;
  uint64_t total = 0;
  uint64_t filesFound = 0;
};

[[nodiscard]] ScanProgressView MakeScanProgressView(const TextSection& messages, int32_t percent,
                                                    int32_t scale, int32_t secondsLeft, uint64_t position,
                                                    uint64_t total, uint64_t filesFound);

// The file name of an image path: the text after its last "/" or "\".
[[nodiscard]] std::string ImageFileName(const std::string& path);

// "Scanning partition 2", "Scanning image file card.img", ...
[[nodiscard]] std::string ScanStageText(const TextSection& messages, const ScanSource& source);

// The duration words of the messages ("UnitHour", "UnitMin", "UnitSec"),
// English where the language file has none.
[[nodiscard]] DurationUnits DurationUnitsOf(const TextSection& messages);

// Builds the engine for one source; the default uses CreateEngineForPartition
// and CreateEngineForImage.
using EngineBuilder = std::function<std::unique_ptr<IFileRecoveryParse>(const ScanSource&, bool deep)>;
[[nodiscard]] std::unique_ptr<IFileRecoveryParse> BuildEngineFor(const ScanSource& source, bool deep);

// An engine's earlier deep scan that its next Scan would continue:
// `pending` tells whether there is one; `decline` makes the engine start
// afresh and deletes the earlier scan's log folder.
struct ScanContinuation {
  std::function<bool(IFileRecoveryParse&)> pending;
  std::function<void(IFileRecoveryParse&)> decline;
};
// Sectors the engine's last scan could not read and went on without (the
// files in them may be missing or damaged); 0 for engines that do not skip.
[[nodiscard]] uint64_t UnreadSectorsOf(const IFileRecoveryParse& engine);

// The continuation of the combined deep engine.
[[nodiscard]] ScanContinuation DeepScanContinuation();

// A scan's date as the questions about it show it: local time,
// "2026-12-08 14:32"; "an unknown date" for 0.
[[nodiscard]] std::string ScanDateText(int64_t unixSeconds);

class ScanJob {
 public:
  enum class Outcome {
    kFinished,   // every source scanned (some scans may have failed: ScanResults)
    kCancelled,  // stopped by a cancel
    kNoEngine,   // no engine for source FailedSource(); later sources not scanned
    kEmpty,      // nothing to scan
  };

  class Observer {
   public:
    virtual ~Observer() = default;
    // A source's scan starts (worker thread, not under the lock).
    virtual void OnStage(size_t /*index*/, const std::string& /*text*/) {}
    // A progress report (worker thread, after the control's checkpoint).
    virtual void OnProgress(const ScanProgressView& /*view*/) {}
    // An earlier deep scan of the source can be continued: true continues,
    // false starts afresh (worker thread, not under the lock; the worker
    // waits for the answer).
    virtual bool ContinueEarlierScan(const ScanSource& /*source*/) { return true; }
  };

  // `control` may be shared program-wide; the front end resets it before Run.
  ScanJob(std::vector<ScanSource*> sources, bool deep, JobControl& control, TextSection messages = {},
          Observer* observer = nullptr);

  void SetEngineBuilder(EngineBuilder builder) { m_builder = std::move(builder); }
  void SetContinuation(ScanContinuation continuation) { m_continuation = std::move(continuation); }

  // Scans every source in order, each with a new engine that the source then
  // owns. Sets the done flag at the end, whatever the outcome. A finished job
  // may still hold failed scans: ScanResults and FirstFailure say which.
  [[nodiscard]] Outcome Run();

  // Stops the job at the engine's next progress report (any thread).
  void Cancel() { m_control.Cancel(); }

  // The window's close code: 3 for kNoEngine, else 1.
  [[nodiscard]] static int CloseCode(Outcome outcome) { return outcome == Outcome::kNoEngine ? 3 : 1; }
  // Whether the front end announces the end of the scan (finished or cancelled).
  [[nodiscard]] static bool Announces(Outcome outcome) {
    return outcome == Outcome::kFinished || outcome == Outcome::kCancelled;
  }

  [[nodiscard]] const std::vector<ScanSource*>& Sources() const { return m_sources; }
  // Each scanned source's result, in order (Cancelled for the one stopped).
  [[nodiscard]] const std::vector<Status>& ScanResults() const { return m_results; }
  // The first result that is a failure (not a stop), with its source's
  // index; Ok when every scan went through.
  [[nodiscard]] Status FirstFailure(size_t* index = nullptr) const;
  [[nodiscard]] size_t FailedSource() const { return m_failedSource; }
  // The scan-log or registry write that failed and ended the job (error 0
  // when none did); its source is FailedSource() and its result that error.
  [[nodiscard]] const ScanLogWriteFailure& WriteFailure() const { return m_writeFailure; }
  // What a front end says about a failed scan result: the write failure
  // with its folder when there was one, else the code's text.
  [[nodiscard]] std::string FailureText(const Status& result) const;
  // The last progress report seen (for a summary line).
  [[nodiscard]] uint64_t FilesFound() const { return m_filesFound; }

  // The engines' progress receiver; userData is the job.
  static int32_t ProgressCallback(void* userData, int32_t percent, int32_t scale, int32_t secondsLeft,
                                  uint64_t position, uint64_t total, uint64_t filesFound, int32_t reserved);

 private:
  std::vector<ScanSource*> m_sources;
  bool m_deep;
  JobControl& m_control;
  TextSection m_messages;
  Observer* m_observer;
  EngineBuilder m_builder;
  ScanContinuation m_continuation;
  std::vector<Status> m_results;
  size_t m_failedSource = 0;
  uint64_t m_filesFound = 0;
  // What the observer was last shown, and when (ProgressCallback).
  int32_t m_shownPercent = -1;
  int32_t m_shownScale = -1;
  uint64_t m_shownFiles = 0;
  uint64_t m_shownAtMs = 0;
  ScanLogWriteFailure m_writeFailure;
};

}  // namespace velmira
