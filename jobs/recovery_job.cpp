#include "jobs/recovery_job.h"

#include <sys/stat.h>

#include <exception>
#include <iterator>

#include "engines/output_sink.h"
#include "platform/errors.h"
#include "platform/text.h"
#include "results/extension_lists.h"

namespace velmira {
namespace {

bool PathTaken(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::string TrimTrailingSeparator(std::string folder) {
  if (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\')) folder.pop_back();
  return folder;
}

}  // namespace

std::string FolderSpread::NextFolder(std::string_view name) {
  const FileCategory category = RecoveryCategoryOf(name);
  std::string folder = RecoveryFolderName(category);
  const auto index = static_cast<size_t>(category);
  if (index >= std::size(placed)) return folder;
  const uint64_t n = placed[index]++;
  if (limit != 0 && n >= limit) folder += "." + std::to_string(n / limit + 1);
  return folder;
}

std::string RecoveryTargetPath(const std::string& destination, const FoundRecord& record) {
  return RecoveryTargetPath(destination, record, nullptr);
}

std::string RecoveryTargetPath(const std::string& destination, const FoundRecord& record,
                               FolderSpread* spread) {
  const std::string name = FitNameBytes(SafeFileName(RecordName(record)), kMaxRecoveredNameBytes);
  const std::string folder = TrimTrailingSeparator(destination) + "/" +
                             (spread != nullptr ? spread->NextFolder(name)
                                                : std::string(RecoveryFolderName(RecoveryCategoryOf(name)))) +
                             "/";
  const std::string wanted = folder + name;
  for (uint32_t n = 0;; ++n) {
    const std::string path = NumberedPath(wanted, n);
    if (!PathTaken(path) || n == UINT32_MAX) return path;
  }
}

IFileRecoveryParse* EngineForRecord(const std::vector<RecoverySource>& sources, const FoundRecord& record) {
  const uint16_t key = record.sourceKey;
  for (const auto& s : sources)
    if (s.key == key && s.engine != nullptr) return s.engine;
  return nullptr;
}

int32_t SeparatorCount(const std::string& folder) {
  int32_t n = 0;
  for (size_t i = 0; i + 1 < folder.size(); ++i)
    if (folder[i] == '/' || folder[i] == '\\') ++n;
  return n;
}

RecoveryJob::RecoveryJob(std::string destination, std::vector<RecoverySource> sources,
                         std::vector<FoundRecord> files, Observer* observer)
    : m_destination(TrimTrailingSeparator(std::move(destination))),
      m_sources(std::move(sources)),
      m_files(std::move(files)),
      m_observer(observer) {}

int32_t RecoveryJob::FileProgress(void* user, int32_t percent, int32_t scale, int32_t error,
                                  const std::string& path) {
  return static_cast<RecoveryJob*>(user)->OnFileProgress(percent, scale, error, path);
}

void RecoveryJob::Finish(const std::string& path, int32_t error, const char* text) {
  Finish(path, Status::FromCode(error, "the file could not be recovered"), text);
}

void RecoveryJob::Finish(const std::string& path, const Status& status, const char* text) {
  RecoveryResult r;
  r.path = path;
  r.status = status;
  r.text = text ? text : status.IsOk() ? "Success" : ErrorText(status.Code());
  r.index = m_current;
  r.traced = m_trace.begun;
  if (r.traced) r.trace = m_trace;
  ++m_processed;
  if (!status.IsOk()) ++m_failed;
  m_fileFinished = true;
  m_results.push_back(r);
  if (m_observer) m_observer->OnFileFinished(r);
}

int32_t RecoveryJob::OnFileProgress(int32_t percent, int32_t scale, int32_t error, const std::string& path) {
  // Waits here while the front end asks whether to stop.
  const bool stop = m_token.Checkpoint();
  std::lock_guard<std::mutex> guard(m_lock);
  // A file stopped by the cancel still gets its row: its last report says
  // where (or whether) its incomplete copy stands.
  if (percent == 100 && error == kCancelled && !m_fileFinished) Finish(path, error);
  if (stop) return kCancelled;
  const int32_t overall = static_cast<int32_t>(int64_t{percent} * scale / 100);
  // A file reports 100 once when it is done (and once more after an error).
  if (overall == 100 && !m_fileFinished) Finish(path, error);
  if (m_observer) m_observer->OnProgress(overall, path);
  return 0;
}

Status RecoveryJob::Run() {
  const int32_t separators = SeparatorCount(m_destination);
  for (m_current = 0; m_current < m_files.size(); ++m_current) {
    const FoundRecord& record = m_files[m_current];
    if (m_token.Cancelled()) return Status::Cancelled();
    m_fileFinished = false;
    m_trace = WrittenTrace{};
    IFileRecoveryParse* engine = EngineForRecord(m_sources, record);
    if (engine == nullptr) {
      std::lock_guard<std::mutex> guard(m_lock);
      Finish(RecordName(record), Status::Fatal(kErrInvalidHandle, kSourceGoneText), kSourceGoneText);
      continue;
    }
    const std::string target = RecoveryTargetPath(m_destination, record, m_spread);
    engine->SetProgressCallbacks(nullptr, &RecoveryJob::FileProgress, this, 100);
    int32_t result = kOk;
    try {
      const KeepPartialScope keep(m_keepPartial);
      const WrittenTraceScope traced(m_traceWrites ? &m_trace : nullptr);
      result = engine->RecoverItem(record, target, separators);
    } catch (const std::exception&) {
      result = kErrGenFailure;
    } catch (...) {
      result = kErrGenFailure;
    }
    if (result == kCancelled) return Status::Cancelled();
    std::lock_guard<std::mutex> guard(m_lock);
    // An engine that ended without its final report (a fault, or an error
    // returned before any data) still gets a row.
    if (!m_fileFinished)
      Finish(target, result);
    else if (result != kOk && m_results.back().status.IsOk()) {
      // The engine reported success but returned a failure: believe the code.
      m_results.back().status = Status::FromCode(result, "the file could not be recovered");
      m_results.back().text = ErrorText(result);
      ++m_failed;
      if (m_observer) m_observer->OnResultChanged(m_results.back());
    }
  }
  return Status::Ok();
}

}  // namespace velmira
