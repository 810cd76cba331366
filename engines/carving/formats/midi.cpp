// Standard MIDI files ("MThd" followed by track chunks "MTrk") and SMAF
// ringtones ("MMMD"). A MIDI file ends after its last track chunk; the
// header says how many there are.
#include <algorithm>

#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

constexpr size_t kChunkHeaderBytes = 8;
constexpr uint64_t kFirstTrackChunk = 14;  // after "MThd", its length 6 and 6 bytes

uint32_t MidiTest(ByteView s, CarvingState&) {
  if (s.size() < 16 || !s.Matches(0, "MThd") || s.U32BeAt(4) != 6) return kNoType;
  return s.Matches(14, "MTrk") ? kTypeMidi : kNoType;
}

// Follows the track chunks through the bytes as they are read ahead.
class TrackWalk {
 public:
  explicit TrackWalk(uint16_t tracks) : m_tracksLeft(tracks), m_lost(tracks == 0) {}

  // `bytes` holds the file's bytes from offset `start` on.
  void Feed(ByteView bytes, uint64_t start) {
    while (!m_lost && m_tracksLeft > 0 && m_next >= start &&
           m_next - start + kChunkHeaderBytes <= bytes.size()) {
      const size_t at = static_cast<size_t>(m_next - start);
      if (!bytes.Matches(at, "MTrk")) {
        m_lost = true;  // not a plain track list: leave the end to the boundary
        return;
      }
      m_next += kChunkHeaderBytes + bytes.U32BeAt(at + 4);
      --m_tracksLeft;
    }
  }
  // The end of the last track chunk once every chunk was met, else 0.
  [[nodiscard]] uint64_t End() const { return !m_lost && m_tracksLeft == 0 ? m_next : 0; }

 private:
  uint64_t m_next = kFirstTrackChunk;
  uint32_t m_tracksLeft;
  bool m_lost;
};

uint64_t MidiLength(ByteView s, CarvingState& state) {
  TrackWalk walk(s.U16BeAt(10));
  walk.Feed(s, 0);
  if (walk.End() != 0 && walk.End() <= SectorBytes(state)) return walk.End();
  ReadAhead ahead(state, s, 8 * kMiB);
  while (ahead.Next()) {
    walk.Feed(ahead.Window(), ahead.WindowStart());
    if (walk.End() != 0 && walk.End() <= ahead.Length()) return walk.End();
  }
  return walk.End() != 0 ? std::min(walk.End(), ahead.Length()) : ahead.Length();
}

uint32_t MmfTest(ByteView s, CarvingState&) {
  return s.size() >= 4 && s.Matches(0, "MMMD") ? kTypeMmf : kNoType;
}

uint64_t MmfLength(ByteView s, CarvingState& state) {
  return BoundaryLength(s, state, 256 * kMiB);
}

}  // namespace

const FileFormat kMidiFormat{"midi", &MidiTest, &MidiLength, CarveStep::kPastFile, 1, {{0, 'M'}}};
const FileFormat kMmfFormat{"mmf", &MmfTest, &MmfLength, CarveStep::kPastFile, 1, {{0, 'M'}}};

}  // namespace velmira
