// FLAC: [an ID3v2 tag,] "fLaC", metadata blocks (STREAMINFO first, the last one flagged),
// then frames. A frame header opens with the sync code FF F8 (fixed block
// size) or FF F9 (variable) and ends with a CRC-8 of itself; the frame ends
// with a CRC-16 of all its bytes. Frames carry no length, so each next frame
// is found by its sync code where the running CRC-16 of the bytes since the
// current frame's start is zero (the CRC of a frame followed by its own
// CRC), its header CRC holds and its number follows on. The last frame,
// which no header follows, is measured by reading its subframes to their
// end, and counts when its CRC-16 holds. STREAMINFO's sample count, when
// given, says which frame is the last.
#include <algorithm>
#include <array>
#include <cstring>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/audio_tags.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

constexpr uint64_t kFlacCap = 8 * kGiB;
constexpr size_t kStreamInfoBytes = 34;
constexpr size_t kMaxFrameHeader = 16;
// How far past a frame's start its end is looked for when STREAMINFO does
// not bound the frame size (and the margin on top when it does).
constexpr uint64_t kUnboundedFrame = 16 * kMiB;
constexpr uint64_t kFrameSizeMargin = 64 * 1024;
constexpr uint32_t kMaxMetadataBlocks = 1 << 16;

constexpr std::array<uint8_t, 256> MakeCrc8Table() {
  std::array<uint8_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 0x80) != 0 ? ((c << 1) ^ 0x07) : (c << 1);
    t[i] = static_cast<uint8_t>(c);
  }
  return t;
}
constexpr std::array<uint16_t, 256> MakeCrc16Table() {
  std::array<uint16_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i << 8;
    for (int k = 0; k < 8; ++k) c = (c & 0x8000) != 0 ? ((c << 1) ^ 0x8005) : (c << 1);
    t[i] = static_cast<uint16_t>(c);
  }
  return t;
}
constexpr auto kCrc8 = MakeCrc8Table();
constexpr auto kCrc16 = MakeCrc16Table();

inline uint16_t Crc16Step(uint16_t crc, uint8_t byte) {
  return static_cast<uint16_t>((crc << 8) ^ kCrc16[((crc >> 8) ^ byte) & 0xFF]);
}

struct StreamInfo {
  uint32_t maxBlock = 0;
  uint32_t maxFrame = 0;
  uint32_t sampleRate = 0;
  uint32_t channels = 0;
  uint32_t bitsPerSample = 0;
  uint64_t totalSamples = 0;
};

bool ReadStreamInfo(ByteView b, StreamInfo& info) {
  if (b.size() < kStreamInfoBytes) return false;
  const uint32_t minBlock = b.U16BeAt(0);
  info.maxBlock = b.U16BeAt(2);
  info.maxFrame = (uint32_t{b.U8At(7)} << 16) | (uint32_t{b.U8At(8)} << 8) | b.U8At(9);
  const uint64_t packed = (uint64_t{b.U32BeAt(10)} << 32) | b.U32BeAt(14);
  info.sampleRate = static_cast<uint32_t>(packed >> 44);
  info.channels = static_cast<uint32_t>((packed >> 41) & 7) + 1;
  info.bitsPerSample = static_cast<uint32_t>((packed >> 36) & 31) + 1;
  info.totalSamples = packed & 0xFFFFFFFFFULL;
  return minBlock >= 16 && info.maxBlock >= minBlock && info.sampleRate != 0 && info.bitsPerSample >= 4;
}

struct FrameHeader {
  uint32_t bytes = 0;
  uint32_t blockSize = 0;
  uint64_t number = 0;  // frame number (fixed blocks) or first sample (variable)
  uint32_t assignment = 0;
  uint32_t bitsPerSample = 0;
  bool variable = false;
};

constexpr uint32_t kRates[12] = {0,     88200, 176400, 192000, 8000,  16000,
                                 22050, 24000, 32000,  44100,  48000, 96000};
constexpr uint32_t kSampleBits[8] = {0, 8, 12, 0, 16, 20, 24, 32};

