#include "jobs/scan_job.h"

#include "engines/combined/deep_recovery.h"
#include "engines/engine_factory.h"
#include "engines/engine_skeleton.h"
#include "platform/errors.h"
#include "platform/message_format.h"
#include "platform/time_util.h"
#include "results/scan_log_registry.h"
#include "storage/disk_discovery.h"

namespace velmira {
namespace {

// The least time between two progress views that show the same percent and
// number of files.
constexpr uint64_t kProgressIntervalMs = 100;

std::string Text(const TextSection& messages, const char* key) {
  const auto it = messages.find(key);
  return it == messages.end() ? std::string() : it->second;
}

}  // namespace

DurationUnits DurationUnitsOf(const TextSection& messages) {
  DurationUnits units;
  for (auto [key, word] : {std::pair{"UnitHour", &units.hour}, std::pair{"UnitMin", &units.minute},
                           std::pair{"UnitSec", &units.second}}) {
    const std::string text = Text(messages, key);
    if (!text.empty()) *word = text;
  }
  return units;
}

ScanProgressView MakeScanProgressView(const TextSection& messages, int32_t percent, int32_t scale,
                                      int32_t secondsLeft, uint64_t position, uint64_t total,
                                      uint64_t filesFound) {
  ScanProgressView view;
  // In 64 bits so that a wild percent from an engine cannot overflow; the
  // result is truncated toward zero like the 32-bit product.
  view.percent = static_cast<int32_t>(static_cast<int64_t>(percent) * scale / 100);
  view.percentText = FormatText("%s %d%%", {Text(messages, "MSG0704"), view.percent});
  // Only an engine carrying most of the work (90 or more) gives an estimate
  // worth showing.
  if (secondsLeft >= 0 && scale >= 90) {
    view.timeText = Text(messages, "MSG0708") + FormatDuration(secondsLeft, DurationUnitsOf(messages));
  } else {
    view.timeText = Text(messages, "MSG0705");
  }
  if (secondsLeft < 0 && scale == 100) {
    view.timeVisible = false;
    view.timeText.clear();
  }
  view.position = position;
  view.total = total;
  view.filesFound = filesFound;
  if (total != 0) {
    view.sectorsVisible = true;
    view.sectorsText = FormatText("%s %llu / %llu", {Text(messages, "MSG0706"), position, total});
    view.totalFileText = FormatText("%s %llu", {Text(messages, "MSG0707"), filesFound});
  }
  return view;
}

std::string ImageFileName(const std::string& path) {
  const size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string ScanStageText(const TextSection& messages, const ScanSource& source) {
  if (source.IsImage()) return Text(messages, "MSG0703") + " " + ImageFileName(source.imagePath);
  // Partitions have no drive letters here: they are named by their number.
  return FormatText(Text(messages, "MSG0702"), {static_cast<int>(source.partition->letterOrNumber)});
}

std::unique_ptr<IFileRecoveryParse> BuildEngineFor(const ScanSource& source, bool deep) {
  if (source.IsImage()) return CreateEngineForImage(source.imagePath, source.imageValue, deep);
  const PartitionRecord& p = *source.partition;
  return CreateEngineForPartition(p.diskNumber, p.startSector, p.sectorCount, p.letterOrNumber, deep);
}

ScanJob::ScanJob(std::vector<ScanSource*> sources, bool deep, JobControl& control, TextSection messages,
                 Observer* observer)
    : m_sources(std::move(sources)),
      m_deep(deep),
      m_control(control),
      m_messages(std::move(messages)),
      m_observer(observer),
      m_builder(BuildEngineFor),
      m_continuation(DeepScanContinuation()) {}

uint64_t UnreadSectorsOf(const IFileRecoveryParse& engine) {
  if (const auto* deep = dynamic_cast<const CDeepRecovery*>(&engine)) return deep->UnreadSectors();
  if (const auto* fast = dynamic_cast<const CEngineSkeleton*>(&engine)) return fast->UnreadSectors();
  return 0;
}

std::string ScanJob::FailureText(const Status& result) const {
  if (m_writeFailure.error != kOk) return ScanLogWriteFailureText(m_writeFailure);
  return ErrorText(result.Code());
}

Status ScanJob::FirstFailure(size_t* index) const {
  for (size_t i = 0; i < m_results.size(); ++i) {
    if (!m_results[i].IsFailure()) continue;
    if (index != nullptr) *index = i;
    return m_results[i];
  }
  return Status::Ok();
}

ScanJob::Outcome ScanJob::Run() {
  m_results.clear();
  m_failedSource = 0;
  m_writeFailure = {};
  ClearScanLogWriteFailures();
  Outcome outcome = Outcome::kFinished;
  if (m_sources.empty()) outcome = Outcome::kEmpty;
  for (size_t i = 0; i < m_sources.size(); ++i) {
    // A cancel confirmed between two sources stops before the next one.
    if (m_control.Cancelled()) {
      outcome = Outcome::kCancelled;
      break;
    }
    ScanSource& source = *m_sources[i];
    if (m_observer != nullptr) m_observer->OnStage(i, ScanStageText(m_messages, source));
    source.engine.reset();
    source.engine = m_builder(source, m_deep);
    if (!source.engine) {
      m_failedSource = i;
      outcome = Outcome::kNoEngine;
      break;
    }
    IFileRecoveryParse& engine = *source.engine;
    if (m_deep && m_continuation.pending && m_continuation.pending(engine)) {
      const bool goOn = m_observer == nullptr || m_observer->ContinueEarlierScan(source);
      if (!goOn && m_continuation.decline) m_continuation.decline(engine);
      if (const ScanLogWriteFailure failure = FirstScanLogWriteFailure(); failure.error != kOk) {
        m_writeFailure = failure;  // the earlier scan's folder could not be removed
        m_results.push_back(Status::Fatal(failure.error, "the earlier scan could not be removed"));
        m_failedSource = i;
        break;
      }
      // Stopped while the question was open: the earlier scan stays as it is.
      if (m_control.Cancelled()) {
        m_results.push_back(Status::Cancelled());
        outcome = Outcome::kCancelled;
        break;
      }
    }
    engine.SetProgressCallbacks(ProgressCallback, nullptr, this, 100);
    // A fast scan's log goes in the registry's current folder; a deep scan
    // chooses its own through the registry it was built with.
    engine.SetLogFolder(CScanLogRegistry::Instance().CurrentLogFolder());
    const Status result = Status::FromCode(engine.Scan(""), "the scan failed");
    m_results.push_back(result);
    // A scan log or the registry could not be written: nothing more is
    // scanned, and the front end says which folder and why.
    if (const ScanLogWriteFailure failure = FirstScanLogWriteFailure(); failure.error != kOk) {
      m_writeFailure = failure;
      if (!result.IsFailure())
        m_results.back() = Status::Fatal(failure.error, "the scan log could not be written");
      m_failedSource = i;
      break;
    }
    if (result.IsCancelled()) {
      outcome = Outcome::kCancelled;
      break;
    }
  }
  m_control.done.store(1);
  return outcome;
}

int32_t ScanJob::ProgressCallback(void* userData, int32_t percent, int32_t scale, int32_t secondsLeft,
                                  uint64_t position, uint64_t total, uint64_t filesFound,
                                  int32_t /*reserved*/) {
  auto* job = static_cast<ScanJob*>(userData);
  if (job == nullptr) return 0;
  if (job->m_control.Checkpoint()) return kCancelled;
  job->m_filesFound = filesFound;
  if (job->m_observer == nullptr) return 0;
  // An engine reports after every piece it reads, thousands of times a
  // second, and making the texts costs more than a piece's tests: the front
  // end is told when the percent or the files found change, and otherwise
  // at most every 100 ms.
  const uint64_t now = TickCountMs();
  const bool changed =
      percent != job->m_shownPercent || scale != job->m_shownScale || filesFound != job->m_shownFiles;
  if (!changed && now - job->m_shownAtMs < kProgressIntervalMs) return 0;
  job->m_shownPercent = percent;
  job->m_shownScale = scale;
  job->m_shownFiles = filesFound;
  job->m_shownAtMs = now;
  job->m_observer->OnProgress(
      MakeScanProgressView(job->m_messages, percent, scale, secondsLeft, position, total, filesFound));
  return 0;
}

}  // namespace velmira
