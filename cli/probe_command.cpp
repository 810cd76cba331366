#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "cli/cli_support.h"
#include "cli/command_registry.h"
#include "cli/commands.h"
#include "engines/engine_factory.h"
#include "platform/errors.h"

namespace velmira::cli {
namespace {

bool ParseNumber(const std::string& text, unsigned long long& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtoull(text.c_str(), &end, 10);
  return errno == 0 && end != nullptr && *end == '\0';
}

std::string SizeText(uint64_t bytes) {
  static const char* const kUnits[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB"};
  double v = static_cast<double>(bytes);
  int u = 0;
  while (v >= 1024.0 && u < 5) {
    v /= 1024.0;
    ++u;
  }
  char buf[64];
  if (u == 0)
    std::snprintf(buf, sizeof buf, "%" PRIu64 " bytes", bytes);
  else
    std::snprintf(buf, sizeof buf, "%.1f %s (%" PRIu64 " bytes)", v, kUnits[u], bytes);
  return buf;
}

}  // namespace

bool ParseSourceArg(const std::string& text, SourceArg& out, std::string& error) {
  out = SourceArg{};
  if (text.rfind("disk:", 0) != 0) {
    out.imagePath = text;
    return true;
  }
  std::vector<std::string> parts;
  size_t start = 5;
  for (;;) {
    size_t colon = text.find(':', start);
    parts.push_back(text.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  unsigned long long n = 0, first = 0, count = 0;
  if ((parts.size() != 1 && parts.size() != 3) || !ParseNumber(parts[0], n) || n > 0x7FFFFFFF) {
    error = "expected disk:N or disk:N:START:COUNT, got '" + text + "'";
    return false;
  }
  if (parts.size() == 3 && (!ParseNumber(parts[1], first) || !ParseNumber(parts[2], count) || count == 0)) {
    error = "START and COUNT in '" + text + "' must be sector numbers (COUNT above 0)";
    return false;
  }
  out.isDisk = true;
  out.diskNumber = static_cast<int>(n);
  out.startSector = first;
  out.sectorCount = count;
  return true;
}

int RunProbe(const std::vector<std::string>& rawArgs) {
  bool json = false;
  std::vector<std::string> args;
  if (!SplitJsonOption(rawArgs, "probe", json, args)) return kExitUsage;
  if (args.size() != 1) {
    std::fprintf(stderr, "velmira-cli: probe needs exactly one SOURCE (see velmira-cli --help)\n");
    return kExitUsage;
  }
  SourceArg source;
  std::string error;
  int exitCode = kExitOk;
  if (!ResolveSourceArg(args[0], source, error, exitCode)) {
    std::fprintf(stderr, "velmira-cli: %s\n", error.c_str());
    return exitCode;
  }

  PartitionLocator target;
  const std::string shown = SourceName(source);
  if (source.isDisk) {
    target.diskNumber = source.diskNumber;
    target.startSector = source.startSector;
    target.sectorCount = source.sectorCount;
    target.sourceKey = source.regionNumber;
  } else {
    struct stat st {};
    if (::stat(source.imagePath.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      std::fprintf(stderr, "velmira-cli: '%s' is a folder, not an image file or device\n",
                   source.imagePath.c_str());
      return kExitCannotOpen;
    }
    target.imagePath = source.imagePath;
  }

  SectorSource whole;
  const int32_t openErr =
      source.isDisk ? OpenDiskSource(whole, source.diskNumber) : OpenImageSource(whole, source.imagePath);
  if (openErr != kOk) {
    std::fprintf(stderr, "velmira-cli: cannot open %s: %s (error %d)\n", shown.c_str(),
                 ErrorText(openErr).c_str(), openErr);
    return kExitCannotOpen;
  }

  TargetProbe probe;
  const int32_t probeErr = ProbeTarget(target, probe);
  if (probeErr == kErrReadFault) {
    std::fprintf(stderr, "velmira-cli: %s is too small to hold a file system: it is shorter than %u bytes\n",
                 shown.c_str(), kProbeBytes);
    return kExitUnreadable;
  }
  if (probeErr != kOk) {
    std::fprintf(stderr, "velmira-cli: cannot read %s: %s (error %d)\n", shown.c_str(),
                 ErrorText(probeErr).c_str(), probeErr);
    return kExitCannotOpen;
  }

  const uint32_t sectorSize = probe.bytesPerSector;
  uint64_t sectors = probe.sourceBytes / sectorSize;
  uint64_t bytes = probe.sourceBytes;
  if (source.isDisk && source.sectorCount != 0) {
    sectors = source.sectorCount;
    bytes = sectors * sectorSize;
  }
  if (json) {
    std::string out = "{\"source\":" + JsonString(shown);
    out += ",\"drive\":" + (source.isDisk ? std::to_string(source.diskNumber) : std::string("null"));
    out += ",\"start\":" + std::to_string(source.startSector);
    out += ",\"bytes\":" + std::to_string(bytes) + ",\"size\":" + JsonString(SizeText(bytes));
    out += ",\"sectorSize\":" + std::to_string(sectorSize) + ",\"sectors\":" + std::to_string(sectors);
    out += ",\"fileSystem\":" + JsonString(FileSystemText(probe));
    out += ",\"backupBootSector\":" +
           (probe.bootSector != 0 ? std::to_string(probe.bootSector) : std::string("null"));
    out += ",\"headSectors\":" + std::to_string(probe.headSectors);
    out += ",\"unreadableHeadSectors\":" + std::to_string(probe.unreadableHeadSectors) + "}\n";
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
    return probe.unreadableHeadSectors != 0 ? kExitUnreadSectors : kExitOk;
  }
  std::printf("source:       %s\n", shown.c_str());
  if (source.regionNumber != 0) std::printf("drive:        disk %d\n", source.diskNumber);
  if (source.isDisk && (source.startSector != 0 || source.sectorCount != 0))
    std::printf("start sector: %llu\n", source.startSector);
  std::printf("size:         %s\n", SizeText(bytes).c_str());
  std::printf("sector size:  %u\n", sectorSize);
  std::printf("sectors:      %" PRIu64 "\n", sectors);
  std::printf("file system:  %s\n", FileSystemText(probe).c_str());
  if (probe.bootSector != 0) std::printf("boot sector:  backup at sector %" PRIu64 "\n", probe.bootSector);
  if (probe.unreadableHeadSectors != 0) {
    std::printf("unreadable:   %u of the first %u sectors\n", probe.unreadableHeadSectors, probe.headSectors);
    std::fflush(stdout);
    return kExitUnreadSectors;
  }
  return kExitOk;
}

VELMIRA_CLI_COMMAND(probe, "probe", "probe SOURCE [--json]",
                    "      show the size and sector size of SOURCE and which file system starts it\n"
                    "      (NTFS, FAT, exFAT, ext or other). --json prints the same as one JSON object\n",
                    10, RunProbe);

}  // namespace velmira::cli
