// Monkey's Audio files ("MAC ") and the tags audio files carry at their end.
//
// From version 3.98 on the file opens with a descriptor that gives the size
// of every part (descriptor, header, seek table, the WAV header kept aside,
// the compressed frames and the WAV data kept after them), so the audio ends
// at their sum; APE, Lyrics3 and ID3v1 tags may follow. Older files give no
// data size: they end after the footer of their APE tag, or at the next
// boundary when they have none.
#include <algorithm>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/audio_tags.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

// ---- trailing tags ------------------------------------------------------------

constexpr size_t kApeTagBytes = 32;  // header and footer alike
constexpr uint32_t kApeHasHeader = 1u << 31;
constexpr uint32_t kApeIsHeader = 1u << 29;
constexpr uint64_t kMaxApeTag = 16 * kMiB;
constexpr uint32_t kMaxApeItems = 4096;
constexpr size_t kId3v1Bytes = 128;
constexpr size_t kId3v1ExtendedBytes = 227;  // "TAG+" in front of the ID3v1 tag
constexpr uint64_t kLyrics3v1MaxText = 5100;
constexpr uint64_t kLyrics3v2MaxSize = 999999;

struct ApeTagMark {
  uint32_t size = 0;  // items and footer, without the header
  uint32_t items = 0;
  uint32_t flags = 0;
};

bool ReadApeMark(FileCursor& cursor, uint64_t at, ApeTagMark& mark) {
  const ByteView v = cursor.View(at, kApeTagBytes);
  if (v.size() != kApeTagBytes || !v.Matches(0, "APETAGEX")) return false;
  const uint32_t version = v.U32At(8);
  if (version != 1000 && version != 2000) return false;
  mark.size = v.U32At(12);
  mark.items = v.U32At(16);
  mark.flags = v.U32At(20);
  return mark.size >= kApeTagBytes && mark.size <= kMaxApeTag && mark.items <= kMaxApeItems;
}

// An APE tag that starts with its header at `at`: the offset past its
// footer, or 0.
uint64_t ApeTagWithHeaderEnd(FileCursor& cursor, uint64_t at) {
  ApeTagMark header;
  if (!ReadApeMark(cursor, at, header) || (header.flags & kApeIsHeader) == 0) return 0;
  const uint64_t footerAt = at + header.size;  // the header's 32 bytes, then size - 32 bytes of items
  ApeTagMark footer;
  if (!ReadApeMark(cursor, footerAt, footer) || (footer.flags & kApeIsHeader) != 0) return 0;
  if (footer.size != header.size || footer.items != header.items) return 0;
  return footerAt + kApeTagBytes;
}

// An APE tag without a header: items from `at` on, then a footer whose size
// and count agree with them. The offset past the footer, or 0.
uint64_t ApeItemsEnd(FileCursor& cursor, uint64_t at) {
  uint64_t pos = at;
  for (uint32_t items = 0; items <= kMaxApeItems; ++items) {
    if (cursor.Matches(pos, "APETAGEX")) {
      ApeTagMark footer;
      if (items == 0 || !ReadApeMark(cursor, pos, footer)) return 0;
      if ((footer.flags & (kApeIsHeader | kApeHasHeader)) != 0) return 0;
      if (footer.items != items || footer.size != pos + kApeTagBytes - at) return 0;
      return pos + kApeTagBytes;
    }
    // An item: value size, flags (read-only and type bits only), a key of
    // 2 to 255 printable characters ended by a zero, the value.
    const ByteView item = cursor.ViewUpTo(pos, 8 + 256);
    if (item.size() < 11) return 0;
    const uint32_t valueBytes = item.U32At(0);
    if (valueBytes > kMaxApeTag || (item.U32At(4) & ~7u) != 0) return 0;
    size_t key = 0;
    while (8 + key < item.size() && item.U8At(8 + key) >= 0x20 && item.U8At(8 + key) <= 0x7E) ++key;
    if (key < 2 || key > 255 || 8 + key >= item.size() || item.U8At(8 + key) != 0) return 0;
    pos += 8 + key + 1 + uint64_t{valueBytes};
    if (pos - at > kMaxApeTag) return 0;
  }
  return 0;
}

bool AllDigits(ByteView v) {
  if (v.size() == 0) return false;
  for (size_t i = 0; i < v.size(); ++i)
    if (v.U8At(i) < '0' || v.U8At(i) > '9') return false;
  return true;
}

// A Lyrics3 block at `at`: version 2 ends with its 6-digit size and
// "LYRICS200"; version 1 ends with "LYRICSEND" and is always followed by an
// ID3v1 tag. The offset past the block, or 0.
uint64_t Lyrics3End(FileCursor& cursor, uint64_t at) {
  constexpr auto kBegin = "LYRICSBEGIN"sv;
  if (!cursor.Matches(at, kBegin)) return 0;
  const uint64_t v2 = cursor.Find("LYRICS200", at + kBegin.size(), at + kLyrics3v2MaxSize + 6 + 9);
  if (v2 != FileCursor::kNotFound && v2 >= at + 6) {
    const ByteView digits = cursor.View(v2 - 6, 6);
    if (AllDigits(digits)) {
      uint64_t size = 0;
      for (size_t i = 0; i < 6; ++i) size = size * 10 + (digits.U8At(i) - '0');
      if (size == v2 - 6 - at) return v2 + 9;
    }
  }
  const uint64_t v1 =
      cursor.Find("LYRICSEND", at + kBegin.size(), at + kBegin.size() + kLyrics3v1MaxText + 9);
  if (v1 != FileCursor::kNotFound && cursor.Matches(v1 + 9, "TAG")) return v1 + 9;
  return 0;
}

}  // namespace

