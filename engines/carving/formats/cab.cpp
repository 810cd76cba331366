// Cabinet files: the header's cabinet size, once the folder and file tables
// it points at hold. Each cabinet of a set has its own size.
#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/read_ahead.h"

namespace velmira {
namespace {

constexpr size_t kHeader = 36;
constexpr uint16_t kPrevious = 0x0001;
constexpr uint16_t kNext = 0x0002;
constexpr uint16_t kReserve = 0x0004;
constexpr uint16_t kFolderContinued = 0xFFFD;

// Signature, zero reserved fields and version 1.3.
uint32_t CabTest(ByteView s, CarvingState&) {
  if (s.size() < kHeader || !s.Matches(0, "MSCF")) return kNoType;
  if (s.U32At(4) != 0 || s.U32At(12) != 0 || s.U32At(20) != 0) return kNoType;
  return s.U8At(24) == 3 && s.U8At(25) == 1 ? kTypeCab : kNoType;
}

// Skips a zero-ended string of at most 256 bytes; false when there is none.
bool SkipString(FileCursor& cursor, uint64_t& at) {
  const ByteView v = cursor.ViewUpTo(at, 256);
  for (size_t i = 0; i < v.size(); ++i) {
    if (v.U8At(i) == 0) {
      at += i + 1;
      return true;
    }
  }
  return false;
}

uint64_t CabLength(ByteView s, CarvingState& state) {
  const uint32_t size = s.U32At(8);
  const uint32_t filesAt = s.U32At(16);
  const uint16_t folders = s.U16At(26);
  const uint16_t files = s.U16At(28);
  const uint16_t flags = s.U16At(30);
  if ((flags & ~(kPrevious | kNext | kReserve)) != 0 || folders == 0 || files == 0) return kNotAFile;
  if (filesAt < kHeader || filesAt >= size) return kNotAFile;
  FileCursor cursor(state, s, size);
  uint64_t at = kHeader;
  size_t folderReserve = 0;
  if ((flags & kReserve) != 0) {
    const ByteView r = cursor.View(kHeader, 4);
    if (r.size() == 0) return kNotAFile;
    folderReserve = r.U8At(2);
    at += 4 + r.U16At(0);
  }
  const int strings = ((flags & kPrevious) != 0 ? 2 : 0) + ((flags & kNext) != 0 ? 2 : 0);
  for (int i = 0; i < strings; ++i)
    if (!SkipString(cursor, at)) return kNotAFile;
  // Every folder's data starts inside the cabinet, past the tables, and uses
  // a known compression (none, MSZIP, Quantum, LZX).
  for (uint16_t i = 0; i < folders; ++i, at += 8 + folderReserve) {
    const ByteView folder = cursor.View(at, 8);
    if (folder.size() == 0) return kNotAFile;
    const uint32_t dataAt = folder.U32At(0);
    if (dataAt < filesAt || dataAt >= size || folder.U16At(4) == 0 || (folder.U16At(6) & 0x0F) > 3)
      return kNotAFile;
  }
  if (at > filesAt) return kNotAFile;
  // The first file entry names a folder of this cabinet (or one continued
  // across cabinets) and has a name.
  const ByteView file = cursor.View(filesAt, 17);
  if (file.size() == 0) return kNotAFile;
  const uint16_t folder = file.U16At(8);
  if (folder >= folders && folder < kFolderContinued) return kNotAFile;
  uint64_t name = filesAt + 16;
  if (!SkipString(cursor, name) || name == filesAt + 17) return kNotAFile;
  return cursor.Has(size - 1, 1) && !cursor.Stopped() ? size : kNotAFile;
}

}  // namespace

const FileFormat kCabFormat{"cab", &CabTest, &CabLength, CarveStep::kPastFile, 1, {{0, 'M'}}};

}  // namespace velmira
