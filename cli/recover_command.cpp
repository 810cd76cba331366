// velmira-cli recover: scan a source and copy the found files of the chosen
// types into category folders, or list them without writing anything.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "cli/cli_support.h"
#include "cli/command_registry.h"
#include "cli/commands.h"
#include "cli/progress_line.h"
#include "cli/recovery_report.h"
#include "engines/combined/deep_recovery.h"
#include "jobs/recovery_job.h"
#include "jobs/scan_job.h"
#include "jobs/search_job.h"
#include "platform/drives.h"
#include "platform/errors.h"
#include "platform/time_util.h"

namespace velmira::cli {
namespace {

struct RecoverOptions {
  std::string source;
  std::string to;
  std::string types;
  bool fast = false;
  bool list = false;
  bool json = false;
  bool keepGoing = false;    // --continue
  bool restart = false;      // --restart
  bool keepPartial = false;  // --keep-partial
  bool quiet = false;        // --quiet: no progress line
  std::string report;        // --report FILE, else DIR/velmira-report.json
  std::string dfxml;         // --dfxml FILE
};

bool ParseOptions(const std::vector<std::string>& args, RecoverOptions& o) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "velmira-cli: %s needs a value\n", a.c_str());
        return false;
      }
      into = args[++i];
      return true;
    };
    if (a == "--to") {
      if (!value(o.to)) return false;
    } else if (a == "--types") {
      if (!value(o.types)) return false;
    } else if (a == "--fast") {
      o.fast = true;
    } else if (a == "--continue") {
      o.keepGoing = true;
    } else if (a == "--restart") {
      o.restart = true;
    } else if (a == "--list") {
      o.list = true;
    } else if (a == "--keep-partial") {
      o.keepPartial = true;
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--quiet" || a == "-q") {
      o.quiet = true;
    } else if (a == "--report") {
      if (!value(o.report)) return false;
    } else if (a == "--dfxml") {
      if (!value(o.dfxml)) return false;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "velmira-cli: unknown option '%s' for recover\n", a.c_str());
      return false;
    } else if (o.source.empty()) {
      o.source = a;
    } else {
      std::fprintf(stderr, "velmira-cli: recover takes one SOURCE, got '%s' too\n", a.c_str());
      return false;
    }
  }
  if (o.keepGoing && o.restart) {
    std::fprintf(stderr, "velmira-cli: --continue and --restart exclude each other\n");
    return false;
  }
  if (o.source.empty()) {
    std::fprintf(stderr, "velmira-cli: recover needs a SOURCE (see velmira-cli --help)\n");
    return false;
  }
  if (!o.list && o.to.empty()) {
    std::fprintf(stderr, "velmira-cli: recover needs --to DIR (or --list)\n");
    return false;
  }
  if (o.list && (!o.report.empty() || !o.dfxml.empty())) {
    std::fprintf(stderr,
                 "velmira-cli: --report and --dfxml describe a recovery; they go with --to, not --list\n");
    return false;
  }
  return true;
}

// Prints the files; returns 0 or the first error of telling a file's folder
// (that file is shown under ".../", never as if it lay at the top).
int32_t PrintListing(IFileRecoveryParse& engine, const std::vector<FoundRecord>& files, bool json) {
  if (!json) std::printf("%12s  %-19s  %-19s  %-7s  %s\n", "SIZE", "MODIFIED", "CREATED", "CONTENT", "PATH");
  int32_t firstError = kOk;
  for (const FoundRecord& r : files) {
    std::string folder;
    if (const int32_t err = engine.GetFolderPath(r, folder, 4096); err != kOk) {
      folder = ".../";
      if (firstError == kOk) firstError = err;
    }
    const std::string path = folder + RecordName(r);
    const uint64_t size = r.size;
    const bool ok = r.contentOk != 0;
    if (json) {
      std::printf("{\"path\":%s,\"size\":%" PRIu64 ",\"modified\":%s,\"created\":%s,\"contentOk\":%s}\n",
                  JsonString(path).c_str(), size, JsonString(FileTimeText(r.modified)).c_str(),
                  JsonString(FileTimeText(r.created)).c_str(), ok ? "true" : "false");
    } else {
      std::printf("%12" PRIu64 "  %-19s  %-19s  %-7s  %s\n", size, FileTimeText(r.modified).c_str(),
                  FileTimeText(r.created).c_str(), ok ? "ok" : "damaged", TerminalText(path).c_str());
    }
  }
  return firstError;
}

