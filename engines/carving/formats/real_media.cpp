// RealMedia files: a ".RMF" chunk and then properties, stream, content,
// data and index chunks, each a four-character id, a 32-bit big-endian size
// that counts its own header, and a version. The file ends after the last
// valid chunk; it needs its properties and its data.
#include <algorithm>
#include <array>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr std::array<std::string_view, 6> kChunkIds = {"PROP", "MDPR", "CONT", "DATA", "INDX", "RMMD"};
constexpr uint32_t kChunkHeader = 10;
constexpr uint32_t kDataHeader = 18;  // chunk header, packet count, next data chunk
constexpr uint16_t kPacketHeader = 12;
constexpr uint32_t kMaxChunks = 1'000'000;

uint32_t RmTest(ByteView s, CarvingState&) {
  return s.size() >= 18 && s.Matches(0, ".RMF") && s.U32BeAt(4) >= kChunkHeader && s.U16BeAt(8) <= 1
             ? kTypeRm
             : kNoType;
}

// The end of the packets of the data chunk at `at` (its header counts the
// packets, each packet leads with its version and length), or 0 when they
// do not follow. Some writers count the chunk header twice in its size;
// the packets tell its true end.
uint64_t PacketsEnd(FileCursor& cursor, uint64_t at, uint64_t dataEnd) {
  const uint32_t count = cursor.U32Be(at + kChunkHeader);
  if (count == 0) return 0;
  uint64_t p = at + kDataHeader;
  for (uint32_t k = 0; k < count && !cursor.Stopped(); ++k) {
    const ByteView h = cursor.View(p, 4);
    const uint16_t length = h.U16BeAt(2);
    if (h.size() < 4 || h.U16BeAt(0) > 1 || length < kPacketHeader || length > dataEnd - p) return 0;
    p += length;
  }
  return p;
}

uint64_t RmLength(ByteView s, CarvingState& state) {
  FileCursor cursor(state, s, 64 * kGiB);
  const uint64_t dataEnd = cursor.DataEnd();
  bool properties = false;
  bool data = false;
  uint64_t at = s.U32BeAt(4);
  for (uint32_t n = 0; n < kMaxChunks && !cursor.Stopped(); ++n) {
    const ByteView h = cursor.View(at, kChunkHeader);
    if (h.size() < kChunkHeader || h.U16BeAt(8) > 2) break;
    const ByteView id = h.Sub(0, 4);
    if (!std::any_of(kChunkIds.begin(), kChunkIds.end(),
                     [&](std::string_view c) { return id.Matches(0, c); }))
      break;
    uint64_t size = h.U32BeAt(4);
    // The header view lasts until the next read: take what it says first.
    const bool isProperties = id.Matches(0, "PROP");
    const bool isData = id.Matches(0, "DATA");
    if (isData)
      if (const uint64_t end = PacketsEnd(cursor, at, dataEnd); end != 0) size = end - at;
    if (size < kChunkHeader || size > dataEnd - at) break;
    properties = properties || isProperties;
    data = data || isData;
    at += size;
  }
  // The writers that miscount the data chunk close the file with 8 zero
  // bytes.
  if (const ByteView tail = cursor.View(at, 8); tail.size() == 8 && tail.U64At(0) == 0) at += 8;
  return cursor.Stopped() || !properties || !data ? kNotAFile : at;
}

}  // namespace

const FileFormat kRmFormat{"rm", &RmTest, &RmLength, CarveStep::kPastFile, 1, {{0, '.'}}};

}  // namespace velmira