uint64_t TrailingTagsEnd(FileCursor& cursor, uint64_t at) {
  const uint64_t dataEnd = cursor.DataEnd();
  for (int tags = 0; tags < 8 && at < dataEnd; ++tags) {
    const ByteView head = cursor.ViewUpTo(at, 4);
    if (head.size() < 3) break;
    if (head.Matches(0, "TAG")) {
      if (head.Matches(0, "TAG+") && cursor.Matches(at + kId3v1ExtendedBytes, "TAG") &&
          cursor.Has(at + kId3v1ExtendedBytes, kId3v1Bytes)) {
        at += kId3v1ExtendedBytes;
        continue;
      }
      if (cursor.Has(at, kId3v1Bytes)) at += kId3v1Bytes;
      break;  // nothing follows an ID3v1 tag
    }
    uint64_t next = 0;
    if (head.Matches(0, "APET")) {
      next = ApeTagWithHeaderEnd(cursor, at);
    } else if (head.Matches(0, "LYRI")) {
      next = Lyrics3End(cursor, at);
    } else {
      next = ApeItemsEnd(cursor, at);
    }
    if (next == 0) break;
    at = next;
  }
  return at;
}

namespace {

// ---- Monkey's Audio ---------------------------------------------------------------

constexpr uint64_t kApeCap = 4 * kGiB;
constexpr uint16_t kDescriptorVersion = 3980;  // the first version with a descriptor
constexpr uint32_t kDescriptorMinBytes = 52;
constexpr uint32_t kHeaderMinBytes = 24;

uint32_t ApeTest(ByteView s, CarvingState&) {
  return s.size() >= 4 && s.Matches(0, "MAC ") ? kTypeApe : kNoType;
}

// Version 3.98 and later: the descriptor's part sizes, checked against the
// header that follows it.
uint64_t DescribedApeLength(ByteView s, CarvingState& state) {
  FileCursor cursor(state, s, kApeCap);
  const ByteView d = cursor.View(0, kDescriptorMinBytes);
  if (d.size() != kDescriptorMinBytes) return kNotAFile;
  const uint32_t descriptorBytes = d.U32At(8);
  const uint32_t headerBytes = d.U32At(12);
  const uint32_t seekTableBytes = d.U32At(16);
  const uint32_t wavHeaderBytes = d.U32At(20);
  const uint64_t frameBytes = d.U32At(24) | (uint64_t{d.U32At(28)} << 32);
  const uint32_t wavTailBytes = d.U32At(32);
  if (descriptorBytes < kDescriptorMinBytes || descriptorBytes > 1024) return kNotAFile;
  if (headerBytes < kHeaderMinBytes || headerBytes > 1024 || seekTableBytes % 4 != 0) return kNotAFile;
  if (frameBytes == 0 || frameBytes > kApeCap) return kNotAFile;

  const ByteView h = cursor.View(descriptorBytes, kHeaderMinBytes);
  if (h.size() != kHeaderMinBytes) return kNotAFile;
  const uint16_t level = h.U16At(0);
  const uint32_t totalFrames = h.U32At(12);
  const uint16_t channels = h.U16At(18);
  const uint32_t sampleRate = h.U32At(20);
  if (level == 0 || level % 1000 != 0 || level > 5000) return kNotAFile;
  if (channels == 0 || channels > 32 || sampleRate == 0 || totalFrames == 0) return kNotAFile;
  if (uint64_t{seekTableBytes} / 4 < totalFrames) return kNotAFile;

  const uint64_t end =
      uint64_t{descriptorBytes} + headerBytes + seekTableBytes + wavHeaderBytes + frameBytes + wavTailBytes;
  if (end > cursor.DataEnd()) return kNotAFile;
  return TrailingTagsEnd(cursor, end);
}

// Older files: the footer of the APE tag (32 bytes from "APETAGEX", with the
// header flag clear) and an ID3v1 tag right after it; without one, the next
// boundary.
uint64_t TaggedApeLength(ByteView s, CarvingState& state) {
  ReadAhead ahead(state, s, kApeCap);
  while (ahead.Next()) {
    const ByteView window = ahead.Window();
    for (size_t at = ahead.FindFirst("APETAGEX"); at != ReadAhead::kNotFound;
         at = ahead.FindFirst("APETAGEX", at + 1)) {
      if (!window.Has(at, kApeTagBytes) || (window.U32At(at + 20) & kApeIsHeader) != 0) continue;
      const size_t end = at + kApeTagBytes;
      const bool id3v1 = window.Has(end, kId3v1Bytes) && window.Matches(end, "TAG");
      return ahead.WindowStart() + end + (id3v1 ? kId3v1Bytes : 0);
    }
  }
  return ahead.Length();
}

uint64_t ApeLength(ByteView s, CarvingState& state) {
  if (s.U16At(4) >= kDescriptorVersion) return DescribedApeLength(s, state);
  return TaggedApeLength(s, state);
}

}  // namespace

const FileFormat kApeFormat{"ape", &ApeTest, &ApeLength, CarveStep::kPastFile, 1, {{0, 'M'}}};

}  // namespace velmira
