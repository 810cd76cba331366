// Compound documents (Word, Excel and PowerPoint 97-2003 files, Outlook
// messages, Flash projects and other OLE storages). The test tells the
// application from the first stream sector and from the root directory: its
// class id or the names of its streams.
//
// The length rule reads the sector allocation table (its sectors listed in
// the header and the DIFAT chain): the file ends with its highest sector in
// use. The mini streams live inside regular sectors, so they need no walk of
// their own. Walking the directory on the way checks the structure and
// names the file by the streams at its root.
#include <vector>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"
#include "platform/text.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr auto kMagic = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"sv;
constexpr size_t kDirectoryEntryBytes = 128;
constexpr size_t kClassIdOffset = 80;

// Class ids as stored (the first three groups little-endian).
constexpr auto kWordClass = "\x06\x09\x02\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46"sv;
constexpr auto kExcelClass = "\x20\x08\x02\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46"sv;
constexpr auto kExcel5Class = "\x10\x08\x02\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46"sv;
constexpr auto kPowerPointClass = "\x10\x8D\x81\x64\x9B\x4F\xCF\x11\x86\xEA\x00\xAA\x00\xB9\x29\xE8"sv;

// `length` bytes at `offset` from the start of the document (which lies at
// the sector under test), or an empty view when they cannot be read.
ByteView ReadDocumentBytes(CarvingState& state, uint64_t offset, size_t length) {
  const uint32_t sectorSize = SectorBytes(state);
  const uint64_t first = state.sectorUnderTest + offset / sectorSize;
  const size_t within = static_cast<size_t>(offset % sectorSize);
  const auto count = static_cast<uint32_t>((within + length + sectorSize - 1) / sectorSize);
  uint8_t* buffer = state.TestBuffer(size_t{count} * sectorSize);
  uint32_t got = 0;
  if (state.Read(first, count, buffer, got) != 0 || got != count) return {};
  return ByteView(buffer + within, length);
}

// The UTF-16 name of a directory entry equals `name`, ignoring ASCII case.
bool EntryNamed(ByteView entry, std::string_view name) {
  for (size_t i = 0; i < name.size(); ++i) {
    const uint16_t unit = entry.U16At(2 * i);
    if (unit > 0x7F || AsciiLower(static_cast<char>(unit)) != AsciiLower(name[i])) return false;
  }
  return entry.U16At(2 * name.size()) == 0;
}

// The UTF-16 name of a directory entry starts with `prefix`, ignoring ASCII
// case.
bool EntryStarts(ByteView entry, std::string_view prefix) {
  for (size_t i = 0; i < prefix.size(); ++i) {
    const uint16_t unit = entry.U16At(2 * i);
    if (unit > 0x7F || AsciiLower(static_cast<char>(unit)) != AsciiLower(prefix[i])) return false;
  }
  return true;
}

uint32_t CompoundTest(ByteView s, CarvingState& state) {
  if (!s.Matches(0, kMagic)) return kNoType;
  // Version 4 documents use 4,096-byte sectors, version 3 512-byte ones.
  const size_t docSector = s.U16At(30) == 12 ? 4096 : 512;

  // The first sector after the header usually starts the main stream.
  const ByteView firstStream = ReadDocumentBytes(state, docSector, 2);
  if (firstStream.size() == 0) return kTypeCompound;
  const uint16_t word = firstStream.U16At(0);
  if (word == 0xA5EC) return kTypeDoc;
  if (word == 0x0809 || word == 0x0010 || word == 0x0600) return kTypeXls;

  const uint64_t directory = (uint64_t{s.U32At(48)} + 1) * docSector;
  const ByteView entries = ReadDocumentBytes(state, directory, docSector);
  if (entries.size() == 0) return kTypeCompound;
  const ByteView rootClass = entries.Sub(kClassIdOffset, 16);
  if (rootClass.Matches(0, kWordClass)) return kTypeDoc;
  if (rootClass.Matches(0, kExcelClass) || rootClass.Matches(0, kExcel5Class)) return kTypeXls;
  if (rootClass.Matches(0, kPowerPointClass)) return kTypePpt;
  for (size_t at = 0; at + kDirectoryEntryBytes <= entries.size(); at += kDirectoryEntryBytes) {
    const ByteView entry = entries.Sub(at, kDirectoryEntryBytes);
    if (EntryNamed(entry, "WordDocument")) return kTypeDoc;
    if (EntryNamed(entry, "Workbook") || EntryNamed(entry, "Book")) return kTypeXls;
    if (EntryNamed(entry, "PowerPoint Document")) return kTypePpt;
  }
  return kTypeCompound;
}

// Outlook messages hold their properties in streams named so.
bool IsMessageEntry(ByteView entry) {
  return EntryStarts(entry, "__substg1.0_") || EntryNamed(entry, "__properties_version1.0") ||
         EntryNamed(entry, "__nameid_version1.0");
}

