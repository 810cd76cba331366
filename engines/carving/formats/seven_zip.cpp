// 7z archives. The 32-byte start header (its CRC-32 checked) gives the
// offset and size of the next header at the archive's end: the file is
// 32 + offset + size bytes, and the next header's own CRC-32 must match.
#include <zlib.h>

#include <algorithm>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/read_ahead.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr uint64_t kSevenZipCap = 1024 * kGiB;
constexpr size_t kStartHeader = 32;
// Next headers beyond this size are only checked for presence.
constexpr uint64_t kCheckedHeader = 64 * kMiB;
constexpr uint8_t kHeader = 0x01;
constexpr uint8_t kEncodedHeader = 0x17;

uint32_t Crc32(ByteView v, uint32_t crc = 0) {
  return static_cast<uint32_t>(crc32(crc, v.data(), static_cast<uInt>(v.size())));
}

// Signature, major version 0 and the start header's CRC-32.
uint32_t SevenZipTest(ByteView s, CarvingState&) {
  if (s.size() < kStartHeader || !s.Matches(0, "7z\xBC\xAF\x27\x1C\x00"sv)) return kNoType;
  return Crc32(s.Sub(12, 20)) == s.U32At(8) ? kType7z : kNoType;
}

uint64_t SevenZipLength(ByteView s, CarvingState& state) {
  const uint64_t offset = s.U64At(12);
  const uint64_t size = s.U64At(20);
  const uint32_t crc = s.U32At(28);
  // An empty archive is the start header alone.
  if (offset == 0 && size == 0) return crc == 0 ? kStartHeader : kNotAFile;
  if (size == 0 || offset > kSevenZipCap - kStartHeader || size > kSevenZipCap - kStartHeader - offset)
    return kNotAFile;
  const uint64_t headerAt = kStartHeader + offset;
  const uint64_t end = headerAt + size;
  FileCursor cursor(state, s, kSevenZipCap);
  const uint8_t kind = cursor.View(headerAt, 1).U8At(0);
  if (!cursor.Has(headerAt, 1) || (kind != kHeader && kind != kEncodedHeader)) return kNotAFile;
  if (size > kCheckedHeader) return cursor.Has(end - 1, 1) ? end : kNotAFile;
  uint32_t sum = 0;
  for (uint64_t at = headerAt; at < end;) {
    const ByteView piece =
        cursor.View(at, static_cast<size_t>(std::min<uint64_t>(FileCursor::kMaxView, end - at)));
    if (piece.size() == 0) return kNotAFile;  // the archive is cut short: its header is lost
    sum = Crc32(piece, sum);
    at += piece.size();
  }
  return sum == crc ? end : kNotAFile;
}

}  // namespace

const FileFormat k7zFormat{"7z", &SevenZipTest, &SevenZipLength, CarveStep::kPastFile, 1, {{0, 0x37}}};

}  // namespace velmira
