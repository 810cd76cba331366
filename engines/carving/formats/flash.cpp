// Flash files: SWF movies (plain "FWS" with their size in the header, or
// compressed "CWS") and FLV videos. FLA projects are compound documents
// (compound_document.cpp).
#include <algorithm>

#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

uint32_t SwfTest(ByteView s, CarvingState&) {
  if (s.size() < 8) return kNoType;
  const uint8_t version = s.U8At(3);
  if (s.Matches(0, "CWS") && version >= 6 && version <= 15) return kTypeSwf;
  if (s.Matches(0, "FWS") && version < 6) return kTypeSwf;
  return kNoType;
}

uint64_t SwfLength(ByteView s, CarvingState& state) {
  if (s.Matches(0, "FWS")) return std::min<uint64_t>(s.U32At(4), 256 * kMiB);
  return SectorBytes(state);
}

uint32_t FlvTest(ByteView s, CarvingState&) {
  return s.size() >= 16 && s.Matches(0, "FLV\x01"sv) && s.Matches(5, "\x00\x00\x00\x09"sv) ? kTypeFlv
                                                                                           : kNoType;
}

uint64_t FlvLength(ByteView s, CarvingState& state) {
  return BoundaryLength(s, state, 6 * kGiB);
}

}  // namespace

const FileFormat kSwfFormat{"swf", &SwfTest, &SwfLength, CarveStep::kNextSector, 2, {{0, 'C'}, {0, 'F'}}};
const FileFormat kFlvFormat{"flv", &FlvTest, &FlvLength, CarveStep::kPastFile, 1, {{0, 'F'}}};

}  // namespace velmira