// A directory entry that names a stream or storage of a message.
uint32_t MsgTest(ByteView s, CarvingState& state) {
  if (!s.Matches(0, kMagic)) return kNoType;
  const size_t docSector = s.U16At(30) == 12 ? 4096 : 512;
  const ByteView entries = ReadDocumentBytes(state, (uint64_t{s.U32At(48)} + 1) * docSector, docSector);
  for (size_t at = 0; at + kDirectoryEntryBytes <= entries.size(); at += kDirectoryEntryBytes)
    if (IsMessageEntry(entries.Sub(at, kDirectoryEntryBytes))) return kTypeMsg;
  return kNoType;
}

// Any compound document may be a Flash project as far as its first sector
// tells; carved files are named .fla only when the length rule finds one.
uint32_t FlaTest(ByteView s, CarvingState&) {
  return s.size() >= 16 && s.Matches(0, "\xD0\xCF\x11\xE0"sv) ? kTypeFla : kNoType;
}

constexpr uint32_t kFreeSector = 0xFFFFFFFF;
constexpr uint32_t kFirstSpecial = 0xFFFFFFFC;  // DIFAT, FAT, end of chain, free
constexpr uint64_t kCompoundCap = 4 * kGiB;
constexpr uint32_t kMaxDirectoryEntries = 1u << 16;
constexpr uint64_t kFlashSearchBytes = 4 * kMiB;
constexpr uint8_t kStorage = 1;
constexpr uint8_t kStream = 2;
constexpr uint8_t kRoot = 5;

// A compound document's allocation table, read sector by sector as needed.
class Allocation {
 public:
  Allocation(FileCursor& cursor, uint32_t sectorBytes) : m_cursor(cursor), m_sectorBytes(sectorBytes) {}

  // The header's allocation-table sector list and the DIFAT chain; false
  // when they do not hold.
  bool Load(ByteView header) {
    const uint32_t perSector = m_sectorBytes / 4;
    const uint32_t tableSectors = header.U32At(44);
    const uint32_t difatSectors = header.U32At(72);
    if (tableSectors == 0 || uint64_t{tableSectors} * perSector * m_sectorBytes > kCompoundCap) return false;
    m_limit = tableSectors * perSector;
    for (uint32_t i = 0; i < 109 && m_tableSectors.size() < tableSectors; ++i)
      m_tableSectors.push_back(header.U32At(76 + 4 * i));
    uint32_t next = header.U32At(68);
    for (uint32_t k = 0; k < difatSectors && m_tableSectors.size() < tableSectors; ++k) {
      if (next >= m_limit) return false;
      const ByteView difat = m_cursor.View(Offset(next), m_sectorBytes);
      if (difat.size() != m_sectorBytes) return false;
      for (uint32_t i = 0; i + 1 < perSector && m_tableSectors.size() < tableSectors; ++i)
        m_tableSectors.push_back(difat.U32At(4 * i));
      next = difat.U32At(4 * (perSector - 1));
    }
    if (m_tableSectors.size() != tableSectors) return false;
    for (uint32_t sector : m_tableSectors)
      if (sector >= m_limit) return false;
    return true;
  }

  // The highest sector in use, checking every entry on the way: each is a
  // sector of the table's range or a special mark. Sectors of the table
  // itself must be marked so. kFreeSector when the table does not hold.
  uint32_t HighestInUse() {
    const uint32_t perSector = m_sectorBytes / 4;
    uint32_t highest = kFreeSector;
    for (size_t i = 0; i < m_tableSectors.size(); ++i) {
      const ByteView table = m_cursor.View(Offset(m_tableSectors[i]), m_sectorBytes);
      if (table.size() != m_sectorBytes) return kFreeSector;
      for (uint32_t j = 0; j < perSector; ++j) {
        const uint32_t entry = table.U32At(4 * j);
        if (entry == kFreeSector) continue;
        if (entry >= m_limit && entry < kFirstSpecial) return kFreeSector;
        highest = static_cast<uint32_t>(i * perSector + j);
      }
    }
    constexpr uint32_t kTableMark = 0xFFFFFFFD;
    for (size_t i = 0; i < m_tableSectors.size() && i < 16; ++i)
      if (Next(m_tableSectors[i]) != kTableMark) return kFreeSector;
    return highest;
  }

  // The entry of `sector`: the next sector of its chain or a mark.
  uint32_t Next(uint32_t sector) {
    const uint32_t perSector = m_sectorBytes / 4;
    if (sector >= m_limit) return kFreeSector;
    const ByteView entry =
        m_cursor.View(Offset(m_tableSectors[sector / perSector]) + 4 * (sector % perSector), 4);
    return entry.size() == 4 ? entry.U32At(0) : kFreeSector;
  }

  [[nodiscard]] uint64_t Offset(uint32_t sector) const { return (uint64_t{sector} + 1) * m_sectorBytes; }
  [[nodiscard]] uint32_t SectorBytes() const { return m_sectorBytes; }

 private:
  FileCursor& m_cursor;
  uint32_t m_sectorBytes;
  uint32_t m_limit = 0;
  std::vector<uint32_t> m_tableSectors;
};

struct DirectoryEntry {
  uint8_t type = 0;
  uint32_t left = 0, right = 0, child = 0;
  uint32_t start = 0;
  uint32_t size = 0;
  uint32_t code = kNoType;  // what the entry's name tells
  bool message = false, flashContents = false, flashPage = false;
};

