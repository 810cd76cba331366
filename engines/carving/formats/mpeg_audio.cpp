// MPEG audio streams: MP3 (layer III, and any layer behind an ID3v2 tag), MP2
// (layer II) and AAC in ADTS frames. All three are a run of frames whose
// headers give their length, so one walk serves them:
//
//   [ID3v2 tag [zero padding]] frame frame ... frame [APE / Lyrics3 tags] [ID3v1]
//
// The walk ends at the first position that holds neither a frame of the same
// stream (MPEG version, layer and sample rate; for ADTS also profile and
// channels) nor a trailing tag. No gap between frames is bridged: junk of any
// size after a frame ends the file there, since a stream with a hole plays
// only up to it anyway and the bytes past a gap cannot be told from a file
// that follows. Free-format frames (bit-rate index 0) have no length in
// their header and are not followed.
//
// The stream behind an ID3v2 tag names the file: FLAC, ADTS and layer II
// streams keep their own names, all others are MP3.
//
// Without an ID3v2 tag a sector starts a stream only when two consecutive
// frames of one stream begin there; the header test reads the sector holding
// the second frame header when it lies past the first sector.
#include <algorithm>
#include <array>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/audio_tags.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

enum class FrameKind : uint8_t { kNone, kMpeg, kAdts };

struct AudioFrame {
  FrameKind kind = FrameKind::kNone;
  uint8_t layer = 0;        // 1-3 for MPEG, 0 for ADTS
  uint32_t bytes = 0;       // the whole frame, header included
  uint32_t streamKey = 0;   // header bits that stay the same through a stream
  uint32_t headerWord = 0;  // first four bytes, big-endian
};

