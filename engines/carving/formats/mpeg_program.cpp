// MPEG program streams (pack header 00 00 01 BA with a system header) and
// MPEG video elementary streams (sequence header 00 00 01 B3 with a GOP
// header). A stream ends after its end code; a program stream is walked
// pack by pack to it.
#include <algorithm>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr auto kPackHeader = "\x00\x00\x01\xBA"sv;
constexpr auto kSystemHeader = "\x00\x00\x01\xBB"sv;
constexpr auto kSequenceHeader = "\x00\x00\x01\xB3"sv;
constexpr auto kGroupHeader = "\x00\x00\x01\xB8"sv;
constexpr auto kSequenceEnd = "\x00\x00\x01\xB7"sv;
constexpr auto kProgramEnd = "\x00\x00\x01\xB9"sv;
constexpr uint64_t kResyncBytes = 64 * 1024;
constexpr uint32_t kMaxResyncs = 10'000;
constexpr uint32_t kMaxUnits = 100'000'000;

bool InFirst32Bytes(ByteView s, std::string_view code) {
  return FindMark(s.Sub(0, 32), code) != ReadAhead::kNotFound;
}

uint32_t MpegTest(ByteView s, CarvingState&) {
  if (s.size() < 16) return kNoType;
  if (s.Matches(0, kPackHeader) && InFirst32Bytes(s, kSystemHeader)) return kTypeMpeg;
  if (s.Matches(0, kSequenceHeader) && InFirst32Bytes(s, kGroupHeader)) return kTypeMpeg;
  return kNoType;
}

// A video elementary stream has no packets to walk: its end code is
// searched from the first piece read ahead on.
uint64_t ElementaryStreamLength(ByteView s, CarvingState& state) {
  ReadAhead ahead(state, s, 6 * kGiB, BoundaryKind::kIgnoreMpeg);
  while (ahead.Next()) {
    for (size_t at = ahead.FindFirst(kSequenceEnd); at != ReadAhead::kNotFound;
         at = ahead.FindFirst(kSequenceEnd, at + 1))
      if (ahead.Counts(at + kSequenceEnd.size())) return ahead.WindowStart() + at + kSequenceEnd.size();
  }
  return ahead.Length();
}

// Where the next pack header or end code starts, searched within
// kResyncBytes of `from`; kNotFound when there is none.
uint64_t Resync(FileCursor& cursor, uint64_t from) {
  const uint64_t limit = from + kResyncBytes;
  const uint64_t pack = cursor.Find(kPackHeader, from, limit);
  const uint64_t end =
      cursor.Find(kProgramEnd, from, std::min(limit, pack == FileCursor::kNotFound ? limit : pack));
  return std::min(pack, end);
}

// Whether a sector that starts in [from, to] starts another file (this
// stream's own pack headers do not count).
bool OtherFileBetween(FileCursor& cursor, CarvingState& state, uint64_t from, uint64_t to) {
  const uint32_t sectorSize = cursor.SectorSize();
  for (uint64_t at = (from + sectorSize - 1) / sectorSize * sectorSize; at <= to && !cursor.Stopped();
       at += sectorSize) {
    const ByteView sector = cursor.View(at, sectorSize);
    if (sector.size() != sectorSize) return true;
    const uint64_t saved = state.sectorUnderTest;
    state.sectorUnderTest = state.candidateSector + at / sectorSize;
    const bool boundary = IsBoundarySector(sector, state, BoundaryKind::kIgnoreMpeg);
    state.sectorUnderTest = saved;
    if (boundary) return true;
  }
  return false;
}

// The system clock reference of the pack header `h` (33 bits, spread over
// bytes 4-8 between marker bits; MPEG-1 and MPEG-2 lay them out apart).
uint64_t PackClock(ByteView h) {
  const uint64_t b4 = h.U8At(4), b5 = h.U8At(5), b6 = h.U8At(6), b7 = h.U8At(7), b8 = h.U8At(8);
  if ((b4 >> 6) == 1)
    return ((b4 >> 3) & 7) << 30 | (b4 & 3) << 28 | b5 << 20 | (b6 >> 3) << 15 | (b6 & 3) << 13 | b7 << 5 |
           b8 >> 3;
  return ((b4 >> 1) & 7) << 30 | b5 << 22 | (b6 >> 1) << 15 | b7 << 7 | b8 >> 1;
}

// A program stream: pack headers (MPEG-1: 12 bytes; MPEG-2: 14 and their
// stuffing) and packets with a 16-bit length, to the program end code.
// Bytes that are neither (a damaged packet) are skipped to the next pack
// header close by, unless another file starts on the way. A pack whose clock goes back starts another stream.
// Without an end code the stream ends after its last
// valid packet, and it must hold a packet beyond the system header.
uint64_t ProgramStreamLength(ByteView s, CarvingState& state) {
  FileCursor cursor(state, s, 64 * kGiB);
  const uint64_t dataEnd = cursor.DataEnd();
  bool packets = false;
  uint64_t at = 0;
  uint64_t lastGood = 0;
  uint32_t resyncs = 0;
  uint64_t lastClock = 0;
  for (uint32_t n = 0; n < kMaxUnits && !cursor.Stopped(); ++n) {
    const ByteView h = cursor.ViewUpTo(at, 14);
    uint64_t length = 0;
    if (h.size() >= 4 && h.Matches(0, "\x00\x00\x01"sv)) {
      const uint8_t code = h.U8At(3);
      if (code == 0xB9) return at + 4;
      if (code == 0xBA && h.size() >= 14 && (h.U8At(4) >> 6) == 1)
        length = 14 + (h.U8At(13) & 7);
      else if (code == 0xBA && h.size() >= 12 && (h.U8At(4) >> 4) == 2)
        length = 12;
      if (code == 0xBA && length != 0) {
        // The clock runs on through one stream; a pack whose clock goes
        // back starts the next one.
        const uint64_t clock = PackClock(h);
        if (clock < lastClock) break;
        lastClock = clock;
      } else if (code >= 0xBB && h.size() >= 6)
        length = 6 + uint64_t{h.U16BeAt(4)};
      if (length != 0 && code > 0xBB) packets = true;
    }
    if (length != 0 && length <= dataEnd - std::min(at, dataEnd)) {
      at += length;
      lastGood = at;
      continue;
    }
    if (++resyncs > kMaxResyncs) break;
    const uint64_t next = Resync(cursor, at + 1);
    if (next == FileCursor::kNotFound || OtherFileBetween(cursor, state, at, next)) break;
    at = next;
  }
  return cursor.Stopped() || !packets ? kNotAFile : lastGood;
}

uint64_t MpegLength(ByteView s, CarvingState& state) {
  return s.Matches(0, kSequenceHeader) ? ElementaryStreamLength(s, state) : ProgramStreamLength(s, state);
}

}  // namespace

const FileFormat kMpegFormat{"mpeg", &MpegTest, &MpegLength, CarveStep::kPastFile, 1, {{2, 0x01}}};

}  // namespace velmira
