// The callback protocols every engine shares. Each receives the registered
// user data first; a non-zero return stops the operation, which returns that
// value (kCancelled when the user cancels).
#pragma once

#include <cstdint>
#include <string>

namespace velmira {

// percent of this engine's own work (0..100), scale as registered, seconds
// left (-1 unknown), position and total in sectors (total 0 hides them),
// files found, and a reserved value receivers ignore.
using ScanProgressCallback = int32_t (*)(void* userData, int32_t percent, int32_t scale, int32_t secondsLeft,
                                         uint64_t position, uint64_t total, uint64_t filesFound,
                                         int32_t reserved);

// percent of the current file written, scale (always 100), the last write's
// error code (0 while all is well), the destination path of the file.
using FileProgressCallback = int32_t (*)(void* userData, int32_t percent, int32_t scale, int32_t error,
                                         const std::string& destinationPath);

using SearchProgressCallback = int32_t (*)(void* userData, int32_t percent, int32_t ignored);

using PreviewProgressCallback = int32_t (*)(void* userData, int32_t percent, int32_t error);

}  // namespace velmira
