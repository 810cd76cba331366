// JPEG pictures (JFIF and Exif). A JPEG ends at an end-of-image marker
// FF D9; embedded thumbnails carry their own, so the rule keeps the last
// marker that ends where the file's data stops before the next boundary.
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr auto kEndOfImage = "\xFF\xD9"sv;

uint32_t JpegTest(ByteView s, CarvingState&) {
  if (s.size() < 16) return kNoType;
  const bool jfif = s.Matches(0, "\xFF\xD8\xFF\xE0"sv) && s.Matches(6, "JFIF");
  const bool exif = s.Matches(0, "\xFF\xD8\xFF\xE1"sv) && s.Matches(6, "Exif");
  return jfif || exif ? kTypeJpeg : kNoType;
}

uint64_t JpegLength(ByteView s, CarvingState& state) {
  // A picture smaller than a sector ends in its own sector.
  if (const uint64_t end = CountingMarkInSector(s, state, kEndOfImage); end != 0) return end;
  uint64_t lastEnd = 0;
  ReadAhead ahead(state, s, 128 * kMiB);
  while (ahead.Next()) {
    for (size_t at = ahead.FindFirst(kEndOfImage); at != ReadAhead::kNotFound;
         at = ahead.FindFirst(kEndOfImage, at + 1)) {
      if (ahead.Counts(at + kEndOfImage.size())) lastEnd = ahead.WindowStart() + at + kEndOfImage.size();
    }
  }
  const uint64_t length = ahead.Length();
  return lastEnd != 0 && lastEnd < length ? lastEnd : length;
}

}  // namespace

const FileFormat kJpegFormat{"jpeg", &JpegTest, &JpegLength, CarveStep::kPastFile, 1, {{0, 0xFF}}};

}  // namespace velmira
