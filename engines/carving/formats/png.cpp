// PNG pictures: the file ends with the IEND chunk and its CRC.
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

uint32_t PngTest(ByteView s, CarvingState&) {
  return s.size() >= 8 && s.Matches(0, "\x89PNG\x0D\x0A\x1A\x0A"sv) ? kTypePng : kNoType;
}

uint64_t PngLength(ByteView s, CarvingState& state) {
  return TrailerLength(s, state, "IEND\xAE\x42\x60\x82"sv, 128 * kMiB);
}

}  // namespace

const FileFormat kPngFormat{"png", &PngTest, &PngLength, CarveStep::kPastFile, 1, {{0, 0x89}}};

}  // namespace velmira
