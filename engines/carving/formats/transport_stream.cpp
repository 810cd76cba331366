// MPEG transport streams: 188-byte packets that each start with the sync
// byte 47, and camera streams (M2TS) whose 192-byte packets open with a
// 4-byte time stamp before a program association table. Both run while
// their packets keep the sync byte.
//
// A transport stream has no header of its own, so every sector inside a
// stream looks like a start. While the carver's strict flag is set, a start
// must not continue the packets of the sector before it and must not lie in
// a stream already carved.
#include <algorithm>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr uint8_t kSync = 0x47;
constexpr size_t kPacketBytes = 188;
// Bytes read at a candidate, and the packets that must start in them.
constexpr size_t kProbeBytes = 4096;
constexpr size_t kProbePackets = 22;

bool PacketsStartWithSync(ByteView bytes, size_t packets) {
  for (size_t k = 0; k < packets; ++k)
    if (bytes.U8At(k * kPacketBytes) != kSync) return false;
  return true;
}

// The sweep tests sectors in rising order, and carved streams neither overlap
// nor start inside one another, so the ranges are sorted: those that end
// before `sector` can never hold a later candidate and are dropped. The list
// thus holds the streams ahead of the sweep only, however many it carves.
bool InCarvedStream(CarvingState& state, uint64_t sector) {
  std::vector<StreamRange>& ranges = state.streamRanges;
  const auto ahead =
      std::find_if(ranges.begin(), ranges.end(), [&](const StreamRange& r) { return r.last >= sector; });
  ranges.erase(ranges.begin(), ahead);
  return std::any_of(ranges.begin(), ranges.end(),
                     [&](const StreamRange& r) { return r.first <= sector && sector <= r.last; });
}

// The sector before the candidate carries sync bytes where this stream's
// packets would continue it.
bool ContinuesPreviousSector(CarvingState& state) {
  const uint32_t sectorSize = SectorBytes(state);
  if (state.sectorUnderTest == 0) return true;  // nothing to read: the test fails
  uint8_t* previous = state.TestBuffer(sectorSize);
  uint32_t got = 0;
  if (state.Read(state.sectorUnderTest - 1, 1, previous, got) != 0 || got != 1) return true;
  for (size_t j = 1; j <= sectorSize / kPacketBytes; ++j)
    if (previous[sectorSize - kPacketBytes * j] == kSync) return true;
  return false;
}

uint32_t TsTest(ByteView s, CarvingState& state) {
  if (s.size() < kPacketBytes || s.U8At(0) != kSync) return kNoType;
  if (s.U8At(1) == 0 && s.U8At(2) == 0 && s.U8At(3) == 0) return kNoType;
  for (size_t at = 0; at < s.size(); at += kPacketBytes)
    if (s.U8At(at) != kSync) return kNoType;

  const uint32_t sectorSize = SectorBytes(state);
  const auto count = static_cast<uint32_t>((kProbeBytes + sectorSize - 1) / sectorSize);
  uint8_t* probe = state.TestBuffer(size_t{count} * sectorSize);
  uint32_t got = 0;
  if (state.Read(state.sectorUnderTest, count, probe, got) != 0 || got != count) return kNoType;
  if (!PacketsStartWithSync(ByteView(probe, kProbeBytes), kProbePackets)) return kNoType;

  if (state.tsStrict) {
    if (ContinuesPreviousSector(state)) return kNoType;
    if (InCarvedStream(state, state.sectorUnderTest)) return kNoType;
  }
  return kTypeTs;
}

// The stream runs while its packets keep their sync byte, and not past the
// next boundary. The sectors it covers are remembered so that the sweep does
// not start another stream inside it.
uint64_t TsLength(ByteView s, CarvingState& state) {
  uint64_t nextPacket = 0;
  uint64_t length = 0;
  bool broken = false;
  for (; nextPacket < s.size(); nextPacket += kPacketBytes) {
    if (s.U8At(nextPacket) != kSync) {
      broken = true;
      break;
    }
  }
  ReadAhead ahead(state, s, 64 * kGiB);
  if (broken) {
    length = nextPacket;
  } else {
    while (!broken && ahead.Next()) {
      const ByteView window = ahead.Window();
      const uint64_t windowEnd = ahead.WindowStart() + window.size();
      for (; nextPacket < windowEnd; nextPacket += kPacketBytes) {
        if (window.U8At(nextPacket - ahead.WindowStart()) != kSync) {
          broken = true;
          break;
        }
      }
    }
    length = std::min(ahead.Length(), nextPacket);
  }
  if (state.carveResult == 0 && length != 0) {
    const uint32_t sectorSize = SectorBytes(state);
    state.streamRanges.push_back(
        {state.candidateSector, state.candidateSector + (length + sectorSize - 1) / sectorSize - 1});
  }
  return length;
}

uint32_t MtsTest(ByteView s, CarvingState& state) {
  if (s.size() < 16 || !s.Matches(8, "\x00\x00\xB0\x11\x00\x00\xC1\x00"sv)) return kNoType;
  const bool stamped = s.U8At(0) != 0 || s.U8At(1) != 0 || s.U8At(2) != 0 || s.U8At(3) != 0;
  // Inside a camera stream every table repeats with a running time stamp.
  if (stamped && state.previousWasMts) return kNoType;
  return kTypeMts;
}

// A camera stream runs while its 192-byte packets (a 4-byte time stamp and
// a transport packet) keep their sync byte; a packet cut short by the end
// of the data is not part of it. A table without a packet after it is no
// stream.
uint64_t MtsLength(ByteView s, CarvingState& state) {
  constexpr size_t kStampedBytes = 192;
  constexpr size_t kPacketsPerView = FileCursor::kMaxView / kStampedBytes;
  FileCursor cursor(state, s, 64 * kGiB);
  uint64_t at = 0;
  bool broken = false;
  while (!broken && !cursor.Stopped()) {
    const ByteView v = cursor.ViewUpTo(at, kPacketsPerView * kStampedBytes);
    const size_t whole = v.size() / kStampedBytes;
    for (size_t k = 0; k < whole && !broken; ++k) {
      if (v.U8At(k * kStampedBytes + 4) != kSync)
        broken = true;
      else
        at += kStampedBytes;
    }
    if (whole < kPacketsPerView) break;
  }
  return cursor.Stopped() || at < 2 * kStampedBytes ? kNotAFile : at;
}

}  // namespace

const FileFormat kTsFormat{"ts", &TsTest, &TsLength, CarveStep::kPastFile, 1, {{0, kSync}}};
const FileFormat kMtsFormat{"mts", &MtsTest, &MtsLength, CarveStep::kPastFile, 1, {{10, 0xB0}}};

}  // namespace velmira