// The scan job's front end on a terminal: the progress line, Ctrl-C, and
// the question about an earlier deep scan of the same source, which is
// asked on a terminal and otherwise answered by --continue or --restart.
class ScanObserver : public ScanJob::Observer {
 public:
  ScanObserver(const RecoverOptions& options, const SourceArg& source, ProgressLine& line)
      : m_options(options), m_source(source), m_line(line) {}
  ScanJob* job = nullptr;
  bool unanswered = false;  // no terminal and neither option: the scan was stopped
  uint32_t sectorSize = 512;

  // "deep scan: 42%, sector 1200 of 4000, 35.2 MiB/s, 1 min 10 s left, 17 files found"
  void OnProgress(const ScanProgressView& view) override {
    if (CancelRequested() && job != nullptr) job->Cancel();
    const double now = m_line.Elapsed();
    // A scan sweeps in passes; each starts its count of sectors again.
    if (view.position < m_lastPosition || m_baseTime < 0) {
      m_basePosition = view.position;
      m_baseTime = now;
    }
    m_lastPosition = view.position;
    std::string line =
        std::string(m_options.fast ? "fast scan: " : "deep scan: ") + std::to_string(view.percent) + "%";
    if (view.total != 0) {
      line += ", sector " + std::to_string(view.position) + " of " + std::to_string(view.total);
      const std::string rate =
          RateText((view.position - m_basePosition) * sectorSize,
                   (view.total - std::min(view.total, m_basePosition)) * sectorSize, now - m_baseTime);
      if (!rate.empty()) line += ", " + rate;
    }
    line += ", " + std::to_string(view.filesFound) + (view.filesFound == 1 ? " file" : " files") + " found";
    m_line.Show(line);
  }

  bool ContinueEarlierScan(const ScanSource& source) override {
    auto* deep = dynamic_cast<CDeepRecovery*>(source.engine.get());
    if (deep != nullptr && deep->ContinuedFinished()) return ShowFinishedScan(*deep);
    if (m_options.keepGoing) return true;
    if (m_options.restart) return false;
    uint64_t swept = 0;
    uint64_t found = 0;
    if (deep != nullptr) {
      swept = deep->ContinuedEntry().sectorsSwept;
      found = deep->ContinuedEntry().filesFound;
    }
    if (!isatty(STDIN_FILENO)) {
      std::fprintf(stderr,
                   "velmira-cli: an earlier deep scan of %s can be continued (%" PRIu64
                   " sectors swept, %" PRIu64 " files found); give --continue or --restart\n",
                   SourceName(m_source).c_str(), swept, found);
      unanswered = true;
      if (job != nullptr) job->Cancel();
      return true;  // keeps the earlier scan as it is
    }
    std::fprintf(stderr,
                 "An earlier deep scan of %s was stopped after %" PRIu64 " sectors and %" PRIu64
                 " files.\nContinue it where it stopped? [Y/n] ",
                 SourceName(m_source).c_str(), swept, found);
    char answer[16] = {};
    if (std::fgets(answer, sizeof answer, stdin) == nullptr) return true;
    return answer[0] != 'n' && answer[0] != 'N';
  }

