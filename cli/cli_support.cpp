#include "cli/cli_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <filesystem>

#include "engines/engine_factory.h"
#include "jobs/recovery_destination.h"
#include "platform/drives.h"
#include "platform/errors.h"
#include "platform/file_handle.h"
#include "platform/text.h"
#include "results/extension_lists.h"
#include "storage/disk_discovery.h"
#include "storage/sector_source.h"

namespace velmira::cli {
namespace {

std::atomic<bool> g_cancel{false};
bool g_progressShown = false;

void OnInterrupt(int) {
  g_cancel.store(true);
}

}  // namespace

bool ResolveSourceArg(const std::string& text, SourceArg& out, std::string& error, int& exitCode) {
  if (!ParseSourceArg(text, out, error)) {
    exitCode = kExitUsage;
    return false;
  }
  // A file of that name wins; ./N names it too.
  struct stat st {};
  const bool exists = !out.isDisk && ::stat(text.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    // Refused before anything opens it: a FIFO would wait for a writer,
    // /dev/zero would pass for an empty medium.
    error = TerminalText(text) + " is " + FileKindText(text) + ", not a disk or an image file";
    exitCode = kExitCannotOpen;
    return false;
  }
  if (out.isDisk || text.empty() || text.size() > 9 ||
      text.find_first_not_of("0123456789") != std::string::npos || exists)
    return true;
  const unsigned long number = std::stoul(text);
  DiskMap map;
  if (!EnumeratePartitions(map)) {
    error = "cannot read the mount table /proc/self/mountinfo to find region " + text;
    exitCode = kExitFailed;
    return false;
  }
  PartitionCursor cursor;
  PartitionRecord record;
  while (NextPartitionRecord(map, cursor, record)) {
    if (record.letterOrNumber == 0 || record.letterOrNumber != number) continue;
    out = SourceArg{};
    out.isDisk = true;
    out.diskNumber = record.diskNumber;
    out.startSector = record.startSector;
    out.sectorCount = record.sectorCount;
    out.regionNumber = record.letterOrNumber;
    return true;
  }
  error = "there is no region " + text + " and no file of that name (velmira-cli disks lists the regions)";
  exitCode = kExitCannotOpen;
  return false;
}

std::string SourceName(const SourceArg& source) {
  if (source.regionNumber != 0) return "region " + std::to_string(source.regionNumber);
  if (source.isDisk) return "disk " + std::to_string(source.diskNumber);
  return TerminalText(source.imagePath);
}

uint16_t SourceKeyOf(const SourceArg& source) {
  if (source.regionNumber != 0) return source.regionNumber;
  return source.isDisk ? 1 : 1001;
}

std::unique_ptr<IFileRecoveryParse> OpenEngine(const SourceArg& source, bool deep, int& exitCode,
                                               TargetProbe* probed) {
  PartitionLocator target;
  const std::string shown = SourceName(source);
  if (source.isDisk) {
    target.diskNumber = source.diskNumber;
    target.startSector = source.startSector;
    target.sectorCount = source.sectorCount;
    target.sourceKey = source.regionNumber;
  } else {
    target.imagePath = source.imagePath;
  }
  TargetProbe probe;
  const int32_t err = ProbeTarget(target, probe);
  if (err == kErrReadFault) {
    std::fprintf(stderr, "velmira-cli: %s is too small to hold a file system: it is shorter than %u bytes\n",
                 shown.c_str(), kProbeBytes);
    exitCode = kExitUnreadable;
    return nullptr;
  }
  if (err == kErrBadFileType && !source.isDisk) {
    std::fprintf(stderr, "velmira-cli: cannot open %s: it is %s, not a disk or an image file (error %d)\n",
                 shown.c_str(), FileKindText(source.imagePath).c_str(), err);
    exitCode = kExitCannotOpen;
    return nullptr;
  }
  if (err != kOk) {
    std::fprintf(stderr, "velmira-cli: cannot open %s: %s (error %d)\n", shown.c_str(),
                 ErrorText(err).c_str(), err);
    exitCode = kExitCannotOpen;
    return nullptr;
  }
  if (probed != nullptr) *probed = probe;
  if (probe.unreadableHeadSectors != 0) {
    // The scan goes on; the exit status still tells of the bad sectors.
    exitCode = kExitUnreadSectors;
    std::fprintf(stderr, "velmira-cli: %u of the first %u sectors of %s cannot be read\n",
                 probe.unreadableHeadSectors, probe.headSectors, shown.c_str());
  }
  if (probe.bootSector != 0)
    std::fprintf(
        stderr,
        "velmira-cli: the %s file system of %s is read through its backup boot sector (sector %" PRIu64 ")\n",
        FileSystemText(probe).c_str(), shown.c_str(), probe.bootSector);
  else if (probe.kind == FileSystemKind::kAmbiguous && deep)
    std::fprintf(stderr,
                 "velmira-cli: the start of %s looks like more than one file system (%s); none is trusted "
                 "and the whole medium is searched for files\n",
                 shown.c_str(), FileSystemText(probe).c_str());
  else if (probe.unreadableHeadSectors != 0 && probe.kind == FileSystemKind::kOther && deep)
    std::fprintf(stderr,
                 "velmira-cli: no file system can be told on %s; the whole medium is searched for files\n",
                 shown.c_str());
  uint64_t count = source.sectorCount;
  if (source.isDisk && count == 0) {
    const uint64_t sectors = probe.sourceBytes / probe.bytesPerSector;
    count = sectors > source.startSector ? sectors - source.startSector : 0;
  }
  auto engine = source.isDisk ? CreateEngineForPartition(source.diskNumber, source.startSector, count,
                                                         SourceKeyOf(source), deep)
                              : CreateEngineForImage(source.imagePath, SourceKeyOf(source), deep);
  if (!engine) {
    std::fprintf(stderr, "velmira-cli: no %s engine for %s (file system: %s)\n",
                 deep ? "deep-scan" : "fast-scan", shown.c_str(), FileSystemText(probe).c_str());
    exitCode = kExitFailed;
  }
  return engine;
}

bool ProgressWanted() {
  static const bool wanted = ::isatty(STDERR_FILENO) == 1;  // asked once: a scan reports thousands of times
  return wanted;
}

void ShowProgress(const std::string& text) {
  if (!ProgressWanted()) return;
  std::fprintf(stderr, "\r%-78s", text.c_str());
  std::fflush(stderr);
  g_progressShown = true;
}

void EndProgress() {
  if (g_progressShown) std::fprintf(stderr, "\r%-78s\r", "");
  g_progressShown = false;
}

void InstallCancelHandler() {
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
  // A closed terminal stops a scan as Ctrl-C does: its position is kept.
  ::sigaction(SIGHUP, &sa, nullptr);
}

bool CancelRequested() {
  return g_cancel.load();
}

int32_t ScanProgressLine(void*, int32_t percent, int32_t scale, int32_t secondsLeft, uint64_t position,
                         uint64_t total, uint64_t filesFound, int32_t) {
  if (CancelRequested()) return kCancelled;
  // An engine's percent covers its share (scale) of the whole scan.
  const int64_t shown = std::clamp<int64_t>(int64_t{percent} * scale / 100, 0, 100);
  std::string line = "scanning " + std::to_string(shown) + "%";
  if (total != 0) line += "  sector " + std::to_string(position) + " of " + std::to_string(total);
  if (filesFound != 0) line += "  found " + std::to_string(filesFound);
  if (secondsLeft >= 0) line += "  about " + std::to_string(secondsLeft) + " s left";
  ShowProgress(line);
  return 0;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  // Names come from the medium: keep the output valid UTF-8.
  return Utf16ToUtf8(Utf8ToUtf16(out)) + "\"";
}

std::string TerminalText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  auto escape = [&](unsigned char c) {
    switch (c) {
      case '\n':
        out += "\\n";
        return;
      case '\r':
        out += "\\r";
        return;
      case '\t':
        out += "\\t";
        return;
      case '\\':
        out += "\\\\";
        return;
      default: {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02x", c);
        out += buf;
      }
    }
  };
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t size = text.size();
  for (size_t i = 0; i < size;) {
    const unsigned char c = bytes[i];
    if (c < 0x80) {
      if (c < 0x20 || c == 0x7F || c == '\\')
        escape(c);
      else
        out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    // A whole, shortest-form UTF-8 sequence of a printable character is
    // kept; C1 controls (U+0080..U+009F) and stray bytes are escaped.
    size_t length = 0;
    uint32_t code = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
      code = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      code = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      code = c & 0x07u;
    }
    bool whole = length != 0 && i + length <= size;
    for (size_t k = 1; whole && k < length; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) whole = false;
      code = (code << 6) | (bytes[i + k] & 0x3Fu);
    }
    if (whole) {
      const uint32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
      if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) whole = false;
    }
    if (!whole) {
      escape(c);
      ++i;
      continue;
    }
    if (code <= 0x9F) {  // C1 control
      for (size_t k = 0; k < length; ++k) escape(bytes[i + k]);
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  return out;
}

