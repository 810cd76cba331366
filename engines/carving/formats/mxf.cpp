// MXF videos (header partition pack key); ended at the next boundary.
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr auto kPartitionKey = "\x06\x0E\x2B\x34\x02\x05\x01\x01\x0D\x01\x02\x01\x01\x02\x04\x00"sv;

uint32_t MxfTest(ByteView s, CarvingState&) {
  return s.size() >= 16 && s.Matches(0, kPartitionKey) ? kTypeMxf : kNoType;
}

uint64_t MxfLength(ByteView s, CarvingState& state) {
  return BoundaryLength(s, state, 6 * kGiB);
}

}  // namespace

const FileFormat kMxfFormat{"mxf", &MxfTest, &MxfLength, CarveStep::kPastFile, 1, {{0, 0x06}}};

}  // namespace velmira
