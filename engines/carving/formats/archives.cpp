// Archives known by their headers only (never carved): gzip, 7-Zip, ZIP,
// RAR and cabinet files.
#include "engines/carving/formats/formats.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

// Deflate with at most the name flag set, extra flags of the slowest or
// fastest level, and a known operating system (or "unknown").
uint32_t GzipTest(ByteView s, CarvingState&) {
  if (s.size() < 16 || !s.Matches(0, "\x1F\x8B\x08"sv)) return kNoType;
  const uint8_t flags = s.U8At(3);
  const uint8_t extra = s.U8At(8);
  const uint8_t os = s.U8At(9);
  if (flags != 0 && flags != 8) return kNoType;
  return (extra == 2 || extra == 4) && (os < 14 || os == 0xFF) ? kTypeGzip : kNoType;
}

uint32_t SevenZipTest(ByteView s, CarvingState&) {
  return s.size() >= 2 && s.Matches(0, "\x37\x7A\xBC\xAF\x27"sv) ? kType7z : kNoType;
}

uint32_t RarTest(ByteView s, CarvingState&) {
  return s.size() >= 7 && s.Matches(0, "Rar!\x1A\x07\x00"sv) ? kTypeRar : kNoType;
}

uint32_t CabTest(ByteView s, CarvingState&) {
  return s.size() >= 36 && s.Matches(0, "MSCF") ? kTypeCab : kNoType;
}

}  // namespace

const FileFormat kGzipFormat{"gzip", &GzipTest, nullptr, CarveStep::kPastFile, 1, {{0, 0x1F}}};
const FileFormat k7zFormat{"7z", &SevenZipTest, nullptr, CarveStep::kPastFile, 1, {{0, 0x37}}};
const FileFormat kRarFormat{"rar", &RarTest, nullptr, CarveStep::kPastFile, 1, {{0, 'R'}}};
const FileFormat kCabFormat{"cab", &CabTest, nullptr, CarveStep::kNextSector, 1, {{0, 'M'}}};

}  // namespace velmira