TypeSelection SelectTypes(const std::string& types) {
  TypeSelection selection;
  if (types.empty()) {
    selection.patterns = std::string(kEveryFilePattern);
    return selection;
  }
  size_t start = 0;
  while (start <= types.size()) {
    size_t comma = types.find(',', start);
    if (comma == std::string::npos) comma = types.size();
    std::string item = AsciiLower(types.substr(start, comma - start));
    while (!item.empty() && item.front() == '.') item.erase(item.begin());
    start = comma + 1;
    if (item.empty()) continue;
    if (item == "photo") {
      selection.named += kPhotoExtensions;
    } else if (item == "audio") {
      selection.named += kAudioExtensions;
    } else if (item == "video") {
      selection.named += kVideoExtensions;
    } else if (item == "document") {
      selection.named += kDocumentExtensions;
    } else if (item == "archive") {
      selection.named += kArchiveExtensions;
    } else if (item == "others") {
      selection.others = true;
    } else {
      selection.named += "*." + item + "|";
    }
  }
  // The others are the files of no list: collected all, then sifted.
  selection.patterns = selection.others ? std::string(kEveryFilePattern) : selection.named;
  return selection;
}

void KeepSelected(const TypeSelection& selection, std::vector<FoundRecord>& files) {
  if (!selection.others) return;
  std::erase_if(files, [&](const FoundRecord& r) {
    const std::string name = RecordName(r);
    const std::string ext = ExtensionOf(name);
    if (ext.empty() || RecoveryCategoryOf(name) == FileCategory::kOthers) return false;
    return selection.named.find("*." + ext + "|") == std::string::npos;
  });
}