// A frame header at the start of `b` that agrees with the stream.
bool ParseFrameHeader(ByteView b, const StreamInfo& info, FrameHeader& h) {
  if (b.size() < 6 || b.U8At(0) != 0xFF || (b.U8At(1) & 0xFE) != 0xF8) return false;
  h.variable = (b.U8At(1) & 1) != 0;
  const uint32_t blockCode = b.U8At(2) >> 4;
  const uint32_t rateCode = b.U8At(2) & 15;
  h.assignment = b.U8At(3) >> 4;
  const uint32_t bitsCode = (b.U8At(3) >> 1) & 7;
  if (blockCode == 0 || rateCode == 15 || h.assignment > 10 || bitsCode == 3 || (b.U8At(3) & 1) != 0)
    return false;
  size_t at = 4;
  // The frame or sample number, coded like UTF-8 (up to 36 bits).
  const uint8_t lead = b.U8At(at++);
  size_t more = 0;
  uint64_t number = 0;
  if (lead < 0x80) {
    number = lead;
  } else {
    uint8_t mask = 0x40;
    while ((lead & mask) != 0 && mask > 1) {
      ++more;
      mask >>= 1;
    }
    if (more == 0 || (lead & mask) != 0 || more > (h.variable ? 6u : 5u)) return false;
    number = lead & (mask - 1);
  }
  for (size_t k = 0; k < more; ++k) {
    const uint8_t c = b.U8At(at++);
    if ((c & 0xC0) != 0x80) return false;
    number = (number << 6) | (c & 0x3F);
  }
  h.number = number;
  if (blockCode == 1) {
    h.blockSize = 192;
  } else if (blockCode <= 5) {
    h.blockSize = 576u << (blockCode - 2);
  } else if (blockCode == 6) {
    h.blockSize = uint32_t{b.U8At(at)} + 1;
    at += 1;
  } else if (blockCode == 7) {
    h.blockSize = uint32_t{b.U16BeAt(at)} + 1;
    at += 2;
  } else {
    h.blockSize = 256u << (blockCode - 8);
  }
  uint32_t rate = rateCode == 0 ? info.sampleRate : kRates[rateCode < 12 ? rateCode : 0];
  if (rateCode == 12) {
    rate = uint32_t{b.U8At(at)} * 1000;
    at += 1;
  } else if (rateCode == 13 || rateCode == 14) {
    rate = uint32_t{b.U16BeAt(at)} * (rateCode == 14 ? 10 : 1);
    at += 2;
  }
  if (at >= b.size()) return false;
  uint8_t crc = 0;
  for (size_t i = 0; i < at; ++i) crc = kCrc8[crc ^ b.U8At(i)];
  if (crc != b.U8At(at)) return false;
  h.bytes = static_cast<uint32_t>(at + 1);
  h.bitsPerSample = bitsCode == 0 ? info.bitsPerSample : kSampleBits[bitsCode];
  const uint32_t channels = h.assignment <= 7 ? h.assignment + 1 : 2;
  return rate == info.sampleRate && channels == info.channels && h.bitsPerSample == info.bitsPerSample &&
         h.blockSize <= info.maxBlock;
}

// Reads bits of the file through the cursor, most significant first.
class BitReader {
 public:
  BitReader(FileCursor& cursor, uint64_t start, uint64_t limit)
      : m_cursor(cursor), m_next(start), m_limit(limit) {}

  uint32_t Read(uint32_t n) {  // n <= 32
    while (m_bits < n) {
      if (m_pos == m_len && !Refill()) {
        m_failed = true;
        return 0;
      }
      m_cache = (m_cache << 8) | m_buffer[m_pos++];
      m_bits += 8;
    }
    m_bits -= n;
    m_consumed += n;
    return n == 0 ? 0 : static_cast<uint32_t>((m_cache >> m_bits) & ((uint64_t{1} << n) - 1));
  }
  void Skip(uint64_t n) {
    while (n > 0 && !m_failed) {
      const auto step = static_cast<uint32_t>(std::min<uint64_t>(n, 32));
      (void)Read(step);  // skipped bits; a read past the end sets m_failed
      n -= step;
    }
  }
  // The count of 0 bits before the next 1 bit.
  uint32_t Unary() {
    uint32_t zeros = 0;
    while (!m_failed && Read(1) == 0) {
      if (++zeros > (1u << 20)) m_failed = true;
    }
    return zeros;
  }
  [[nodiscard]] bool Failed() const { return m_failed; }
  [[nodiscard]] uint64_t BitsConsumed() const { return m_consumed; }

 private:
  bool Refill() {
    if (m_next >= m_limit) return false;
    const ByteView v =
        m_cursor.ViewUpTo(m_next, static_cast<size_t>(std::min<uint64_t>(m_limit - m_next, kChunk)));
    if (v.size() == 0) return false;
    std::memcpy(m_buffer.data(), v.data(), v.size());
    m_next += v.size();
    m_pos = 0;
    m_len = v.size();
    return true;
  }

