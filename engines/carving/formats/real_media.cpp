// RealMedia files: ".RMF"; the file ends after its (empty) index chunk.
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

// An "INDX" chunk of 20 bytes with no entries and no next index.
constexpr auto kEmptyIndex = "INDX\x00\x00\x00\x14\x00\x00\x00\x00\x00\x00\x00\x02\x00\x00\x00\x00"sv;

uint32_t RmTest(ByteView s, CarvingState&) {
  return s.size() >= 4 && s.Matches(0, ".RMF") ? kTypeRm : kNoType;
}

uint64_t RmLength(ByteView s, CarvingState& state) {
  ReadAhead ahead(state, s, 6 * kGiB);
  while (ahead.Next()) {
    const size_t at = ahead.FindFirst(kEmptyIndex);
    if (at != ReadAhead::kNotFound) return ahead.WindowStart() + at + kEmptyIndex.size();
  }
  return ahead.Length();
}

}  // namespace

const FileFormat kRmFormat{"rm", &RmTest, &RmLength, CarveStep::kPastFile, 1, {{0, '.'}}};

}  // namespace velmira
