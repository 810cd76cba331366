// Windows and OS/2 bitmaps: a 14-byte file header (the file size, where the
// pixels start) and an information header of 12 (OS/2 1.x), 40, 52, 56, 64
// (OS/2 2.x), 108 (V4) or 124 (V5) bytes. The size field is trusted only
// when it agrees with the pixel data the header implies.
#include <algorithm>

#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

constexpr uint32_t kFileHeaderBytes = 14;
constexpr uint64_t kBmpCap = 1024 * kMiB;
// A writer may pad the pixel data; more than this beyond it is no bitmap.
constexpr uint64_t kSlackBytes = 4096;

struct BitmapHeader {
  uint32_t headerBytes = 0;
  uint64_t width = 0;
  uint64_t height = 0;
  uint32_t bitCount = 0;
  uint32_t compression = 0;
  uint32_t imageBytes = 0;  // the header's own figure (0: not given)
  uint64_t profileEnd = 0;  // end of a V5 colour profile stored in the file
};

bool KnownHeaderSize(uint32_t n) {
  return n == 12 || n == 40 || n == 52 || n == 56 || n == 64 || n == 108 || n == 124;
}

bool KnownBitCount(uint32_t n) {
  return n == 1 || n == 2 || n == 4 || n == 8 || n == 16 || n == 24 || n == 32 || n == 64;
}

// The information header of `s`, or false when it does not hold.
bool ReadHeader(ByteView s, BitmapHeader& h) {
  h.headerBytes = s.U32At(14);
  if (!KnownHeaderSize(h.headerBytes)) return false;
  uint32_t planes = 0;
  if (h.headerBytes == 12) {
    h.width = s.U16At(18);
    h.height = s.U16At(20);
    planes = s.U16At(22);
    h.bitCount = s.U16At(24);
  } else {
    const auto width = static_cast<int32_t>(s.U32At(18));
    const auto height = static_cast<int32_t>(s.U32At(22));
    if (width <= 0 || height == 0 || height == INT32_MIN) return false;
    h.width = static_cast<uint64_t>(width);
    h.height = height < 0 ? uint64_t{0} - static_cast<int64_t>(height) : static_cast<uint64_t>(height);
    planes = s.U16At(26);
    h.bitCount = s.U16At(28);
    h.compression = s.U32At(30);
    h.imageBytes = s.U32At(34);
    if (h.headerBytes == 124 && s.U32At(14 + 56) == 0x4D424544) {  // 'MBED': a profile inside the file
      h.profileEnd = uint64_t{kFileHeaderBytes} + s.U32At(14 + 112) + s.U32At(14 + 116);
    }
  }
  if (planes != 1 || h.width == 0 || h.height == 0) return false;
  if (h.bitCount == 0 && (h.compression == 4 || h.compression == 5)) return true;  // JPEG or PNG inside
  return KnownBitCount(h.bitCount) && h.compression <= 13;
}

uint32_t BmpTest(ByteView s, CarvingState&) {
  if (s.size() < 54) return kNoType;
  if (!s.Matches(0, "BM") && !s.Matches(0, "BA")) return kNoType;
  if (s.U16At(6) != 0 || s.U16At(8) != 0) return kNoType;
  BitmapHeader h;
  if (!ReadHeader(s, h)) return kNoType;
  const uint32_t pixels = s.U32At(10);
  return pixels >= kFileHeaderBytes + h.headerBytes ? kTypeBmp : kNoType;
}

uint64_t BmpLength(ByteView s, CarvingState&) {
  BitmapHeader h;
  if (!ReadHeader(s, h)) return kNotAFile;
  const uint64_t size = s.U32At(2);
  const uint64_t pixels = s.U32At(10);
  // Uncompressed rows are padded to four bytes; compressed data is as long
  // as the header says.
  const bool raw = h.compression == 0 || h.compression == 3 || h.compression == 6;
  uint64_t data = h.imageBytes;
  if (raw) {
    if (h.width > (uint64_t{1} << 32) / h.bitCount || h.height > (uint64_t{1} << 31)) return kNotAFile;
    data = (h.width * h.bitCount + 31) / 32 * 4 * h.height;
  }
  const uint64_t implied = std::max(pixels + data, h.profileEnd);
  if (size == 0) return raw && implied <= kBmpCap ? implied : kNotAFile;
  if (size < implied || size > implied + kSlackBytes || size > kBmpCap) {
    // Compressed data without its size in the header: the size field is all
    // there is, so it must at least reach past the pixel offset.
    if (!raw && h.imageBytes == 0 && size > pixels && size <= kBmpCap) return size;
    return kNotAFile;
  }
  return size;
}

}  // namespace

const FileFormat kBmpFormat{"bmp", &BmpTest, &BmpLength, CarveStep::kPastFile, 1, {{0, 'B'}}};

}  // namespace velmira