namespace {

ScannedArea AreaOf(const SourceArg& source) {
  ScannedArea area;
  if (!source.isDisk) {
    area = ScannedAreaOf(source.imagePath, 0, 0);
  } else if (std::string drive; DiskDevicePath(source.diskNumber, drive) == kOk) {
    area = ScannedAreaOf(drive, source.startSector, source.sectorCount);
  }
  return area;
}

}  // namespace

bool OutputFileUsable(const std::string& option, const std::string& file, const SourceArg& source) {
  const std::filesystem::path parent = std::filesystem::path(file).parent_path();
  std::string reason;
  if (DestinationOnScannedArea(parent.empty() ? std::string(".") : parent.string(), AreaOf(source), reason)) {
    std::fprintf(stderr, "velmira-cli: refusing %s %s: %s; choose a folder on another disk\n", option.c_str(),
                 TerminalText(file).c_str(), reason.c_str());
    return false;
  }
  return true;
}

bool DestinationUsable(const std::string& folder, const SourceArg& source) {
  const ScannedArea area = AreaOf(source);
  const DestinationCheck check = CheckRecoveryDestination(folder, {area});
  if (check.problem == DestinationProblem::kOnScannedSource) {
    std::fprintf(stderr, "velmira-cli: refusing --to %s: %s; choose a folder on another disk\n",
                 folder.c_str(), check.reason.c_str());
    return false;
  }
  if (check.problem == DestinationProblem::kNotWritable) {
    std::fprintf(stderr, "velmira-cli: cannot write into %s: %s (error %d)\n", folder.c_str(),
                 ErrorText(check.error).c_str(), check.error);
    return false;
  }
  return true;
}

bool SplitJsonOption(const std::vector<std::string>& rawArgs, const char* command, bool& json,
                     std::vector<std::string>& operands) {
  json = false;
  operands.clear();
  for (const std::string& a : rawArgs) {
    if (a == "--json") {
      json = true;
    } else if (a.size() > 1 && a[0] == '-') {
      std::fprintf(stderr, "velmira-cli: unknown option '%s' for %s (see velmira-cli %s --help)\n", a.c_str(),
                   command, command);
      return false;
    } else {
      operands.push_back(a);
    }
  }
  return true;
}

}  // namespace velmira::cli
