// xz streams. The stream footer (found by its "YZ" mark on a four-byte
// boundary) gives the size of the index before it; the footer's and the
// index's CRC-32 must hold, the flags must repeat the header's, and the
// blocks the index lists must fill the stream from its header to the index.
#include <zlib.h>

#include <vector>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/read_ahead.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr uint64_t kXzCap = 64 * kGiB;
constexpr size_t kHeader = 12;
constexpr size_t kFooter = 12;
constexpr uint64_t kMaxIndex = 16 * kMiB;

uint32_t Crc32(ByteView v, uint32_t crc = 0) {
  return static_cast<uint32_t>(crc32(crc, v.data(), static_cast<uInt>(v.size())));
}

// Magic, stream flags with a known check type, and the flags' CRC-32.
uint32_t XzTest(ByteView s, CarvingState&) {
  if (s.size() < kHeader + 1 || !s.Matches(0, "\xFD\x37\x7A\x58\x5A\x00\x00"sv)) return kNoType;
  const uint8_t check = s.U8At(7);
  if (check != 0 && check != 1 && check != 4 && check != 10) return kNoType;
  return Crc32(s.Sub(6, 2)) == s.U32At(8) ? kTypeXz : kNoType;
}

bool ReadVint(const std::vector<uint8_t>& v, size_t& at, uint64_t& value) {
  value = 0;
  for (int i = 0; i < 9 && at < v.size(); ++i) {
    const uint8_t b = v[at++];
    value |= uint64_t{b & 0x7Fu} << (7 * i);
    if ((b & 0x80) == 0) return true;
  }
  return false;
}

// Whether the index of `size` bytes at `at` holds and lists blocks that
// take exactly `blocks` bytes.
bool IndexHolds(FileCursor& cursor, uint64_t at, uint64_t size, uint64_t blocks) {
  if (size < 8 || size > kMaxIndex) return false;
  std::vector<uint8_t> index(static_cast<size_t>(size));
  if (!cursor.Read(at, index.size(), index.data())) return false;
  const size_t body = index.size() - 4;
  const ByteView v(index.data(), index.size());
  if (index[0] != 0 || Crc32(v.Sub(0, body)) != v.U32At(body)) return false;
  size_t p = 1;
  uint64_t records = 0, total = 0;
  if (!ReadVint(index, p, records) || records > size) return false;
  for (uint64_t r = 0; r < records; ++r) {
    uint64_t unpadded = 0, uncompressed = 0;
    if (!ReadVint(index, p, unpadded) || !ReadVint(index, p, uncompressed) || unpadded == 0) return false;
    total += (unpadded + 3) / 4 * 4;
    if (total > blocks) return false;
  }
  return p <= body && total == blocks;
}

uint64_t XzLength(ByteView s, CarvingState& state) {
  const uint16_t flags = s.U16At(6);
  FileCursor cursor(state, s, kXzCap);
  // The footer's "YZ" ends on a four-byte boundary.
  for (uint64_t from = kHeader + kFooter - 2;;) {
    const uint64_t mark = cursor.Find("YZ", from);
    if (mark == FileCursor::kNotFound || cursor.Stopped()) return kNotAFile;
    from = mark + 1;
    if ((mark + 2) % 4 != 0) continue;
    const uint64_t footer = mark + 2 - kFooter;
    const ByteView f = cursor.View(footer, kFooter);
    if (f.size() == 0 || f.U16At(8) != flags || Crc32(f.Sub(4, 6)) != f.U32At(0)) continue;
    const uint64_t indexSize = (uint64_t{f.U32At(4)} + 1) * 4;
    if (indexSize > footer - kHeader) continue;
    const uint64_t index = footer - indexSize;
    if (IndexHolds(cursor, index, indexSize, index - kHeader)) return footer + kFooter;
  }
}

}  // namespace

const FileFormat kXzFormat{"xz", &XzTest, &XzLength, CarveStep::kPastFile, 1, {{0, 0xFD}}};

}  // namespace velmira
