#include "engines/carving/file_cursor.h"

#include <algorithm>
#include <cstring>

#include "engines/carving/read_ahead.h"
#include "platform/errors.h"

namespace velmira {

FileCursor::FileCursor(CarvingState& state, ByteView firstSector, uint64_t capBytes)
    : m_state(state),
      m_first(firstSector),
      m_cap(capBytes),
      m_sectorSize(state.sectorSize == 0 ? 512 : state.sectorSize) {
  // Any view of up to kMaxView bytes fits in one window that starts on the
  // sector holding its first byte.
  m_windowCapacity = kMaxView + kMaxView + m_sectorSize;
  m_windowCapacity -= m_windowCapacity % m_sectorSize;
  m_buffer = state.CursorBuffer(m_windowCapacity);
}

uint64_t FileCursor::DataEnd() const {
  uint64_t end = m_cap;
  if (m_state.source != nullptr && m_state.source->IsOpen()) {
    const uint64_t count = m_state.source->sectorCount;
    const uint64_t sectors = count > m_state.candidateSector ? count - m_state.candidateSector : 0;
    end = std::min(end, sectors > UINT64_MAX / m_sectorSize ? UINT64_MAX : sectors * m_sectorSize);
  } else {
    end = std::min<uint64_t>(end, m_first.size());
  }
  return end;
}

bool FileCursor::Load(uint64_t offset, size_t count) {
  if (Stopped()) return false;
  const uint64_t firstSector = offset / m_sectorSize;
  const uint64_t start = firstSector * m_sectorSize;
  const uint64_t end = offset + count;
  const auto sectors = static_cast<uint32_t>(m_windowCapacity / m_sectorSize);
  const uint64_t need = (end - start + m_sectorSize - 1) / m_sectorSize;
  if (need > sectors) return false;
  // Read a whole window: walks mostly move forward, so the next views are
  // likely inside it.
  uint32_t got = 0;
  (void)m_state.Read(m_state.candidateSector + firstSector, sectors, m_buffer, got);  // judged by `got`
  m_windowStart = start;
  m_windowBytes = size_t{got} * m_sectorSize;
  if (got == 0) return false;
  m_sectorsRead += got;
  if (m_state.ReportReadAhead(m_sectorsRead) != 0) {
    m_windowBytes = 0;
    return false;
  }
  return true;
}

ByteView FileCursor::ViewUpTo(uint64_t offset, size_t count) {
  count = std::min(count, kMaxView);
  if (Stopped() || offset >= m_cap) return {};
  count = static_cast<size_t>(std::min<uint64_t>(count, m_cap - offset));
  if (offset + count <= m_first.size()) return m_first.Sub(static_cast<size_t>(offset), count);
  const bool inWindow = m_windowBytes != 0 && offset >= m_windowStart &&
                        offset < m_windowStart + m_windowBytes &&
                        offset + count <= m_windowStart + m_windowBytes;
  if (!inWindow && !Load(offset, count)) {
    // The source may end inside the range: serve what the window holds.
    if (m_windowBytes == 0 || offset < m_windowStart || offset >= m_windowStart + m_windowBytes) return {};
  }
  const size_t at = static_cast<size_t>(offset - m_windowStart);
  return ByteView(m_buffer + at, std::min(count, m_windowBytes - at));
}

ByteView FileCursor::View(uint64_t offset, size_t count) {
  if (count > kMaxView) return {};
  const ByteView v = ViewUpTo(offset, count);
  return v.size() == count ? v : ByteView{};
}

bool FileCursor::Read(uint64_t offset, size_t count, void* out) {
  auto* dst = static_cast<uint8_t*>(out);
  while (count > 0) {
    const size_t n = std::min(count, kMaxView);
    const ByteView v = View(offset, n);
    if (v.size() != n) return false;
    std::memcpy(dst, v.data(), n);
    dst += n;
    offset += n;
    count -= n;
  }
  return true;
}

uint64_t FileCursor::Find(std::string_view mark, uint64_t from, uint64_t limit) {
  if (mark.empty() || mark.size() > 64) return kNotFound;
  limit = std::min(limit, m_cap);
  constexpr size_t kStep = kMaxView - 64;
  while (from < limit && limit - from >= mark.size()) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kMaxView, limit - from));
    const ByteView v = ViewUpTo(from, want);
    if (v.size() < mark.size()) return kNotFound;
    const size_t at = FindMark(v, mark);
    if (at != ReadAhead::kNotFound) return from + at;
    if (v.size() < want) return kNotFound;  // the data ended inside this piece
    from += std::min(kStep, v.size() - mark.size() + 1);
  }
  return kNotFound;
}

uint64_t FileCursor::NextBoundary(uint64_t from) {
  const uint64_t end = DataEnd();
  uint64_t at = (from + m_sectorSize - 1) / m_sectorSize * m_sectorSize;
  for (; at < end && !Stopped(); at += m_sectorSize)
    if (IsBoundaryAt(at)) return at;
  return std::min(at, end);
}

bool FileCursor::IsBoundaryAt(uint64_t offset) {
  const ByteView sector = View(offset, m_sectorSize);
  if (sector.size() != m_sectorSize) return false;
  const uint64_t saved = m_state.sectorUnderTest;
  m_state.sectorUnderTest = m_state.candidateSector + offset / m_sectorSize;
  const bool boundary = IsBoundarySector(sector, m_state, BoundaryKind::kAnyType);
  m_state.sectorUnderTest = saved;
  return boundary;
}

}  // namespace velmira
