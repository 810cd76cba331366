// Flash files: SWF movies and FLV videos. FLA projects are compound
// documents (compound_document.cpp).
//
// A plain SWF ("FWS") gives its length in the header; the tag walk from the
// frame header to the end tag must land on it. A compressed SWF gives only
// the uncompressed length: a zlib stream ("CWS") is carved to the next
// boundary, never longer than deflate can make that length; an LZMA one
// ("ZWS") carries its compressed length too. An FLV is a run of tags, each
// followed by the size of the tag before it, which the walk checks.
#include <algorithm>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr uint64_t kSwfCap = 256 * kMiB;
constexpr uint32_t kMaxTags = 10'000'000;

uint32_t SwfTest(ByteView s, CarvingState&) {
  if (s.size() < 8) return kNoType;
  const uint8_t version = s.U8At(3);
  if (s.Matches(0, "CWS") && version >= 6 && version <= 50) return kTypeSwf;
  if (s.Matches(0, "ZWS") && version >= 13 && version <= 50) return kTypeSwf;
  if (s.Matches(0, "FWS") && version >= 1 && version <= 50) return kTypeSwf;
  return kNoType;
}

// The tags of a plain SWF after its header: a 16-bit code and length (63:
// a 32-bit length follows). Returns the end of the end tag, or 0.
uint64_t SwfTagsEnd(FileCursor& cursor, uint64_t fileLength) {
  const uint8_t bits = cursor.U8(8) >> 3;                  // frame rectangle: 5 + 4 * bits bits
  uint64_t at = 8 + (5 + 4 * uint64_t{bits} + 7) / 8 + 4;  // then frame rate and count
  for (uint32_t n = 0; n < kMaxTags && at + 2 <= fileLength && !cursor.Stopped(); ++n) {
    const ByteView h = cursor.ViewUpTo(at, 6);
    if (h.size() < 2) return 0;
    const uint16_t codeAndLength = h.U16At(0);
    uint64_t length = codeAndLength & 0x3F;
    uint64_t header = 2;
    if (length == 0x3F) {
      if (h.size() < 6) return 0;
      length = h.U32At(2);
      header = 6;
    }
    at += header + length;
    if (codeAndLength >> 6 == 0) return at;
  }
  return 0;
}

uint64_t SwfLength(ByteView s, CarvingState& state) {
  const uint64_t declared = s.U32At(4);
  if (declared < 21) return kNotAFile;  // header, the smallest rectangle, end tag
  FileCursor cursor(state, s, kSwfCap);
  if (s.Matches(0, "FWS")) {
    if (declared > cursor.DataEnd()) return kNotAFile;
    return SwfTagsEnd(cursor, declared) == declared ? declared : kNotAFile;
  }
  if (s.Matches(0, "ZWS")) {
    // Header, uncompressed length, compressed length, 5 bytes of LZMA
    // properties, the compressed data.
    const uint64_t length = 12 + 5 + uint64_t{s.U32At(8)};
    return length <= cursor.DataEnd() && length <= kSwfCap ? length : kNotAFile;
  }
  // Deflate grows incompressible data by at most 5 bytes per 16 KiB block;
  // zlib adds 6 bytes of its own. The read-ahead ends on whole sectors.
  const uint64_t sectorSize = SectorBytes(state);
  const uint64_t bound = 8 + declared + (declared / 16384 + 1) * 5 + 6;
  return BoundaryLength(s, state, std::min((bound + sectorSize - 1) / sectorSize * sectorSize, kSwfCap));
}

uint32_t FlvTest(ByteView s, CarvingState&) {
  return s.size() >= 16 && s.Matches(0, "FLV\x01"sv) && (s.U8At(4) & 0xFA) == 0 && s.U32BeAt(5) >= 9 &&
                 s.U32BeAt(5) <= 256
             ? kTypeFlv
             : kNoType;
}

// A tag: type (audio 8, video 9, script data 18; bit 5 marks encrypted
// tags), a 24-bit data size, a time stamp, a zero stream id, the data, and
// the size of the tag just written. The file ends after the last tag whose
// size is confirmed; without a tag it is no file.
uint64_t FlvLength(ByteView s, CarvingState& state) {
  FileCursor cursor(state, s, 64 * kGiB);
  const uint64_t dataEnd = cursor.DataEnd();
  uint64_t at = s.U32BeAt(5) + 4;  // after the header and the first back pointer
  bool tags = false;
  for (uint32_t n = 0; n < kMaxTags && !cursor.Stopped(); ++n) {
    const ByteView h = cursor.View(at, 11);
    if (h.size() < 11) break;
    const uint8_t type = h.U8At(0) & 0x1F;
    if ((h.U8At(0) & 0xC0) != 0 || (type != 8 && type != 9 && type != 18)) break;
    const uint32_t dataSize = (uint32_t{h.U8At(1)} << 16) | h.U16BeAt(2);
    if (h.U8At(8) != 0 || h.U16BeAt(9) != 0) break;
    const uint64_t backPointer = at + 11 + dataSize;
    if (backPointer + 4 > dataEnd || cursor.U32Be(backPointer) != 11 + dataSize) break;
    at = backPointer + 4;
    tags = true;
  }
  return cursor.Stopped() || !tags ? kNotAFile : at;
}

}  // namespace

const FileFormat kSwfFormat{
    "swf", &SwfTest, &SwfLength, CarveStep::kPastFile, 3, {{0, 'C'}, {0, 'F'}, {0, 'Z'}}};
const FileFormat kFlvFormat{"flv", &FlvTest, &FlvLength, CarveStep::kPastFile, 1, {{0, 'F'}}};

}  // namespace velmira