  static constexpr size_t kChunk = 4096;
  FileCursor& m_cursor;
  uint64_t m_next;
  uint64_t m_limit;
  std::array<uint8_t, kChunk> m_buffer{};
  size_t m_pos = 0;
  size_t m_len = 0;
  uint64_t m_cache = 0;
  uint32_t m_bits = 0;
  uint64_t m_consumed = 0;
  bool m_failed = false;
};

bool SkipResidual(BitReader& bits, uint32_t blockSize, uint32_t order) {
  const uint32_t method = bits.Read(2);
  if (method > 1) return false;
  const uint32_t paramBits = method == 0 ? 4 : 5;
  const uint32_t escape = method == 0 ? 15 : 31;
  const uint32_t partitionOrder = bits.Read(4);
  const uint32_t perPartition = blockSize >> partitionOrder;
  if ((perPartition << partitionOrder) != blockSize || perPartition < order) return false;
  for (uint32_t p = 0; p < (1u << partitionOrder) && !bits.Failed(); ++p) {
    const uint32_t param = bits.Read(paramBits);
    const uint32_t samples = perPartition - (p == 0 ? order : 0);
    if (param == escape) {
      bits.Skip(uint64_t{samples} * bits.Read(5));
      continue;
    }
    for (uint32_t k = 0; k < samples && !bits.Failed(); ++k) {
      (void)bits.Unary();  // skipped; a read past the end sets Failed()
      bits.Skip(param);
    }
  }
  return !bits.Failed();
}

bool SkipSubframe(BitReader& bits, uint32_t blockSize, uint32_t sampleBits) {
  if (bits.Read(1) != 0) return false;
  const uint32_t type = bits.Read(6);
  if (bits.Read(1) != 0) {
    const uint32_t wasted = bits.Unary() + 1;
    if (wasted >= sampleBits) return false;
    sampleBits -= wasted;
  }
  if (type == 0) {
    bits.Skip(sampleBits);
  } else if (type == 1) {
    bits.Skip(uint64_t{sampleBits} * blockSize);
  } else if (type >= 8 && type <= 12) {
    const uint32_t order = type - 8;
    bits.Skip(uint64_t{order} * sampleBits);
    return SkipResidual(bits, blockSize, order);
  } else if (type >= 32) {
    const uint32_t order = type - 31;
    bits.Skip(uint64_t{order} * sampleBits);
    const uint32_t precision = bits.Read(4) + 1;
    if (precision == 16) return false;
    (void)bits.Read(5);  // the shift, skipped; a read past the end sets Failed()
    bits.Skip(uint64_t{order} * precision);
    return SkipResidual(bits, blockSize, order);
  } else {
    return false;
  }
  return !bits.Failed();
}

uint64_t FrameLimit(const StreamInfo& info, uint64_t start, uint64_t dataEnd) {
  const uint64_t span = info.maxFrame != 0 ? info.maxFrame + kFrameSizeMargin : kUnboundedFrame;
  return std::min(dataEnd, start + span);
}

// The end of the frame at `start` read through its subframes, when its
// CRC-16 holds; else 0.
uint64_t MeasuredFrameEnd(FileCursor& cursor, uint64_t start, const FrameHeader& h, const StreamInfo& info) {
  const uint64_t limit = FrameLimit(info, start, cursor.DataEnd());
  BitReader bits(cursor, start + h.bytes, limit);
  const uint32_t channels = h.assignment <= 7 ? h.assignment + 1 : 2;
  for (uint32_t ch = 0; ch < channels; ++ch) {
    const bool side =
        (h.assignment == 8 && ch == 1) || (h.assignment == 9 && ch == 0) || (h.assignment == 10 && ch == 1);
    if (!SkipSubframe(bits, h.blockSize, h.bitsPerSample + (side ? 1 : 0))) return 0;
  }
  const uint64_t end = start + h.bytes + (bits.BitsConsumed() + 7) / 8 + 2;
  if (end > limit) return 0;
  uint16_t crc = 0;
  for (uint64_t at = start; at < end;) {
    const ByteView v =
        cursor.View(at, static_cast<size_t>(std::min<uint64_t>(end - at, FileCursor::kMaxView)));
    if (v.size() == 0) return 0;
    for (size_t i = 0; i < v.size(); ++i) crc = Crc16Step(crc, v.U8At(i));
    at += v.size();
  }
  return crc == 0 ? end : 0;
}

