// MXF files: a run of KLV triplets (a 16-byte SMPTE key, a BER length, the
// value) from the header partition pack to the footer partition and the
// random index pack that closes the file. The walk ends after the random
// index pack, before another file's header partition, or at the first
// triplet that is not one.
#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr auto kPartitionKey = "\x06\x0E\x2B\x34\x02\x05\x01\x01\x0D\x01\x02\x01\x01\x02\x04\x00"sv;
constexpr auto kKeyPrefix = "\x06\x0E\x2B\x34"sv;
// Partition packs share the first 13 bytes of their key; byte 13 tells the
// kind (2 header, 3 body, 4 footer) and 0x11 marks the random index pack.
constexpr auto kPartitionPrefix = "\x06\x0E\x2B\x34\x02\x05\x01\x01\x0D\x01\x02\x01\x01"sv;
constexpr uint8_t kHeaderPartition = 0x02;
constexpr uint8_t kRandomIndexPack = 0x11;
constexpr uint32_t kMaxTriplets = 10'000'000;

uint32_t MxfTest(ByteView s, CarvingState&) {
  return s.size() >= 24 && s.Matches(0, kPartitionKey) ? kTypeMxf : kNoType;
}

uint64_t MxfLength(ByteView s, CarvingState& state) {
  FileCursor cursor(state, s, 64 * kGiB);
  const uint64_t dataEnd = cursor.DataEnd();
  uint64_t at = 0;
  uint32_t triplets = 0;
  for (; triplets < kMaxTriplets && !cursor.Stopped(); ++triplets) {
    const ByteView h = cursor.ViewUpTo(at, 25);
    if (h.size() < 17 || !h.Matches(0, kKeyPrefix)) break;
    const bool partition = h.Matches(0, kPartitionPrefix);
    if (at != 0 && partition && h.U8At(13) == kHeaderPartition) break;
    uint64_t length = h.U8At(16);
    uint64_t header = 17;
    if (length >= 0x80) {
      const uint32_t bytes = length & 0x7F;
      if (bytes == 0 || bytes > 8 || h.size() < 17 + bytes) break;
      length = 0;
      for (uint32_t k = 0; k < bytes; ++k) length = (length << 8) | h.U8At(17 + k);
      header += bytes;
    }
    if (length > dataEnd || at + header > dataEnd - length) break;
    at += header + length;
    if (partition && h.U8At(13) == kRandomIndexPack) {
      ++triplets;
      break;
    }
  }
  // The partition pack alone, or with one more triplet, is no file.
  return cursor.Stopped() || triplets < 3 ? kNotAFile : at;
}

}  // namespace

const FileFormat kMxfFormat{"mxf", &MxfTest, &MxfLength, CarveStep::kPastFile, 1, {{0, 0x06}}};

}  // namespace velmira
