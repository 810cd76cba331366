// TIFF pictures and Photoshop documents: recognised by their headers and
// ended at the next boundary.
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

uint32_t TiffTest(ByteView s, CarvingState&) {
  if (s.size() < 4) return kNoType;
  return s.Matches(0, "MM\x00\x2A"sv) || s.Matches(0, "II\x2A\x00"sv) ? kTypeTiff : kNoType;
}

uint32_t PsdTest(ByteView s, CarvingState&) {
  return s.size() >= 40 && s.Matches(0, "8BPS") ? kTypePsd : kNoType;
}

uint64_t PictureBoundaryLength(ByteView s, CarvingState& state) {
  return BoundaryLength(s, state, 128 * kMiB);
}

}  // namespace

const FileFormat kPsdFormat{"psd", &PsdTest, &PictureBoundaryLength, CarveStep::kPastFile, 1, {{0, '8'}}};
const FileFormat kTiffFormat{"tiff", &TiffTest,           &PictureBoundaryLength, CarveStep::kPastFile,
                             2,      {{0, 'M'}, {0, 'I'}}};

}  // namespace velmira