  // A deep scan of the source that ran to its end: its results are shown
  // again (nothing is swept), or the source is scanned afresh.
  bool ShowFinishedScan(const CDeepRecovery& deep) {
    const std::string date = ScanDateText(deep.ContinuedDate());
    const uint64_t files = deep.ContinuedFiles();
    const std::string name = SourceName(m_source);
    if (m_options.keepGoing) {
      std::fprintf(stderr,
                   "velmira-cli: showing the results of the finished deep scan of %s of %s (%" PRIu64
                   " files); --restart scans it afresh\n",
                   name.c_str(), date.c_str(), files);
      return true;
    }
    if (m_options.restart) {
      std::fprintf(stderr, "velmira-cli: scanning %s afresh; the finished deep scan of %s is discarded\n",
                   name.c_str(), date.c_str());
      return false;
    }
    if (!isatty(STDIN_FILENO)) {
      std::fprintf(stderr,
                   "velmira-cli: %s was scanned on %s (%" PRIu64
                   " files); give --continue or --restart (--continue shows those results again, --restart "
                   "scans afresh)\n",
                   name.c_str(), date.c_str(), files);
      unanswered = true;
      if (job != nullptr) job->Cancel();
      return true;
    }
    std::fprintf(stderr, "Show the results of the scan of %s (%" PRIu64 " files) again? [Y/n] ", date.c_str(),
                 files);
    char answer[16] = {};
    if (std::fgets(answer, sizeof answer, stdin) == nullptr) return true;
    return answer[0] != 'n' && answer[0] != 'N';
  }

 private:
  const RecoverOptions& m_options;
  const SourceArg& m_source;
  ProgressLine& m_line;
  uint64_t m_basePosition = 0;
  uint64_t m_lastPosition = 0;
  double m_baseTime = -1;
};

// "recovering: 45%, file 3 of 17, 12.0 MiB/s, 5 s left"
class ProgressObserver : public RecoveryJob::Observer {
 public:
  ProgressObserver(const std::vector<FoundRecord>& files, ProgressLine& line)
      : m_files(files), m_line(line), m_start(line.Elapsed()) {
    for (const FoundRecord& f : files) m_totalBytes += f.size;
  }
  RecoveryJob* job = nullptr;
  void OnProgress(int32_t percent, const std::string&) override {
    if (CancelRequested() && job != nullptr) job->Cancel();
    const uint64_t current = m_done < m_files.size() ? m_files[m_done].size : 0;
    const uint64_t bytes = m_doneBytes + current * static_cast<uint64_t>(std::clamp(percent, 0, 100)) / 100;
    const uint64_t overall =
        m_totalBytes != 0 ? bytes * 100 / m_totalBytes : m_done * 100 / std::max<size_t>(m_files.size(), 1);
    std::string line = "recovering: " + std::to_string(std::min<uint64_t>(overall, 100)) + "%, file " +
                       std::to_string(std::min(m_done + 1, m_files.size())) + " of " +
                       std::to_string(m_files.size());
    const std::string rate = RateText(bytes, m_totalBytes, m_line.Elapsed() - m_start);
    if (!rate.empty()) line += ", " + rate;
    m_line.Show(line);
  }
  void OnFileFinished(const RecoveryResult&) override {
    if (m_done < m_files.size()) m_doneBytes += m_files[m_done].size;
    ++m_done;
  }

 private:
  const std::vector<FoundRecord>& m_files;
  ProgressLine& m_line;
  double m_start;
  uint64_t m_totalBytes = 0;
  uint64_t m_doneBytes = 0;
  size_t m_done = 0;
};

// The source as the report describes it.
ReportSource DescribeSource(const RecoverOptions& o, const SourceArg& source, const TargetProbe& probe) {
  ReportSource s;
  s.given = o.source;
  s.sectorSize = probe.bytesPerSector;
  s.fileSystem = probe.kind == FileSystemKind::kOther ? "unknown" : FileSystemText(probe);
  if (source.isDisk) {
    if (DiskDevicePath(source.diskNumber, s.path) != kOk)
      s.path = "disk:" + std::to_string(source.diskNumber);
    s.offset = source.startSector * probe.bytesPerSector;
    s.identity = PartitionSourceIdentity(source.diskNumber, source.startSector, source.sectorCount);
  } else {
    s.path = source.imagePath;
    s.identity = ImageSourceIdentity(source.imagePath);
  }
  s.size = source.sectorCount != 0 ? source.sectorCount * probe.bytesPerSector
                                   : probe.sourceBytes - std::min(probe.sourceBytes, s.offset);
  return s;
}

