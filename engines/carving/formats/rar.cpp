// RAR archives, both block layouts. Version 4 and older: a chain of blocks,
// each with a CRC-16 over its header and a data area (the packed size of a
// file block, 64 bits with the high half), to the end-of-archive block;
// archives written without one end after their last valid block. Version 5:
// headers of variable-length numbers with a CRC-32 each, and data areas, to
// the end-of-archive header. Every volume of a multi-volume set ends at its
// own end block. Version 1.4 archives ("RE~^") have no end block and no
// header checksums: a main header, then file headers whose size is fixed by
// their name's length, each followed by its packed data; the archive ends
// after the last file header that holds.
#include <zlib.h>

#include <algorithm>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"
#include "engines/carving/read_ahead.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr uint64_t kRarCap = 256 * kGiB;
constexpr int kMaxBlocks = 1 << 22;
constexpr std::string_view kMark4 = "Rar!\x1A\x07\x00"sv;
constexpr std::string_view kMark5 = "Rar!\x1A\x07\x01\x00"sv;
constexpr std::string_view kMark14 = "RE~^"sv;

uint32_t Crc32(ByteView v, uint32_t crc = 0) {
  return static_cast<uint32_t>(crc32(crc, v.data(), static_cast<uInt>(v.size())));
}

// A 1.4 main header is the mark, its size (7, more with a comment) and
// flags.
bool IsRar14Main(ByteView s) {
  return s.Matches(0, kMark14) && s.U16At(4) >= 7 && s.U16At(4) < 0x8000;
}

uint32_t RarTest(ByteView s, CarvingState&) {
  if (s.size() < 16) return kNoType;
  return s.Matches(0, kMark4) || s.Matches(0, kMark5) || IsRar14Main(s) ? kTypeRar : kNoType;
}

// --- Version 1.4 -------------------------------------------------------------

constexpr size_t kFile14Fixed = 21;  // a 1.4 file header up to its name
constexpr uint8_t kMaxMethod14 = 5;  // stored (0) to best (5)
constexpr uint8_t kMaxVersion14 = 2;

// The end of the last file header (and its data) that holds; kNotAFile when
// not even the first one does.
uint64_t Rar14Length(FileCursor& cursor) {
  uint64_t at = cursor.U16(4);
  uint64_t end = kNotAFile;
  for (int block = 0; block < kMaxBlocks; ++block) {
    const ByteView h = cursor.View(at, kFile14Fixed);
    if (h.size() != kFile14Fixed) break;
    const uint64_t packed = h.U32At(0);
    const uint16_t headerSize = h.U16At(10);
    const uint8_t version = h.U8At(18);
    const uint8_t nameBytes = h.U8At(19);
    const uint8_t method = h.U8At(20);
    if (nameBytes == 0 || headerSize != kFile14Fixed + nameBytes || method > kMaxMethod14 ||
        version > kMaxVersion14)
      break;
    const ByteView name = cursor.View(at + kFile14Fixed, nameBytes);
    if (name.size() != nameBytes) break;
    bool printable = true;
    for (size_t i = 0; i < nameBytes && printable; ++i) printable = name.U8At(i) >= 0x20;
    if (!printable) break;
    const uint64_t next = at + headerSize + packed;
    if (packed != 0 && !cursor.Has(next - 1, 1)) break;  // the data is cut short
    at = end = next;
  }
  return end;
}

// --- Version 4 and older ---------------------------------------------------

constexpr uint8_t kMainBlock = 0x73;
constexpr uint8_t kFileBlock = 0x74;
constexpr uint8_t kSubBlock = 0x7A;
constexpr uint8_t kEndBlock = 0x7B;
constexpr uint16_t kLongBlock = 0x8000;      // a data area follows the header
constexpr uint16_t kMainComment = 0x0002;    // old comment inside the main header
constexpr uint16_t kMainEncrypted = 0x0080;  // every later header is encrypted
constexpr uint16_t kFileComment = 0x0008;    // old comment inside a file header
constexpr uint16_t kLargeFile = 0x0100;      // 64-bit sizes
constexpr size_t kFileFixed = 32;            // a file header up to its name

