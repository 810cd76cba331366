#include "engines/carving/carving_state.h"

#include <algorithm>

#include "platform/errors.h"

namespace velmira {

void CarvingState::ResetForSweep() {
  tsStrict = false;
  previousWasMts = false;
  streamRanges.clear();
  carveResult = 0;
}

int32_t CarvingState::Read(uint64_t first, uint32_t count, uint8_t* buffer, uint32_t& sectorsRead) const {
  sectorsRead = 0;
  if (source == nullptr || !source->IsOpen() || sectorSize == 0) return kErrInvalidHandle;
  if (first >= source->sectorCount) return kErrInvalidParameter;
  const uint64_t left = source->sectorCount - first;
  const auto n = static_cast<uint32_t>(std::min<uint64_t>(count, left));
  if (n == 0) return kErrInvalidParameter;
  return ReadSectors(n, *source, buffer, first, sectorSize, sectorsRead);
}

uint8_t* CarvingState::ReadAheadBuffer(size_t bytes) {
  if (m_readAhead.size() < bytes) m_readAhead.resize(bytes);
  return m_readAhead.data();
}

uint8_t* CarvingState::TestBuffer(size_t bytes) {
  if (m_testBuffer.size() < bytes) m_testBuffer.resize(bytes);
  return m_testBuffer.data();
}

uint8_t* CarvingState::CursorBuffer(size_t bytes) {
  if (m_cursorBuffer.size() < bytes) m_cursorBuffer.resize(bytes);
  return m_cursorBuffer.data();
}

int32_t CarvingState::ReportReadAhead(uint64_t sectorsAhead) {
  if (scanCallback == nullptr) return 0;
  const uint64_t position = sweep.sectorsDone + sectorsAhead;
  // position x 100 cannot overflow for any real medium; guard anyway.
  uint64_t percent = 0;
  if (sweep.totalSectors != 0)
    percent = position <= UINT64_MAX / 100 ? position * 100 / sweep.totalSectors
                                           : position / sweep.totalSectors * 100;
  const int32_t answer =
      scanCallback(userData, static_cast<int32_t>(std::min<uint64_t>(percent, 1000)) + 10, scale,
                   sweep.secondsLeft, position, sweep.totalSectors, sweep.filesFound, 0);
  if (answer != 0) carveResult = answer;
  return answer;
}

}  // namespace velmira
