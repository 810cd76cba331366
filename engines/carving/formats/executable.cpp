// Windows programs, libraries and drivers (PE images), told apart by the
// characteristics of their file header. A PE file ends at the end of its
// last section's raw data, or further at the end of the COFF symbol and
// string tables or of the certificate table (signed files), both of which
// lie past the sections. Plain DOS programs are not carved: nothing in them
// tells their length beyond the loaded image.
#include <algorithm>

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

uint32_t ExeTest(ByteView s, CarvingState&) {
  if (s.size() < 512 || !s.Matches(0, "MZ")) return kNoType;
  const uint32_t pe = s.U32At(kPeOffsetField);
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

uint64_t ExeLength(ByteView s, CarvingState& state) {
  const uint32_t pe = s.U32At(kPeOffsetField);
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
