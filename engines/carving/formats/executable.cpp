// Windows programs, libraries and drivers (PE images), told apart by the
// characteristics of their file header. A PE file ends at the end of its
// last section's raw data, or further at the end of the COFF symbol and
// string tables or of the certificate table (signed files), both of which
// lie past the sections. Plain DOS programs are not carved: nothing in them
// tells their length beyond the loaded image.
//
// The 16-bit Windows and OS/2 programs (NE) and the 32-bit OS/2 programs and
// Windows drivers (LX, LE) behind a DOS stub are carved as well: their
// segment, resource and page tables and the non-resident name table give
// every piece of the file, and the file ends with the last of them.
#include <algorithm>
#include <vector>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/read_ahead.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr size_t kPeOffsetField = 60;
constexpr uint32_t kLastPeOffset = 488;
constexpr uint16_t kExecutableImage = 0x0002;
constexpr uint16_t kSystemImage = 0x1000;
constexpr uint16_t kLibraryImage = 0x2000;
constexpr uint16_t kPe32 = 0x10B;
constexpr uint16_t kPe32Plus = 0x20B;
constexpr uint64_t kPeCap = 4 * kGiB;  // every offset of the format is 32 bits
constexpr uint16_t kMaxSections = 96;
constexpr size_t kSectionEntry = 40;
constexpr size_t kSymbolEntry = 18;
constexpr uint32_t kCertificateDirectory = 4;

// ---- NE, LX and LE ----------------------------------------------------------

constexpr size_t kNeHeader = 64;
constexpr size_t kLxHeader = 0xC4;
constexpr uint16_t kNeLibrary = 0x8000;
constexpr uint16_t kNeRelocations = 0x0100;
constexpr uint32_t kLxLibrary = 0x8000;
constexpr uint32_t kLxModuleKind = 0x38000;
constexpr uint32_t kMaxLxPages = 1u << 20;

// The header of a 16-bit program: its tables lie in their usual order
// behind it and the alignment shift is one a linker writes.
uint32_t NeTest(ByteView s, uint32_t ne) {
  if (ne < 64 || ne + kNeHeader > s.size()) return kNoType;
  const uint16_t entry = s.U16At(ne + 0x04);
  const uint16_t segments = s.U16At(ne + 0x22);
  const uint16_t resources = s.U16At(ne + 0x24);
  const uint16_t residentNames = s.U16At(ne + 0x26);
  const uint16_t moduleRefs = s.U16At(ne + 0x28);
  const uint16_t importedNames = s.U16At(ne + 0x2A);
  if (segments < kNeHeader || segments > resources || resources > residentNames ||
      residentNames > moduleRefs || moduleRefs > importedNames || importedNames > entry)
    return kNoType;
  if (s.U16At(ne + 0x32) > 16 || s.U8At(ne + 0x36) > 5) return kNoType;
  return (s.U16At(ne + 0x0C) & kNeLibrary) != 0 ? kTypeDll : kTypeExe;
}

// The header of a linear program: little-endian, format level 0, an Intel
// processor, an OS/2 or Windows target and a page size of a power of two.
uint32_t LinearTest(ByteView s, uint32_t lx) {
  if (lx < 64 || lx + kLxHeader > s.size()) return kNoType;
  if (s.U16At(lx + 2) != 0 || s.U32At(lx + 4) != 0) return kNoType;
  const uint16_t cpu = s.U16At(lx + 8);
  const uint16_t os = s.U16At(lx + 10);
  const uint32_t pageSize = s.U32At(lx + 0x28);
  if (cpu < 1 || cpu > 3 || os < 1 || os > 4 || pageSize < 512 || pageSize > 65536 ||
      (pageSize & (pageSize - 1)) != 0)
    return kNoType;
  if (s.U32At(lx + 0x14) == 0 || s.U32At(lx + 0x80) < lx + kLxHeader) return kNoType;
  return (s.U32At(lx + 0x10) & kLxModuleKind) == kLxLibrary ? kTypeDll : kTypeExe;
}

