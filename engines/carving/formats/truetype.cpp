// TrueType fonts: the table directory gives every table's offset and
// length; the file ends at the end of the furthest table, padded to four
// bytes as fonts are written.
#include <algorithm>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/read_ahead.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr uint64_t kFontCap = 1 * kGiB;
constexpr size_t kDirectory = 12;
constexpr size_t kRecord = 16;
constexpr uint16_t kMaxTables = 256;
constexpr uint32_t kHeadMagic = 0x5F0F3CF5;

bool IsTag(ByteView v, size_t at) {
  for (size_t i = 0; i < 4; ++i)
    if (v.U8At(at + i) < 0x20 || v.U8At(at + i) > 0x7E) return false;
  return true;
}

// Version 1.0 (or Apple's "true"), and the search fields the directory's
// table count implies, exactly as font writers compute them; the first
// table record carries a readable tag.
uint32_t TtfTest(ByteView s, CarvingState&) {
  if (s.size() < kDirectory + kRecord) return kNoType;
  if (!s.Matches(0, "\x00\x01\x00\x00"sv) && !s.Matches(0, "true")) return kNoType;
  const uint16_t tables = s.U16BeAt(4);
  if (tables == 0 || tables > kMaxTables) return kNoType;
  uint16_t selector = 0;
  while ((2u << selector) <= tables) ++selector;
  const uint32_t range = 16u << selector;
  if (s.U16BeAt(6) != range || s.U16BeAt(8) != selector || s.U16BeAt(10) != tables * 16u - range)
    return kNoType;
  return IsTag(s, kDirectory) ? kTypeTtf : kNoType;
}

uint64_t TtfLength(ByteView s, CarvingState& state) {
  const uint16_t tables = s.U16BeAt(4);
  const uint64_t directoryEnd = kDirectory + uint64_t{tables} * kRecord;
  FileCursor cursor(state, s, kFontCap);
  const ByteView directory = cursor.View(0, static_cast<size_t>(directoryEnd));
  if (directory.size() == 0) return kNotAFile;
  uint64_t end = directoryEnd;
  uint64_t head = 0;
  for (uint16_t i = 0; i < tables; ++i) {
    const size_t record = kDirectory + i * kRecord;
    const uint32_t offset = directory.U32BeAt(record + 8);
    const uint32_t length = directory.U32BeAt(record + 12);
    if (!IsTag(directory, record) || offset < directoryEnd || offset % 4 != 0) return kNotAFile;
    if (directory.Matches(record, "head")) head = offset;
    end = std::max(end, uint64_t{offset} + length);
  }
  end = (end + 3) / 4 * 4;
  if (head == 0 || end > kFontCap || cursor.U32Be(head + 12) != kHeadMagic) return kNotAFile;
  return cursor.Has(end - 1, 1) && !cursor.Stopped() ? end : kNotAFile;
}

}  // namespace

const FileFormat kTtfFormat{"ttf", &TtfTest, &TtfLength, CarveStep::kPastFile, 2, {{1, 0x01}, {0, 't'}}};

}  // namespace velmira