// The header CRC covers the whole header, except that archives of the 1.5
// and 2.x years cover only the fixed part of a header that holds an old
// style comment.
bool HeaderCrcHolds(ByteView h, uint8_t type, uint16_t flags) {
  const uint16_t crc = h.U16At(0);
  const auto holds = [&](size_t n) { return n <= h.size() && (Crc32(h.Sub(2, n - 2)) & 0xFFFF) == crc; };
  if (holds(h.size())) return true;
  if (type == kMainBlock && (flags & kMainComment) != 0) return holds(13);
  if (type == kFileBlock && (flags & kFileComment) != 0 && h.size() >= kFileFixed) {
    const size_t name = h.U16At(26);
    return holds(kFileFixed + ((flags & kLargeFile) != 0 ? 8 : 0) + name);
  }
  return false;
}

// The end of the last block that holds, or kNotAFile when no block holds
// past the main header (an archive without its files is of no use).
uint64_t Rar4Length(FileCursor& cursor) {
  uint64_t at = kMark4.size();
  uint64_t end = kNotAFile;
  uint64_t mainEnd = kNotAFile;
  for (int block = 0; block < kMaxBlocks; ++block) {
    const ByteView head = cursor.View(at, 7);
    if (head.size() == 0) break;
    const uint8_t type = head.U8At(2);
    const uint16_t flags = head.U16At(3);
    const uint16_t size = head.U16At(5);
    // Type 0x72 is another archive's mark: this one ended before it.
    if (size < 7 || type < kMainBlock || type > kEndBlock) break;
    if (block == 0 && (type != kMainBlock || size < 13)) break;
    const ByteView h = cursor.View(at, size);
    if (h.size() == 0 || !HeaderCrcHolds(h, type, flags)) break;
    uint64_t data = 0;
    if (type == kFileBlock || type == kSubBlock) {
      if (size < kFileFixed) break;
      data = h.U32At(7);
      if ((flags & kLargeFile) != 0) {
        if (size < kFileFixed + 8) break;
        data |= uint64_t{h.U32At(kFileFixed)} << 32;
      }
    } else if ((flags & kLongBlock) != 0) {
      if (size < 11) break;
      data = h.U32At(7);
    }
    if (data > cursor.Cap()) break;
    const uint64_t next = at + size + data;
    if (next > cursor.Cap() || (data != 0 && !cursor.Has(next - 1, 1))) break;  // the data area is cut short
    at = end = next;
    if (block == 0) mainEnd = end;
    if (type == kEndBlock) break;
  }
  return end == mainEnd ? kNotAFile : end;
}

// --- Version 5 -------------------------------------------------------------

constexpr uint64_t kMainHeader = 1;
constexpr uint64_t kEncryptionHeader = 4;
constexpr uint64_t kEndHeader = 5;
constexpr uint64_t kHasExtra = 0x01;
constexpr uint64_t kHasData = 0x02;
constexpr uint64_t kMaxHeader = 2 * kMiB;

// Reads a variable-length number at `at` of `v`; false when it runs off the
// view or past ten bytes.
bool ReadVint(ByteView v, size_t& at, uint64_t& value) {
  value = 0;
  for (int i = 0; i < 10 && at < v.size(); ++i) {
    const uint8_t b = v.U8At(at++);
    value |= uint64_t{b & 0x7Fu} << (7 * i);
    if ((b & 0x80) == 0) return true;
  }
  return false;
}

enum class Walk5 { kDone, kBroken, kEncrypted };

Walk5 Rar5Walk(FileCursor& cursor, uint64_t& end, uint64_t& mainEnd) {
  uint64_t at = kMark5.size();
  end = mainEnd = kNotAFile;
  for (int block = 0; block < kMaxBlocks; ++block) {
    const ByteView head = cursor.ViewUpTo(at, 64);
    size_t p = 4;
    uint64_t headerSize = 0;
    if (!ReadVint(head, p, headerSize) || headerSize == 0 || headerSize > kMaxHeader) return Walk5::kBroken;
    const uint64_t headerEnd = at + p + headerSize;
    // The CRC-32 covers the size field and the header.
    uint32_t sum = 0;
    for (uint64_t q = at + 4; q < headerEnd;) {
      const ByteView piece =
          cursor.View(q, static_cast<size_t>(std::min<uint64_t>(FileCursor::kMaxView, headerEnd - q)));
      if (piece.size() == 0) return Walk5::kBroken;
      sum = Crc32(piece, sum);
      q += piece.size();
    }
    if (sum != head.U32At(0)) return Walk5::kBroken;
    const ByteView fields = head.Sub(p, static_cast<size_t>(std::min<uint64_t>(headerSize, head.size() - p)));
    size_t f = 0;
    uint64_t type = 0, flags = 0, extra = 0, data = 0;
    if (!ReadVint(fields, f, type) || !ReadVint(fields, f, flags)) return Walk5::kBroken;
    if ((flags & kHasExtra) != 0 && !ReadVint(fields, f, extra)) return Walk5::kBroken;
    if ((flags & kHasData) != 0 && !ReadVint(fields, f, data)) return Walk5::kBroken;
    if (type == 0 || type > kEndHeader || extra > headerSize) return Walk5::kBroken;
    if (block == 0 && type != kMainHeader && type != kEncryptionHeader) return Walk5::kBroken;
    if (data > cursor.Cap() || headerEnd + data > cursor.Cap()) return Walk5::kBroken;
    const uint64_t next = headerEnd + data;
    if (data != 0 && !cursor.Has(next - 1, 1)) return Walk5::kBroken;
    at = end = next;
    if (block == 0) mainEnd = end;
    if (type == kEndHeader) return Walk5::kDone;
    // Every header after this one is encrypted: no size can be read.
    if (type == kEncryptionHeader) return Walk5::kEncrypted;
  }
  return Walk5::kBroken;
}

