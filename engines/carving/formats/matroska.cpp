// Matroska and WebM files: an EBML header (whose DocType names the kind)
// and one segment. Every element is an ID and a size, both written as
// EBML variable-length integers. The segment's size gives the file's end
// when the walk over its top-level elements lands on it; a segment or a
// cluster of unknown size (live recordings) is measured by walking its
// children to the first element that cannot belong to it.
#include <algorithm>
#include <array>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr uint64_t kMkvCap = 64 * kGiB;
constexpr uint32_t kMaxElements = 10'000'000;
constexpr uint32_t kEbmlId = 0x1A45DFA3;
constexpr uint32_t kSegmentId = 0x18538067;
constexpr uint32_t kClusterId = 0x1F43B675;
constexpr uint32_t kDocTypeId = 0x4282;
constexpr uint32_t kVoidId = 0xEC;
constexpr uint32_t kCrcId = 0xBF;

// Level-1 elements: seek head, info, tracks, cluster, cues, tags,
// chapters, attachments.
constexpr std::array<uint32_t, 10> kSegmentChildren = {0x114D9B74, 0x1549A966, 0x1654AE6B, kClusterId,
                                                       0x1C53BB6B, 0x1254C367, 0x1043A770, 0x1941A469,
                                                       kVoidId,    kCrcId};
// Children of a cluster: time code, silent tracks, position, previous
// size, simple block, block group, encrypted block.
constexpr std::array<uint32_t, 9> kClusterChildren = {0xE7, 0x5854, 0xA7,    0xAB,  0xA3,
                                                      0xA0, 0xAF,   kVoidId, kCrcId};

struct Element {
  uint32_t id = 0;
  uint64_t size = 0;
  bool unknownSize = false;
  uint32_t headerBytes = 0;
  bool valid = false;
};

// Reads the element header in `v` at `at`: an ID of 1-4 bytes (its length
// marker kept) and a size of 1-8 bytes (its marker dropped; all value bits
// set means unknown).
Element ParseElement(ByteView v, size_t at) {
  Element e;
  const uint8_t first = v.U8At(at);
  if (first == 0 || !v.Has(at, 1)) return e;
  const int idLen = __builtin_clz(uint32_t{first}) - 23;
  if (idLen > 4) return e;
  for (int k = 0; k < idLen; ++k) e.id = (e.id << 8) | v.U8At(at + k);
  const size_t sizeAt = at + idLen;
  const uint8_t lead = v.U8At(sizeAt);
  if (lead == 0 || !v.Has(sizeAt, 1)) return e;
  const int sizeLen = __builtin_clz(uint32_t{lead}) - 23;
  if (!v.Has(sizeAt, sizeLen)) return e;
  uint64_t value = lead & (0xFFu >> sizeLen);
  uint64_t allOnes = 0xFFu >> sizeLen;
  for (int k = 1; k < sizeLen; ++k) {
    value = (value << 8) | v.U8At(sizeAt + k);
    allOnes = (allOnes << 8) | 0xFF;
  }
  e.unknownSize = value == allOnes;
  e.size = e.unknownSize ? 0 : value;
  e.headerBytes = static_cast<uint32_t>(idLen + sizeLen);
  e.valid = true;
  return e;
}

Element ElementAt(FileCursor& cursor, uint64_t at) {
  return ParseElement(cursor.ViewUpTo(at, 12), 0);
}

// The EBML header, whole in the first sector, and its DocType.
uint32_t MkvTest(ByteView s, CarvingState&) {
  if (s.size() < 64 || !s.Matches(0, "\x1A\x45\xDF\xA3"sv)) return kNoType;
  const Element header = ParseElement(s, 0);
  if (!header.valid || header.unknownSize || header.size < 4 || header.size > s.size() - header.headerBytes)
    return kNoType;
  const size_t end = header.headerBytes + static_cast<size_t>(header.size);
  for (size_t at = header.headerBytes; at < end;) {
    const Element e = ParseElement(s, at);
    if (!e.valid || e.unknownSize || e.headerBytes > end - at || e.size > end - at - e.headerBytes)
      return kNoType;
    if (e.id == kDocTypeId) {
      const ByteView text = s.Sub(at + e.headerBytes, static_cast<size_t>(e.size));
      if (text.Matches(0, "webm") && (e.size == 4 || text.U8At(4) == 0)) return kTypeWebm;
      return text.Matches(0, "matroska") ? kTypeMkv : kNoType;
    }
    at += e.headerBytes + static_cast<size_t>(e.size);
  }
  return kNoType;
}

bool IsOneOf(uint32_t id, const auto& ids) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// Walks the children of a cluster of unknown size from `at`; returns where
// the first element that is not a cluster child starts (or `limit`).
uint64_t ClusterEnd(FileCursor& cursor, uint64_t at, uint64_t limit, uint32_t& steps) {
  while (at < limit && steps < kMaxElements && !cursor.Stopped()) {
    ++steps;
    const Element e = ElementAt(cursor, at);
    if (!e.valid || e.unknownSize || !IsOneOf(e.id, kClusterChildren)) break;
    const uint64_t next = at + e.headerBytes + e.size;
    if (next > limit) break;
    at = next;
  }
  return at;
}

uint64_t MkvLength(ByteView s, CarvingState& state) {
  FileCursor cursor(state, s, kMkvCap);
  const uint64_t dataEnd = cursor.DataEnd();
  const Element header = ElementAt(cursor, 0);
  if (!header.valid || header.id != kEbmlId) return kNotAFile;
  const uint64_t segmentAt = header.headerBytes + header.size;
  const Element segment = ElementAt(cursor, segmentAt);
  if (!segment.valid || segment.id != kSegmentId) return kNotAFile;
  const uint64_t bodyAt = segmentAt + segment.headerBytes;
  const uint64_t declaredEnd = segment.unknownSize ? UINT64_MAX : bodyAt + segment.size;
  const uint64_t limit = std::min(declaredEnd, dataEnd);

  bool content = false;  // info, tracks or a cluster
  uint64_t at = bodyAt;
  for (uint32_t steps = 0; at < limit && steps < kMaxElements && !cursor.Stopped(); ++steps) {
    const Element e = ElementAt(cursor, at);
    if (!e.valid || !IsOneOf(e.id, kSegmentChildren)) break;
    content = content || e.id == 0x1549A966 || e.id == 0x1654AE6B || e.id == kClusterId;
    if (e.unknownSize) {
      if (e.id != kClusterId) break;
      const uint64_t end = ClusterEnd(cursor, at + e.headerBytes, limit, steps);
      if (end == at + e.headerBytes) break;
      at = end;
      continue;
    }
    const uint64_t next = at + e.headerBytes + e.size;
    if (next > limit) break;
    at = next;
  }
  if (cursor.Stopped() || !content) return kNotAFile;
  // The walk stops on the declared end when the sizes agree; a segment
  // cut short or damaged keeps what the walk could follow.
  return at;
}

}  // namespace

const FileFormat kMkvFormat{"mkv", &MkvTest, &MkvLength, CarveStep::kPastFile, 1, {{0, 0x1A}}};

}  // namespace velmira
