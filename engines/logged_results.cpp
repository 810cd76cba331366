#include "engines/logged_results.h"

#include "platform/errors.h"

namespace velmira {

int32_t FlushedWhole(CScanLog& log) {
  const int32_t err = log.FlushLog();
  return err != kOk ? err : log.WriteError();
}

int32_t ListLoggedChildren(CScanLog* log, DirectoryKey root, const FoundRecord* folder, uint32_t depth,
                           std::vector<FoundRecord>& children) {
  children.clear();
  if (folder == nullptr && depth != 0) return kErrInvalidParameter;
  if (log == nullptr) return kOk;
  if (const int32_t err = FlushedWhole(*log); err != kOk) return err;
  return log->ReadChildRecords(folder ? MakeDirectoryKey(depth, folder->key) : root, children);
}

int32_t CountLoggedFiles(CScanLog* log, DirectoryKey root, const FoundRecord* folder, uint32_t depth,
                         uint32_t& count) {
  count = 0;
  if (folder == nullptr && depth != 0) return kErrInvalidParameter;
  if (log == nullptr) return kOk;
  if (const int32_t err = FlushedWhole(*log); err != kOk) return err;
  return log->CountFilesBelow(folder ? MakeDirectoryKey(depth, folder->key) : root, count);
}

int32_t LoggedFolderPath(CScanLog* log, const FoundRecord& record, std::string& path, uint32_t maxChars) {
  path.clear();
  if (log == nullptr) return kErrInvalidParameter;
  if (const int32_t err = FlushedWhole(*log); err != kOk) return err;
  std::vector<FoundRecord> ancestors;
  if (int32_t err = log->BuildPath(record, ancestors); err != kOk) return err;
  std::string text = PathTextFrom(ancestors);
  if (text.size() > maxChars) return kErrInsufficientBuffer;
  path = std::move(text);
  return kOk;
}

int32_t CollectLoggedMatches(CScanLog* log, const std::string& patterns, std::vector<FoundRecord>& matches) {
  matches.clear();
  if (log == nullptr) return kOk;
  return log->FindByExtension(patterns, matches);
}

}  // namespace velmira