// DIR/velmira-report.json, or velmira-report(1).json, ... when an earlier
// recovery into DIR left one.
std::string DefaultReportPath(const std::string& folder) {
  const std::string wanted =
      folder + (folder.empty() || folder.back() == '/' ? "" : "/") + "velmira-report.json";
  for (uint32_t n = 0;; ++n) {
    const std::string path = NumberedPath(wanted, n);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || n == 100000) return path;
  }
}

int RunRecover(const std::vector<std::string>& args) {
  RecoverOptions o;
  if (!ParseOptions(args, o)) return kExitUsage;
  SourceArg source;
  std::string error;
  int resolveExit = kExitOk;
  if (!ResolveSourceArg(o.source, source, error, resolveExit)) {
    std::fprintf(stderr, "velmira-cli: %s\n", error.c_str());
    return resolveExit;
  }
  const TypeSelection selection = SelectTypes(o.types);
  const std::string& patterns = selection.patterns;
  if (patterns.empty()) {
    std::fprintf(stderr, "velmira-cli: --types names no category or extension\n");
    return kExitUsage;
  }
  if (!o.list && !DestinationUsable(o.to, source)) return kExitUsage;
  if (!o.report.empty() && !OutputFileUsable("--report", o.report, source)) return kExitUsage;
  if (!o.dfxml.empty() && !OutputFileUsable("--dfxml", o.dfxml, source)) return kExitUsage;
  InstallCancelHandler();
  // The same scan job as the desktop program's: one source, its engine built
  // through the factory (deep unless --fast), an earlier deep scan settled.
  ScanSource scanned;
  if (source.isDisk) {
    PartitionRecord region;
    region.letterOrNumber = SourceKeyOf(source);
    region.diskNumber = source.diskNumber;
    region.startSector = source.startSector;
    region.sectorCount = source.sectorCount;
    scanned.partition = region;
  } else {
    scanned.imagePath = source.imagePath;
    scanned.imageValue = SourceKeyOf(source);
  }
  int exitCode = kExitOk;
  JobControl control;
  const int64_t started = static_cast<int64_t>(std::time(nullptr));
  ProgressLine progress(stderr, ProgressLine::StderrMode(o.quiet));
  TargetProbe probe;
  ScanObserver scanObserver(o, source, progress);
  ScanJob scan({&scanned}, !o.fast, control, {}, &scanObserver);
  scanObserver.job = &scan;
  scan.SetEngineBuilder([&](const ScanSource&, bool deep) {
    auto engine = OpenEngine(source, deep, exitCode, &probe);
    scanObserver.sectorSize = probe.bytesPerSector;
    return engine;
  });
  const ScanJob::Outcome outcome = scan.Run();
  progress.End();
  if (scanObserver.unanswered) return kExitUsage;
  if (outcome == ScanJob::Outcome::kNoEngine || !scanned.engine)
    return exitCode != kExitOk ? exitCode : kExitFailed;
  IFileRecoveryParse* engine = scanned.engine.get();
  const bool deep = dynamic_cast<CDeepRecovery*>(engine) != nullptr;
  const Status scanResult = scan.ScanResults().empty() ? Status::Cancelled() : scan.ScanResults().front();
  if (outcome == ScanJob::Outcome::kCancelled || scanResult.IsCancelled()) {
    if (deep)
      std::fprintf(stderr,
                   "velmira-cli: scan stopped; run the same command again to continue where it stopped\n");
    else
      std::fprintf(stderr, "velmira-cli: scan cancelled\n");
    return kExitCancelled;
  }
  if (scanResult.Code() == kErrBusy && deep && static_cast<CDeepRecovery*>(engine)->SourceBusy()) {
    std::fprintf(stderr, "velmira-cli: %s is being scanned by another Velmira process\n",
                 SourceName(source).c_str());
    return kExitFailed;
  }
  if (scan.WriteFailure().error != kOk) {
    // "cannot write the scan log in FOLDER: There is not enough space on the disk."
    std::fprintf(stderr, "velmira-cli: %s (error %d)\n", scan.FailureText(scanResult).c_str(),
                 scanResult.Code());
    return kExitFailed;
  }
  if (!scanResult.IsOk()) {
    std::fprintf(stderr, "velmira-cli: scan failed: %s (error %d)\n", ErrorText(scanResult.Code()).c_str(),
                 scanResult.Code());
    return kExitFailed;
  }
  // Collected by the desktop program's search job too.
  std::vector<FoundRecord> files;
  control.Reset();
  SearchJob search({&scanned}, patterns, files, control);
  const SearchJob::Outcome collected = search.Run();
  if (const Status& failed = search.FirstError(); failed.IsFailure()) {
    const int32_t err = failed.Code();
    if (const ScanLogWriteFailure failure = FirstScanLogWriteFailure(); failure.error != kOk)
      std::fprintf(stderr, "velmira-cli: %s (error %d)\n", ScanLogWriteFailureText(failure).c_str(),
                   failure.error);
    else
      std::fprintf(stderr, "velmira-cli: cannot read the scan results: %s (error %d)\n",
                   ErrorText(err).c_str(), err);
    return kExitFailed;
  }
  if (collected == SearchJob::Outcome::kCancelled) return kExitCancelled;
  KeepSelected(selection, files);
  // Said last, after the listing or the copies, where it is seen.
  const uint64_t unreadSectors = UnreadSectorsOf(*engine);
  auto finish = [&](int exit) {
    if (unreadSectors == 0)
      return exit == kExitOk && exitCode == kExitUnreadSectors ? kExitUnreadSectors : exit;
    std::fprintf(stderr,
                 "velmira-cli: %" PRIu64
                 " sector%s of %s could not be read; files in them may be missing or "
                 "damaged\n",
                 unreadSectors, unreadSectors == 1 ? "" : "s", SourceName(source).c_str());
    return exit == kExitOk ? kExitUnreadSectors : exit;
  };
  if (o.list) {
    const int32_t listed = PrintListing(*engine, files, o.json);
    std::fflush(stdout);
    if (listed != kOk) {
      std::fprintf(stderr,
                   "velmira-cli: the folder paths of some files could not be given (they are shown under "
                   ".../): %s (error %d)\n",
                   ErrorText(listed).c_str(), listed);
      return finish(kExitFailed);
    }
    return finish(kExitOk);
  }

  // The list stays here too: the report names every file after the job.
  ProgressObserver observer(files, progress);
  RecoveryJob job(o.to, {{SourceKeyOf(source), engine}}, files, &observer);
  job.SetKeepPartial(o.keepPartial);
  job.SetTraceWrites(true);
  // Very many files of a category go on in DIR/photo.2, DIR/photo.3, ...
  FolderSpread spread;
  spread.limit = kFilesPerFolder;
  job.SetFolderSpread(&spread);
  observer.job = &job;
  const Status result = job.Run();
  progress.End();
  if (!o.json) std::printf("%-9s  %s\n", "STATUS", "FILE");
  for (const RecoveryResult& r : job.Results()) {
    const bool ok = r.status.IsOk();
    if (o.json)
      std::printf("{\"file\":%s,\"error\":%d,\"status\":%s}\n", JsonString(r.path).c_str(), r.status.Code(),
                  JsonString(r.text).c_str());
    else
      std::printf("%-9s  %s%s%s\n", ok ? "ok" : "FAILED", TerminalText(r.path).c_str(), ok ? "" : "  ",
                  ok ? "" : r.text.c_str());
  }
  std::fflush(stdout);
  std::fprintf(stderr, "velmira-cli: %u of %u files recovered into %s%s\n", job.Processed() - job.Failed(),
               job.Total(), o.to.c_str(), job.Failed() ? " (some failed, see above)" : "");

  // The record of what came from where, also after a stop.
  RecoveryReport report;
  report.version = VELMIRA_VERSION;
  report.commandLine = {"velmira-cli", "recover"};
  report.commandLine.insert(report.commandLine.end(), args.begin(), args.end());
  report.startedUnix = started;
  report.deep = deep;
  report.types = o.types;
  report.destination = o.to;
  report.source = DescribeSource(o, source, probe);
  for (const FoundRecord& r : files) {
    ReportFile f;
    f.record = r;
    std::string folder;
    if (engine->GetFolderPath(r, folder, 4096) != kOk) folder.clear();
    f.originalPath = folder + RecordName(r);
    report.files.push_back(f);
  }
  for (const RecoveryResult& r : job.Results())
    if (r.index < report.files.size()) report.files[r.index].result = &r;
  bool reportFailed = false;
  auto writeReport = [&](const std::string& path, const std::string& text) {
    std::string problem;
    if (WriteReportFile(path, text, problem)) {
      std::fprintf(stderr, "velmira-cli: report written to %s\n", TerminalText(path).c_str());
    } else {
      std::fprintf(stderr, "velmira-cli: %s\n", problem.c_str());
      reportFailed = true;
    }
  };
  writeReport(o.report.empty() ? DefaultReportPath(o.to) : o.report, ReportJson(report));
  if (!o.dfxml.empty()) writeReport(o.dfxml, ReportDfxml(report));

  if (result.IsCancelled()) return finish(kExitCancelled);
  return finish(job.Failed() != 0 || reportFailed ? kExitFailed : kExitOk);
}

}  // namespace

