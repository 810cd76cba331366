#include "results/scan_log_names.h"

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace velmira {
namespace {

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

}  // namespace

const char* ScanLogPrefix(ScanLogKind kind) {
  switch (kind) {
    case ScanLogKind::kFast:
      return "Fast_";
    case ScanLogKind::kDeepFat:
      return "Pro_Fat_";
    case ScanLogKind::kDeepNtfs:
      return "Pro_Ntfs_";
    case ScanLogKind::kCarving:
      return "File_Type_";
    case ScanLogKind::kDeepExfat:
      return "Pro_Exfat_";
  }
  return "Fast_";
}

std::string ScanLogName(ScanLogKind kind, int64_t startSector, const CivilTime& localTime) {
  char text[128];
  const int n =
      std::snprintf(text, sizeof text, "%s%" PRId64 "_%d%d%d%d%2d", ScanLogPrefix(kind), startSector,
                    localTime.year, localTime.month, localTime.day, localTime.hour, localTime.minute);
  if (n <= 0) return {};
  return std::string(text, static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1);
}

std::string ScanLogName(ScanLogKind kind, int64_t startSector) {
  return ScanLogName(kind, startSector, LocalTimeNow());
}

std::string FirstLogNameWithPrefix(const std::string& folder, std::string_view prefix) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) return {};
  std::string best;
  bool found = false;
  // Bounded: a log folder holds a handful of logs, but never trust a folder.
  size_t seen = 0;
  for (const fs::directory_iterator end; it != end && seen < 1000000; it.increment(ec), ++seen) {
    if (ec) break;
    const std::string name = it->path().filename().string();
    if (name.empty() || name[0] == '.') continue;
    if (name.find(prefix) == std::string::npos) continue;
    if (EndsWith(name, "_Relation") || EndsWith(name, "_DirInfo") || EndsWith(name, "_Names")) continue;
    std::error_code typeEc;
    if (!it->is_regular_file(typeEc)) continue;
    if (!found || name < best) {
      best = name;
      found = true;
    }
  }
  return best;
}

std::string FreshLogName(const std::string& folder, const std::string& name) {
  std::string candidate = name;
  for (int n = 2; n < 100000; ++n) {
    std::error_code ec;
    if (!fs::exists(fs::path(folder) / candidate, ec) && !ec) return candidate;
    candidate = name + "_" + std::to_string(n);
  }
  return candidate;
}

}  // namespace velmira
