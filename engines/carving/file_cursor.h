// Random access to the bytes of a file being carved, for the length rules
// that walk a format's own structure (boxes, chunks, headers, tables)
// instead of reading ahead to the next boundary. Offsets count from the
// candidate's first byte. Reads are cached in whole sectors, report
// progress like the read-ahead, and stop for good when the user cancels, so
// a walk over a hostile medium ends as soon as its data runs out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engines/carving/carving_state.h"
#include "platform/byte_view.h"

namespace velmira {

class FileCursor {
 public:
  // The most bytes one View may ask for.
  static constexpr size_t kMaxView = 64 * 1024;
  static constexpr uint64_t kNotFound = UINT64_MAX;

  // `firstSector` is the candidate's sector as handed to the rule (served
  // without a read); `capBytes` bounds every offset the cursor reads.
  FileCursor(CarvingState& state, ByteView firstSector, uint64_t capBytes);
  FileCursor(const FileCursor&) = delete;
  FileCursor& operator=(const FileCursor&) = delete;

  // The bytes [offset, offset + count) of the file, count <= kMaxView. An
  // empty view when any of them lies past the cap or the source, cannot be
  // read, or the user cancelled. The view stays valid until the next call.
  [[nodiscard]] ByteView View(uint64_t offset, size_t count);
  // As View, but cut short where the data ends instead of failing: the
  // bytes from `offset` up to `count` that can be had (possibly none).
  [[nodiscard]] ByteView ViewUpTo(uint64_t offset, size_t count);
  // Copies `count` bytes at `offset` (any count); false as View fails.
  [[nodiscard]] bool Read(uint64_t offset, size_t count, void* out);

  [[nodiscard]] uint8_t U8(uint64_t offset) { return View(offset, 1).U8At(0); }
  [[nodiscard]] uint16_t U16(uint64_t offset) { return View(offset, 2).U16At(0); }
  [[nodiscard]] uint32_t U32(uint64_t offset) { return View(offset, 4).U32At(0); }
  [[nodiscard]] uint64_t U64(uint64_t offset) { return View(offset, 8).U64At(0); }
  [[nodiscard]] uint16_t U16Be(uint64_t offset) { return View(offset, 2).U16BeAt(0); }
  [[nodiscard]] uint32_t U32Be(uint64_t offset) { return View(offset, 4).U32BeAt(0); }
  [[nodiscard]] bool Has(uint64_t offset, size_t count) { return View(offset, count).size() == count; }
  [[nodiscard]] bool Matches(uint64_t offset, std::string_view text) {
    return View(offset, text.size()).Matches(0, text);
  }

  // The offset of the first occurrence of `mark` (at most 64 bytes) that
  // starts at or after `from` and ends at or before `limit`; kNotFound when
  // there is none or the data ends first.
  [[nodiscard]] uint64_t Find(std::string_view mark, uint64_t from, uint64_t limit = UINT64_MAX);

  // Whether the sector that starts at file offset `offset` (a multiple of
  // the sector size) starts another known file or holds file-system
  // metadata. False when it cannot be read.
  [[nodiscard]] bool IsBoundaryAt(uint64_t offset);

  // The first sector at or after `from` (rounded up to a sector start) that
  // IsBoundaryAt accepts, or DataEnd(): where data without a length of its
  // own stops.
  [[nodiscard]] uint64_t NextBoundary(uint64_t from);

  // True once the user asked to stop (state.carveResult is set); every read
  // fails from then on.
  [[nodiscard]] bool Stopped() const { return m_state.carveResult != 0; }
  [[nodiscard]] uint64_t Cap() const { return m_cap; }
  [[nodiscard]] uint32_t SectorSize() const { return m_sectorSize; }
  // The first file offset known to lie past the source's end (or the cap).
  [[nodiscard]] uint64_t DataEnd() const;

 private:
  bool Load(uint64_t offset, size_t count);

  CarvingState& m_state;
  ByteView m_first;
  uint64_t m_cap;
  uint32_t m_sectorSize;
  uint8_t* m_buffer = nullptr;  // one window of m_windowCapacity bytes
  size_t m_windowCapacity = 0;
  uint64_t m_windowStart = 0;  // file offset of the window (a sector start)
  size_t m_windowBytes = 0;
  uint64_t m_sectorsRead = 0;  // for progress
};

}  // namespace velmira
