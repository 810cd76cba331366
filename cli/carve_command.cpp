// velmira-cli carve: the signature carver alone over every sector of a
// source, for a raw medium whose file system is gone.
#include <cinttypes>
#include <cstdio>

#include "cli/cli_support.h"
#include "cli/command_registry.h"
#include "cli/commands.h"
#include "engines/carving/carve_sweep.h"
#include "jobs/recovery_job.h"
#include "platform/errors.h"
#include "results/scan_log.h"

namespace velmira::cli {
namespace {

int RunCarve(const std::vector<std::string>& args) {
  std::string sourceText, to, types;
  bool list = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if ((a == "--to" || a == "--types") && i + 1 < args.size()) {
      (a == "--to" ? to : types) = args[++i];
    } else if (a == "--list") {
      list = true;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "velmira-cli: unknown or incomplete option '%s' for carve\n", a.c_str());
      return kExitUsage;
    } else if (sourceText.empty()) {
      sourceText = a;
    } else {
      std::fprintf(stderr, "velmira-cli: carve takes one SOURCE, got '%s' too\n", a.c_str());
      return kExitUsage;
    }
  }
  if (sourceText.empty() || (to.empty() && !list)) {
    std::fprintf(stderr, "velmira-cli: carve needs a SOURCE and --to DIR (or --list)\n");
    return kExitUsage;
  }
  SourceArg source;
  std::string error;
  if (!ParseSourceArg(sourceText, source, error)) {
    std::fprintf(stderr, "velmira-cli: %s\n", error.c_str());
    return kExitUsage;
  }
  const TypeSelection selection = SelectTypes(types);
  const std::string& patterns = selection.patterns;
  if (!list && !DestinationUsable(to, source)) return kExitUsage;
  InstallCancelHandler();

  CFileTypeRecovery engine;
  uint64_t first = 0, count = 0;
  int32_t err = kOk;
  if (source.isDisk) {
    uint64_t length = 0;
    err = GetDiskLength(source.diskNumber, length);
    if (err == kOk) {
      first = source.startSector;
      err = engine.OpenPartition(source.diskNumber, first, source.sectorCount, SourceKeyOf(source));
      // To the end of the drive, counted in its own sectors.
      const uint64_t sectors = engine.Source().sectorCount;
      count = source.sectorCount != 0 ? source.sectorCount : sectors - std::min(first, sectors);
    }
  } else {
    err = engine.OpenImage(source.imagePath, SourceKeyOf(source));
    count = engine.Source().sectorCount;
  }
  if (const ScanLogWriteFailure failure = FirstScanLogWriteFailure(); failure.error != kOk) {
    std::fprintf(stderr, "velmira-cli: %s (error %d)\n", ScanLogWriteFailureText(failure).c_str(), failure.error);
    return kExitFailed;
  }
  if (err != kOk) {
    std::fprintf(stderr, "velmira-cli: cannot open %s: %s (error %d)\n", TerminalText(sourceText).c_str(),
                 ErrorText(err).c_str(), err);
    return kExitCannotOpen;
  }

  CarveSweepResult swept;
  const int32_t result = CarveSweep(engine, first, count, ScanProgressLine, nullptr, swept);
  EndProgress();
  if (result == kCancelled) {
    std::fprintf(stderr, "velmira-cli: carve cancelled\n");
    return kExitCancelled;
  }
  if (const ScanLogWriteFailure failure = FirstScanLogWriteFailure(); failure.error != kOk) {
    // "cannot write the scan log in FOLDER: There is not enough space on the disk."
    std::fprintf(stderr, "velmira-cli: %s (error %d)\n", ScanLogWriteFailureText(failure).c_str(), failure.error);
    return kExitFailed;
  }
  if (result != kOk) {
    std::fprintf(stderr, "velmira-cli: carve failed: %s (error %d)\n", ErrorText(result).c_str(), result);
    return kExitFailed;
  }
  std::fprintf(stderr, "velmira-cli: %" PRIu64 " sectors swept, %" PRIu64 " files carved\n", swept.sectorsSwept,
               swept.filesFound);
  // Said last, after the listing or the copies, where it is seen.
  auto finish = [&](int exit) {
    if (swept.unreadableSectors == 0) return exit;
    std::fprintf(stderr,
                 "velmira-cli: %" PRIu64 " sector%s of %s could not be read; files in them may be missing or "
                 "damaged\n",
                 swept.unreadableSectors, swept.unreadableSectors == 1 ? "" : "s", TerminalText(sourceText).c_str());
    return exit == kExitOk ? kExitUnreadSectors : exit;
  };
  std::vector<FoundRecord> files;
  if (int32_t e = engine.CollectMatches(patterns, files); e != kOk) {
    std::fprintf(stderr, "velmira-cli: cannot read the carve results: %s (error %d)\n", ErrorText(e).c_str(), e);
    return kExitFailed;
  }
  KeepSelected(selection, files);
  if (list) {
    std::printf("%12s  %12s  %s\n", "SIZE", "SECTOR", "NAME");
    for (const FoundRecord& r : files)
      std::printf("%12" PRIu64 "  %12" PRIu64 "  %s\n", uint64_t{r.size}, uint64_t{r.entrySector},
                  TerminalText(RecordName(r)).c_str());
    std::fflush(stdout);
    return finish(kExitOk);
  }
  RecoveryJob job(to, {{SourceKeyOf(source), &engine}}, files);
  const int32_t run = job.Run();
  for (const RecoveryResult& r : job.Results())
    std::printf("%-9s  %s%s%s\n", r.error == kOk ? "ok" : "FAILED", TerminalText(r.path).c_str(),
                r.error == kOk ? "" : "  ", r.error == kOk ? "" : r.text.c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "velmira-cli: %u of %u files recovered into %s\n", job.Processed() - job.Failed(), job.Total(),
               to.c_str());
  if (run == kCancelled) return finish(kExitCancelled);
  return finish(job.Failed() != 0 ? kExitFailed : kExitOk);
}

}  // namespace

VELMIRA_CLI_COMMAND(carve, "carve", "carve SOURCE --to DIR [--types jpg,png,...] [--list]",
                    "      sweep every sector of SOURCE for files known by their content (photos,\n"
                    "      audio, video, documents, archives), named by their first sector\n"
                    "      (123456.jpg), and copy them into DIR's category folders. For a medium\n"
                    "      whose file system is gone. --list prints what was found instead. A DIR\n"
                    "      on SOURCE, or one that cannot be written, is refused first (exit 1).\n"
                    "      Sectors that cannot be read are skipped; their number is said at the\n"
                    "      end, and the exit status is then 6.\n",
                    30, RunCarve);

}  // namespace velmira::cli
