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
constexpr uint32_t kMaxChunks = 1'000'000;

uint32_t RmTest(ByteView s, CarvingState&) {
  return s.size() >= 18 && s.Matches(0, ".RMF") && s.U32BeAt(4) >= kChunkHeader && s.U16BeAt(8) <= 1 ? kTypeRm
                                                                                                      : kNoType;
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
    if (!std::any_of(kChunkIds.begin(), kChunkIds.end(), [&](std::string_view c) { return id.Matches(0, c); }))
      break;
    const uint32_t size = h.U32BeAt(4);
    if (size < kChunkHeader || size > dataEnd - at) break;
    properties = properties || id.Matches(0, "PROP");
    data = data || id.Matches(0, "DATA");
    at += size;
  }
  return cursor.Stopped() || !properties || !data ? kNotAFile : at;
}

}  // namespace

const FileFormat kRmFormat{"rm", &RmTest, &RmLength, CarveStep::kPastFile, 1, {{0, '.'}}};

}  // namespace velmira
