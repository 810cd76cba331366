// Recreating a found folder and everything below it, breadth first: the
// walk every engine's RecoverItem shares for folder records.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engines/file_recovery_parse.h"

namespace velmira {

// Writes one found file to a path; returns 0, an error, or kCancelled.
using WriteFoundFile = std::function<int32_t(const FoundRecord& file, const std::string& path)>;

// Creates `destination` (with its parents), then lists each folder through
// engine.ListChildren at depth (separators in its path − rootDepth), writes
// its files with `write` and queues its subfolders. A damaged tree that lists
// a folder inside itself recreates it once. Returns 0, the error of creating
// the destination, kCancelled as soon as a file write answers it, or (after
// the whole walk) the error of the first subfolder that could not be made.
[[nodiscard]] int32_t RecoverFolderTree(IFileRecoveryParse& engine, const FoundRecord& folder,
                                        const std::string& destination, int32_t rootDepth,
                                        const WriteFoundFile& write);

}  // namespace velmira