// The entries of the directory chain, or false when the chain or the root
// entry does not hold. Streams kept in regular sectors must start at a
// sector in use.
bool ReadDirectory(FileCursor& cursor, Allocation& table, uint32_t first, uint32_t highest,
                   uint32_t miniCutoff, std::vector<DirectoryEntry>& entries) {
  const uint64_t perSector = table.SectorBytes() / kDirectoryEntryBytes;
  uint32_t sector = first;
  for (uint32_t steps = 0; sector != 0xFFFFFFFE; ++steps) {
    if (sector > highest || steps > highest || entries.size() >= kMaxDirectoryEntries) return false;
    for (uint64_t k = 0; k < perSector; ++k) {
      const ByteView e = cursor.View(table.Offset(sector) + k * kDirectoryEntryBytes, kDirectoryEntryBytes);
      if (e.size() != kDirectoryEntryBytes) return false;
      DirectoryEntry d;
      d.type = e.U8At(66);
      d.left = e.U32At(68);
      d.right = e.U32At(72);
      d.child = e.U32At(76);
      d.start = e.U32At(116);
      d.size = e.U32At(120);
      if (EntryNamed(e, "WordDocument")) d.code = kTypeDoc;
      if (EntryNamed(e, "Workbook") || EntryNamed(e, "Book")) d.code = kTypeXls;
      if (EntryNamed(e, "PowerPoint Document")) d.code = kTypePpt;
      d.message = IsMessageEntry(e);
      d.flashContents = EntryNamed(e, "Contents");
      d.flashPage = EntryStarts(e, "Page ");
      const bool inRegularSectors =
          (d.type == kStream && d.size >= miniCutoff) || (d.type == kRoot && d.size > 0);
      if (inRegularSectors && d.start > highest) return false;
      entries.push_back(d);
    }
    sector = table.Next(sector);
  }
  return !entries.empty() && entries[0].type == kRoot;
}

// The root's children (the sibling tree under the root entry): the code of
// the application stream among them, message and Flash marks.
struct RootStreams {
  uint32_t code = kNoType;
  bool message = false;
  bool flashContents = false;
  bool flashPage = false;
};

RootStreams ReadRootStreams(const std::vector<DirectoryEntry>& entries) {
  RootStreams found;
  std::vector<uint32_t> pending{entries[0].child};
  std::vector<bool> seen(entries.size(), false);
  while (!pending.empty()) {
    const uint32_t id = pending.back();
    pending.pop_back();
    if (id >= entries.size() || seen[id]) continue;
    seen[id] = true;
    const DirectoryEntry& e = entries[id];
    if (e.type != kStream && e.type != kStorage) continue;
    if (found.code == kNoType) found.code = e.code;
    found.message |= e.message;
    found.flashContents |= e.flashContents;
    found.flashPage |= e.flashPage;
    pending.push_back(e.left);
    pending.push_back(e.right);
  }
  return found;
}

uint64_t CompoundLength(ByteView first, CarvingState& state) {
  if (!first.Matches(0, kMagic) || first.U16At(28) != 0xFFFE || first.U16At(32) != 6) return kNotAFile;
  const uint16_t major = first.U16At(26);
  const uint16_t shift = first.U16At(30);
  if (!((major == 3 && shift == 9) || (major == 4 && shift == 12))) return kNotAFile;
  const uint32_t sectorBytes = 1u << shift;
  FileCursor cursor(state, first, kCompoundCap);
  const ByteView header = cursor.View(0, 512);
  Allocation table(cursor, sectorBytes);
  if (header.size() != 512 || !table.Load(header)) return kNotAFile;
  const uint32_t highest = table.HighestInUse();
  if (highest == kFreeSector || cursor.Stopped()) return kNotAFile;

  std::vector<DirectoryEntry> entries;
  if (!ReadDirectory(cursor, table, header.U32At(48), highest, header.U32At(56), entries) || cursor.Stopped())
    return kNotAFile;
  const uint64_t length = table.Offset(highest + 1);

  const RootStreams root = ReadRootStreams(entries);
  if (root.message) {
    state.namingCode = kTypeMsg;
  } else if (root.code != kNoType) {
    state.namingCode = root.code;
  } else if (root.flashContents && root.flashPage &&
             cursor.Find("CPicPage", 0, std::min(length, kFlashSearchBytes)) != FileCursor::kNotFound) {
    // A Flash project: its pages are serialised "CPicPage" objects.
    state.namingCode = kTypeFla;
  }
  return cursor.Stopped() ? kNotAFile : length;
}

}  // namespace

const FileFormat kCompoundFormat{"compound", &CompoundTest, &CompoundLength, CarveStep::kPastFile,
                                 1,          {{0, 0xD0}}};
const FileFormat kMsgFormat{"msg", &MsgTest, &CompoundLength, CarveStep::kPastFile, 1, {{0, 0xD0}}};
const FileFormat kFlaFormat{"fla", &FlaTest, &CompoundLength, CarveStep::kPastFile, 1, {{0, 0xD0}}};

}  // namespace velmira
