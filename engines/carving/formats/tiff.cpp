// TIFF pictures and the camera raw files built on TIFF (CR2, NEF, ARW, DNG,
// ORF, RW2), BigTIFF, and Fujifilm's RAF. A TIFF file is a header and a
// chain of image file directories (IFDs) whose entries hold their values in
// line or point at them; strips, tiles and embedded JPEG previews are
// pointed at by offset/byte-count pairs, and further IFDs hang from
// SubIFDs, the Exif, GPS and interoperability IFDs. The length rule walks
// every IFD it can reach and ends the file at the furthest byte any of them
// points at.
//
// The kind of raw file shows in the header (CR2, ORF, RW2) or in the first
// IFD (DNGVersion; the Make text of Nikon and Sony cameras). The header test
// reads the IFD where it lies in the first sector; the length rule reads it
// wherever it lies and names the file then.
#include <algorithm>
#include <optional>
#include <vector>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr uint64_t kTiffCap = 2 * kGiB;
constexpr uint32_t kMaxIfds = 512;
// A directory's table is read in one view (entries of 20 bytes at most).
constexpr uint32_t kMaxEntries = 3000;
constexpr uint64_t kMaxArray = 1u << 20;

enum : uint16_t {
  kTagSubfile = 0xFE,
  kTagMake = 0x10F,
  kTagStripOffsets = 0x111,
  kTagStripByteCounts = 0x117,
  kTagTileOffsets = 0x144,
  kTagTileByteCounts = 0x145,
  kTagRw2RawOffset = 0x118,  // in Panasonic's RW2 only
  kTagSubIfds = 0x14A,
  kTagJpegOffset = 0x201,
  kTagJpegLength = 0x202,
  kTagExifIfd = 0x8769,
  kTagGpsIfd = 0x8825,
  kTagInteropIfd = 0xA005,
  kTagDngVersion = 0xC612,
  kTagDngPrivate = 0xC634,
};

// The header forms: byte order, classic or BigTIFF, and the raw kinds that
// show in the header.
struct TiffHeader {
  bool little = true;
  bool big = false;
  uint32_t code = kNoType;
  uint64_t firstIfd = 0;
};

bool ReadTiffHeader(ByteView s, TiffHeader& h) {
  if (s.size() < 16) return false;
  if (s.Matches(0, "II\x2A\x00"sv) || s.Matches(0, "IIRO"sv) || s.Matches(0, "IIRS"sv) ||
      s.Matches(0, "IIU\x00"sv)) {
    h.little = true;
    h.code = s.U8At(2) == 0x2A ? kTypeTiff : s.U8At(2) == 'U' ? kTypeRw2 : kTypeOrf;
    h.firstIfd = s.U32At(4);
  } else if (s.Matches(0, "MM\x00\x2A"sv) || s.Matches(0, "MMOR"sv)) {
    h.little = false;
    h.code = s.U8At(3) == 0x2A ? kTypeTiff : kTypeOrf;
    h.firstIfd = s.U32BeAt(4);
  } else if (s.Matches(0, "II\x2B\x00\x08\x00\x00\x00"sv) || s.Matches(0, "MM\x00\x2B\x00\x08\x00\x00"sv)) {
    h.little = s.U8At(0) == 'I';
    h.big = true;
    h.code = kTypeTiff;
    h.firstIfd = h.little ? s.U64At(8) : (uint64_t{s.U32BeAt(8)} << 32) | s.U32BeAt(12);
  } else {
    return false;
  }
  if (h.code == kTypeTiff && !h.big && s.Matches(8, "CR\x02"sv)) h.code = kTypeCr2;
  return h.firstIfd >= 8 && (h.firstIfd & 1) == 0;
}

// Bytes of one value of a field type; 0 for types no reader knows.
uint32_t TypeBytes(uint16_t type) {
  switch (type) {
    case 1:
    case 2:
    case 6:
    case 7:
      return 1;
    case 3:
    case 8:
      return 2;
    case 4:
    case 9:
    case 11:
    case 13:
      return 4;
    case 5:
    case 10:
    case 12:
    case 16:
    case 17:
    case 18:
      return 8;
    default:
      return 0;
  }
}

// Integer reads in the file's byte order, through a cursor or a sector.
struct Order {
  bool little;
  uint16_t U16(ByteView v, size_t at) const { return little ? v.U16At(at) : v.U16BeAt(at); }
  uint32_t U32(ByteView v, size_t at) const { return little ? v.U32At(at) : v.U32BeAt(at); }
  uint64_t U64(ByteView v, size_t at) const {
    return little ? v.U64At(at) : (uint64_t{v.U32BeAt(at)} << 32) | v.U32BeAt(at + 4);
  }
};

