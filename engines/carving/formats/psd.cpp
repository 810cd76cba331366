// Photoshop documents (PSD, and PSB for large ones): a 26-byte header, then
// sections each led by its length (colour mode data, image resources, layer
// and mask information), then the merged image: raw rows, or run-length
// rows led by a table of their byte counts.
#include <algorithm>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

constexpr uint64_t kPsdCap = 4 * kGiB;

uint32_t PsdTest(ByteView s, CarvingState&) {
  if (s.size() < 40 || !s.Matches(0, "8BPS")) return kNoType;
  const uint16_t version = s.U16BeAt(4);
  const uint16_t channels = s.U16BeAt(12);
  const uint16_t depth = s.U16BeAt(22);
  const uint16_t mode = s.U16BeAt(24);
  const bool ok = (version == 1 || version == 2) && s.U32At(6) == 0 && s.U16At(10) == 0 && channels >= 1 &&
                  channels <= 56 && s.U32BeAt(14) != 0 && s.U32BeAt(18) != 0 &&
                  (depth == 1 || depth == 8 || depth == 16 || depth == 32) && mode <= 9;
  return ok ? kTypePsd : kNoType;
}

uint64_t PsdLength(ByteView s, CarvingState& state) {
  FileCursor cursor(state, s, kPsdCap);
  const bool large = s.U16BeAt(4) == 2;
  const uint64_t channels = s.U16BeAt(12);
  const uint64_t height = s.U32BeAt(14);
  const uint64_t width = s.U32BeAt(18);
  const uint64_t depth = s.U16BeAt(22);
  if (height > (large ? 300000u : 30000u) || width > (large ? 300000u : 30000u)) return kNotAFile;
  uint64_t pos = 26;
  // Colour mode data and image resources: 4-byte lengths; layer and mask
  // information: 8 bytes in the large form.
  for (int section = 0; section < 3; ++section) {
    const ByteView field = cursor.View(pos, large && section == 2 ? 8 : 4);
    if (field.size() == 0) return kNotAFile;
    const uint64_t length =
        field.size() == 8 ? (uint64_t{field.U32BeAt(0)} << 32) | field.U32BeAt(4) : field.U32BeAt(0);
    // Image resources are blocks that each start "8BIM".
    if (section == 1 && length != 0 && !cursor.Matches(pos + 4, "8BIM")) return kNotAFile;
    pos += field.size() + length;
    if (pos > cursor.DataEnd()) return kNotAFile;
  }
  const ByteView compression = cursor.View(pos, 2);
  if (compression.size() != 2) return kNotAFile;
  const uint64_t rows = channels * height;
  pos += 2;
  switch (compression.U16BeAt(0)) {
    case 0:  // raw rows; a document cut by the end of the medium keeps what is there
      return std::min(pos + rows * ((width * depth + 7) / 8), cursor.DataEnd());
    case 1: {  // run-length rows: a table of byte counts, then the rows
      const size_t countBytes = large ? 4 : 2;
      uint64_t data = 0;
      for (uint64_t row = 0; row < rows; ++row) {
        const ByteView count = cursor.View(pos + row * countBytes, countBytes);
        if (count.size() != countBytes) return kNotAFile;
        const uint32_t bytes = large ? count.U32BeAt(0) : count.U16BeAt(0);
        // A packed row is never much longer than the row it packs.
        if (bytes > 2 * ((width * depth + 7) / 8) + 2) return kNotAFile;
        data += bytes;
      }
      return std::min(pos + rows * countBytes + data, cursor.DataEnd());
    }
    case 2:
    case 3:  // deflated data carries no length: it runs to the next boundary
      return cursor.NextBoundary((pos / cursor.SectorSize() + 1) * cursor.SectorSize());
    default:
      return kNotAFile;
  }
}

}  // namespace

const FileFormat kPsdFormat{"psd", &PsdTest, &PsdLength, CarveStep::kPastFile, 1, {{0, '8'}}};

}  // namespace velmira
