// Data files known by their headers only (never carved): disk-image backups,
// SQLite databases, mail stores and TrueType fonts.
#include "engines/carving/formats/formats.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

uint32_t GhoTest(ByteView s, CarvingState&) {
  return s.size() >= 2 && s.Matches(0, "\xFE\xEF\x00\x00"sv) ? kTypeGho : kNoType;
}

uint32_t SqliteTest(ByteView s, CarvingState&) {
  return s.size() >= 16 && s.Matches(0, "SQLite format 3\x00"sv) ? kTypeSqlite : kNoType;
}

uint32_t DbxTest(ByteView s, CarvingState&) {
  return s.size() >= 16 && s.Matches(0, "\xCF\xAD\x12\xFE"sv) ? kTypeDbx : kNoType;
}

uint32_t PstTest(ByteView s, CarvingState&) {
  return s.size() >= 16 && s.Matches(0, "!BDN") && s.Matches(8, "SM") ? kTypePst : kNoType;
}

// Version 1.0, a non-empty table directory with its search fields set, and
// the version mark again right after the directory.
uint32_t TtfTest(ByteView s, CarvingState&) {
  if (s.size() < 16 || !s.Matches(0, "\x00\x01\x00\x00"sv)) return kNoType;
  const size_t tables = s.U16BeAt(4);
  if (tables == 0 || s.U16At(6) == 0 || s.U16At(8) == 0 || s.U16At(10) == 0) return kNoType;
  if (16 * tables + 16 > s.size()) return kNoType;
  return s.Matches(16 * tables + 12, "\x00\x01\x00\x00"sv) ? kTypeTtf : kNoType;
}

}  // namespace

const FileFormat kGhoFormat{"gho", &GhoTest, nullptr, CarveStep::kPastFile, 1, {{0, 0xFE}}};
const FileFormat kSqliteFormat{"sqlite", &SqliteTest, nullptr, CarveStep::kPastFile, 1, {{0, 'S'}}};
const FileFormat kDbxFormat{"dbx", &DbxTest, nullptr, CarveStep::kPastFile, 1, {{0, 0xCF}}};
const FileFormat kPstFormat{"pst", &PstTest, nullptr, CarveStep::kPastFile, 1, {{0, '!'}}};
const FileFormat kTtfFormat{"ttf", &TtfTest, nullptr, CarveStep::kNextSector, 1, {{0, 0x00}}};

}  // namespace velmira
