// The read-ahead every length rule with a cap, an end mark or a trailer
// shares: it reads the sectors after a candidate's first sector in pieces of
// up to 64 KiB, reports progress after each read, and ends the file at the
// first sector that starts another known file or holds file-system metadata
// (the boundary). Rules search the pieces for their end marks; the tail of
// the previous piece is kept in front of each piece so that a mark cut by a
// piece border is still found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engines/carving/carving_state.h"
#include "platform/byte_view.h"

namespace velmira {

inline constexpr uint64_t kMiB = 1024ULL * 1024ULL;
inline constexpr uint64_t kGiB = 1024ULL * kMiB;

enum class BoundaryKind {
  kAnyType,     // any detected type or file-system structure ends the file
  kIgnoreMpeg,  // as kAnyType, but MPEG pack headers inside the stream do not count
};

// True when `sector` ends a file being read ahead: it starts a known type
// (not counting MPEG when kind says so) or holds file-system metadata.
[[nodiscard]] bool IsBoundarySector(ByteView sector, CarvingState& state, BoundaryKind kind);

// Position of the first occurrence of `mark` in `bytes` at or after `from`,
// or npos.
[[nodiscard]] size_t FindMark(ByteView bytes, std::string_view mark, size_t from = 0);

// The counting test of trailers: an end mark ending at `end` (an offset into
// `bytes`, whose offset 0 lies on a sector start) counts when `end` is a
// sector start or every byte from there to the end of its sector is 0.
[[nodiscard]] bool MarkEndCounts(ByteView bytes, size_t end, uint32_t sectorSize);

class ReadAhead {
 public:
  static constexpr size_t kCarryBytes = 32;
  static constexpr size_t kNotFound = static_cast<size_t>(-1);

  // `firstSector` is the candidate's sector as handed to the rule (its tail
  // becomes the carry in front of the first piece); the candidate's absolute
  // number is state.candidateSector. `capBytes` bounds the whole length.
  ReadAhead(CarvingState& state, ByteView firstSector, uint64_t capBytes,
            BoundaryKind kind = BoundaryKind::kAnyType);
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Reads and scans the next piece. False when the rule must end: the cap is
  // used up, the source ended or failed, a boundary ended the previous piece,
  // or a progress report asked to stop (state.carveResult holds its answer).
  [[nodiscard]] bool Next();

  // The current piece's bytes that belong to the file, preceded by up to
  // kCarryBytes of the data before it.
  [[nodiscard]] ByteView Window() const { return ByteView(m_window, m_windowBytes); }
  // Bytes of Window() that precede the current piece.
  [[nodiscard]] size_t Carry() const { return m_carry; }
  // File offset (from the candidate's first byte) of Window()'s first byte.
  [[nodiscard]] uint64_t WindowStart() const { return m_pieceStart - m_carry; }
  // File offset of the current piece.
  [[nodiscard]] uint64_t PieceStart() const { return m_pieceStart; }
  // Bytes accepted so far: the first sector and every piece sector before
  // any boundary.
  [[nodiscard]] uint64_t Length() const { return m_lengthSectors * m_sectorSize; }
  [[nodiscard]] bool HitBoundary() const { return m_boundary; }

  // The first / last occurrence of `mark` in Window() that ends inside the
  // current piece (so that no occurrence is reported twice), as an offset
  // into Window(); kNotFound when there is none.
  [[nodiscard]] size_t FindFirst(std::string_view mark, size_t from = 0) const;
  [[nodiscard]] size_t FindLast(std::string_view mark) const;
  // The counting test for a mark that ends at `end` (offset into Window()).
  [[nodiscard]] bool Counts(size_t end) const;

 private:
  CarvingState& m_state;
  BoundaryKind m_kind;
  uint32_t m_sectorSize;
  uint32_t m_sectorsPerPiece;
  uint64_t m_capSectors;
  uint64_t m_lengthSectors = 1;
  uint64_t m_sectorsRead = 0;
  uint64_t m_pieceStart = 0;
  uint8_t* m_buffer = nullptr;  // kCarryBytes of carry room, then one piece
  const uint8_t* m_window = nullptr;
  size_t m_windowBytes = 0;
  size_t m_carry = 0;
  bool m_boundary = false;
  bool m_done = false;
};

}  // namespace velmira
