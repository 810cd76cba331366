// MPEG program streams (pack header 00 00 01 BA with a system header) and
// MPEG video elementary streams (sequence header 00 00 01 B3 with a GOP
// header). A stream ends after its end code.
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr auto kPackHeader = "\x00\x00\x01\xBA"sv;
constexpr auto kSystemHeader = "\x00\x00\x01\xBB"sv;
constexpr auto kSequenceHeader = "\x00\x00\x01\xB3"sv;
constexpr auto kGroupHeader = "\x00\x00\x01\xB8"sv;
constexpr auto kSequenceEnd = "\x00\x00\x01\xB7"sv;
constexpr auto kProgramEnd = "\x00\x00\x01\xB9"sv;

bool InFirst32Bytes(ByteView s, std::string_view code) {
  return FindMark(s.Sub(0, 32), code) != ReadAhead::kNotFound;
}

uint32_t MpegTest(ByteView s, CarvingState&) {
  if (s.size() < 16) return kNoType;
  if (s.Matches(0, kPackHeader) && InFirst32Bytes(s, kSystemHeader)) return kTypeMpeg;
  if (s.Matches(0, kSequenceHeader) && InFirst32Bytes(s, kGroupHeader)) return kTypeMpeg;
  return kNoType;
}

// The end code is searched from the first piece read ahead on; further pack
// headers belong to the same stream and are no boundary.
uint64_t MpegLength(ByteView s, CarvingState& state) {
  const std::string_view endCode = s.Matches(0, kSequenceHeader) ? kSequenceEnd : kProgramEnd;
  ReadAhead ahead(state, s, 6 * kGiB, BoundaryKind::kIgnoreMpeg);
  while (ahead.Next()) {
    for (size_t at = ahead.FindFirst(endCode); at != ReadAhead::kNotFound;
         at = ahead.FindFirst(endCode, at + 1))
      if (ahead.Counts(at + endCode.size())) return ahead.WindowStart() + at + endCode.size();
  }
  return ahead.Length();
}

}  // namespace

const FileFormat kMpegFormat{"mpeg", &MpegTest, &MpegLength, CarveStep::kPastFile, 1, {{0, 0x00}}};

}  // namespace velmira