// An archive whose headers are encrypted is a run of 16-byte cipher blocks
// from the end of its encryption header on; its size is hidden. It is read
// to the next boundary, but ends earlier where its last sector's tail is
// zero from a block boundary on for at least a block: cipher text holds 16
// zero bytes in a row with a chance of 2^-128, so those are the slack.
uint64_t EncryptedLength(ByteView s, CarvingState& state, uint64_t blocksFrom) {
  const uint64_t boundary = BoundaryLength(s, state, 4 * kGiB);
  if (boundary == kNotAFile || state.carveResult != 0) return boundary;
  FileCursor cursor(state, s, boundary);
  const uint32_t sectorSize = cursor.SectorSize();
  constexpr uint64_t kBlock = 16;
  for (uint64_t sector = blocksFrom / sectorSize * sectorSize; sector < boundary; sector += sectorSize) {
    const ByteView v = cursor.ViewUpTo(sector, sectorSize);
    if (v.size() == 0) break;
    size_t used = v.size();
    while (used > 0 && v.U8At(used - 1) == 0) --used;
    uint64_t end = std::max<uint64_t>(sector + used, blocksFrom);
    end = blocksFrom + (end - blocksFrom + kBlock - 1) / kBlock * kBlock;
    if (end + kBlock <= sector + v.size()) {
      // At least one header: its vector and one cipher block.
      return end >= blocksFrom + 2 * kBlock ? end : kNotAFile;
    }
  }
  return cursor.Stopped() ? kNotAFile : boundary;
}

uint64_t RarLength(ByteView s, CarvingState& state) {
  if (IsRar14Main(s)) {
    FileCursor cursor(state, s, kRarCap);
    const uint64_t end = Rar14Length(cursor);
    return cursor.Stopped() ? kNotAFile : end;
  }
  if (s.Matches(0, kMark4)) {
    // The headers after a main header of the "encrypted headers" flag
    // cannot be read without the password: read to the next boundary.
    const ByteView main = s.Sub(kMark4.size(), 13);
    if (main.U8At(2) == kMainBlock && (main.U16At(3) & kMainEncrypted) != 0 &&
        HeaderCrcHolds(main, kMainBlock, main.U16At(3)))
      return BoundaryLength(s, state, 4 * kGiB);
    FileCursor cursor(state, s, kRarCap);
    const uint64_t end = Rar4Length(cursor);
    return cursor.Stopped() ? kNotAFile : end;
  }
  Walk5 walk = Walk5::kBroken;
  uint64_t end = kNotAFile;
  uint64_t mainEnd = kNotAFile;
  {
    FileCursor cursor(state, s, kRarCap);
    walk = Rar5Walk(cursor, end, mainEnd);
    if (cursor.Stopped()) return kNotAFile;
  }
  // An archive of encrypted headers hides its sizes: it is read to the next
  // boundary. One whose walk breaks before the end header ends after its
  // last valid block, as an old archive does (its files up to there can be
  // extracted), unless nothing but the main header holds.
  if (walk == Walk5::kEncrypted) return EncryptedLength(s, state, end);
  return walk == Walk5::kDone || end != mainEnd ? end : kNotAFile;
}

}  // namespace

const FileFormat kRarFormat{"rar", &RarTest, &RarLength, CarveStep::kPastFile, 1, {{0, 'R'}}};

}  // namespace velmira
