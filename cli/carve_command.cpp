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
#include "results/scan_log_registry.h"

namespace velmira::cli {
namespace {

// Carved files handed on at a time to the listing or the copy.
constexpr size_t kCarvedPiece = 4096;

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
  engine.SetLogFolder(CScanLogRegistry::Instance().CurrentLogFolder());
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
    std::fprintf(stderr, "velmira-cli: %s (error %d)\n", ScanLogWriteFailureText(failure).c_str(),
                 failure.error);
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
    std::fprintf(stderr, "velmira-cli: %s (error %d)\n", ScanLogWriteFailureText(failure).c_str(),
                 failure.error);
    return kExitFailed;
  }
  if (result != kOk) {
    std::fprintf(stderr, "velmira-cli: carve failed: %s (error %d)\n", ErrorText(result).c_str(), result);
    return kExitFailed;
  }
  std::fprintf(stderr, "velmira-cli: %" PRIu64 " sectors swept, %" PRIu64 " files carved\n",
               swept.sectorsSwept, swept.filesFound);
  // Said last, after the listing or the copies, where it is seen.
  auto finish = [&](int exit) {
    if (swept.unreadableSectors == 0) return exit;
    std::fprintf(stderr,
                 "velmira-cli: %" PRIu64
                 " sector%s of %s could not be read; files in them may be missing or "
                 "damaged\n",
                 swept.unreadableSectors, swept.unreadableSectors == 1 ? "" : "s",
                 TerminalText(sourceText).c_str());
    return exit == kExitOk ? kExitUnreadSectors : exit;
  };
  // The carved files are read back from the scan log in pieces and copied
  // (or listed) piece by piece, in the order of their sectors: memory stays
  // the same however many files the medium gave.
  if (list) std::printf("%12s  %12s  %s\n", "SIZE", "SECTOR", "NAME");
  FolderSpread spread;
  spread.limit = kFilesPerFolder;
  uint64_t total = 0, processed = 0, failed = 0;
  bool cancelled = false;
  std::vector<FoundRecord> piece;
  auto handOn = [&]() -> int32_t {
    KeepSelected(selection, piece);
    if (list) {
      for (const FoundRecord& r : piece)
        std::printf("%12" PRIu64 "  %12" PRIu64 "  %s\n", uint64_t{r.size}, uint64_t{r.entrySector},
                    TerminalText(RecordName(r)).c_str());
      total += piece.size();
      piece.clear();
      return CancelRequested() ? kCancelled : kOk;
    }
    RecoveryJob job(to, {{SourceKeyOf(source), &engine}}, std::move(piece));
    piece = {};
    job.SetFolderSpread(&spread);
    const Status run = job.Run();
    for (const RecoveryResult& r : job.Results()) {
      const bool ok = r.status.IsOk();
      std::printf("%-9s  %s%s%s\n", ok ? "ok" : "FAILED", TerminalText(r.path).c_str(), ok ? "" : "  ",
                  ok ? "" : r.text.c_str());
    }
    total += job.Total();
    processed += job.Processed();
    failed += job.Failed();
    return run.IsCancelled() || CancelRequested() ? kCancelled : kOk;
  };
  int32_t e = engine.VisitMatches(patterns, [&](const FoundRecord& r) {
    piece.push_back(r);
    return piece.size() >= kCarvedPiece ? handOn() : kOk;
  });
  if (e == kOk && !piece.empty()) e = handOn();
  std::fflush(stdout);
  if (e == kCancelled) {
    cancelled = true;
  } else if (e != kOk) {
    std::fprintf(stderr, "velmira-cli: cannot read the carve results: %s (error %d)\n", ErrorText(e).c_str(),
                 e);
    return kExitFailed;
  }
  if (list) return finish(cancelled ? kExitCancelled : kExitOk);
  std::fprintf(stderr, "velmira-cli: %" PRIu64 " of %" PRIu64 " files recovered into %s\n",
               processed - failed, total, to.c_str());
  if (cancelled) return finish(kExitCancelled);
  return finish(failed != 0 ? kExitFailed : kExitOk);
}

}  // namespace

VELMIRA_CLI_COMMAND(carve, "carve", "carve SOURCE --to DIR [--types jpg,png,...] [--list]",
                    "      sweep every sector of SOURCE for files known by their content and\n"
                    "      structure (photos and camera raw files, audio, video, documents,\n"
                    "      archives, databases, executables), each cut where its own structure\n"
                    "      ends and named by its first sector (123456.jpg), and copy them into\n"
                    "      DIR's category folders (photo, audio, video, document, archive,\n"
                    "      others); past 10000 files a category goes on in photo.2, photo.3, ...\n"
                    "      For a medium whose file system is gone. --list prints what was found\n"
                    "      instead, in the order of the sectors. A DIR on SOURCE, or one that\n"
                    "      cannot be written, is refused first (exit 1). Sectors that cannot be\n"
                    "      read are skipped; their number is said at the end, and the exit\n"
                    "      status is then 6.\n",
                    30, RunCarve);

}  // namespace velmira::cli
