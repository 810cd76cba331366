// PNG pictures: the signature, then chunks (length, type, data, CRC) from
// IHDR to IEND. The length rule walks the chunks; the CRCs of IHDR and IEND
// are checked so that a false signature or a picture whose end was lost
// does not pass.
#include <array>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr uint64_t kPngCap = 512 * kMiB;
constexpr uint32_t kMaxChunks = 1u << 20;
constexpr uint32_t kMaxChunkBytes = 0x7FFFFFFF;

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

uint32_t Crc32(ByteView bytes) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < bytes.size(); ++i) c = kCrcTable[(c ^ bytes.data()[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

bool IsChunkLetter(uint8_t b) {
  return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
}

uint32_t PngTest(ByteView s, CarvingState&) {
  return s.size() >= 16 && s.Matches(0, "\x89PNG\x0D\x0A\x1A\x0A"sv) && s.Matches(8, "\x00\x00\x00\x0DIHDR"sv)
             ? kTypePng
             : kNoType;
}

// A chunk whose type and CRC are checked: length, type, data and CRC at `at`.
bool ChunkCrcHolds(FileCursor& cursor, uint64_t at, uint32_t length) {
  const ByteView chunk = cursor.View(at + 4, size_t{4} + length + 4);
  if (chunk.size() != size_t{4} + length + 4) return false;
  return Crc32(chunk.Sub(0, size_t{4} + length)) == chunk.U32BeAt(4 + length);
}

uint64_t PngLength(ByteView s, CarvingState& state) {
  FileCursor cursor(state, s, kPngCap);
  if (!ChunkCrcHolds(cursor, 8, 13)) return kNotAFile;
  uint64_t pos = 8 + 12 + 13;
  uint64_t lastGood = pos;
  bool imageData = false;
  for (uint32_t step = 0; step < kMaxChunks; ++step) {
    const ByteView head = cursor.View(pos, 8);
    if (head.size() != 8) break;
    const uint32_t length = head.U32BeAt(0);
    bool typeOk = length <= kMaxChunkBytes;
    for (size_t k = 4; k < 8; ++k) typeOk = typeOk && IsChunkLetter(head.U8At(k));
    if (!typeOk) break;
    if (head.Matches(4, "IEND")) {
      if (length != 0 || !ChunkCrcHolds(cursor, pos, 0)) break;
      return pos + 12;
    }
    if (head.Matches(4, "IDAT")) imageData = true;
    pos += uint64_t{12} + length;
    if (pos > cursor.DataEnd()) break;
    lastGood = pos;
  }
  if (cursor.Stopped()) return kNotAFile;
  // The end was lost: the chunks that held are a picture shown up to where
  // its data stops, when it got as far as its image data.
  return imageData ? lastGood : kNotAFile;
}

}  // namespace

const FileFormat kPngFormat{"png", &PngTest, &PngLength, CarveStep::kPastFile, 1, {{0, 0x89}}};

}  // namespace velmira
