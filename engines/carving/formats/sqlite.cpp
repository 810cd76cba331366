// SQLite databases: page size times page count, both from the header. The
// count is trusted only when the header says it is current (its change
// counter equals the "valid for" counter, as every writer since 2010 keeps
// it); for older files the pages are walked while they look like database
// pages.
#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/read_ahead.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr uint64_t kSqliteCap = 1024 * kGiB;
constexpr size_t kHeader = 100;
constexpr uint64_t kMaxWalkedPages = uint64_t{1} << 24;

// The page size in bytes, or 0 when the field is not a valid one (1 stands
// for 65536).
uint32_t PageSize(ByteView s) {
  const uint32_t field = s.U16BeAt(16);
  if (field == 1) return 65536;
  return field >= 512 && (field & (field - 1)) == 0 ? field : 0;
}

bool IsBtreePageType(uint8_t t) {
  return t == 2 || t == 5 || t == 10 || t == 13;
}

// The header's fixed fields: page size, format versions, the payload
// fractions every file carries, and a table b-tree on page 1.
uint32_t SqliteTest(ByteView s, CarvingState&) {
  if (s.size() < kHeader + 8 || !s.Matches(0, "SQLite format 3\x00"sv) || PageSize(s) == 0) return kNoType;
  const uint8_t write = s.U8At(18);
  const uint8_t read = s.U8At(19);
  if (write < 1 || write > 2 || read < 1 || read > 2) return kNoType;
  if (s.U8At(21) != 64 || s.U8At(22) != 32 || s.U8At(23) != 32) return kNoType;
  return s.U8At(kHeader) == 5 || s.U8At(kHeader) == 13 ? kTypeSqlite : kNoType;
}

// A b-tree page with a sane header, or an overflow, freelist or
// pointer-map page: those start with a page number (or zero) that is not
// absurdly large, and are not blank.
bool LooksLikePage(ByteView p, uint32_t pageSize) {
  if (p.size() < 8) return false;
  if (IsBtreePageType(p.U8At(0))) {
    const uint32_t content = p.U16BeAt(5) == 0 ? 65536 : p.U16BeAt(5);
    return p.U16BeAt(1) < pageSize && p.U16BeAt(3) <= pageSize / 2 && content <= pageSize && p.U8At(7) <= 60;
  }
  bool blank = true;
  for (size_t i = 0; i < p.size() && blank; ++i) blank = p.U8At(i) == 0;
  return !blank && p.U32BeAt(0) < (1u << 24);
}

uint64_t SqliteLength(ByteView s, CarvingState& state) {
  const uint64_t pageSize = PageSize(s);
  const uint32_t pages = s.U32BeAt(28);
  const bool countIsCurrent = pages != 0 && s.U32BeAt(24) == s.U32BeAt(92);
  FileCursor cursor(state, s, kSqliteCap);
  if (countIsCurrent) {
    const uint64_t end = pages * pageSize;
    // A database cut short is damaged beyond its tools' repair.
    return cursor.Has(end - 1, 1) && !cursor.Stopped() ? end : kNotAFile;
  }
  uint64_t count = 1;
  while (count < kMaxWalkedPages) {
    const ByteView page = cursor.View(count * pageSize, 64);
    if (page.size() == 0 || !LooksLikePage(page, static_cast<uint32_t>(pageSize))) break;
    ++count;
  }
  if (cursor.Stopped() || !cursor.Has(count * pageSize - 1, 1)) return kNotAFile;
  return count * pageSize;
}

}  // namespace

const FileFormat kSqliteFormat{"sqlite", &SqliteTest, &SqliteLength, CarveStep::kPastFile, 1, {{0, 'S'}}};

}  // namespace velmira
