// A sweep of the carver alone over a stretch of its source: every sector is
// offered to CarveAtSector, and the sweep moves on by what each carve
// consumed. The combined deep scan has its own sweep; this one serves a
// carve-only run (velmira-cli carve) and the tests.
#pragma once

#include <cstdint>

#include "engines/carving/file_type_recovery.h"

namespace velmira {

struct CarveSweepResult {
  uint64_t filesFound = 0;
  uint64_t sectorsSwept = 0;
  uint64_t unreadableSectors = 0;
};

// Sweeps `count` sectors from absolute sector `first` of the engine's source
// in 64 KiB pieces. An unreadable sector is skipped. Progress goes to the
// engine's scan callback (percent of this sweep, scale, seconds left,
// position and total in sectors, files found) after every piece and while a
// length rule reads ahead; a non-zero answer stops the sweep and is
// returned. Returns 0 at the end.
[[nodiscard]] int32_t CarveSweep(CFileTypeRecovery& engine, uint64_t first, uint64_t count,
                                 ScanProgressCallback callback, void* userData, CarveSweepResult& result);

}  // namespace velmira
