// Windows bitmaps with a 40-byte information header; the file header gives
// the file size.
#include <algorithm>

#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

uint32_t BmpTest(ByteView s, CarvingState&) {
  if (s.size() < 40) return kNoType;
  if (!s.Matches(0, "BM") && !s.Matches(0, "BA")) return kNoType;
  return s.U16At(6) == 0 && s.U16At(8) == 0 && s.U32At(14) == 40 ? kTypeBmp : kNoType;
}

uint64_t BmpLength(ByteView s, CarvingState&) {
  return std::min<uint64_t>(s.U32At(2), 128 * kMiB);
}

}  // namespace

const FileFormat kBmpFormat{"bmp", &BmpTest, &BmpLength, CarveStep::kNextSector, 1, {{0, 'B'}}};

}  // namespace velmira
