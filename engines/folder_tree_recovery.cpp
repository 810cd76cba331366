#include "engines/folder_tree_recovery.h"

#include <algorithm>
#include <deque>
#include <set>
#include <vector>

#include "platform/errors.h"
#include "platform/folders.h"
#include "platform/text.h"
#include "results/scan_log.h"

namespace velmira {

int32_t RecoverFolderTree(IFileRecoveryParse& engine, const FoundRecord& folder,
                          const std::string& destination, int32_t rootDepth, const WriteFoundFile& write) {
  const int32_t err = CreateFolderWithParents(destination);
  if (err != kOk && err != kErrFileExists && err != kErrAlreadyExists) return err;
  struct Item {
    FoundRecord record;
    std::string path;
  };
  // Breadth first: a folder's files, then the folders queued behind it.
  std::deque<Item> queue{{folder, destination}};
  std::set<uint64_t> listed;
  int32_t folderError = kOk;  // the first subfolder that could not be made
  while (!queue.empty()) {
    Item item = std::move(queue.front());
    queue.pop_front();
    int32_t separators = 0;
    for (size_t i = 0; i + 1 < item.path.size(); ++i)
      if (item.path[i] == '/') ++separators;
    const int32_t depth = std::max(separators - rootDepth, 0);
    if (!listed.insert(MakeDirectoryKey(static_cast<uint32_t>(depth), item.record.key)).second) continue;
    std::vector<FoundRecord> children;
    if (engine.ListChildren(&item.record, static_cast<uint32_t>(depth), children) != kOk) continue;
    for (const FoundRecord& child : children) {
      const std::string childPath =
          item.path + "/" + FitNameBytes(SafeFileName(RecordName(child)), kMaxRecoveredNameBytes);
      if (child.isFolder) {
        // Its files still get their own tries (and errors); an empty folder
        // that is missing would otherwise pass for recovered.
        if (const int32_t made = CreateFolderWithParents(childPath); made != kOk && folderError == kOk)
          folderError = made;
        queue.push_back({child, childPath});
        continue;
      }
      if (write(child, childPath) == kCancelled) return kCancelled;
    }
  }
  return folderError;
}

}  // namespace velmira
