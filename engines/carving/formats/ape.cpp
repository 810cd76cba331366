// Monkey's Audio files ("MAC "), ended by their APE tag: a tag with header
// and footer ends 32 bytes after the footer's start.
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr auto kTagMark = "APETAGEX\xD0\x07"sv;  // version 2000
constexpr size_t kTagFooterBytes = 32;

uint32_t ApeTest(ByteView s, CarvingState&) {
  return s.size() >= 4 && s.Matches(0, "MAC ") ? kTypeApe : kNoType;
}

uint64_t ApeLength(ByteView s, CarvingState& state) {
  ReadAhead ahead(state, s, 2 * kGiB);
  while (ahead.Next()) {
    const size_t first = ahead.FindFirst(kTagMark);
    if (first == ReadAhead::kNotFound) continue;
    const size_t second = FindMark(ahead.Window(), kTagMark, first + 1);
    if (second != ReadAhead::kNotFound) return ahead.WindowStart() + second + kTagFooterBytes;
    return ahead.Length();
  }
  return ahead.Length();
}

}  // namespace

const FileFormat kApeFormat{"ape", &ApeTest, &ApeLength, CarveStep::kPastFile, 1, {{0, 'M'}}};

}  // namespace velmira
