// ZIP archives known by their headers only (never carved).
#include "engines/carving/formats/formats.h"

namespace velmira {
namespace {

uint32_t ZipTest(ByteView s, CarvingState&) {
  return s.size() >= 48 && s.Matches(0, "PK\x03\x04") ? kTypeZip : kNoType;
}

}  // namespace

const FileFormat kZipFormat{"zip", &ZipTest, nullptr, CarveStep::kPastFile, 1, {{0, 'P'}}};

}  // namespace velmira
