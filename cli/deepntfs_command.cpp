// velmira-cli deepntfs: sweep a source for NTFS file records (a volume whose
// boot sector or $MFT is gone, or an older volume under a newer one), list
// what they describe, or recover it.
#include <cinttypes>
#include <cstdio>
#include <functional>

#include "cli/cli_support.h"
#include "cli/command_registry.h"
#include "cli/commands.h"
#include "engines/ntfs/deep_ntfs_sweep.h"
#include "engines/ntfs/professional_ntfs_recovery.h"
#include "jobs/recovery_job.h"
#include "platform/errors.h"
#include "platform/time_util.h"
#include "results/scan_log_registry.h"

namespace velmira::cli {
namespace {

struct DeepOptions {
  std::string source;
  std::string to;
  bool list = false;
};

bool ParseOptions(const std::vector<std::string>& args, DeepOptions& o) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--to") {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "velmira-cli: --to needs a value\n");
        return false;
      }
      o.to = args[++i];
    } else if (a == "--list") {
      o.list = true;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "velmira-cli: unknown option '%s' for deepntfs\n", a.c_str());
      return false;
    } else if (o.source.empty()) {
      o.source = a;
    } else {
      std::fprintf(stderr, "velmira-cli: deepntfs takes one SOURCE, got '%s' too\n", a.c_str());
      return false;
    }
  }
  if (o.source.empty()) {
    std::fprintf(stderr, "velmira-cli: deepntfs needs a SOURCE (see velmira-cli --help)\n");
    return false;
  }
  if (!o.list && o.to.empty()) {
    std::fprintf(stderr, "velmira-cli: deepntfs needs --to DIR (or --list)\n");
    return false;
  }
  return true;
}

// Every file below the root, with its folder path.
void CollectFiles(CProfessionalNtfsRecovery& engine, std::vector<std::pair<std::string, FoundRecord>>& out) {
  std::function<void(const FoundRecord*, uint32_t, const std::string&)> walk =
      [&](const FoundRecord* folder, uint32_t depth, const std::string& prefix) {
        std::vector<FoundRecord> children;
        if (depth > 256 || engine.ListChildren(folder, depth, children) != kOk) return;
        for (const FoundRecord& child : children) {
          const std::string path = prefix + RecordName(child);
          if (child.isFolder)
            walk(&child, depth + 1, path + "/");
          else
            out.emplace_back(path, child);
        }
      };
  walk(nullptr, 0, "");
}

class ProgressObserver : public RecoveryJob::Observer {
 public:
  explicit ProgressObserver(size_t total) : m_total(total) {}
  RecoveryJob* job = nullptr;
  void OnProgress(int32_t percent, const std::string&) override {
    if (CancelRequested() && job != nullptr) job->Cancel();
    ShowProgress("recovering " + std::to_string(m_done + 1) + " of " + std::to_string(m_total) + "  " +
                 std::to_string(percent) + "%");
  }
  void OnFileFinished(const RecoveryResult&) override { ++m_done; }

 private:
  size_t m_total;
  size_t m_done = 0;
};

int RunDeepNtfs(const std::vector<std::string>& args) {
  DeepOptions o;
  if (!ParseOptions(args, o)) return kExitUsage;
  SourceArg source;
  std::string error;
  int resolveExit = kExitOk;
  if (!ResolveSourceArg(o.source, source, error, resolveExit)) {
    std::fprintf(stderr, "velmira-cli: %s\n", error.c_str());
    return resolveExit;
  }
  InstallCancelHandler();
  CProfessionalNtfsRecovery engine;
  const uint16_t key = SourceKeyOf(source);
  const int32_t opened = source.isDisk ? engine.OpenPartition(source.diskNumber, source.startSector,
                                                              source.sectorCount, key)
                                       : engine.OpenImage(source.imagePath, key);
  if (opened != kOk) {
    std::fprintf(stderr, "velmira-cli: cannot open %s: %s (error %d)\n", SourceName(source).c_str(),
                 ErrorText(opened).c_str(), opened);
    return kExitFailed;
  }
  (void)CScanLogRegistry::Instance().NewLogFolder();
  if (int32_t err = engine.BeginDeepNtfsLog(""); err != kOk) {
    std::fprintf(stderr, "velmira-cli: cannot create the scan log: %s (error %d)\n", ErrorText(err).c_str(), err);
    return kExitFailed;
  }
  const int32_t scanResult = SweepDeepNtfs(engine, ScanProgressLine, nullptr);
  EndProgress();
  if (scanResult == kCancelled) {
    std::fprintf(stderr, "velmira-cli: scan cancelled\n");
    return kExitCancelled;
  }
  if (scanResult != kOk)
    std::fprintf(stderr, "velmira-cli: some folders could not be read: %s (error %d)\n",
                 ErrorText(scanResult).c_str(), scanResult);

  std::vector<std::pair<std::string, FoundRecord>> files;
  CollectFiles(engine, files);
  if (o.list) {
    std::printf("%12s  %-19s  %-7s  %s\n", "SIZE", "MODIFIED", "CONTENT", "PATH");
    for (const auto& [path, r] : files)
      std::printf("%12" PRIu64 "  %-19s  %-7s  %s\n", uint64_t{r.size}, FileTimeText(r.modified).c_str(),
                  r.contentOk ? "ok" : "damaged", path.c_str());
    return kExitOk;
  }
  std::vector<FoundRecord> records;
  for (const auto& entry : files) records.push_back(entry.second);
  ProgressObserver observer(records.size());
  RecoveryJob job(o.to, {{key, &engine}}, records, &observer);
  observer.job = &job;
  const int32_t result = job.Run();
  EndProgress();
  std::printf("%-9s  %s\n", "STATUS", "FILE");
  for (const RecoveryResult& r : job.Results())
    std::printf("%-9s  %s%s%s\n", r.error == kOk ? "ok" : "FAILED", r.path.c_str(), r.error == kOk ? "" : "  ",
                r.error == kOk ? "" : r.text.c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "velmira-cli: %u of %u files recovered into %s%s\n", job.Processed() - job.Failed(),
               job.Total(), o.to.c_str(), job.Failed() ? " (some failed, see above)" : "");
  if (result == kCancelled) return kExitCancelled;
  return job.Failed() != 0 ? kExitFailed : kExitOk;
}

}  // namespace

VELMIRA_CLI_COMMAND(deepntfs, "deepntfs", "deepntfs SOURCE [--list] [--to DIR]",
                    "      sweep every sector of SOURCE for NTFS file records, also where the boot\n"
                    "      sector or the $MFT is gone or the volume was formatted again, and list\n"
                    "      the files they describe in their folders (--list) or recover them into\n"
                    "      DIR/photo, DIR/audio, ... like recover.\n",
                    25, RunDeepNtfs, true);

}  // namespace velmira::cli
