// The slots an engine answers from its scan log alone: listing a folder,
// counting the files below it, a record's folder path, and collecting the
// files of some extensions. `log` is null before the engine has scanned,
// which answers with nothing found. `root` is the directory key of the
// engine's root list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "results/found_record.h"
#include "results/scan_log.h"

namespace velmira {

// Flushes the log: 0, or the write error that left it incomplete (now or
// earlier), which every answer from it then gives.
[[nodiscard]] int32_t FlushedWhole(CScanLog& log);

// The records below `folder` (null and depth 0: the root). 87 for a
// null folder at another depth.
[[nodiscard]] int32_t ListLoggedChildren(CScanLog* log, DirectoryKey root, const FoundRecord* folder,
                                         uint32_t depth, std::vector<FoundRecord>& children);
// The files below `folder`, counted through its subfolders.
[[nodiscard]] int32_t CountLoggedFiles(CScanLog* log, DirectoryKey root, const FoundRecord* folder,
                                       uint32_t depth, uint32_t& count);
// The record's folder path: each ancestor's name followed by "/"; 122 when longer than
// maxChars bytes, 87 without a log.
[[nodiscard]] int32_t LoggedFolderPath(CScanLog* log, const FoundRecord& record, std::string& path,
                                       uint32_t maxChars);
// The files whose extension the "*.ext|" patterns name.
[[nodiscard]] int32_t CollectLoggedMatches(CScanLog* log, const std::string& patterns,
                                           std::vector<FoundRecord>& matches);

}  // namespace velmira
