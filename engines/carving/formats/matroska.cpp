// Matroska videos (EBML header); ended at the next boundary.
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

uint32_t MkvTest(ByteView s, CarvingState&) {
  return s.size() >= 16 && s.Matches(0, "\x1A\x45\xDF\xA3"sv) ? kTypeMkv : kNoType;
}

uint64_t MkvLength(ByteView s, CarvingState& state) {
  return BoundaryLength(s, state, 64 * kGiB);
}

}  // namespace

const FileFormat kMkvFormat{"mkv", &MkvTest, &MkvLength, CarveStep::kPastFile, 1, {{0, 0x1A}}};

}  // namespace velmira
