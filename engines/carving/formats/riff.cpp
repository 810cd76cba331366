// RIFF files: AVI videos, WAV sounds (RF64 too) and WebP pictures. A RIFF file is a
// 12-byte header (the size of what follows and the form type) and a run of
// chunks (a four-character id, a 32-bit size, the data padded to an even
// length). The header's size is taken only when the chunk walk lands on it;
// otherwise the file ends after its last valid chunk. AVI files over 1 GiB
// go on in "AVIX" RIFF lists right after the first one.
#include <algorithm>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

constexpr uint64_t kRiffCap = 64 * kGiB;
constexpr uint32_t kMaxChunks = 1'000'000;
constexpr uint32_t kMaxExtensions = 4096;

bool IsChunkId(ByteView id) {
  if (id.size() < 4 || id.U8At(0) == ' ') return false;
  for (size_t k = 0; k < 4; ++k)
    if (id.U8At(k) < 0x20 || id.U8At(k) > 0x7E) return false;
  return true;
}

bool IsRiff(ByteView s, std::string_view form) {
  return s.size() >= 16 && s.Matches(0, "RIFF") && s.Matches(8, form);
}

uint32_t AviTest(ByteView s, CarvingState&) {
  return IsRiff(s, "AVI ") && s.Matches(12, "LIST") ? kTypeAvi : kNoType;
}

uint32_t WavTest(ByteView s, CarvingState&) {
  if (s.size() >= 16 && s.Matches(0, "RF64") && s.Matches(8, "WAVEds64")) return kTypeWav;
  if (!IsRiff(s, "WAVE")) return kNoType;
  return s.Matches(12, "fmt ") || s.Matches(12, "JUNK") || s.Matches(12, "bext") ? kTypeWav : kNoType;
}

uint32_t WebpTest(ByteView s, CarvingState&) {
  if (!IsRiff(s, "WEBP") || !s.Matches(12, "VP8")) return kNoType;
  const uint8_t kind = s.U8At(15);
  return kind == ' ' || kind == 'L' || kind == 'X' ? kTypeWebp : kNoType;
}

// What a walk found: where it ended and the chunks a form needs.
struct RiffWalk {
  uint64_t end = 0;
  bool agreed = false;  // the chunks end where the RIFF header says
  bool header = false;  // AVI "LIST hdrl", WAV "fmt ", WebP "VP8?"
  bool body = false;    // AVI "LIST movi", WAV "data" (WebP: as header)
};

void NoteChunk(ByteView id, ByteView listType, RiffWalk& walk) {
  if (id.Matches(0, "LIST") && listType.Matches(0, "hdrl")) walk.header = true;
  if (id.Matches(0, "LIST") && listType.Matches(0, "movi")) walk.body = true;
  if (id.Matches(0, "fmt ")) walk.header = true;
  if (id.Matches(0, "data")) walk.body = true;
  if (id.Matches(0, "VP8 ") || id.Matches(0, "VP8L") || id.Matches(0, "VP8X")) walk.header = walk.body = true;
}

// Walks the chunks of the RIFF list at `start`. An RF64 file keeps its
// sizes over 4 GiB in its "ds64" chunk: the list's and the data chunk's
// 32-bit sizes then read FFFFFFFF.
RiffWalk WalkRiff(FileCursor& cursor, uint64_t start) {
  RiffWalk walk;
  const uint64_t dataEnd = cursor.DataEnd();
  const bool rf64 = cursor.Matches(start, "RF64") && cursor.Matches(start + 12, "ds64");
  const uint64_t declared = rf64 ? cursor.U64(start + 20) : cursor.U32(start + 4);
  const uint64_t dataSize64 = rf64 ? cursor.U64(start + 28) : 0;
  // A size too small to hold the form type says nothing.
  const uint64_t claimed = declared >= 4 && declared < kRiffCap ? start + 8 + declared : UINT64_MAX;
  uint64_t at = start + 12;
  uint64_t last = at;  // start of the last valid chunk
  for (uint32_t n = 0; n < kMaxChunks && !cursor.Stopped(); ++n) {
    if (at == claimed) {
      walk.agreed = true;
      break;
    }
    if (at > claimed) {
      // The last chunk ran past the declared end: by its pad byte only
      // (an odd chunk written without one), or the sizes disagree and the
      // smaller one is kept.
      walk.agreed = at == claimed + 1;
      at = claimed > last + 8 ? claimed : last;
      break;
    }
    const ByteView h = cursor.ViewUpTo(at, 12);
    if (h.size() < 8) break;
    // A RIFF header is no chunk: it starts the next file.
    if (!IsChunkId(h.Sub(0, 4)) || h.Matches(0, "RIFF")) break;
    uint64_t size = h.U32At(4);
    if (rf64 && size == UINT32_MAX && h.Matches(0, "data")) size = dataSize64;
    if (size > dataEnd || at + 8 > dataEnd - size) break;
    NoteChunk(h.Sub(0, 4), h.Sub(8, 4), walk);
    last = at;
    at += 8 + size + (size & 1);
  }
  walk.end = std::min(at, dataEnd);
  return walk;
}

uint64_t RiffLength(ByteView s, CarvingState& state) {
  FileCursor cursor(state, s, kRiffCap);
  RiffWalk walk = WalkRiff(cursor, 0);
  if (cursor.Stopped() || !walk.header || !walk.body) return kNotAFile;
  uint64_t end = walk.end;
  if (s.Matches(8, "AVI ")) {
    for (uint32_t k = 0; k < kMaxExtensions && walk.agreed; ++k) {
      const ByteView next = cursor.View(end, 12);
      if (!next.Matches(0, "RIFF") || !next.Matches(8, "AVIX")) break;
      walk = WalkRiff(cursor, end);
      if (walk.end <= end + 12) break;
      end = walk.end;
    }
  }
  return cursor.Stopped() ? kNotAFile : end;
}

}  // namespace

const FileFormat kAviFormat{"avi", &AviTest, &RiffLength, CarveStep::kPastFile, 1, {{0, 'R'}}};
const FileFormat kWavFormat{"wav", &WavTest, &RiffLength, CarveStep::kPastFile, 1, {{0, 'R'}}};
const FileFormat kWebpFormat{"webp", &WebpTest, &RiffLength, CarveStep::kPastFile, 1, {{0, 'R'}}};

}  // namespace velmira
