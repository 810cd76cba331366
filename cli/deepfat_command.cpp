// velmira-cli deepfat: the deep FAT scan by itself. Sweeps every sector of
// SOURCE for FAT folder sectors, rebuilds the old folder tree from them (a
// quick-formatted card, a damaged boot sector), and lists it or copies its
// files out.
#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <functional>
#include <set>

#include "cli/cli_support.h"
#include "cli/command_registry.h"
#include "cli/commands.h"
#include "engines/fat/deep_fat_sweep.h"
#include "engines/fat/professional_fat_recovery.h"
#include "jobs/recovery_job.h"
#include "platform/errors.h"
#include "platform/time_util.h"

namespace velmira::cli {
namespace {

struct DeepFatOptions {
  std::string source;
  std::string to;
  bool list = false;
  bool json = false;
};

bool ParseOptions(const std::vector<std::string>& args, DeepFatOptions& o) {
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
    } else if (a == "--json") {
      o.json = true;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "velmira-cli: unknown option '%s' for deepfat\n", a.c_str());
      return false;
    } else if (o.source.empty()) {
      o.source = a;
    } else {
      std::fprintf(stderr, "velmira-cli: deepfat takes one SOURCE, got '%s' too\n", a.c_str());
      return false;
    }
  }
  if (o.source.empty()) {
    std::fprintf(stderr, "velmira-cli: deepfat needs a SOURCE (see velmira-cli --help)\n");
    return false;
  }
  if (!o.list && o.to.empty()) o.list = true;
  return true;
}

struct Listed {
  std::string path;
  FoundRecord record;
};

// Every record of the rebuilt tree with its path, folders before their
// contents. A damaged tree that lists a folder inside itself is walked once.
std::vector<Listed> WalkTree(IFileRecoveryParse& engine) {
  std::vector<Listed> out;
  std::set<uint64_t> seen;
  std::function<void(const FoundRecord*, uint32_t, const std::string&)> walk =
      [&](const FoundRecord* folder, uint32_t depth, const std::string& prefix) {
        std::vector<FoundRecord> children;
        if (depth > 256 || engine.ListChildren(folder, depth, children) != kOk) return;
        for (const FoundRecord& child : children) {
          const std::string path = prefix + RecordName(child);
          out.push_back({path, child});
          if (child.isFolder && seen.insert(MakeDirectoryKey(depth + 1, child.key)).second)
            walk(&child, depth + 1, path + "/");
        }
      };
  walk(nullptr, 0, "");
  return out;
}

void PrintListing(const std::vector<Listed>& records, bool json) {
  if (!json) std::printf("%-6s  %12s  %-19s  %-7s  %s\n", "TYPE", "SIZE", "MODIFIED", "CONTENT", "PATH");
  for (const Listed& item : records) {
    const FoundRecord& r = item.record;
    const uint64_t size = r.size;
    const bool folder = r.isFolder != 0;
    const bool ok = r.contentOk != 0;
    if (json) {
      std::printf("{\"path\":%s,\"folder\":%s,\"size\":%" PRIu64 ",\"modified\":%s,\"contentOk\":%s}\n",
                  JsonString(item.path).c_str(), folder ? "true" : "false", size,
                  JsonString(FileTimeText(r.modified)).c_str(), ok ? "true" : "false");
    } else {
      std::printf("%-6s  %12" PRIu64 "  %-19s  %-7s  %s%s\n", folder ? "folder" : "file", size,
                  FileTimeText(r.modified).c_str(), folder ? "" : (ok ? "ok" : "damaged"), item.path.c_str(),
                  folder ? "/" : "");
    }
  }
}

