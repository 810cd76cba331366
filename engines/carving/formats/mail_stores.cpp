// Mail stores whose header records the file's size: Outlook personal
// folders (ANSI and Unicode layouts) and Outlook Express folders.
#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/read_ahead.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr uint64_t kMailCap = 256 * kGiB;
constexpr uint64_t kFirstAllocationMap = 0x4400;
constexpr uint64_t kAllocationMapStride = 496 * 512;
constexpr uint8_t kSentinel = 0x80;
constexpr uint32_t kDbxHeader = 0x24BC;
constexpr size_t kDbxSizeField = 0x7C;

uint32_t DbxTest(ByteView s, CarvingState&) {
  return s.size() >= 16 && s.Matches(0, "\xCF\xAD\x12\xFE"sv) ? kTypeDbx : kNoType;
}

uint32_t PstTest(ByteView s, CarvingState&) {
  return s.size() >= 16 && s.Matches(0, "!BDN") && s.Matches(8, "SM") ? kTypePst : kNoType;
}

// The header's end-of-file offset, once the sentinel byte, the encryption
// method and the last allocation map (which lies inside the file, on the
// map grid for the 512-byte page layouts) agree with it.
uint64_t PstLength(ByteView s, CarvingState& state) {
  const uint16_t version = s.U16At(10);
  const bool ansi = version == 14 || version == 15;
  if (!ansi && version < 23) return kNotAFile;
  FileCursor cursor(state, s, kMailCap);
  const ByteView h = cursor.View(0, 516);
  if (h.size() == 0) return kNotAFile;
  const size_t sentinelAt = ansi ? 460 : 512;
  const uint8_t crypt = h.U8At(sentinelAt + 1);
  if (h.U8At(sentinelAt) != kSentinel || (crypt != 0 && crypt != 1 && crypt != 2 && crypt != 0x10))
    return kNotAFile;
  const uint64_t end = ansi ? h.U32At(168) : h.U64At(184);
  const uint64_t lastMap = ansi ? h.U32At(172) : h.U64At(192);
  if (end > kMailCap || lastMap < kFirstAllocationMap || lastMap >= end) return kNotAFile;
  if (version != 36 && (lastMap - kFirstAllocationMap) % kAllocationMapStride != 0) return kNotAFile;
  return cursor.Has(end - 1, 1) && !cursor.Stopped() ? end : kNotAFile;
}

// The header's "used space of the file", at least the header itself.
uint64_t DbxLength(ByteView s, CarvingState& state) {
  const uint32_t end = s.U32At(kDbxSizeField);
  if (end < kDbxHeader) return kNotAFile;
  FileCursor cursor(state, s, kMailCap);
  return cursor.Has(end - 1, 1) && !cursor.Stopped() ? end : kNotAFile;
}

}  // namespace

const FileFormat kDbxFormat{"dbx", &DbxTest, &DbxLength, CarveStep::kPastFile, 1, {{0, 0xCF}}};
const FileFormat kPstFormat{"pst", &PstTest, &PstLength, CarveStep::kPastFile, 1, {{0, '!'}}};

}  // namespace velmira
