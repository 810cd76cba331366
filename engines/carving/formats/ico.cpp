// Windows icons: a directory of n 16-byte entries whose images follow it
// back to back; the last image's end is the file's end.
#include <algorithm>
#include <vector>

#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr size_t kIcoHeaderBytes = 6;
constexpr size_t kIcoEntryBytes = 16;

size_t DirectoryBytes(ByteView s) {
  return kIcoHeaderBytes + kIcoEntryBytes * s.U16At(4);
}

// The end of the last image when the directory fits in `s`, else 0.
uint64_t LastImageEnd(ByteView s) {
  const size_t n = s.U16At(4);
  if (n == 0 || DirectoryBytes(s) > s.size()) return 0;
  const size_t last = kIcoHeaderBytes + kIcoEntryBytes * (n - 1);
  return uint64_t{s.U32At(last + 12)} + s.U32At(last + 8);
}

uint32_t IcoTest(ByteView s, CarvingState&) {
  if (s.size() < 16 || !s.Matches(0, "\x00\x00\x01\x00"sv)) return kNoType;
  const size_t n = s.U16At(4);
  if (n == 0 || DirectoryBytes(s) > s.size()) return kNoType;
  uint64_t running = DirectoryBytes(s);
  for (size_t i = 0; i < n; ++i) {
    const size_t entry = kIcoHeaderBytes + kIcoEntryBytes * i;
    if (s.U8At(entry + 3) != 0 || s.U32At(entry + 12) != running) return kNoType;
    running += s.U32At(entry + 8);
  }
  return kTypeIco;
}

uint64_t IcoLength(ByteView s, CarvingState& state) {
  if (const uint64_t end = LastImageEnd(s); end != 0) return end;
  // The directory runs past the bytes given: read 64 KiB from the first sector.
  const uint32_t sectorSize = SectorBytes(state);
  const uint32_t count = std::max<uint32_t>(1, static_cast<uint32_t>(kIoPieceBytes / sectorSize));
  uint8_t* buffer = state.TestBuffer(size_t{count} * sectorSize);
  uint32_t got = 0;
  (void)state.Read(state.candidateSector, count, buffer, got);  // judged by `got` below
  if (got == 0) return sectorSize;
  const uint64_t end = LastImageEnd(ByteView(buffer, size_t{got} * sectorSize));
  return end != 0 ? end : sectorSize;
}

}  // namespace

const FileFormat kIcoFormat{"ico", &IcoTest, &IcoLength, CarveStep::kNextSector, 1, {{2, 0x01}}};

}  // namespace velmira
