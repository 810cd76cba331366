// Windows programs, libraries and drivers (PE images), told apart by the
// characteristics of their file header. Never carved.
#include "engines/carving/formats/formats.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr size_t kPeOffsetField = 60;
constexpr uint32_t kLastPeOffset = 488;
constexpr uint16_t kExecutableImage = 0x0002;
constexpr uint16_t kSystemImage = 0x1000;
constexpr uint16_t kLibraryImage = 0x2000;

uint32_t ExeTest(ByteView s, CarvingState&) {
  if (s.size() < 512 || !s.Matches(0, "MZ")) return kNoType;
  const uint32_t pe = s.U32At(kPeOffsetField);
  if (pe > kLastPeOffset || !s.Matches(pe, "PE\x00\x00"sv)) return kNoType;
  const uint16_t characteristics = s.U16At(pe + 22);
  if ((characteristics & kExecutableImage) == 0) return kNoType;
  if ((characteristics & kSystemImage) != 0) return kTypeSys;
  if ((characteristics & kLibraryImage) != 0) return kTypeDll;
  return kTypeExe;
}

}  // namespace

const FileFormat kExeFormat{"pe", &ExeTest, nullptr, CarveStep::kPastFile, 1, {{0, 'M'}}};

}  // namespace velmira
