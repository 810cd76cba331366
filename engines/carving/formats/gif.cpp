// GIF pictures: "GIF87a" / "GIF89a", the logical screen descriptor and its
// colour table, then blocks: extensions (21) and images (2C) whose data
// runs in sub-blocks closed by an empty one, up to the trailer byte 3B. The
// length rule walks the blocks to the trailer.
#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr uint64_t kGifCap = 256 * kMiB;
constexpr uint32_t kMaxSteps = 1u << 26;

bool IsDigit(uint8_t b) {
  return b >= '0' && b <= '9';
}

uint32_t GifTest(ByteView s, CarvingState&) {
  if (s.size() < 13 || !s.Matches(0, "GIF")) return kNoType;
  const uint8_t v = s.U8At(5);
  return IsDigit(s.U8At(3)) && IsDigit(s.U8At(4)) && v >= 'a' && v <= 'z' ? kTypeGif : kNoType;
}

// Bytes of the colour table a packed-fields byte announces (0 without one).
uint64_t ColourTableBytes(uint8_t packed) {
  return (packed & 0x80) != 0 ? 3 * (uint64_t{2} << (packed & 0x07)) : 0;
}

// Steps over a chain of sub-blocks at `pos`; the offset after its empty
// closing block, or 0 when the data ends first.
uint64_t SkipSubBlocks(FileCursor& cursor, uint64_t pos, uint32_t& steps) {
  for (; steps < kMaxSteps; ++steps) {
    const ByteView size = cursor.View(pos, 1);
    if (size.size() != 1) return 0;
    if (size.U8At(0) == 0) return pos + 1;
    pos += 1 + uint64_t{size.U8At(0)};
  }
  return 0;
}

uint64_t GifLength(ByteView s, CarvingState& state) {
  FileCursor cursor(state, s, kGifCap);
  uint64_t pos = 13 + ColourTableBytes(s.U8At(10));
  uint64_t lastGood = 0;  // just past the last whole image
  uint32_t steps = 0;
  while (steps < kMaxSteps) {
    const ByteView block = cursor.View(pos, 1);
    if (block.size() != 1) break;
    const uint8_t kind = block.U8At(0);
    if (kind == 0x3B) return pos + 1;
    uint64_t next = 0;
    if (kind == 0x21) {
      next = SkipSubBlocks(cursor, pos + 2, steps);
    } else if (kind == 0x2C) {
      const ByteView image = cursor.View(pos, 11);
      if (image.size() != 11) break;
      const uint64_t data = pos + 10 + ColourTableBytes(image.U8At(9));
      const uint8_t codeSize = cursor.U8(data);
      if (codeSize < 1 || codeSize > 12) break;
      next = SkipSubBlocks(cursor, data + 1, steps);
      if (next != 0) lastGood = next;
    }
    if (next == 0) break;
    pos = next;
    ++steps;
  }
  if (cursor.Stopped()) return kNotAFile;
  // Without its trailer a GIF is kept up to its last whole image (viewers
  // show it); without any image it is no GIF.
  return lastGood != 0 ? lastGood : kNotAFile;
}

}  // namespace

const FileFormat kGifFormat{"gif", &GifTest, &GifLength, CarveStep::kPastFile, 1, {{0, 'G'}}};

}  // namespace velmira