VELMIRA_CLI_COMMAND(recover, "recover",
                    "recover SOURCE --to DIR [--fast] [--continue|--restart] [--types photo,bin,...] "
                    "[--keep-partial] [--list] [--json] [--quiet] [--report FILE] [--dfxml FILE]",
                    "      scan SOURCE and copy the deleted and lost files it finds into DIR/photo,\n"
                    "      DIR/audio, DIR/video, DIR/document, DIR/archive and DIR/others; a name\n"
                    "      that is taken gets (1), (2), ... before its extension (no file is ever\n"
                    "      replaced); past 10000 files a category goes on in DIR/photo.2, ...\n"
                    "      A DIR on the medium being scanned (the source itself, a\n"
                    "      partition of it, an image mounted through a loop device) or one that\n"
                    "      cannot be created and written is refused before the scan, with exit\n"
                    "      status 1. A file that cannot be copied whole (read or write error,\n"
                    "      disk full, Ctrl-C) is removed and listed as FAILED; --keep-partial\n"
                    "      keeps what was copied as NAME.partial instead. Every file found is\n"
                    "      recovered unless --types limits them to categories (photo, audio,\n"
                    "      video, document, archive, others) and extensions, e.g. photo,pdf.\n"
                    "      --list prints the found files (folder path, size, times, whether their\n"
                    "      content check passed) without writing anything. --json prints one JSON\n"
                    "      object per line. The scan reads the file system's records, then sweeps\n"
                    "      the free space (the whole medium when no file system is found) for\n"
                    "      lost folders, NTFS file records and files known by their content.\n"
                    "      --fast reads the file system's records only. Ctrl-C stops a sweep;\n"
                    "      its position is kept (also after a kill or a closed terminal), and the\n"
                    "      next run on the same SOURCE asks whether to continue it; after a scan\n"
                    "      that finished, whether to show its results again (--continue / --restart\n"
                    "      answer without asking). Sectors that cannot be read are skipped one by\n"
                    "      one; their number is said at the end, and the exit status is then 6.\n"
                    "      Progress (stage, percent, speed, time left, files found) goes to\n"
                    "      stderr: one line rewritten on a terminal, else a line every 10\n"
                    "      seconds; --quiet shows none. After the copies DIR/velmira-report.json\n"
                    "      (--report FILE puts it elsewhere) records the source, the scan and for\n"
                    "      each file where it was written, its original path, size, times, how\n"
                    "      it was found (fast, deep, carved), its byte runs on the source, the\n"
                    "      SHA-256 of what was written and its status; --dfxml FILE writes the\n"
                    "      same as DFXML. A report that cannot be written gives exit status 4.\n",
                    20, RunRecover);

}  // namespace velmira::cli