// The start of the frame after the one at `start` (whose header is `h`),
// with its header in `next`; 0 when none is found within the frame limit.
uint64_t FindNextFrame(FileCursor& cursor, uint64_t start, const FrameHeader& h, const StreamInfo& info,
                       uint64_t expectedNumber, FrameHeader& next) {
  const uint64_t limit = FrameLimit(info, start, cursor.DataEnd());
  const uint64_t earliest = start + h.bytes + 1 + 2;  // a subframe byte at least, and the CRC-16
  uint16_t crc = 0;
  uint64_t at = start;
  while (at < limit) {
    const ByteView v =
        cursor.ViewUpTo(at, static_cast<size_t>(std::min<uint64_t>(limit - at, FileCursor::kMaxView)));
    if (v.size() == 0) return 0;
    size_t i = 0;
    for (; i < v.size(); ++i) {
      if (crc == 0 && v.U8At(i) == 0xFF && at + i >= earliest) break;
      crc = Crc16Step(crc, v.U8At(i));
    }
    if (i == v.size()) {
      at += v.size();
      continue;
    }
    const uint64_t candidate = at + i;
    if (ParseFrameHeader(cursor.ViewUpTo(candidate, kMaxFrameHeader), info, next) &&
        next.variable == h.variable && next.number == expectedNumber)
      return candidate;
    crc = Crc16Step(crc, 0xFF);
    at = candidate + 1;
  }
  return 0;
}

uint32_t FlacTest(ByteView s, CarvingState& state) {
  if (s.U8At(0) == 'I') return Id3FollowerType(s, state) == kTypeFlac ? kTypeFlac : kNoType;
  if (s.size() < 8 + kStreamInfoBytes || !s.Matches(0, "fLaC") || (s.U8At(4) & 0x7F) != 0) return kNoType;
  if (s.U8At(5) != 0 || s.U8At(6) != 0 || s.U8At(7) != kStreamInfoBytes) return kNoType;
  StreamInfo info;
  return ReadStreamInfo(s.Sub(8, kStreamInfoBytes), info) ? kTypeFlac : kNoType;
}

uint64_t FlacLength(ByteView s, CarvingState& state) {
  FileCursor cursor(state, s, kFlacCap);
  const uint64_t dataEnd = cursor.DataEnd();
  StreamInfo info;
  const uint64_t tagEnd = Id3TagEnd(s);  // an ID3v2 tag some taggers put in front
  if (!cursor.Matches(tagEnd, "fLaC")) return kNotAFile;
  uint64_t at = tagEnd + 4;
  bool last = false;
  for (uint32_t block = 0; block < kMaxMetadataBlocks && !last; ++block) {
    const ByteView h = cursor.View(at, 4);
    if (h.size() != 4) return kNotAFile;
    const uint32_t type = h.U8At(0) & 0x7F;
    const uint32_t length = (uint32_t{h.U8At(1)} << 16) | (uint32_t{h.U8At(2)} << 8) | h.U8At(3);
    last = (h.U8At(0) & 0x80) != 0;
    if (block == 0) {
      if (type != 0 || length != kStreamInfoBytes || !ReadStreamInfo(cursor.View(at + 4, length), info))
        return kNotAFile;
    } else if (type == 0 || type > 6) {
      return kNotAFile;
    }
    at += 4 + uint64_t{length};
    if (at > dataEnd) return kNotAFile;
  }
  if (!last) return kNotAFile;

  FrameHeader h;
  if (!ParseFrameHeader(cursor.ViewUpTo(at, kMaxFrameHeader), info, h) || h.number != 0) return kNotAFile;
  uint64_t frames = 0;
  uint64_t samples = 0;
  while (!cursor.Stopped()) {
    const bool lastBySamples = info.totalSamples != 0 && samples + h.blockSize >= info.totalSamples;
    FrameHeader next;
    const uint64_t nextAt =
        lastBySamples
            ? 0
            : FindNextFrame(cursor, at, h, info, h.variable ? samples + h.blockSize : frames + 1, next);
    if (nextAt == 0) {
      // The last frame, or the last before the stream stops holding: it
      // counts when it reads whole; the frames before it were checked.
      // Taggers may append APE or ID3v1 tags.
      const uint64_t end = MeasuredFrameEnd(cursor, at, h, info);
      if (end != 0) return TrailingTagsEnd(cursor, end);
      return frames > 0 ? at : kNotAFile;
    }
    samples += h.blockSize;
    ++frames;
    at = nextAt;
    h = next;
  }
  return at;
}

}  // namespace

const FileFormat kFlacFormat{"flac", &FlacTest, &FlacLength, CarveStep::kPastFile, 2, {{0, 'f'}, {0, 'I'}}};

}  // namespace velmira
