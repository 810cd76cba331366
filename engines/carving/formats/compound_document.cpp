// Compound documents (Word, Excel and PowerPoint 97-2003 files and other OLE
// storages). The test tells the application from the first stream sector and
// from the root directory: its class id or the names of its streams.
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

}  // namespace

const FileFormat kCompoundFormat{"compound", &CompoundTest, nullptr, CarveStep::kNextSector, 1, {{0, 0xD0}}};

}  // namespace velmira