// The raw kind the first IFD names (DNGVersion; the Make text of a Nikon or
// Sony camera beside SubIFDs). `read(at, count)` gives the file's bytes
// [at, at + count), or fewer where they cannot be had: from the first sector
// for the header test, through the cursor for the length rule.
template <typename ReadAt>
uint32_t KindFromFirstIfd(const TiffHeader& h, ReadAt&& read) {
  if (h.big) return kNoType;
  const Order o{h.little};
  const ByteView head = read(h.firstIfd, 2);
  if (head.size() != 2) return kNoType;
  const uint32_t n = o.U16(head, 0);
  if (n == 0 || n > 1000) return kNoType;
  bool subIfds = false;
  std::optional<uint64_t> makeAt;
  for (uint32_t i = 0; i < n; ++i) {
    const uint64_t entryAt = h.firstIfd + 2 + 12 * uint64_t{i};
    const ByteView entry = read(entryAt, 12);
    if (entry.size() != 12) break;
    const uint16_t tag = o.U16(entry, 0);
    if (tag == kTagDngVersion) return kTypeDng;
    if (tag == kTagSubIfds || tag == kTagDngPrivate) subIfds = true;
    if (tag == kTagMake && o.U16(entry, 2) == 2) {
      const uint32_t count = o.U32(entry, 4);
      if (count >= 4) makeAt = count == 4 ? entryAt + 8 : uint64_t{o.U32(entry, 8)};
    }
  }
  if (!subIfds || !makeAt) return kNoType;
  const ByteView make = read(*makeAt, 4);
  if (make.Matches(0, "NIKO"sv)) return kTypeNef;
  if (make.Matches(0, "SONY"sv)) return kTypeArw;
  return kNoType;
}

uint32_t KindInSector(ByteView s, const TiffHeader& h) {
  return KindFromFirstIfd(
      h, [s](uint64_t at, size_t count) { return at <= s.size() ? s.Sub(at, count) : ByteView(); });
}

uint32_t TiffTest(ByteView s, CarvingState&) {
  TiffHeader h;
  if (!ReadTiffHeader(s, h)) return kNoType;
  if (h.code == kTypeTiff)
    if (const uint32_t kind = KindInSector(s, h); kind != kNoType) return kind;
  return h.code;
}

// One array of integers a field holds (offsets, byte counts, IFD offsets).
struct Field {
  uint16_t type = 0;
  uint64_t count = 0;
  uint64_t at = 0;  // file offset of the first value
};

class TiffWalker {
 public:
  TiffWalker(FileCursor& cursor, const TiffHeader& h)
      : m_cursor(cursor), m_o{h.little}, m_big(h.big), m_rw2(h.code == kTypeRw2) {}

  // Walks the IFD at `offset` and every IFD it leads to. False when this
  // IFD does not hold (its entries are not those of a directory).
  bool Walk(uint64_t offset) {
    std::vector<Pending> pending{{offset, 0}};
    bool first = true;
    while (!pending.empty()) {
      const Pending ifd = pending.back();
      pending.pop_back();
      const bool ok = WalkOne(ifd.offset, pending);
      // The pointer that led here belongs to the file only when it leads to
      // a directory.
      if (ok) Reach(ifd.pointerEnd);
      if (first && !ok) return false;
      first = false;
    }
    return true;
  }

  [[nodiscard]] uint64_t End() const { return m_end; }
  [[nodiscard]] uint64_t OpenEnd() const { return m_openEnd; }

 private:
  uint64_t ReadUint(const Field& f, uint64_t index) {
    const uint64_t at = f.at + index * TypeBytes(f.type);
    switch (f.type) {
      case 3:
      case 8:
        return m_o.U16(m_cursor.View(at, 2), 0);
      case 4:
      case 9:
      case 13:
        return m_o.U32(m_cursor.View(at, 4), 0);
      case 16:
      case 17:
      case 18:
        return m_o.U64(m_cursor.View(at, 8), 0);
      default:
        return 0;
    }
  }

  static bool IsInteger(uint16_t type) {
    return type == 3 || type == 4 || type == 13 || type == 16 || type == 18;
  }

  void Reach(uint64_t end) {
    if (end <= m_cursor.Cap()) m_end = std::max(m_end, end);
  }

