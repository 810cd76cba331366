#include "engines/ntfs/deep_ntfs_sweep.h"

#include <algorithm>
#include <vector>

#include "platform/errors.h"
#include "platform/status.h"

namespace velmira {
namespace {

constexpr uint32_t kPieceBytes = 64 * 1024;

}  // namespace

int32_t SweepDeepNtfs(CDeepNtfsRecovery& engine, ScanProgressCallback progress, void* userData) {
  const SectorSource& source = engine.Source();
  const NtfsGeometry& g = engine.Geometry();
  const uint32_t bps = g.bytesPerSector;
  const uint32_t recordSize = g.recordSize;  // the boot sector's, or the one the sector size implies
  const uint64_t total = g.partitionLength;
  const uint32_t pieceSectors = std::max<uint32_t>(kPieceBytes / bps, 1);
  std::vector<uint8_t> piece(size_t{pieceSectors} * bps);
  std::vector<uint8_t> window;
  int32_t result = kOk;
  for (uint64_t done = 0; done < total;) {
    const auto count = static_cast<uint32_t>(std::min<uint64_t>(pieceSectors, total - done));
    const uint64_t first = g.partitionStart + done;
    uint32_t got = 0;
    if (ReadSectors(count, source, piece.data(), first, bps, got) == kOk) {
      for (uint32_t s = 0; s < got; ++s) {
        const size_t offset = size_t{s} * bps;
        ByteView view(piece.data() + offset, size_t{got} * bps - offset);
        if (!IsNtfsRecordCandidate(view, recordSize)) continue;
        if (view.size() < recordSize) {
          // The record runs past the piece: take it from the source whole.
          if (ReadRecordWindow(source, g, first + s, window) != kOk) continue;
          view = ByteView(window.data(), window.size());
        }
        if (view.U16At(kNtfsRecFlags) & kNtfsFlagDirectory) continue;
        // A skipped record is no file; a log that fails ends the sweep.
        const Status listed =
            engine.SweepFoundRecord(std::span<const uint8_t>(view.data(), recordSize), first + s);
        if (listed.IsFatal()) {
          result = listed.Code();
          break;
        }
      }
    }
    if (result != kOk) break;
    done += count;
    if (progress != nullptr) {
      const auto percent = static_cast<int32_t>(static_cast<unsigned __int128>(done) * 100 / total);
      result = progress(userData, percent, 100, -1, done, total, engine.GetFoundCount(), 0);
      if (result != kOk) break;
    }
  }
  const int32_t finished = engine.FinishDeepNtfs();
  return result != kOk ? result : finished;
}

}  // namespace velmira