uint32_t ExeTest(ByteView s, CarvingState&) {
  if (s.size() < 512 || !s.Matches(0, "MZ")) return kNoType;
  const uint32_t pe = s.U32At(kPeOffsetField);
  if (pe <= kLastPeOffset && s.Matches(pe, "NE")) return NeTest(s, pe);
  if (pe <= kLastPeOffset && (s.Matches(pe, "LX") || s.Matches(pe, "LE"))) return LinearTest(s, pe);
  if (pe > kLastPeOffset || !s.Matches(pe, "PE\x00\x00"sv)) return kNoType;
  const uint16_t characteristics = s.U16At(pe + 22);
  if ((characteristics & kExecutableImage) == 0) return kNoType;
  if ((characteristics & kSystemImage) != 0) return kTypeSys;
  if ((characteristics & kLibraryImage) != 0) return kTypeDll;
  return kTypeExe;
}

bool IsPowerOfTwo(uint32_t v) {
  return v != 0 && (v & (v - 1)) == 0;
}

// The end of the certificate table, or 0 when the directory entry is empty
// or does not point at a certificate past `after`.
uint64_t CertificateEnd(FileCursor& cursor, uint32_t at, uint32_t size, uint64_t after) {
  if (at == 0 || size < 8 || at < after || at % 8 != 0) return 0;
  const ByteView cert = cursor.View(at, 8);
  const uint32_t length = cert.U32At(0);
  const uint16_t revision = cert.U16At(4);
  const uint16_t type = cert.U16At(6);
  if (cert.size() == 0 || length < 8 || length > size || (revision != 0x0100 && revision != 0x0200) ||
      type == 0 || type > 4)
    return 0;
  return uint64_t{at} + size;
}

// The end of the COFF symbol table and the string table behind it, or 0.
uint64_t SymbolsEnd(FileCursor& cursor, uint32_t at, uint32_t count, uint64_t after) {
  if (at == 0 || count == 0 || at < after) return 0;
  const uint64_t strings = at + uint64_t{count} * kSymbolEntry;
  const ByteView size = cursor.View(strings, 4);
  if (size.size() == 0 || size.U32At(0) < 4 || strings + size.U32At(0) > kPeCap) return 0;
  return strings + size.U32At(0);
}

