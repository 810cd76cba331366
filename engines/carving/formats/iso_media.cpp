// ISO base media files: MP4 (brands "iso*" and "mp42"), 3GP and QuickTime.
// MP4 files of some cameras end with a "free" box that names the writer;
// everything else ends at the next boundary.
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

constexpr std::string_view kWriterText = "freeIsoMedia File Produced";

uint32_t Mp4Test(ByteView s, CarvingState&) {
  if (s.size() < 32 || !s.Matches(4, "ftyp")) return kNoType;
  return s.Matches(8, "iso") || s.Matches(8, "mp42") ? kTypeMp4 : kNoType;
}

uint32_t ThreeGpTest(ByteView s, CarvingState&) {
  return s.size() >= 32 && s.Matches(4, "ftyp") && s.Matches(8, "3gp") ? kType3gp : kNoType;
}

// A QuickTime movie opens with its movie atom or with a "qt  " file type.
// Like every atom, the movie atom leads with its 32-bit size, so its type
// sits at offset 4.
uint32_t MovTest(ByteView s, CarvingState&) {
  if (s.size() < 16) return kNoType;
  return s.Matches(4, "moov") || (s.Matches(4, "ftyp") && s.Matches(8, "qt  ")) ? kTypeMov : kNoType;
}

// The writer text ends the file together with the non-zero bytes right
// after it. The text sits in a "free" box whose size also counts the
// string's terminating zero; when that size agrees, the box's end is taken.
uint64_t Mp4Length(ByteView s, CarvingState& state) {
  constexpr size_t kBoxSizeBytes = 4;
  constexpr size_t kTerminatorSlack = 256;
  ReadAhead ahead(state, s, 6 * kGiB);
  while (ahead.Next()) {
    const size_t at = ahead.FindFirst(kWriterText);
    if (at == ReadAhead::kNotFound) continue;
    const ByteView window = ahead.Window();
    size_t end = at + kWriterText.size();
    while (end < window.size() && window.U8At(end) != 0) ++end;
    if (at >= kBoxSizeBytes) {
      const size_t boxEnd = at - kBoxSizeBytes + window.U32BeAt(at - kBoxSizeBytes);
      if (boxEnd > end && boxEnd <= end + kTerminatorSlack && boxEnd <= window.size()) end = boxEnd;
    }
    return ahead.WindowStart() + end;
  }
  return ahead.Length();
}

uint64_t VideoBoundaryLength(ByteView s, CarvingState& state) {
  return BoundaryLength(s, state, 6 * kGiB);
}

}  // namespace

const FileFormat kMp4Format{"mp4", &Mp4Test, &Mp4Length, CarveStep::kPastFile, 1, {{4, 'f'}}};
const FileFormat k3gpFormat{"3gp", &ThreeGpTest, &VideoBoundaryLength, CarveStep::kPastFile, 1, {{4, 'f'}}};
const FileFormat kMovFormat{
    "mov", &MovTest, &VideoBoundaryLength, CarveStep::kPastFile, 2, {{4, 'm'}, {4, 'f'}}};

}  // namespace velmira
