// Feeds arbitrary bytes to the LZNT1 decompressor as one compression unit's
// stored clusters, into outputs of a unit (64 KiB), of one chunk and of an
// odd size, and checks that a decompression that succeeds is repeatable.
//
// Seeds: the clusters of a compressed file, e.g. from an image made with
// mkntfs and ntfs-3g in a folder marked compressed.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engines/ntfs/lznt1.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velmira;
  const std::span<const uint8_t> input(data, size);
  for (size_t outBytes : {size_t{65536}, kLznt1ChunkBytes, size_t{5000}}) {
    std::vector<uint8_t> first(outBytes, 0xAA);
    const bool ok = Lznt1Decompress(input, first);
    std::vector<uint8_t> second(outBytes, 0x55);
    if (Lznt1Decompress(input, second) != ok || first != second) std::abort();
  }
  return 0;
}
