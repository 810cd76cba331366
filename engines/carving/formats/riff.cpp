// RIFF files: AVI videos and WAV sounds. The RIFF header gives the size.
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

uint32_t AviTest(ByteView s, CarvingState&) {
  return s.size() >= 16 && s.Matches(0, "RIFF") && s.Matches(8, "AVI ") && s.Matches(12, "LIST") ? kTypeAvi
                                                                                                 : kNoType;
}

uint32_t WavTest(ByteView s, CarvingState&) {
  return s.size() >= 16 && s.Matches(0, "RIFF") && s.Matches(8, "WAVE") && s.Matches(12, "fmt ") ? kTypeWav
                                                                                                 : kNoType;
}

uint64_t RiffLength(ByteView s, CarvingState& state) {
  if (s.size() < 16) return SectorBytes(state);
  return uint64_t{s.U32At(4)} + 8;
}

}  // namespace

const FileFormat kAviFormat{"avi", &AviTest, &RiffLength, CarveStep::kNextSector, 1, {{0, 'R'}}};
const FileFormat kWavFormat{"wav", &WavTest, &RiffLength, CarveStep::kNextSector, 1, {{0, 'R'}}};

}  // namespace velmira