  // Offset/byte-count pairs: every piece they name.
  void Pairs(const Field& offsets, const Field& counts) {
    if (!IsInteger(offsets.type) || (counts.count != 0 && !IsInteger(counts.type))) return;
    const uint64_t n = std::min({offsets.count, counts.count, kMaxArray});
    const uint64_t dataEnd = m_cursor.DataEnd();
    for (uint64_t i = 0; i < n && !m_cursor.Stopped(); ++i) {
      const uint64_t at = ReadUint(offsets, i);
      const uint64_t bytes = ReadUint(counts, i);
      if (at == 0 || at >= dataEnd) continue;
      if (bytes == 0) {
        m_openEnd = std::max(m_openEnd, at);  // a piece of unknown length
        continue;
      }
      // A piece past the end of the data is a damaged figure, not the file's.
      if (at + bytes <= dataEnd) Reach(at + bytes);
    }
    // A strip without a count field (some raw files) runs on past its offset.
    if (counts.count == 0)
      for (uint64_t i = 0; i < std::min(offsets.count, kMaxArray); ++i)
        if (const uint64_t at = ReadUint(offsets, i); at != 0 && at < dataEnd)
          m_openEnd = std::max(m_openEnd, at);
  }

  // An IFD still to walk, and the end of the next-IFD pointer that named it
  // (0 for IFDs named by a tag).
  struct Pending {
    uint64_t offset;
    uint64_t pointerEnd;
  };

  bool WalkOne(uint64_t ifd, std::vector<Pending>& pending) {
    if (m_ifds >= kMaxIfds || ifd < 8 || (ifd & 1) != 0) return false;
    if (std::find(m_seen.begin(), m_seen.end(), ifd) != m_seen.end()) return true;
    m_seen.push_back(ifd);
    ++m_ifds;
    const size_t countBytes = m_big ? 8 : 2;
    const size_t entryBytes = m_big ? 20 : 12;
    const size_t inlineBytes = m_big ? 8 : 4;
    const ByteView countView = m_cursor.View(ifd, countBytes);
    if (countView.size() != countBytes) return false;
    const uint64_t n = m_big ? m_o.U64(countView, 0) : m_o.U16(countView, 0);
    if (n == 0 || n > kMaxEntries) return false;
    const uint64_t entries = ifd + countBytes;
    const uint64_t tableEnd = entries + n * entryBytes;
    // A copy: reading the values below moves the cursor's window.
    m_table.resize(static_cast<size_t>(n * entryBytes));
    if (!m_cursor.Read(entries, m_table.size(), m_table.data())) return false;
    const ByteView table(m_table.data(), m_table.size());
    uint64_t unknown = 0;
    Field strips, stripCounts, tiles, tileCounts, jpeg, jpegLength;
    for (uint64_t i = 0; i < n; ++i) {
      const size_t e = static_cast<size_t>(i * entryBytes);
      const uint16_t tag = m_o.U16(table, e);
      Field f;
      f.type = m_o.U16(table, e + 2);
      f.count = m_big ? m_o.U64(table, e + 4) : m_o.U32(table, e + 4);
      const uint32_t unit = TypeBytes(f.type);
      if (unit == 0 || f.count > m_cursor.Cap() / unit) {
        ++unknown;
        continue;
      }
      const uint64_t bytes = f.count * unit;
      const size_t valueAt = e + (m_big ? 12 : 8);
      if (bytes <= inlineBytes) {
        f.at = entries + valueAt;
      } else {
        f.at = m_big ? m_o.U64(table, valueAt) : m_o.U32(table, valueAt);
        if (f.at < 8 || f.at + bytes > m_cursor.DataEnd()) {
          ++unknown;
          continue;
        }
        Reach(f.at + bytes);
      }
      switch (tag) {
        case kTagStripOffsets:
          strips = f;
          break;
        case kTagStripByteCounts:
          stripCounts = f;
          break;
        case kTagTileOffsets:
          tiles = f;
          break;
        case kTagTileByteCounts:
          tileCounts = f;
          break;
        case kTagJpegOffset:
          jpeg = f;
          break;
        case kTagJpegLength:
          jpegLength = f;
          break;
        case kTagRw2RawOffset:  // where the raw data starts; its length is given nowhere
          if (m_rw2 && IsInteger(f.type))
            if (const uint64_t at = ReadUint(f, 0); at != 0 && at < m_cursor.DataEnd())
              m_openEnd = std::max(m_openEnd, at);
          break;
        case kTagSubIfds:
        case kTagExifIfd:
        case kTagGpsIfd:
        case kTagInteropIfd:
          if (IsInteger(f.type))
            for (uint64_t k = 0; k < std::min<uint64_t>(f.count, 64); ++k)
              if (const uint64_t sub = ReadUint(f, k); sub != 0) pending.push_back({sub, 0});
          break;
        default:
          break;
      }
    }
    // A directory whose entries are mostly of no known type is no directory.
    if (unknown * 4 > n) return false;
    Reach(tableEnd);
    Pairs(strips, stripCounts);
    Pairs(tiles, tileCounts);
    Pairs(jpeg, jpegLength);
    const ByteView next = m_cursor.View(tableEnd, inlineBytes);
    const uint64_t nextIfd = m_big ? m_o.U64(next, 0) : m_o.U32(next, 0);
    if (next.size() != inlineBytes) return true;
    if (nextIfd == 0)
      Reach(tableEnd + inlineBytes);
    else
      pending.push_back({nextIfd, tableEnd + inlineBytes});
    return true;
  }

