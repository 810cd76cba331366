// JPEG pictures (JFIF, Exif and the bare forms cameras and editors write)
// and multi-picture files. The length rule walks the markers: segments by
// their lengths up to a scan, the entropy-coded data to the next marker
// (FF 00 is a stuffed byte, FF D0-D7 a restart), then on through further
// tables and scans of a progressive picture to the end-of-image marker.
// Thumbnails live inside APP1 segments and are stepped over with them. A
// multi-picture file (an APP2 "MPF" index) ends where its last picture ends.
#include <algorithm>
#include <cstring>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr uint64_t kJpegCap = 128 * kMiB;
constexpr uint32_t kMaxSegments = 1u << 16;
constexpr uint32_t kMaxPictures = 64;

// Markers without a length field.
bool IsStandalone(uint8_t m) {
  return m == 0x01 || (m >= 0xD0 && m <= 0xD9);
}

// Markers that carry a length field after them.
bool IsSegment(uint8_t m) {
  return m >= 0xC0 && m <= 0xFE && !IsStandalone(m);
}

// Start-of-frame markers (not DHT C4, JPG C8 or DAC CC).
bool IsFrame(uint8_t m) {
  return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

// The first markers accepted after SOI. APP0 and APP1 with their JFIF and
// Exif names pass alone; every form also passes when its segment length
// leads to another marker.
bool IsLeadingMarker(uint8_t m) {
  return m == 0xE0 || m == 0xE1 || m == 0xE2 || m == 0xDB || m == 0xED || m == 0xEE || m == 0xFE ||
         (m >= 0xC0 && m <= 0xC2) || m == 0xC4;
}

uint32_t JpegTest(ByteView s, CarvingState&) {
  if (s.size() < 16 || !s.Matches(0, "\xFF\xD8\xFF"sv)) return kNoType;
  const uint8_t first = s.U8At(3);
  if (first == 0xE0 && s.Matches(6, "JFIF")) return kTypeJpeg;
  if (first == 0xE1 && s.Matches(6, "Exif")) return kTypeJpeg;
  if (!IsLeadingMarker(first)) return kNoType;
  const size_t length = s.U16BeAt(4);
  if (length < 2) return kNoType;
  const size_t next = 4 + length;
  // A segment longer than the sector is judged by the length rule.
  if (next + 2 > s.size()) return kTypeJpeg;
  const uint8_t after = s.U8At(next + 1);
  return s.U8At(next) == 0xFF && (IsSegment(after) || after == 0xFF) && after != 0xD8 ? kTypeJpeg : kNoType;
}

// Where one picture's walk ended.
struct Walk {
  uint64_t end = 0;        // just past its end-of-image marker; 0 when it has none
  uint64_t reached = 0;    // the end of the last part that held (the scan data included)
  bool scanned = false;    // a scan's data was reached
  uint64_t scanStart = 0;  // where the first scan's data begins
  uint64_t mpfHeader = 0;  // file offset of the multi-picture index's byte-order mark, 0 without one
};

// The offset of the first marker in the entropy-coded data from `at`: the
// FF that is neither a stuffed byte (FF 00), a restart (FF D0-D7) nor fill
// before another FF. kNotFound when the data ends first.
uint64_t NextMarker(FileCursor& cursor, uint64_t at) {
  for (;;) {
    const ByteView v = cursor.ViewUpTo(at, FileCursor::kMaxView);
    if (v.size() < 2) return FileCursor::kNotFound;
    const uint8_t* base = v.data();
    size_t i = 0;
    while (i + 1 < v.size()) {
      const void* hit = std::memchr(base + i, 0xFF, v.size() - 1 - i);
      if (hit == nullptr) {
        i = v.size() - 1;
        break;
      }
      i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - base);
      const uint8_t next = base[i + 1];
      if (next == 0x00 || (next >= 0xD0 && next <= 0xD7) || next == 0xFF) {
        ++i;
        continue;
      }
      return at + i;
    }
    at += i;  // the last byte is looked at again with the one after it
    if (cursor.Stopped()) return FileCursor::kNotFound;
  }
}

