// The candidate test of the sector sweep for NTFS file records, and a driver
// that sweeps a whole source with it and hands every candidate that is not a
// folder to the deep NTFS engine.
#pragma once

#include <cstdint>
#include <memory>

#include "engines/ntfs/deep_ntfs_recovery.h"
#include "engines/sweep_participant.h"
#include "platform/byte_view.h"
#include "results/progress_callbacks.h"
#include "storage/sector_source.h"

namespace velmira {

// File-record size the sweep assumes: two sectors up to 512-byte sectors,
// one sector above.
[[nodiscard]] constexpr uint32_t SweepRecordSize(uint32_t bytesPerSector) {
  return bytesPerSector > 512 ? bytesPerSector : 2 * bytesPerSector;
}

// True when `bytes` (from a sector start) begin a plausible file record of
// `recordSize` bytes: "FILE", bytes in use at most the record size, the
// allocated size equal to it, and the update sequence number (0x30) equal to
// the last word of the first 512 bytes. The folder bit is not tested.
// Inline: the sweep asks it of every sector.
[[nodiscard]] inline bool IsNtfsRecordCandidate(ByteView bytes, uint32_t recordSize) {
  return bytes.size() >= 512 && bytes.Matches(0, "FILE") && bytes.U32At(kNtfsRecBytesInUse) <= recordSize &&
         bytes.U32At(kNtfsRecAllocated) == recordSize &&
         bytes.U16At(kNtfsRecUpdateSequence) == bytes.U16At(510);
}

// Sweeps every sector of `engine`'s partition in 64 KiB pieces and hands each
// candidate that is not a folder to ProcessFoundRecord; then FinishDeepNtfs.
// `progress` (may be null) gets (userData, percent, 100, -1, sector, total,
// found, 0) after each piece; a non-zero answer stops the sweep (the folder
// pass still runs) and is returned. A piece that cannot be read is skipped.
[[nodiscard]] int32_t SweepDeepNtfs(CDeepNtfsRecovery& engine, ScanProgressCallback progress, void* userData);

// The deep NTFS engine's part in the combined deep scan: it takes every
// sector that starts a candidate record (lists those that are no folder),
// reading a record that runs past the piece from the source whole.
[[nodiscard]] std::unique_ptr<CSweepParticipant> NewDeepNtfsParticipant();

}  // namespace velmira