int32_t SweepProgress(void*, int32_t percent, int32_t, int32_t, uint64_t position, uint64_t total,
                      uint64_t found, int32_t) {
  if (CancelRequested()) return kCancelled;
  ShowProgress("deep scan " + std::to_string(percent) + "%  sector " + std::to_string(position) + " of " +
               std::to_string(total) + "  found " + std::to_string(found));
  return 0;
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

int RunDeepFat(const std::vector<std::string>& args) {
  DeepFatOptions o;
  if (!ParseOptions(args, o)) return kExitUsage;
  SourceArg source;
  std::string error;
  if (!ParseSourceArg(o.source, source, error)) {
    std::fprintf(stderr, "velmira-cli: %s\n", error.c_str());
    return kExitUsage;
  }
  const std::string shown = source.isDisk ? "disk " + std::to_string(source.diskNumber) : source.imagePath;
  if (!source.isDisk) {
    struct stat st {};
    if (::stat(source.imagePath.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      std::fprintf(stderr, "velmira-cli: '%s' is a folder, not an image file or device\n", shown.c_str());
      return kExitCannotOpen;
    }
  }
  InstallCancelHandler();
  CProfessionalFatRecovery engine;
  const int32_t openResult = source.isDisk ? engine.OpenPartition(source.diskNumber, source.startSector,
                                                                  source.sectorCount, SourceKeyOf(source))
                                           : engine.OpenImage(source.imagePath, SourceKeyOf(source));
  if (openResult != kOk) {
    std::fprintf(stderr, "velmira-cli: cannot open %s: %s (error %d)\n", shown.c_str(),
                 ErrorText(openResult).c_str(), openResult);
    return kExitCannotOpen;
  }
  if (engine.PartitionLength() == 0) {
    std::fprintf(stderr, "velmira-cli: %s holds no whole sector to scan\n", shown.c_str());
    return kExitUnreadable;
  }
  const int32_t scanResult = RunDeepFatSweep(engine, SweepProgress, nullptr);
  EndProgress();
  if (scanResult == kCancelled) {
    std::fprintf(stderr, "velmira-cli: scan cancelled\n");
    return kExitCancelled;
  }
  if (scanResult != kOk) {
    std::fprintf(stderr, "velmira-cli: scan failed: %s (error %d)\n", ErrorText(scanResult).c_str(),
                 scanResult);
    return kExitFailed;
  }
  const std::vector<Listed> tree = WalkTree(engine);
  if (o.list) {
    PrintListing(tree, o.json);
    if (o.to.empty()) return kExitOk;
  }

  std::vector<FoundRecord> files;
  for (const Listed& item : tree)
    if (!item.record.isFolder) files.push_back(item.record);
  ProgressObserver observer(files.size());
  RecoveryJob job(o.to, {{SourceKeyOf(source), &engine}}, files, &observer);
  observer.job = &job;
  const int32_t result = job.Run();
  EndProgress();
  if (!o.json && !o.list) std::printf("%-9s  %s\n", "STATUS", "FILE");
  for (const RecoveryResult& r : job.Results()) {
    if (o.json)
      std::printf("{\"file\":%s,\"error\":%d,\"status\":%s}\n", JsonString(r.path).c_str(), r.error,
                  JsonString(r.text).c_str());
    else if (!o.list)
      std::printf("%-9s  %s%s%s\n", r.error == kOk ? "ok" : "FAILED", r.path.c_str(),
                  r.error == kOk ? "" : "  ", r.error == kOk ? "" : r.text.c_str());
  }
  std::fflush(stdout);
  std::fprintf(stderr, "velmira-cli: %u of %u files recovered into %s%s\n", job.Processed() - job.Failed(),
               job.Total(), o.to.c_str(), job.Failed() ? " (some failed, see above)" : "");
  if (result == kCancelled) return kExitCancelled;
  return job.Failed() != 0 ? kExitFailed : kExitOk;
}

}  // namespace

VELMIRA_CLI_COMMAND(deepfat, "deepfat", "deepfat SOURCE [--list] [--to DIR] [--json]",
                    "      deep FAT scan: sweep every sector of SOURCE for FAT folder sectors and\n"
                    "      rebuild the folder tree they describe, also after a quick format or with\n"
                    "      a damaged boot sector. --list (the default) prints every folder and file\n"
                    "      found with its path; --to DIR copies the files into DIR's category\n"
                    "      folders. --json prints one JSON object per line.\n",
                    25, RunDeepFat, true);

}  // namespace velmira::cli
