// Standard MIDI files ("MThd" followed by track chunks "MTrk") and SMAF
// ringtones ("MMMD"). A MIDI file ends after its last track chunk, the
// header saying how many there are; chunks of other types between them are
// stepped over by their lengths. A SMAF file is one chunk whose size covers
// everything, its contents-info chunk first.
#include <algorithm>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

constexpr size_t kChunkHeaderBytes = 8;
constexpr uint64_t kFirstTrackChunk = 14;  // after "MThd", its length 6 and 6 bytes
constexpr uint64_t kMidiCap = 256 * kMiB;
constexpr uint64_t kMmfCap = 256 * kMiB;
constexpr uint32_t kMaxChunks = 1 << 20;

uint32_t MidiTest(ByteView s, CarvingState&) {
  if (s.size() < 16 || !s.Matches(0, "MThd") || s.U32BeAt(4) != 6) return kNoType;
  return s.Matches(14, "MTrk") ? kTypeMidi : kNoType;
}

bool IsChunkId(ByteView id) {
  if (id.size() < 4) return false;
  for (size_t i = 0; i < 4; ++i)
    if (id.U8At(i) < 0x20 || id.U8At(i) > 0x7E) return false;
  return true;
}

// Walks the chunks to the end of the last of the header's tracks. A file
// whose chunks stop holding before that keeps its whole tracks (a player
// plays them); without one whole track it is not a file.
uint64_t MidiLength(ByteView s, CarvingState& state) {
  const uint16_t format = s.U16BeAt(8);
  const uint16_t tracks = s.U16BeAt(10);
  if (format > 2 || tracks == 0 || (format == 0 && tracks != 1)) return kNotAFile;
  FileCursor cursor(state, s, kMidiCap);
  const uint64_t dataEnd = cursor.DataEnd();
  uint64_t at = kFirstTrackChunk;
  uint64_t lastTrackEnd = 0;
  uint32_t found = 0;
  for (uint32_t chunks = 0; found < tracks && chunks < kMaxChunks; ++chunks) {
    const ByteView h = cursor.View(at, kChunkHeaderBytes);
    if (h.size() != kChunkHeaderBytes || !IsChunkId(h)) break;
    const uint64_t length = h.U32BeAt(4);
    if (length > dataEnd - at - kChunkHeaderBytes) break;
    at += kChunkHeaderBytes + length;
    if (h.Matches(0, "MTrk")) {
      ++found;
      lastTrackEnd = at;
    }
  }
  return found > 0 ? lastTrackEnd : kNotAFile;
}

uint32_t MmfTest(ByteView s, CarvingState&) {
  return s.size() >= 4 && s.Matches(0, "MMMD") ? kTypeMmf : kNoType;
}

// "MMMD", the size of what follows, and a contents-info chunk "CNTI" first.
uint64_t MmfLength(ByteView s, CarvingState& state) {
  FileCursor cursor(state, s, kMmfCap);
  const ByteView h = cursor.View(0, 16);
  if (h.size() != 16 || !h.Matches(8, "CNTI")) return kNotAFile;
  const uint64_t end = kChunkHeaderBytes + uint64_t{h.U32BeAt(4)};
  const uint64_t contentsEnd = 16 + uint64_t{h.U32BeAt(12)};
  if (contentsEnd > end || end > cursor.DataEnd()) return kNotAFile;
  return end;
}

}  // namespace

const FileFormat kMidiFormat{"midi", &MidiTest, &MidiLength, CarveStep::kPastFile, 1, {{0, 'M'}}};
const FileFormat kMmfFormat{"mmf", &MmfTest, &MmfLength, CarveStep::kPastFile, 1, {{0, 'M'}}};

}  // namespace velmira
