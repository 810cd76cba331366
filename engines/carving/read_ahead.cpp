#include "engines/carving/read_ahead.h"

#include <algorithm>
#include <cstring>

#include "engines/carving/signature_table.h"
#include "platform/errors.h"
#include "storage/sector_source.h"

namespace velmira {

bool IsBoundarySector(ByteView sector, CarvingState& state, BoundaryKind kind) {
  const uint32_t code = DetectType(sector, state);
  if (code != kNoType && !(kind == BoundaryKind::kIgnoreMpeg && code == kTypeMpeg)) return true;
  return IsFileSystemStructure(sector);
}

size_t FindMark(ByteView bytes, std::string_view mark, size_t from) {
  if (mark.empty() || from > bytes.size() || bytes.size() - from < mark.size()) return ReadAhead::kNotFound;
  // memchr for the first byte is vectorised; the marks searched for (JPEG
  // and MPEG end codes) start with a byte that is rare in compressed data,
  // so this beats a general substring search severalfold.
  const auto* data = bytes.data();
  const size_t last = bytes.size() - mark.size();  // the last place a mark can start
  const auto first = static_cast<unsigned char>(mark[0]);
  for (size_t at = from; at <= last;) {
    const void* hit = memchr(data + at, first, last - at + 1);
    if (hit == nullptr) return ReadAhead::kNotFound;
    at = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
    if (std::memcmp(data + at + 1, mark.data() + 1, mark.size() - 1) == 0) return at;
    ++at;
  }
  return ReadAhead::kNotFound;
}

bool MarkEndCounts(ByteView bytes, size_t end, uint32_t sectorSize) {
  if (sectorSize == 0 || end > bytes.size()) return false;
  if (end % sectorSize == 0) return true;
  const size_t sectorEnd = std::min(bytes.size(), (end / sectorSize + 1) * size_t{sectorSize});
  for (size_t i = end; i < sectorEnd; ++i)
    if (bytes.data()[i] != 0) return false;
  return true;
}

ReadAhead::ReadAhead(CarvingState& state, ByteView firstSector, uint64_t capBytes, BoundaryKind kind)
    : m_state(state), m_kind(kind), m_sectorSize(state.sectorSize == 0 ? 512 : state.sectorSize) {
  m_sectorsPerPiece = std::max<uint32_t>(1, static_cast<uint32_t>(kIoPieceBytes / m_sectorSize));
  m_capSectors = capBytes / m_sectorSize;
  m_buffer = state.ReadAheadBuffer(kCarryBytes + size_t{m_sectorsPerPiece} * m_sectorSize);
  // The tail of the first sector sits in front of the first piece.
  m_carry = std::min(kCarryBytes, firstSector.size());
  std::memcpy(m_buffer + kCarryBytes - m_carry, firstSector.data() + firstSector.size() - m_carry, m_carry);
  m_window = m_buffer + kCarryBytes - m_carry;
  m_windowBytes = m_carry;
  m_pieceStart = m_sectorSize;
}

bool ReadAhead::Next() {
  if (m_done) return false;
  const uint64_t left = m_capSectors > m_lengthSectors ? m_capSectors - m_lengthSectors : 0;
  const auto want = static_cast<uint32_t>(std::min<uint64_t>(m_sectorsPerPiece, left));
  if (want == 0) {
    m_done = true;
    return false;
  }

  // Keep the last bytes of the window in front of the new piece.
  const size_t keep = std::min(kCarryBytes, m_windowBytes);
  std::memmove(m_buffer + kCarryBytes - keep, m_window + m_windowBytes - keep, keep);

  const uint64_t first = m_state.candidateSector + m_lengthSectors;
  uint32_t got = 0;
  const int32_t rc = m_state.Read(first, want, m_buffer + kCarryBytes, got);
  if (got == 0) {
    m_done = true;
    return false;
  }
  // A piece cut short by a read fault still counts up to the fault; the rule
  // ends after it.
  if (rc != kOk) m_done = true;
  m_sectorsRead += got;
  if (m_state.ReportReadAhead(m_sectorsRead) != 0) {
    m_done = true;
    return false;
  }

  uint32_t accepted = got;
  for (uint32_t i = 0; i < got; ++i) {
    m_state.sectorUnderTest = first + i;
    const ByteView sector(m_buffer + kCarryBytes + size_t{i} * m_sectorSize, m_sectorSize);
    if (IsBoundarySector(sector, m_state, m_kind)) {
      accepted = i;
      m_boundary = true;
      m_done = true;
      break;
    }
  }

  m_carry = keep;
  m_window = m_buffer + kCarryBytes - keep;
  m_windowBytes = keep + size_t{accepted} * m_sectorSize;
  m_pieceStart = m_lengthSectors * m_sectorSize;
  m_lengthSectors += accepted;
  return true;
}

size_t ReadAhead::FindFirst(std::string_view mark, size_t from) const {
  if (mark.empty()) return kNotFound;
  // Occurrences lying wholly in the carry were seen with the previous piece.
  const size_t start = std::max(from, m_carry >= mark.size() ? m_carry - mark.size() + 1 : 0);
  return FindMark(Window(), mark, start);
}

size_t ReadAhead::FindLast(std::string_view mark) const {
  size_t last = kNotFound;
  for (size_t at = FindFirst(mark); at != kNotFound; at = FindFirst(mark, at + 1)) last = at;
  return last;
}

bool ReadAhead::Counts(size_t end) const {
  if (end > m_windowBytes) return false;
  const uint64_t fileEnd = WindowStart() + end;
  if (fileEnd % m_sectorSize == 0) return true;
  const size_t sectorEnd = end + static_cast<size_t>(m_sectorSize - fileEnd % m_sectorSize);
  if (sectorEnd > m_windowBytes) return false;
  for (size_t i = end; i < sectorEnd; ++i)
    if (m_window[i] != 0) return false;
  return true;
}

}  // namespace velmira
