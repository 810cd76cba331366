// The LZNT1 decompressor of compressed NTFS files.
#include "engines/ntfs/lznt1.h"

#include <algorithm>

namespace velmira {
namespace {

// Decodes one compressed chunk's bytes into `out` (at most 4,096 bytes);
// returns the bytes produced, or SIZE_MAX when the chunk is damaged.
size_t DecodeChunk(std::span<const uint8_t> in, std::span<uint8_t> out) {
  size_t ip = 0;
  size_t op = 0;
  while (ip < in.size()) {
    const uint8_t tag = in[ip++];
    for (int bit = 0; bit < 8 && ip < in.size(); ++bit) {
      if ((tag & (1u << bit)) == 0) {
        if (op >= out.size()) return op;
        out[op++] = in[ip++];
        continue;
      }
      if (ip + 2 > in.size()) return SIZE_MAX;
      const uint16_t token = static_cast<uint16_t>(in[ip] | (in[ip + 1] << 8));
      ip += 2;
      if (op == 0) return SIZE_MAX;  // nothing to refer back to yet
      // The further into the chunk, the more bits go to the offset.
      unsigned lengthBits = 12;
      for (size_t p = op - 1; p >= 0x10; p >>= 1) --lengthBits;
      const size_t offset = (static_cast<size_t>(token) >> lengthBits) + 1;
      const size_t length = (token & ((1u << lengthBits) - 1)) + 3;
      if (offset > op) return SIZE_MAX;
      // Byte by byte: a reference may overlap the bytes it produces.
      for (size_t i = 0; i < length; ++i) {
        if (op >= out.size()) return op;
        out[op] = out[op - offset];
        ++op;
      }
    }
  }
  return op;
}

}  // namespace

bool Lznt1Decompress(std::span<const uint8_t> input, std::span<uint8_t> output) {
  std::fill(output.begin(), output.end(), 0);
  size_t ip = 0;
  size_t op = 0;
  while (op < output.size() && ip + 2 <= input.size()) {
    const uint16_t header = static_cast<uint16_t>(input[ip] | (input[ip + 1] << 8));
    if (header == 0) return true;  // the end of the stream
    if ((header & 0x7000) != 0x3000) return false;
    const size_t size = (header & 0x0FFF) + size_t{1};
    ip += 2;
    if (size > input.size() - ip) return false;
    const std::span<const uint8_t> chunk = input.subspan(ip, size);
    const std::span<uint8_t> out = output.subspan(op, std::min(kLznt1ChunkBytes, output.size() - op));
    if (header & 0x8000) {
      if (DecodeChunk(chunk, out) == SIZE_MAX) return false;
    } else {
      std::copy_n(chunk.begin(), std::min(chunk.size(), out.size()), out.begin());
    }
    ip += size;
    op += out.size();
  }
  return true;
}

}  // namespace velmira
