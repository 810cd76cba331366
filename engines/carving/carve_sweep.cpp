#include "engines/carving/carve_sweep.h"

#include <algorithm>
#include <vector>

#include "engines/carving/signature_table.h"
#include "platform/errors.h"
#include "platform/time_util.h"

namespace velmira {

int32_t CarveSweep(CFileTypeRecovery& engine, uint64_t first, uint64_t count, ScanProgressCallback callback,
                   void* userData, CarveSweepResult& result) {
  result = CarveSweepResult{};
  const SectorSource& source = engine.Source();
  const uint32_t bps = engine.SectorSize() == 0 ? 512 : engine.SectorSize();
  engine.SetProgressCallbacks(callback, nullptr, userData, 100);
  engine.State().ResetForSweep();
  if (!source.IsOpen()) return kErrInvalidHandle;
  const uint64_t end = first + std::min(count, source.sectorCount > first ? source.sectorCount - first : 0);
  const uint32_t pieceSectors = std::max<uint32_t>(static_cast<uint32_t>(kIoPieceBytes / bps), 1);
  std::vector<uint8_t> piece(uint64_t{pieceSectors} * bps);
  std::vector<uint8_t> marks(pieceSectors);
  const uint64_t total = end - first;
  const uint64_t started = TickCountMs();
  int32_t secondsLeft = -1;

  uint64_t pos = first;
  while (pos < end) {
    const auto want = static_cast<uint32_t>(std::min<uint64_t>(pieceSectors, end - pos));
    uint32_t got = 0;
    (void)ReadSectors(want, source, piece.data(), pos, bps, got);  // judged by `got` below
    if (got == 0) {  // a bad sector: step over it, the sweep goes on
      ++result.unreadableSectors;
      ++pos;
      continue;
    }
    // The sectors that carry no lead byte are passed over without the tests.
    std::fill(marks.begin(), marks.end(), uint8_t{0});
    MarkHeaderCandidates(piece.data(), got, bps, marks.data(), 1);
    uint64_t i = 0;
    while (i < got) {
      if (marks[static_cast<size_t>(i)] == 0) {
        engine.PassOverHeaderlessSector();
        ++i;
        continue;
      }
      SweepFigures figures;
      figures.sectorsDone = pos + i - first;
      figures.totalSectors = total;
      figures.secondsLeft = secondsLeft;
      figures.filesFound = result.filesFound;
      uint64_t consumed = 1;
      const int32_t r = engine.CarveAtSector(bps, ByteView(piece.data() + i * bps, bps), pos + i, figures,
                                             source, consumed, result.filesFound);
      if (r != kOk && r != kErrInvalidParameter) return r;
      i += consumed;
    }
    pos = std::min(pos + i, end);
    result.sectorsSwept = pos - first;
    const uint64_t elapsed = TickCountMs() - started;
    if (result.sectorsSwept > 0 && elapsed > 1000)
      secondsLeft = static_cast<int32_t>(std::min<uint64_t>(
          elapsed * (total - result.sectorsSwept) / result.sectorsSwept / 1000, INT32_MAX));
    if (callback != nullptr) {
      const auto percent = static_cast<int32_t>(total == 0 ? 100 : result.sectorsSwept * 100 / total);
      if (int32_t answer = callback(userData, percent, 100, secondsLeft, pos, total, result.filesFound, 0))
        return answer;
    }
  }
  return kOk;
}

}  // namespace velmira