// The end of a 16-bit program: its segments (with their relocation
// records), its resources, its non-resident names and the tables behind
// the header. kNotAFile when a table does not hold or a piece lies past the
// data.
uint64_t NeLength(FileCursor& cursor, uint32_t ne) {
  const ByteView header = cursor.View(ne, kNeHeader);
  if (header.size() != kNeHeader) return kNotAFile;
  const uint16_t segmentCount = header.U16At(0x1C);
  const uint16_t segmentTable = header.U16At(0x22);
  const uint16_t resourceTable = header.U16At(0x24);
  const uint16_t residentNames = header.U16At(0x26);
  const uint32_t nonResident = header.U32At(0x2C);
  const uint16_t nonResidentBytes = header.U16At(0x20);
  const uint16_t shiftField = header.U16At(0x32);
  const unsigned shift = shiftField == 0 ? 9 : shiftField;
  uint64_t end = uint64_t{ne} + header.U16At(0x04) + header.U16At(0x06);  // the entry table
  const uint64_t tablesEnd = end;
  if (nonResidentBytes != 0) {
    if (nonResident < tablesEnd) return kNotAFile;
    end = std::max(end, uint64_t{nonResident} + nonResidentBytes);
  }
  // The segment table: offsets in alignment units, 0 for a segment without
  // data; a length of 0 means 64 KiB.
  if (uint64_t{segmentTable} + 8ull * segmentCount > resourceTable) return kNotAFile;
  const ByteView segments = cursor.View(uint64_t{ne} + segmentTable, size_t{8} * segmentCount);
  if (segments.size() != size_t{8} * segmentCount) return kNotAFile;
  std::vector<uint64_t> relocations;
  for (uint16_t i = 0; i < segmentCount; ++i) {
    const uint64_t at = uint64_t{segments.U16At(8 * i)} << shift;
    if (at == 0) continue;
    if (at < tablesEnd) return kNotAFile;
    const uint64_t bytes = segments.U16At(8 * i + 2) == 0 ? 65536 : segments.U16At(8 * i + 2);
    end = std::max(end, at + bytes);
    if ((segments.U16At(8 * i + 4) & kNeRelocations) != 0) relocations.push_back(at + bytes);
  }
  for (const uint64_t at : relocations) {
    const ByteView count = cursor.View(at, 2);
    if (count.size() != 2) return kNotAFile;
    end = std::max(end, at + 2 + 8 * uint64_t{count.U16At(0)});
  }
  // The resource table: a shift, then per type its id (0 ends the table), a
  // count and the resources of 12 bytes each, all before the resident names.
  if (resourceTable != residentNames) {
    const uint64_t limit = uint64_t{ne} + residentNames;
    uint64_t at = uint64_t{ne} + resourceTable;
    const unsigned resourceShift = cursor.U16(at);
    if (resourceShift > 16) return kNotAFile;
    at += 2;
    while (at + 2 <= limit) {
      const ByteView type = cursor.View(at, 8);
      if (type.size() != 8) return kNotAFile;
      if (type.U16At(0) == 0) break;
      const uint16_t count = type.U16At(2);
      at += 8;
      if (at + 12ull * count > limit) return kNotAFile;
      const ByteView items = cursor.View(at, size_t{12} * count);
      if (items.size() != size_t{12} * count) return kNotAFile;
      for (uint16_t k = 0; k < count; ++k) {
        const uint64_t from = uint64_t{items.U16At(12 * k)} << resourceShift;
        const uint64_t bytes = uint64_t{items.U16At(12 * k + 2)} << resourceShift;
        if (from != 0 && bytes != 0) end = std::max(end, from + bytes);
      }
      at += 12ull * count;
    }
  }
  return end;
}

// The end of a linear program: its data pages (by the object page table of
// LX, by the page count and the last page's size for LE), its non-resident
// names and its debug information.
uint64_t LinearLength(FileCursor& cursor, uint32_t lx) {
  const ByteView header = cursor.View(lx, kLxHeader);
  if (header.size() != kLxHeader) return kNotAFile;
  const bool le = header.Matches(0, "LE");
  const uint32_t pages = header.U32At(0x14);
  const uint32_t pageSize = header.U32At(0x28);
  const uint32_t shiftOrLast = header.U32At(0x2C);
  const uint64_t pageTable = uint64_t{lx} + header.U32At(0x48);
  const uint64_t dataPages = header.U32At(0x80);
  if (pages == 0 || pages > kMaxLxPages) return kNotAFile;
  uint64_t end = dataPages;
  if (le) {
    if (shiftOrLast == 0 || shiftOrLast > pageSize) return kNotAFile;
    end = dataPages + uint64_t{pages - 1} * pageSize + shiftOrLast;
  } else {
    if (shiftOrLast > 15) return kNotAFile;
    // Entries of 8 bytes: offset (in units of the shift, from the data
    // pages), size and kind; kinds 2-4 (invalid, zero-filled, range) have no
    // data in the file.
    constexpr size_t kEntry = 8;
    constexpr size_t kPerView = FileCursor::kMaxView / kEntry;
    for (uint32_t first = 0; first < pages; first += kPerView) {
      const size_t n = std::min<size_t>(kPerView, pages - first);
      const ByteView entries = cursor.View(pageTable + uint64_t{first} * kEntry, n * kEntry);
      if (entries.size() != n * kEntry) return kNotAFile;
      for (size_t i = 0; i < n; ++i) {
        const uint16_t kind = entries.U16At(i * kEntry + 6);
        const uint16_t bytes = entries.U16At(i * kEntry + 4);
        if (kind > 5) return kNotAFile;
        if (kind >= 2 && kind <= 4) continue;
        if (bytes > pageSize) return kNotAFile;
        end = std::max(end, dataPages + (uint64_t{entries.U32At(i * kEntry)} << shiftOrLast) + bytes);
      }
    }
  }
  for (const size_t field : {size_t{0x88}, size_t{0x98}}) {  // non-resident names, debug information
    const uint32_t at = header.U32At(field);
    const uint32_t bytes = header.U32At(field + 4);
    if (at != 0 && bytes != 0) {
      if (at < lx + kLxHeader) return kNotAFile;
      end = std::max(end, uint64_t{at} + bytes);
    }
  }
  return end;
}

