// Continuing an earlier deep scan: only the combined deep engine does, and
// declining makes it start afresh and deletes the earlier scan's logs.
#include <ctime>

#include "engines/combined/deep_recovery.h"
#include "jobs/scan_job.h"
#include "results/scan_log.h"
#include "results/scan_log_registry.h"

namespace velmira {

std::string ScanDateText(int64_t unixSeconds) {
  if (unixSeconds <= 0) return "an unknown date";
  const std::time_t when = static_cast<std::time_t>(unixSeconds);
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) return "an unknown date";
  char text[32];
  if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local) == 0) return "an unknown date";
  return text;
}

ScanContinuation DeepScanContinuation() {
  ScanContinuation continuation;
  continuation.pending = [](IFileRecoveryParse& engine) {
    const auto* deep = dynamic_cast<const CDeepRecovery*>(&engine);
    return deep != nullptr && deep->Continuing();
  };
  continuation.decline = [](IFileRecoveryParse& engine) {
    auto* deep = dynamic_cast<CDeepRecovery*>(&engine);
    if (deep == nullptr) return;
    const std::string folder = deep->ContinuedLogFolder();
    deep->ClearContinuing();
    if (folder.empty()) return;
    // A folder that cannot be deleted (or a registry that cannot be saved)
    // stops the scan before it starts, with the folder named.
    if (const int32_t err = CScanLogRegistry::Instance().RemoveLogFolder(folder); err != 0)
      NoteScanLogWriteFailure(folder, err);
  };
  return continuation;
}

}  // namespace velmira
