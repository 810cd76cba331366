// Excel 2.x to 4.x files: a bare worksheet, chart, macro sheet or workbook
// stream of BIFF records, not wrapped in a compound document (BIFF5 and
// later always are). Every record is a type, a length and that many bytes;
// the stream opens with a BOF record and ends with the EOF record that
// closes it. A BIFF4 workbook holds whole sheets, each with its own BOF and
// EOF, so the walk counts them and stops at the EOF of the outermost one.
#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/read_ahead.h"

namespace velmira {
namespace {

constexpr uint16_t kBof2 = 0x0009;
constexpr uint16_t kBof3 = 0x0209;
constexpr uint16_t kBof4 = 0x0409;
constexpr uint16_t kEof = 0x000A;
constexpr uint16_t kWorkbookGlobals = 0x0100;
constexpr uint16_t kMaxRecordLength = 8224;
// The record types of these versions stay below 0x1000; a larger one is
// not a BIFF record.
constexpr uint16_t kLastRecordType = 0x0FFF;
constexpr uint64_t kBiffCap = 64 * kMiB;
constexpr uint32_t kMaxRecords = 4 << 20;
constexpr uint32_t kMaxDepth = 256;

bool IsBof(uint16_t type) {
  return type == kBof2 || type == kBof3 || type == kBof4;
}

// BOF: its type, its length (4 in BIFF2, 6 after), a version and the kind
// of stream: worksheet, chart, macro sheet or workbook globals.
uint32_t BiffTest(ByteView s, CarvingState&) {
  if (s.size() < 8) return kNoType;
  const uint16_t type = s.U16At(0);
  const uint16_t length = s.U16At(2);
  if (!IsBof(type) || length != (type == kBof2 ? 4 : 6)) return kNoType;
  switch (s.U16At(6)) {
    case 0x0010:
    case 0x0020:
    case 0x0040:
    case kWorkbookGlobals:
      return kTypeXlsBiff;
    default:
      return kNoType;
  }
}

// Walks the records to the EOF that closes the first BOF. A stream whose
// records stop holding before that is no file: its cells cannot be told
// from what follows. A single sheet is named .xls, a workbook .xlw.
uint64_t BiffLength(ByteView s, CarvingState& state) {
  if (s.U16At(6) != kWorkbookGlobals) state.namingCode = kTypeXls;
  FileCursor cursor(state, s, kBiffCap);
  uint64_t at = 0;
  uint32_t depth = 0;
  for (uint32_t records = 0; records < kMaxRecords; ++records) {
    const ByteView h = cursor.View(at, 4);
    if (h.size() != 4) return kNotAFile;
    const uint16_t type = h.U16At(0);
    const uint16_t length = h.U16At(2);
    // (A record of type 0 and no bytes is what zeros read as.)
    if (type > kLastRecordType || length > kMaxRecordLength || (type == 0 && length == 0)) return kNotAFile;
    at += 4 + uint64_t{length};
    if (IsBof(type)) {
      if (++depth > kMaxDepth) return kNotAFile;
    } else if (type == kEof) {
      if (length != 0) return kNotAFile;
      if (--depth == 0) return at;
    } else if (records == 0) {
      return kNotAFile;
    }
  }
  return kNotAFile;
}

}  // namespace

const FileFormat kBiffFormat{"biff", &BiffTest, &BiffLength, CarveStep::kPastFile, 1, {{0, 0x09}}};

}  // namespace velmira