// Bytes a frame header needs to be judged (ADTS: 7).
constexpr size_t kHeaderProbe = 7;
// Kilobits per second by [MPEG-1 ? 0 : 1][layer - 1][index].
constexpr uint16_t kBitrates[2][3][16] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}},
};
// Hertz by version bits (0: MPEG 2.5, 2: MPEG 2, 3: MPEG 1) and index.
constexpr uint32_t kSampleRates[4][3] = {
    {11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};

AudioFrame ParseMpeg(uint32_t h) {
  AudioFrame f;
  if ((h & 0xFFE00000u) != 0xFFE00000u) return f;
  const uint32_t version = (h >> 19) & 3;
  const uint32_t layerBits = (h >> 17) & 3;
  const uint32_t bitrateIndex = (h >> 12) & 15;
  const uint32_t rateIndex = (h >> 10) & 3;
  if (version == 1 || layerBits == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) return f;
  if ((h & 3) == 2) return f;  // reserved emphasis
  const uint32_t layer = 4 - layerBits;
  const uint32_t kbps = kBitrates[version == 3 ? 0 : 1][layer - 1][bitrateIndex];
  const uint32_t rate = kSampleRates[version][rateIndex];
  const uint32_t padding = (h >> 9) & 1;
  uint32_t bytes = 0;
  if (layer == 1)
    bytes = (12 * kbps * 1000 / rate + padding) * 4;
  else if (layer == 3 && version != 3)
    bytes = 72 * kbps * 1000 / rate + padding;
  else
    bytes = 144 * kbps * 1000 / rate + padding;
  f.kind = FrameKind::kMpeg;
  f.layer = static_cast<uint8_t>(layer);
  f.bytes = bytes;
  f.streamKey = h & 0x001E0C00u;  // version, layer, sample rate
  f.headerWord = h;
  return f;
}

AudioFrame ParseAdts(ByteView b) {
  AudioFrame f;
  if (b.size() < 7 || b.U8At(0) != 0xFF || (b.U8At(1) & 0xF6) != 0xF0) return f;
  const uint32_t rateIndex = (b.U8At(2) >> 2) & 15;
  if (rateIndex > 12) return f;
  const uint32_t bytes = ((b.U8At(3) & 3u) << 11) | (uint32_t{b.U8At(4)} << 3) | (b.U8At(5) >> 5);
  const uint32_t headerBytes = (b.U8At(1) & 1) != 0 ? 7 : 9;
  if (bytes <= headerBytes) return f;
  f.kind = FrameKind::kAdts;
  f.bytes = bytes;
  f.headerWord = b.U32BeAt(0);
  // MPEG id, CRC presence, profile, sample rate, channel configuration.
  f.streamKey = f.headerWord & 0x000FFDC0u;
  return f;
}

// The frame at the start of `b`, or a frame of kind kNone.
AudioFrame ParseFrame(ByteView b) {
  if (b.size() < 4 || b.U8At(0) != 0xFF) return {};
  if ((b.U8At(1) & 0xF6) == 0xF0) return ParseAdts(b);
  return ParseMpeg(b.U32BeAt(0));
}

bool SameStream(const AudioFrame& a, const AudioFrame& b) {
  return a.kind == b.kind && a.streamKey == b.streamKey;
}

// A layer III frame that opens a stream: its side information is followed
// by a Xing, Info or VBRI table. Met after the first frame, it starts the
// next file.
bool OpensStream(FileCursor& cursor, uint64_t at, const AudioFrame& f) {
  if (f.kind != FrameKind::kMpeg || f.layer != 3) return false;
  const bool mpeg1 = ((f.headerWord >> 19) & 3) == 3;
  const bool mono = ((f.headerWord >> 6) & 3) == 3;
  const size_t sideInfo = mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
  const size_t crc = (f.headerWord & 0x00010000u) == 0 ? 2 : 0;
  const uint64_t xing = at + 4 + crc + sideInfo;
  if (xing + 4 <= at + f.bytes && (cursor.Matches(xing, "Xing") || cursor.Matches(xing, "Info"))) return true;
  return 36 + 4 <= f.bytes && cursor.Matches(at + 36, "VBRI");
}

// What the frame walk found.
struct FrameRun {
  AudioFrame first;
  uint64_t frames = 0;
  uint64_t end = 0;  // past the last whole frame
  bool cut = false;  // the last frame runs into another file: `end` is where that starts
};

// Follows the frames of one stream from `at`. A file cut short ends in a
// frame whose header promises more bytes than were written; the walk cannot
// tell, but when such a last frame reaches into a sector that starts another
// file, the file ends where that file begins: the next file keeps its first
// sector, and the cut frame keeps the bytes that were written of it (with
// the slack of its last sector: a zero tail may as well be the frame's).
FrameRun WalkFrames(FileCursor& cursor, uint64_t at) {
  FrameRun run;
  run.end = at;
  const uint64_t dataEnd = cursor.DataEnd();
  uint64_t lastStart = at;
  while (true) {
    const AudioFrame f = ParseFrame(cursor.ViewUpTo(at, kHeaderProbe));
    if (f.kind == FrameKind::kNone) break;
    if (run.frames == 0) {
      run.first = f;
    } else if (!SameStream(run.first, f) || OpensStream(cursor, at, f)) {
      break;
    }
    if (f.bytes > dataEnd - at) break;  // the frame runs past the data
    lastStart = at;
    at += f.bytes;
    ++run.frames;
    run.end = at;
  }
  const uint32_t sectorSize = cursor.SectorSize();
  for (uint64_t sector = (lastStart / sectorSize + 1) * sectorSize; run.frames > 0 && sector < run.end;
       sector += sectorSize) {
    if (cursor.IsBoundaryAt(sector)) {
      run.end = sector;
      run.cut = true;
    }
  }
  return run;
}

// ---- ID3v2 ----------------------------------------------------------------

constexpr size_t kId3HeaderBytes = 10;
// Zero bytes a writer may leave between the tag and the first frame.
constexpr uint64_t kMaxPaddingAfterTag = 64 * 1024;

uint32_t SyncSafe(ByteView b, size_t at) {
  return (uint32_t{b.U8At(at)} << 21) | (uint32_t{b.U8At(at + 1)} << 14) | (uint32_t{b.U8At(at + 2)} << 7) |
         b.U8At(at + 3);
}

bool IsId3Header(ByteView s) {
  if (s.size() < kId3HeaderBytes || !s.Matches(0, "ID3")) return false;
  if (s.U8At(3) == 0xFF || s.U8At(4) == 0xFF || (s.U8At(5) & 0x0F) != 0) return false;
  if ((s.U8At(5) & 0x10) != 0 && s.U8At(3) != 4) return false;  // only version 4 tags have a footer
  for (size_t i = 6; i < 10; ++i)
    if (s.U8At(i) >= 0x80) return false;
  return true;
}

// The tag's whole length: header, body and the footer of a version 4 tag.
uint64_t Id3TagBytes(ByteView s) {
  const bool footer = s.U8At(3) == 4 && (s.U8At(5) & 0x10) != 0;
  return kId3HeaderBytes + SyncSafe(s, 6) + (footer ? 10 : 0);
}

bool IsFrameIdByte(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool AllZero(FileCursor& cursor, uint64_t from, uint64_t to) {
  while (from < to) {
    const ByteView v = cursor.View(from, static_cast<size_t>(std::min<uint64_t>(to - from, 4096)));
    if (v.size() == 0) return false;
    for (size_t i = 0; i < v.size(); ++i)
      if (v.U8At(i) != 0) return false;
    from += v.size();
  }
  return true;
}

// For a tag that no audio frame follows: whether its frames fill it exactly
// (valid frame ids, sizes that add up, zero padding to the end). Tags kept
// unsynchronised or compressed as a whole cannot be walked and fail.
bool Id3FramesHold(FileCursor& cursor, ByteView s) {
  const uint8_t version = s.U8At(3);
  const uint8_t flags = s.U8At(5);
  if (version < 2 || version > 4) return false;
  if ((flags & 0x80) != 0 && version < 4) return false;
  if (version == 2 && (flags & 0x40) != 0) return false;
  const uint64_t end = kId3HeaderBytes + SyncSafe(s, 6);
  uint64_t at = kId3HeaderBytes;
  if ((flags & 0x40) != 0) {
    const ByteView ext = cursor.View(at, 4);
    if (ext.size() != 4) return false;
    at += version == 3 ? 4 + uint64_t{ext.U32BeAt(0)} : uint64_t{SyncSafe(ext, 0)};
  }
  const size_t idBytes = version == 2 ? 3 : 4;
  const size_t headerBytes = version == 2 ? 6 : 10;
  uint64_t frames = 0;
  while (at + headerBytes <= end) {
    const ByteView h = cursor.View(at, headerBytes);
    if (h.size() != headerBytes) return false;
    if (h.U8At(0) == 0) return frames > 0 && AllZero(cursor, at, end);
    for (size_t i = 0; i < idBytes; ++i)
      if (!IsFrameIdByte(h.U8At(i))) return false;
    uint64_t size = 0;
    if (version == 2) {
      size = (uint32_t{h.U8At(3)} << 16) | (uint32_t{h.U8At(4)} << 8) | h.U8At(5);
    } else if (version == 3) {
      size = h.U32BeAt(4);
    } else {
      for (size_t i = 4; i < 8; ++i)
        if (h.U8At(i) >= 0x80) return false;
      size = SyncSafe(h, 4);
    }
    if (size == 0 || size > end - at - headerBytes) return false;
    at += headerBytes + size;
    ++frames;
  }
  return frames > 0 && AllZero(cursor, at, end);
}

// ---- the rules --------------------------------------------------------------

constexpr uint64_t kMp3Cap = 2 * kGiB;
constexpr uint64_t kMp2Cap = 2 * kGiB;
constexpr uint64_t kAacCap = 2 * kGiB;

// `n` (at most a sector) bytes at offset `at` of the file under test: from
// its first sector when they lie there, else read from the source. Empty
// when they cannot be read.
ByteView PeekAhead(ByteView s, CarvingState& state, uint64_t at, size_t n) {
  if (at + n <= s.size()) return s.Sub(static_cast<size_t>(at), n);
  const uint32_t sectorSize = SectorBytes(state);
  if (n > sectorSize) return {};
  const uint64_t sector = at / sectorSize;
  const size_t offset = static_cast<size_t>(at % sectorSize);
  const uint32_t count = offset + n > sectorSize ? 2 : 1;
  uint8_t* bytes = state.TestBuffer(size_t{count} * sectorSize);
  uint32_t got = 0;
  if (state.Read(state.sectorUnderTest + sector, count, bytes, got) != 0 || got != count) return {};
  return ByteView(bytes + offset, n);
}

// Where a stream that has no ID3v2 tag in front begins: the first frame at
// offset 0 and the next one right after it, of the same stream. The second
// header is read from the source when it lies past the sector.
AudioFrame BareStreamStart(ByteView s, CarvingState& state) {
  const AudioFrame first = ParseFrame(s);
  if (first.kind == FrameKind::kNone) return {};
  const AudioFrame second = ParseFrame(PeekAhead(s, state, first.bytes, kHeaderProbe));
  return SameStream(first, second) ? first : AudioFrame{};
}

}  // namespace

uint64_t Id3TagEnd(ByteView s) {
  return IsId3Header(s) ? Id3TagBytes(s) : 0;
}

uint32_t Id3FollowerType(ByteView s, CarvingState& state) {
  if (!IsId3Header(s)) return kNoType;
  const ByteView next = PeekAhead(s, state, Id3TagBytes(s), kHeaderProbe);
  if (next.Matches(0, "fLaC")) return kTypeFlac;
  const AudioFrame f = ParseFrame(next);
  if (f.kind == FrameKind::kAdts) return kTypeAac;
  if (f.kind == FrameKind::kMpeg && f.layer == 2) return kTypeMp2;
  return kTypeMp3;
}

namespace {

uint32_t Mp3Test(ByteView s, CarvingState& state) {
  if (s.size() < 4) return kNoType;
  if (s.U8At(0) == 'I') return Id3FollowerType(s, state);
  if (s.U8At(0) != 0xFF || (s.U8At(1) & 0x06) != 0x02) return kNoType;  // layer III bits
  const AudioFrame f = BareStreamStart(s, state);
  return f.kind == FrameKind::kMpeg && f.layer == 3 ? kTypeMp3 : kNoType;
}

uint32_t Mp2Test(ByteView s, CarvingState& state) {
  if (s.U8At(0) == 'I') return Id3FollowerType(s, state) == kTypeMp2 ? kTypeMp2 : kNoType;
  if (s.size() < 4 || s.U8At(0) != 0xFF || (s.U8At(1) & 0x06) != 0x04) return kNoType;  // layer II bits
  const AudioFrame f = BareStreamStart(s, state);
  return f.kind == FrameKind::kMpeg && f.layer == 2 ? kTypeMp2 : kNoType;
}

uint32_t AacTest(ByteView s, CarvingState& state) {
  if (s.U8At(0) == 'I') return Id3FollowerType(s, state) == kTypeAac ? kTypeAac : kNoType;
  if (s.size() < kHeaderProbe || s.U8At(0) != 0xFF || (s.U8At(1) & 0xF6) != 0xF0) return kNoType;
  return BareStreamStart(s, state).kind == FrameKind::kAdts ? kTypeAac : kNoType;
}

// A stream without a tag in front: at least two frames of `kind` (layer
// `layer` for MPEG), then the trailing tags. Anything less is not a file.
uint64_t BareStreamLength(ByteView s, CarvingState& state, uint64_t cap, FrameKind kind, uint8_t layer) {
  FileCursor cursor(state, s, cap);
  const FrameRun run = WalkFrames(cursor, 0);
  if (run.frames < 2 || run.first.kind != kind || run.first.layer != layer) return kNotAFile;
  return run.cut ? run.end : TrailingTagsEnd(cursor, run.end);
}

// An ID3v2 tag, then the frames of any MPEG layer or ADTS (none when the tag
// stands alone and its own frames fill it), then the trailing tags.
uint64_t TaggedStreamLength(ByteView s, CarvingState& state) {
  FileCursor cursor(state, s, kMp3Cap);
  const uint64_t tagEnd = Id3TagBytes(s);
  if (tagEnd > cursor.DataEnd()) return kNotAFile;
  uint64_t at = tagEnd;
  while (at < tagEnd + kMaxPaddingAfterTag) {
    const ByteView v = cursor.ViewUpTo(at, 4096);
    size_t zeros = 0;
    while (zeros < v.size() && v.U8At(zeros) == 0) ++zeros;
    at += zeros;
    if (zeros < v.size() || v.size() == 0) break;
  }
  FrameRun run = WalkFrames(cursor, at);
  if (run.frames == 0) {
    if (!Id3FramesHold(cursor, s)) return kNotAFile;
    run.end = tagEnd;
  }
  return run.cut ? run.end : TrailingTagsEnd(cursor, run.end);
}

uint64_t Mp3Length(ByteView s, CarvingState& state) {
  if (IsId3Header(s)) return TaggedStreamLength(s, state);
  return BareStreamLength(s, state, kMp3Cap, FrameKind::kMpeg, 3);
}

uint64_t Mp2Length(ByteView s, CarvingState& state) {
  if (IsId3Header(s)) return TaggedStreamLength(s, state);
  return BareStreamLength(s, state, kMp2Cap, FrameKind::kMpeg, 2);
}

uint64_t AacLength(ByteView s, CarvingState& state) {
  if (IsId3Header(s)) return TaggedStreamLength(s, state);
  return BareStreamLength(s, state, kAacCap, FrameKind::kAdts, 0);
}

}  // namespace

const FileFormat kMp3Format{"mp3", &Mp3Test, &Mp3Length, CarveStep::kPastFile, 2, {{0, 'I'}, {0, 0xFF}}};
const FileFormat kMp2Format{"mp2", &Mp2Test, &Mp2Length, CarveStep::kPastFile, 2, {{0, 'I'}, {0, 0xFF}}};
const FileFormat kAacFormat{"aac", &AacTest, &AacLength, CarveStep::kPastFile, 2, {{0, 'I'}, {0, 0xFF}}};

}  // namespace velmira
