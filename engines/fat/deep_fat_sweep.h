// Runs the deep FAT scan by itself over a whole source, sweeping its sectors
// the way the combined deep scan does: each 64 KiB piece is read once, and
// every sector that starts a folder goes to OnDotDirectorySector, every other
// directory-like sector to OnDirectorySector. The combined deep scan replaces
// this for real scans; tests and fuzzers use it.
#pragma once

#include <cstdint>
#include <memory>

#include "engines/fat/deep_fat_recovery.h"
#include "engines/sweep_participant.h"
#include "results/progress_callbacks.h"

namespace velmira {

struct DeepFatSweepStats {
  uint64_t sectorsSwept = 0;
  uint64_t dotSectors = 0;        // handed to OnDotDirectorySector
  uint64_t directorySectors = 0;  // handed to OnDirectorySector
  uint64_t unreadPieces = 0;      // pieces skipped after a read error
};

// Opens a new scan log ("Pro_Fat_..."), adds the boot-sector layout, sweeps
// the engine's partition and finishes. The callback (may be null) gets
// (userData, percent, 100, -1, sectors swept, total, records found, 0) after
// every piece; a non-zero answer stops the sweep (the engine still finishes)
// and is returned. Returns 0, the log's open or write error, or the
// callback's answer.
[[nodiscard]] int32_t RunDeepFatSweep(CDeepFatRecovery& engine, ScanProgressCallback callback, void* userData,
                                      DeepFatSweepStats* stats = nullptr);

// The deep FAT engine's part in the combined deep scan: it takes the sectors
// that start a folder or look like a piece of one, in the order above.
[[nodiscard]] std::unique_ptr<CSweepParticipant> NewDeepFatParticipant();

}  // namespace velmira
