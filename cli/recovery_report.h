// The record of a recovery that velmira-cli recover leaves beside the
// recovered files: what the source was, how it was scanned, and for every
// file where it was written, where it came from on the source and the
// SHA-256 of what was written. As JSON (velmira-report.json) and as DFXML,
// the XML that forensic tools exchange.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "jobs/recovery_job.h"
#include "results/found_record.h"
#include "results/source_identity.h"

namespace velmira::cli {

struct ReportSource {
  std::string given;    // SOURCE as the user gave it
  std::string path;     // the drive's device or the image file
  uint64_t offset = 0;  // where the scanned region starts on it, in bytes
  uint64_t size = 0;    // bytes of the scanned region
  uint32_t sectorSize = 512;
  std::string fileSystem;  // "FAT32", "NTFS", ... or "unknown"
  SourceIdentity identity;
};

struct ReportFile {
  FoundRecord record{};
  std::string originalPath;                // folder path and name on the source
  const RecoveryResult* result = nullptr;  // null: not reached (the recovery was stopped)
};

struct RecoveryReport {
  std::string program = "velmira-cli";
  std::string version;
  std::vector<std::string> commandLine;
  int64_t startedUnix = 0;  // when the scan began
  bool deep = true;
  std::string types;  // --types as given, empty for every file
  std::string destination;
  ReportSource source;
  std::vector<ReportFile> files;
};

// "fast", "deep" or "carved": how the engine that wrote the record found it.
const char* FoundByText(uint32_t engineTag);

std::string ReportJson(const RecoveryReport& report);
std::string ReportDfxml(const RecoveryReport& report);

// Writes `text` to `path` whole through a temporary file (a report is never
// left half-written under its name). False with the reason in `error`.
bool WriteReportFile(const std::string& path, const std::string& text, std::string& error);

}  // namespace velmira::cli
