// Names of scan-log files. Every engine names its log from its prefix, the
// partition's start sector and the local time when the log is created:
//   "<prefix><start>_<year><month><day><hour><minute>"
// with month, day and hour unpadded and the minute two wide, padded with a
// blank, so a log made at 10:05 ends in "10 5". A continued deep scan finds
// each engine's log again through its folder's identity file
// (results/source_identity.h), or in a folder written before those by the
// prefix and the start sector: a folder may hold other sources' logs too.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/time_util.h"

namespace velmira {

enum class ScanLogKind {
  kFast,       // "Fast_": fast FAT, exFAT and NTFS scans
  kDeepFat,    // "Pro_Fat_"
  kDeepNtfs,   // "Pro_Ntfs_"
  kCarving,    // "File_Type_" (start sector 0 for an image file)
  kDeepExfat,  // "Pro_Exfat_"
};

// "Fast_", "Pro_Fat_", "Pro_Ntfs_", "File_Type_" or "Pro_Exfat_".
[[nodiscard]] const char* ScanLogPrefix(ScanLogKind kind);

// The log name for a start sector at the given local time, e.g.
// ScanLogName(kFast, 2048, {2024, 3, 5, 9, 7}) == "Fast_2048_2024359 7".
[[nodiscard]] std::string ScanLogName(ScanLogKind kind, int64_t startSector, const CivilTime& localTime);

// The same at LocalTimeNow().
[[nodiscard]] std::string ScanLogName(ScanLogKind kind, int64_t startSector);

// The first main log file of `folder` (in name order) whose name contains
// `prefix`. Names starting with "." and the companions ending in "_Relation",
// "_DirInfo" or "_Names" are never taken. Empty when there is none or the folder
// cannot be read.
[[nodiscard]] std::string FirstLogNameWithPrefix(const std::string& folder, std::string_view prefix);

// `name`, or when a log of that name already lies in `folder` (two scans in
// the same minute, or two images that both start at sector 0), the first of
// name + "_2", "_3", ... that is free, so that a new scan never appends to
// another scan's log.
[[nodiscard]] std::string FreshLogName(const std::string& folder, const std::string& name);

}  // namespace velmira
