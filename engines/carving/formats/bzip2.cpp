// bzip2 streams. Blocks and the end-of-stream mark are not byte-aligned:
// the stream is searched bit by bit for each block's 48-bit mark, whose
// CRC-32 follows it, up to the end mark, whose combined CRC must equal the
// one folded from the block CRCs. The stream ends in the byte that holds
// the combined CRC's last bit.
#include <array>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/read_ahead.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr uint64_t kBzip2Cap = 64 * kGiB;
constexpr uint64_t kBlockMark = 0x314159265359ULL;
constexpr uint64_t kEndMark = 0x177245385090ULL;
constexpr uint64_t kMask48 = (uint64_t{1} << 48) - 1;
constexpr int kMaxStreams = 1 << 16;

bool IsStreamHeader(ByteView s) {
  if (s.size() < 10 || !s.Matches(0, "BZh") || s.U8At(3) < '1' || s.U8At(3) > '9') return false;
  return s.Matches(4, "\x31\x41\x59\x26\x53\x59"sv) || s.Matches(4, "\x17\x72\x45\x38\x50\x90"sv);
}

uint32_t Bzip2Test(ByteView s, CarvingState&) {
  return IsStreamHeader(s) ? kTypeBzip2 : kNoType;
}

// `count` (at most 32) bits at bit offset `bit`, most significant first.
bool ReadBits(FileCursor& cursor, uint64_t bit, int count, uint32_t& value) {
  const ByteView v = cursor.ViewUpTo(bit / 8, 5);
  if (v.size() * 8 < bit % 8 + static_cast<uint64_t>(count)) return false;
  uint64_t word = 0;
  for (size_t i = 0; i < 5; ++i) word = word << 8 | v.U8At(i);
  value = static_cast<uint32_t>((word >> (40 - bit % 8 - count)) & ((uint64_t{1} << count) - 1));
  return true;
}

// The bit offset of the first block or end mark that starts at or after
// bit `from` and before bit `limit`; `isEnd` tells which. False when there
// is none or the data ends first.
bool FindMark(FileCursor& cursor, uint64_t from, uint64_t limit, uint64_t& at, bool& isEnd) {
  uint64_t byte = from / 8 >= 6 ? from / 8 - 6 : 0;
  uint64_t reg = 0;
  uint64_t loaded = 0;  // bits shifted into reg
  while (byte * 8 < limit + 48) {
    const ByteView piece = cursor.ViewUpTo(byte, FileCursor::kMaxView);
    if (piece.size() == 0) return false;
    for (size_t i = 0; i < piece.size(); ++i) {
      reg = reg << 8 | piece.U8At(i);
      loaded += 8;
      if (loaded < 48) continue;
      const uint64_t endBit = (byte + i + 1) * 8;  // one past the last bit in reg
      for (int k = 7; k >= 0; --k) {
        if (loaded < 48 + static_cast<uint64_t>(k)) continue;
        const uint64_t start = endBit - static_cast<uint64_t>(k) - 48;
        if (start < from) continue;
        if (start >= limit) return false;
        const uint64_t window = (reg >> k) & kMask48;
        if (window == kBlockMark || window == kEndMark) {
          at = start;
          isEnd = window == kEndMark;
          return true;
        }
      }
    }
    byte += piece.size();
    if (piece.size() < FileCursor::kMaxView) return false;  // the data ended
  }
  return false;
}

// The end (in bytes) of the stream at byte `start`, or 0.
uint64_t StreamEnd(FileCursor& cursor, uint64_t start) {
  const ByteView header = cursor.View(start, 10);
  if (!IsStreamHeader(header)) return 0;
  // A block of level n holds n x 100k symbols of at most 20 bits each.
  const uint64_t maxBlockBits = (header.U8At(3) - uint64_t{'0'}) * 100000 * 20 + 65536 * 8;
  uint64_t bit = (start + 4) * 8;
  uint32_t combined = 0;
  for (;;) {
    uint32_t high = 0, low = 0, crc = 0;
    if (!ReadBits(cursor, bit, 24, high) || !ReadBits(cursor, bit + 24, 24, low)) return 0;
    const uint64_t mark = uint64_t{high} << 24 | low;
    if (!ReadBits(cursor, bit + 48, 32, crc)) return 0;
    if (mark == kEndMark) return crc == combined ? (bit + 80 + 7) / 8 : 0;
    if (mark != kBlockMark) return 0;
    combined = (combined << 1 | combined >> 31) ^ crc;
    bool isEnd = false;
    uint64_t next = 0;
    if (!FindMark(cursor, bit + 80, bit + 80 + maxBlockBits, next, isEnd)) return 0;
    bit = next;
  }
}

// Streams that follow each other inside a sector (as parallel compressors
// write them) belong to one file; a stream that starts a sector is a file
// of its own.
uint64_t Bzip2Length(ByteView s, CarvingState& state) {
  FileCursor cursor(state, s, kBzip2Cap);
  uint64_t end = StreamEnd(cursor, 0);
  for (int stream = 1; end != 0 && stream < kMaxStreams && end % cursor.SectorSize() != 0; ++stream) {
    const uint64_t next = StreamEnd(cursor, end);
    if (next == 0) break;
    end = next;
  }
  return cursor.Stopped() ? kNotAFile : end;
}

}  // namespace

const FileFormat kBzip2Format{"bzip2", &Bzip2Test, &Bzip2Length, CarveStep::kPastFile, 1, {{0, 'B'}}};

}  // namespace velmira