  FileCursor& m_cursor;
  Order m_o;
  bool m_big;
  bool m_rw2;
  uint64_t m_end = 0;
  uint64_t m_openEnd = 0;
  uint32_t m_ifds = 0;
  std::vector<uint64_t> m_seen;
  std::vector<uint8_t> m_table;
};

uint64_t TiffLength(ByteView s, CarvingState& state) {
  TiffHeader h;
  if (!ReadTiffHeader(s, h)) return kNotAFile;
  FileCursor cursor(state, s, kTiffCap);
  TiffWalker walker(cursor, h);
  if (!walker.Walk(h.firstIfd)) return kNotAFile;
  // A CR2 header points at the raw data's IFD as well.
  if (h.code == kTypeCr2) (void)walker.Walk(s.U32At(12));  // optional: a bad raw IFD only adds no length
  // The raw kind, read wherever the first IFD and the Make text lie: a
  // camera that writes them past the first sector is named by them here.
  if (h.code == kTypeTiff) {
    const uint32_t kind =
        KindFromFirstIfd(h, [&cursor](uint64_t at, size_t count) { return cursor.View(at, count); });
    if (kind != kNoType) state.namingCode = kind;
  }
  if (cursor.Stopped()) return kNotAFile;
  uint64_t end = walker.End();
  // Data whose length no field gives (raw data led only by its offset) runs
  // to the next boundary.
  if (walker.OpenEnd() >= end)
    end = cursor.NextBoundary((walker.OpenEnd() / cursor.SectorSize() + 1) * cursor.SectorSize());
  return end > 8 ? end : kNotAFile;
}

// Fujifilm raw: a header of its own naming three regions (a JPEG preview,
// the raw header, the raw data) by big-endian offset and length.
uint32_t RafTest(ByteView s, CarvingState&) {
  if (s.size() < 0x70 || !s.Matches(0, "FUJIFILMCCD-RAW "sv)) return kNoType;
  return s.U32BeAt(0x54) >= 0x5C && s.U32BeAt(0x58) != 0 ? kTypeRaf : kNoType;
}

uint64_t RafLength(ByteView s, CarvingState& state) {
  FileCursor cursor(state, s, kTiffCap);
  uint64_t end = 0;
  for (size_t field = 0x54; field <= 0x64; field += 8) {
    const uint64_t at = s.U32BeAt(field);
    const uint64_t bytes = s.U32BeAt(field + 4);
    if (at < 0x5C || bytes == 0) {
      if (field == 0x54) return kNotAFile;
      continue;
    }
    // A region past the end of the data is a damaged figure.
    if (at + bytes > cursor.DataEnd()) {
      if (field == 0x54) return kNotAFile;
      continue;
    }
    end = std::max(end, at + bytes);
  }
  // The preview must be a JPEG where the header puts it.
  if (!cursor.Matches(s.U32BeAt(0x54), "\xFF\xD8\xFF"sv)) return kNotAFile;
  return end;
}

// A found file's first sector tells a Nikon, Sony or DNG raw file only when
// its first IFD and Make text lie in it: a plain TIFF answer agrees with those
// names. And every raw file of the standard TIFF header is a TIFF.
bool TiffContentAgrees(uint32_t named, uint32_t found) {
  const auto toldInIfd = [](uint32_t code) {
    return code == kTypeNef || code == kTypeArw || code == kTypeDng;
  };
  if (found == kTypeTiff) return toldInIfd(named);
  return named == kTypeTiff && (toldInIfd(found) || found == kTypeCr2);
}

}  // namespace

const FileFormat kTiffFormat{
    "tiff", &TiffTest, &TiffLength, CarveStep::kPastFile, 2, {{0, 'M'}, {0, 'I'}}, &TiffContentAgrees};
const FileFormat kRafFormat{"raf", &RafTest, &RafLength, CarveStep::kPastFile, 1, {{0, 'F'}}};

}  // namespace velmira
