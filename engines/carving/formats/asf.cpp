// ASF files (wmv, wma): the file-properties object of the header gives the
// file size unless the file was written for broadcast.
#include <algorithm>

#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr auto kHeaderObject = "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C"sv;
constexpr auto kFilePropertiesObject = "\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11\x8E\xE4\x00\xC0\x0C\x20\x53\x65"sv;
// The header object's own fields end here; its child objects follow.
constexpr size_t kFirstChildObject = 30;
constexpr size_t kFileSizeField = 40;
constexpr size_t kFlagsField = 88;
constexpr uint32_t kBroadcastFlag = 1;

uint32_t AsfTest(ByteView s, CarvingState&) {
  return s.size() >= 24 && s.Matches(0, kHeaderObject) ? kTypeAsf : kNoType;
}

uint64_t AsfLength(ByteView s, CarvingState& state) {
  const uint32_t oneSector = SectorBytes(state);
  const size_t at = FindMark(s, kFilePropertiesObject, kFirstChildObject);
  if (at == ReadAhead::kNotFound || !s.Has(at + kFlagsField, 4)) return oneSector;
  if ((s.U32At(at + kFlagsField) & kBroadcastFlag) != 0) return oneSector;
  return std::min<uint64_t>(s.U64At(at + kFileSizeField), 256 * kMiB);
}

}  // namespace

const FileFormat kAsfFormat{"asf", &AsfTest, &AsfLength, CarveStep::kNextSector, 1, {{0, 0x30}}};

}  // namespace velmira