uint64_t ExeLength(ByteView s, CarvingState& state) {
  const uint32_t pe = s.U32At(kPeOffsetField);
  if (s.Matches(pe, "NE") || s.Matches(pe, "LX") || s.Matches(pe, "LE")) {
    FileCursor cursor(state, s, kPeCap);
    const uint64_t end = s.Matches(pe, "NE") ? NeLength(cursor, pe) : LinearLength(cursor, pe);
    // A program cut short cannot run: nothing is carved.
    if (end == kNotAFile || end > kPeCap || cursor.Stopped() || !cursor.Has(end - 1, 1)) return kNotAFile;
    return end;
  }
  const uint16_t sections = s.U16At(pe + 6);
  const uint32_t symbolsAt = s.U32At(pe + 12);
  const uint32_t symbolCount = s.U32At(pe + 16);
  const uint16_t optionalSize = s.U16At(pe + 20);
  const uint32_t opt = pe + 24;
  FileCursor cursor(state, s, kPeCap);
  const ByteView header = cursor.View(opt, optionalSize);  // valid up to the next read
  const uint16_t magic = header.U16At(0);
  if (magic != kPe32 && magic != kPe32Plus) return kNotAFile;
  const size_t directories = magic == kPe32 ? 96 : 112;
  if (sections == 0 || sections > kMaxSections || optionalSize < directories) return kNotAFile;
  const uint32_t fileAlignment = header.U32At(36);
  const uint32_t headersSize = header.U32At(60);
  const uint32_t directoryCount = header.U32At(directories - 4);
  if (!IsPowerOfTwo(fileAlignment) || fileAlignment > 64 * 1024 || headersSize < opt + optionalSize)
    return kNotAFile;
  uint32_t certificateAt = 0, certificateSize = 0;
  if (directoryCount > kCertificateDirectory &&
      optionalSize >= directories + 8 * (kCertificateDirectory + 1)) {
    certificateAt = header.U32At(directories + 8 * kCertificateDirectory);
    certificateSize = header.U32At(directories + 8 * kCertificateDirectory + 4);
  }

  uint64_t end = headersSize;
  const ByteView table = cursor.View(opt + optionalSize, sections * kSectionEntry);
  if (table.size() == 0) return kNotAFile;
  for (uint16_t i = 0; i < sections; ++i) {
    const uint32_t rawSize = table.U32At(i * kSectionEntry + 16);
    const uint32_t rawAt = table.U32At(i * kSectionEntry + 20);
    if (rawSize == 0 || rawAt == 0) continue;  // no data on disk
    end = std::max(end, uint64_t{rawAt} + rawSize);
  }
  if (end > kPeCap) return kNotAFile;
  const uint64_t sectionsEnd = end;
  end = std::max(end, SymbolsEnd(cursor, symbolsAt, symbolCount, sectionsEnd));
  end = std::max(end, CertificateEnd(cursor, certificateAt, certificateSize, sectionsEnd));
  // A program cut short cannot run: nothing is carved.
  return cursor.Has(end - 1, 1) && !cursor.Stopped() ? end : kNotAFile;
}

}  // namespace

const FileFormat kExeFormat{"pe", &ExeTest, &ExeLength, CarveStep::kPastFile, 1, {{0, 'M'}}};

}  // namespace velmira
