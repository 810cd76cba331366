// tar archives: 512-byte headers, each with its checksum, and their data
// rounded up to 512 bytes, to the two zero blocks that end the archive and
// the zero padding of its last 10 KiB record. An archive written without
// the zero blocks ends after its last valid entry.
#include <algorithm>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/read_ahead.h"

namespace velmira {
namespace {

constexpr uint64_t kTarCap = 256 * kGiB;
constexpr size_t kBlock = 512;
constexpr uint64_t kRecord = 20 * kBlock;
constexpr int kMaxEntries = 1 << 24;

// An octal number of the header (leading spaces, digits, then a space or
// zero byte), or GNU's base-256 form (first byte 0x80); false when neither.
bool ParseNumber(ByteView field, uint64_t& value) {
  value = 0;
  if (field.U8At(0) == 0x80) {
    for (size_t i = 1; i < field.size(); ++i) {
      if (value >> 56 != 0) return false;
      value = value << 8 | field.U8At(i);
    }
    return true;
  }
  size_t i = 0;
  while (i < field.size() && field.U8At(i) == ' ') ++i;
  bool digits = false;
  for (; i < field.size(); ++i) {
    const uint8_t c = field.U8At(i);
    if (c == 0 || c == ' ') break;
    if (c < '0' || c > '7' || value >> 60 != 0) return false;
    value = value * 8 + (c - '0');
    digits = true;
  }
  for (; i < field.size(); ++i)
    if (field.U8At(i) != 0 && field.U8At(i) != ' ') return false;
  return digits;
}

// A header block: a name, and a checksum that matches the block's byte sum
// (counted with the checksum field as spaces, unsigned or, as some old
// writers did, signed).
bool HeaderHolds(ByteView h) {
  if (h.size() < kBlock || h.U8At(0) == 0) return false;
  uint64_t stored = 0;
  if (!ParseNumber(h.Sub(148, 8), stored)) return false;
  int64_t sum = 0, signedSum = 0;
  for (size_t i = 0; i < kBlock; ++i) {
    const uint8_t b = i >= 148 && i < 156 ? ' ' : h.U8At(i);
    sum += b;
    signedSum += static_cast<int8_t>(b);
  }
  return static_cast<int64_t>(stored) == sum || static_cast<int64_t>(stored) == signedSum;
}

bool IsZero(ByteView v) {
  return v.size() != 0 && std::all_of(v.data(), v.data() + v.size(), [](uint8_t b) { return b == 0; });
}

uint32_t TarTest(ByteView s, CarvingState&) {
  return s.size() >= kBlock && s.Matches(257, "ustar") && HeaderHolds(s) ? kTypeTar : kNoType;
}

// Links, devices, folders and fifos have no data whatever their size field.
bool HasData(uint8_t type) {
  return type < '1' || type > '6';
}

uint64_t TarLength(ByteView s, CarvingState& state) {
  FileCursor cursor(state, s, kTarCap);
  uint64_t at = 0;
  for (int entry = 0; entry < kMaxEntries; ++entry) {
    const ByteView h = cursor.View(at, kBlock);
    if (h.size() == 0) break;
    if (IsZero(h)) {
      // The end: two zero blocks (one when the data ends), then the zero
      // padding of the last record when all of it is there.
      uint64_t end = at + kBlock;
      if (!IsZero(cursor.View(end, kBlock))) return end;
      end += kBlock;
      const uint64_t record = (end + kRecord - 1) / kRecord * kRecord;
      for (uint64_t b = end; b < record; b += kBlock)
        if (!IsZero(cursor.View(b, kBlock))) return end;
      return record;
    }
    if (!HeaderHolds(h)) break;
    uint64_t size = 0;
    if (!ParseNumber(h.Sub(124, 12), size) || size > kTarCap) break;
    const uint64_t data = HasData(h.U8At(156)) ? (size + kBlock - 1) / kBlock * kBlock : 0;
    const uint64_t next = at + kBlock + data;
    if (next > kTarCap || (data != 0 && !cursor.Has(next - 1, 1))) break;  // the entry's data is cut short
    at = next;
  }
  return at == 0 || cursor.Stopped() ? kNotAFile : at;
}

}  // namespace

const FileFormat kTarFormat{"tar", &TarTest, &TarLength, CarveStep::kPastFile, 2, {{148, '0'}, {148, ' '}}};

}  // namespace velmira
