// GIF pictures: "GIF87a" / "GIF89a"; the file ends with a block terminator
// and the trailer byte 3B.
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

bool IsDigit(uint8_t b) {
  return b >= '0' && b <= '9';
}

uint32_t GifTest(ByteView s, CarvingState&) {
  if (s.size() < 8 || !s.Matches(0, "GIF")) return kNoType;
  const uint8_t v = s.U8At(5);
  return IsDigit(s.U8At(3)) && IsDigit(s.U8At(4)) && v >= 'a' && v <= 'z' ? kTypeGif : kNoType;
}

uint64_t GifLength(ByteView s, CarvingState& state) {
  return TrailerLength(s, state, "\x00\x3B"sv, 128 * kMiB);
}

}  // namespace

const FileFormat kGifFormat{"gif", &GifTest, &GifLength, CarveStep::kPastFile, 1, {{0, 'G'}}};

}  // namespace velmira
