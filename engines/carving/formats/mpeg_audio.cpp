// MPEG audio: MP3 files that open with an ID3v2 tag (ended by their ID3v1
// tag, 128 bytes from its "TAG") and MP2 streams (ended at the next
// boundary).
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr size_t kId3v1Bytes = 128;

// "ID3", a version that is not FF, flags with only the defined bits, and a
// sync-safe size (every byte below 80).
uint32_t Mp3Test(ByteView s, CarvingState&) {
  if (s.size() < 10 || !s.Matches(0, "ID3")) return kNoType;
  if (s.U8At(3) == 0xFF || s.U8At(4) == 0xFF || (s.U8At(5) & 0x1F) != 0) return kNoType;
  for (size_t i = 6; i < 10; ++i)
    if (s.U8At(i) >= 0x80) return kNoType;
  return kTypeMp3;
}

// The last "TAG" read ahead marks the ID3v1 tag at the end of the file.
uint64_t Mp3Length(ByteView s, CarvingState& state) {
  uint64_t tagEnd = 0;
  ReadAhead ahead(state, s, 2 * kGiB);
  while (ahead.Next()) {
    const size_t at = ahead.FindLast("TAG");
    if (at != ReadAhead::kNotFound) tagEnd = ahead.WindowStart() + at + kId3v1Bytes;
  }
  const uint64_t length = ahead.Length();
  return tagEnd != 0 && tagEnd < length ? tagEnd : length;
}

uint32_t Mp2Test(ByteView s, CarvingState&) {
  return s.size() >= 4 && s.Matches(0, "\xFF\xFD\xE4\x00"sv) ? kTypeMp2 : kNoType;
}

uint64_t Mp2Length(ByteView s, CarvingState& state) {
  return BoundaryLength(s, state, 256 * kMiB);
}

}  // namespace

const FileFormat kMp3Format{"mp3", &Mp3Test, &Mp3Length, CarveStep::kPastFile, 1, {{0, 'I'}}};
const FileFormat kMp2Format{"mp2", &Mp2Test, &Mp2Length, CarveStep::kPastFile, 1, {{0, 0xFF}}};

}  // namespace velmira
