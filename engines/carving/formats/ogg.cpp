// Ogg streams (Vorbis, Opus, FLAC, Speex, Theora): a run of pages, each
// "OggS", version 0, flags, granule position, stream serial, page number,
// CRC-32 and a segment table that gives the page's length. The file opens
// with the first pages of its logical streams (flag "begins stream") and
// ends with the page that ends the last of them. Every page's CRC is
// checked and must belong to a stream that began and has not ended.
//
// Opus streams are named .opus, all others .ogg.
//
// A new stream that begins after all earlier ones ended (a chained file) is
// carved as a file of its own: files laid back to back look just the same.
#include <algorithm>
#include <array>
#include <vector>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

constexpr uint64_t kOggCap = 8 * kGiB;
constexpr size_t kPageHeaderBytes = 27;
constexpr uint8_t kContinued = 1;
constexpr uint8_t kBegins = 2;
constexpr uint8_t kEnds = 4;
constexpr size_t kMaxStreams = 64;

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i << 24;
    for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) != 0 ? ((c << 1) ^ 0x04C11DB7u) : (c << 1);
    t[i] = c;
  }
  return t;
}
constexpr auto kCrc = MakeCrcTable();

struct Page {
  uint8_t flags = 0;
  uint64_t granule = 0;
  uint32_t serial = 0;
  uint32_t bytes = 0;
};

bool IsPageHeader(ByteView h) {
  return h.size() >= kPageHeaderBytes && h.Matches(0, "OggS") && h.U8At(4) == 0 && (h.U8At(5) & ~7) == 0;
}

// The page at `at` when its header and CRC hold.
bool ReadPage(FileCursor& cursor, uint64_t at, Page& page) {
  const ByteView h = cursor.View(at, kPageHeaderBytes);
  if (!IsPageHeader(h)) return false;
  const uint8_t segments = h.U8At(26);
  page.flags = h.U8At(5);
  page.granule = h.U64At(6);
  page.serial = h.U32At(14);
  const uint32_t stored = h.U32At(22);
  const ByteView table = cursor.View(at + kPageHeaderBytes, segments);
  if (table.size() != segments) return false;
  uint32_t body = 0;
  for (size_t i = 0; i < segments; ++i) body += table.U8At(i);
  page.bytes = static_cast<uint32_t>(kPageHeaderBytes + segments + body);
  const ByteView all = cursor.View(at, page.bytes);
  if (all.size() != page.bytes) return false;
  uint32_t crc = 0;
  for (size_t i = 0; i < all.size(); ++i) {
    const uint8_t byte = i >= 22 && i < 26 ? 0 : all.U8At(i);
    crc = (crc << 8) ^ kCrc[((crc >> 24) ^ byte) & 0xFF];
  }
  return crc == stored;
}

// The first page of a stream: it begins the stream, continues no packet,
// has page number 0 and granule position 0, and holds a segment.
bool IsFirstPage(ByteView s) {
  if (!IsPageHeader(s) || (s.U8At(5) & (kBegins | kContinued)) != kBegins) return false;
  return s.U64At(6) == 0 && s.U32At(18) == 0 && s.U8At(26) != 0;
}

uint32_t OggTest(ByteView s, CarvingState&) {
  return IsFirstPage(s) ? kTypeOgg : kNoType;
}

// Opus files get their own name; their row comes before the general one.
uint32_t OpusTest(ByteView s, CarvingState&) {
  return IsFirstPage(s) && s.Matches(kPageHeaderBytes + s.U8At(26), "OpusHead") ? kTypeOpus : kNoType;
}

uint64_t OggLength(ByteView s, CarvingState& state) {
  FileCursor cursor(state, s, kOggCap);
  std::vector<uint32_t> open;
  std::vector<uint32_t> ended;
  bool dataSeen = false;   // a page that does not begin a stream
  bool audioSeen = false;  // a page past the codec headers
  uint64_t at = 0;
  Page page;
  while (!cursor.Stopped() && ReadPage(cursor, at, page)) {
    const auto known = [&](const std::vector<uint32_t>& list) {
      return std::find(list.begin(), list.end(), page.serial) != list.end();
    };
    if ((page.flags & kBegins) != 0) {
      // Streams begin together at the front of the file.
      if (dataSeen || known(open) || known(ended) || open.size() + ended.size() >= kMaxStreams) break;
      open.push_back(page.serial);
    } else {
      if (!known(open)) break;
      dataSeen = true;
      if (page.granule != 0 && page.granule != UINT64_MAX) audioSeen = true;
    }
    at += page.bytes;
    if ((page.flags & kEnds) != 0) {
      open.erase(std::find(open.begin(), open.end(), page.serial));
      ended.push_back(page.serial);
      if (open.empty()) return at;
    }
  }
  // The stream stops holding before its end: a truncated or damaged file
  // keeps its whole pages when some of them carry media, else it is none.
  return audioSeen ? at : kNotAFile;
}

}  // namespace

const FileFormat kOggFormat{"ogg", &OggTest, &OggLength, CarveStep::kPastFile, 1, {{0, 'O'}}};
const FileFormat kOpusFormat{"opus", &OpusTest, &OggLength, CarveStep::kPastFile, 1, {{0, 'O'}}};

}  // namespace velmira
