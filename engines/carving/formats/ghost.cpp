// Disk-image backups in the Ghost format. Recognised by their header (the
// content check, and a boundary for other files) but never carved: nothing
// in the header gives the image's length, the images run to gigabytes of
// compressed data that no structure walk can check, and a four-byte header
// read "to the next boundary" would turn chance matches into files of
// gigabytes of noise.
#include "engines/carving/formats/formats.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

uint32_t GhoTest(ByteView s, CarvingState&) {
  return s.size() >= 4 && s.Matches(0, "\xFE\xEF\x00\x00"sv) ? kTypeGho : kNoType;
}

}  // namespace

const FileFormat kGhoFormat{"gho", &GhoTest, nullptr, CarveStep::kPastFile, 1, {{0, 0xFE}}};

}  // namespace velmira