// Walks one picture that starts with SOI at `start`.
Walk WalkPicture(FileCursor& cursor, uint64_t start) {
  Walk walk;
  bool frame = false;
  uint64_t pos = start + 2;
  walk.reached = pos;
  for (uint32_t step = 0; step < kMaxSegments; ++step) {
    const ByteView head = cursor.View(pos, 2);
    if (head.size() != 2 || head.U8At(0) != 0xFF) return walk;
    const uint8_t m = head.U8At(1);
    if (m == 0xFF) {  // fill byte before a marker
      ++pos;
      continue;
    }
    if (m == 0xD9) {
      if (walk.scanned) walk.end = walk.reached = pos + 2;
      return walk;
    }
    if (m == 0xD8 || m == 0x00 || m < 0xC0) {
      if (m != 0x01) return walk;
    }
    if (IsStandalone(m)) {  // TEM or a stray restart
      pos += 2;
      continue;
    }
    const uint16_t length = cursor.U16Be(pos + 2);
    if (length < 2) return walk;
    const uint64_t next = pos + 2 + length;
    if (IsFrame(m)) {
      const ByteView sof = cursor.View(pos + 4, 6);
      const uint8_t components = sof.U8At(5);
      if (sof.size() != 6 || components == 0 || length != 8 + 3 * components) return walk;
      frame = true;
    } else if (m == 0xE2 && length >= 16 && cursor.Matches(pos + 4, "MPF\0"sv) && walk.mpfHeader == 0) {
      walk.mpfHeader = pos + 8;
    } else if (m == 0xDA) {
      const uint8_t components = cursor.U8(pos + 4);
      if (!frame || components == 0 || components > 4 || length != 6 + 2 * components) return walk;
      const uint64_t marker = NextMarker(cursor, next);
      if (!walk.scanned) walk.scanStart = next;
      walk.scanned = true;
      if (marker == FileCursor::kNotFound) {
        walk.reached = std::max(walk.reached, cursor.DataEnd());
        return walk;
      }
      walk.reached = pos = marker;
      continue;
    }
    walk.reached = pos = next;
  }
  return walk;
}

// The multi-picture index: the end of the last picture it lists that
// really starts and ends where listed, or `firstEnd` when there is none.
uint64_t MultiPictureEnd(FileCursor& cursor, uint64_t header, uint64_t firstEnd) {
  const ByteView order = cursor.View(header, 8);
  const bool little = order.Matches(0, "II\x2A\x00"sv);
  if (!little && !order.Matches(0, "MM\x00\x2A"sv)) return firstEnd;
  auto u16 = [&](uint64_t at) { return little ? cursor.U16(header + at) : cursor.U16Be(header + at); };
  auto u32 = [&](uint64_t at) { return little ? cursor.U32(header + at) : cursor.U32Be(header + at); };
  const uint64_t ifd = little ? order.U32At(4) : order.U32BeAt(4);
  const uint16_t entries = u16(ifd);
  if (entries == 0 || entries > 64) return firstEnd;
  uint64_t list = 0;
  uint32_t listBytes = 0;
  for (uint16_t i = 0; i < entries; ++i) {
    const uint64_t entry = ifd + 2 + 12 * uint64_t{i};
    if (u16(entry) == 0xB002) {  // the picture list: 16 bytes a picture
      listBytes = u32(entry + 4);
      list = u32(entry + 8);
    }
  }
  if (list == 0 || listBytes < 32 || listBytes % 16 != 0) return firstEnd;
  uint64_t end = firstEnd;
  const uint32_t pictures = std::min<uint32_t>(listBytes / 16, kMaxPictures);
  for (uint32_t k = 1; k < pictures; ++k) {
    const uint64_t offset = u32(list + 16 * uint64_t{k} + 8);
    if (offset == 0) continue;
    const uint64_t start = header + offset;
    if (!cursor.Matches(start, "\xFF\xD8\xFF"sv)) break;
    const Walk picture = WalkPicture(cursor, start);
    if (picture.end == 0) break;
    end = std::max(end, picture.end);
  }
  return end;
}

uint64_t JpegLength(ByteView s, CarvingState& state) {
  FileCursor cursor(state, s, kJpegCap);
  const Walk walk = WalkPicture(cursor, 0);
  if (cursor.Stopped()) return kNotAFile;
  // A picture must reach its scan data; one whose end is lost keeps what its
  // walk covered, cut at the first boundary after its scan began.
  if (!walk.scanned) return kNotAFile;
  if (walk.end == 0) {
    uint64_t end = walk.reached;
    const uint32_t sector = cursor.SectorSize();
    for (uint64_t at = (walk.scanStart / sector + 1) * sector; at < end; at += sector) {
      if (cursor.IsBoundaryAt(at)) {
        end = at;
        break;
      }
    }
    return end;
  }
  if (walk.mpfHeader != 0) return MultiPictureEnd(cursor, walk.mpfHeader, walk.end);
  return walk.end;
}

}  // namespace

const FileFormat kJpegFormat{"jpeg", &JpegTest, &JpegLength, CarveStep::kPastFile, 1, {{0, 0xFF}}};

}  // namespace velmira
