// PDF documents. A PDF ends at an end-of-file mark ("%%EOF") whose trailer's
// "startxref" points at a cross-reference section inside the file; an
// incremental update appends objects, a new cross-reference section and a
// new "%%EOF" after the old one, and a linearized file has two such ends. So
// the file goes on after an end mark exactly when the next bytes start a new
// object or cross-reference section, and the last end mark that is not so
// followed ends the file.
//
// The data is searched in pieces. End marks inside a stream (an embedded PDF)
// do not count; a sector that starts another known file or holds file-system
// metadata ends the search unless it lies inside a stream, whose compressed
// bytes may look like anything (there only another PDF's header ends it).
#include <algorithm>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr uint64_t kPdfCap = 1 * kGiB;
// The first object starts within this many bytes of the header line.
constexpr size_t kFirstObjectWithin = 4096;
// Outside streams, PDF syntax names an object or section at least this
// often; a longer stretch without one is no PDF any more.
constexpr uint64_t kMaxGapOutsideStreams = 1 * kMiB;
constexpr uint32_t kMaxEndMarks = 100000;
// White space allowed between an end mark and the section that follows.
constexpr size_t kSectionPadding = 4096;

bool IsPdfSpace(uint8_t c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == 0;
}

bool IsDigit(uint8_t c) {
  return c >= '0' && c <= '9';
}

// The position after "N G" and white space at `at` (an object number and
// generation), or 0 when they are not there.
size_t AfterObjectNumber(ByteView bytes, size_t at) {
  size_t i = at;
  for (int field = 0; field < 2; ++field) {
    const size_t digits = i;
    while (i < bytes.size() && i - digits < 10 && IsDigit(bytes.U8At(i))) ++i;
    if (i == digits) return 0;
    const size_t spaces = i;
    while (i < bytes.size() && i - spaces < 4 && IsPdfSpace(bytes.U8At(i)) && bytes.U8At(i) != 0) ++i;
    if (i == spaces) return 0;
  }
  return i;
}

// Whether `bytes` at `at` hold an object header "N G obj".
bool ObjectHeaderAt(ByteView bytes, size_t at) {
  const size_t after = AfterObjectNumber(bytes, at);
  return after != 0 && bytes.Matches(after, "obj");
}

// Whether `bytes` at `at` hold a reference "N G R".
bool ObjectReferenceAt(ByteView bytes, size_t at) {
  const size_t after = AfterObjectNumber(bytes, at);
  return after != 0 && bytes.U8At(after) == 'R';
}

// Whether a new section starts in `bytes`: an object or a cross-reference
// table, after white space (writers pad a linearized file's first part).
bool SectionStarts(ByteView bytes) {
  size_t at = 0;
  while (at < bytes.size() && IsPdfSpace(bytes.U8At(at))) ++at;
  return bytes.Matches(at, "xref") || ObjectHeaderAt(bytes, at);
}

uint32_t PdfTest(ByteView s, CarvingState&) {
  return s.size() >= 5 && s.Matches(0, "%PDF-") ? kTypePdf : kNoType;
}

// "%PDF-d.d", then the first object soon after.
bool HeaderHolds(FileCursor& cursor) {
  const ByteView head = cursor.ViewUpTo(0, kFirstObjectWithin);
  if (!head.Matches(0, "%PDF-") || !IsDigit(head.U8At(5)) || head.U8At(6) != '.' || !IsDigit(head.U8At(7)))
    return false;
  for (size_t at = 8; at + 3 < head.size(); ++at)
    if (IsDigit(head.U8At(at)) && !IsDigit(head.U8At(at - 1)) && ObjectHeaderAt(head, at)) return true;
  return false;
}

// Whether the trailer in front of the end mark at `mark` names a
// cross-reference section inside the file: "startxref", an offset before
// the mark holding "xref" or an object (a cross-reference stream), or 0 (the
// first-page trailer of a linearized file).
bool StartXrefHolds(FileCursor& cursor, uint64_t mark) {
  constexpr size_t kLookBack = 64;
  const uint64_t from = mark > kLookBack ? mark - kLookBack : 0;
  const ByteView tail = cursor.View(from, static_cast<size_t>(mark - from));
  size_t at = ReadAhead::kNotFound;
  for (size_t p = FindMark(tail, "startxref"); p != ReadAhead::kNotFound;
       p = FindMark(tail, "startxref", p + 1))
    at = p;
  if (at == ReadAhead::kNotFound) return false;
  size_t i = at + 9;
  while (i < tail.size() && IsPdfSpace(tail.U8At(i))) ++i;
  uint64_t offset = 0;
  size_t digits = 0;
  for (; i < tail.size() && IsDigit(tail.U8At(i)) && digits < 19; ++i, ++digits)
    offset = offset * 10 + (tail.U8At(i) - '0');
  if (digits == 0) return false;
  if (offset == 0) return true;
  if (offset >= mark) return false;
  const ByteView target = cursor.ViewUpTo(offset, 32);
  return target.Matches(0, "xref") || ObjectHeaderAt(target, 0);
}

// The file offset just after the end mark at `mark` and its line end.
uint64_t EndAfterMark(FileCursor& cursor, uint64_t mark) {
  const ByteView after = cursor.ViewUpTo(mark + 5, 2);
  if (after.Matches(0, "\r\n")) return mark + 7;
  if (after.size() >= 1 && (after.U8At(0) == '\n' || after.U8At(0) == '\r')) return mark + 6;
  return mark + 5;
}

constexpr uint64_t kUnknownLength = UINT64_MAX;
// Bytes allowed between a stream's stated end and its "endstream".
constexpr uint64_t kStreamEndSlack = 64;

// The stream length the dictionary in front of the "stream" keyword at
// `at` states directly ("/Length 1234"); kUnknownLength when it is missing
// or a reference to another object.
uint64_t DirectStreamLength(ByteView bytes, size_t at) {
  constexpr size_t kLookBack = 512;
  const size_t from = at > kLookBack ? at - kLookBack : 0;
  const ByteView dictionary = bytes.Sub(from, at - from);
  // The last "/Length" key (not "/Length1" and the like of font streams).
  size_t key = ReadAhead::kNotFound;
  for (size_t p = FindMark(dictionary, "/Length"); p != ReadAhead::kNotFound;
       p = FindMark(dictionary, "/Length", p + 1)) {
    const uint8_t next = dictionary.U8At(p + 7);
    if (IsPdfSpace(next) || next == '/') key = p;
  }
  if (key == ReadAhead::kNotFound) return kUnknownLength;
  size_t i = key + 7;
  while (i < dictionary.size() && IsPdfSpace(dictionary.U8At(i))) ++i;
  if (ObjectReferenceAt(dictionary, i)) return kUnknownLength;
  uint64_t length = 0;
  size_t digits = 0;
  for (; i < dictionary.size() && IsDigit(dictionary.U8At(i)) && digits < 12; ++i, ++digits)
    length = length * 10 + (dictionary.U8At(i) - '0');
  return digits != 0 ? length : kUnknownLength;
}

// Where the search over the file's pieces stands.
struct PdfScan {
  bool inStream = false;
  uint64_t lastSyntax = 0;          // offset of the last object, section or end mark seen
  uint64_t lastEnd = 0;             // end of the last end mark that ends the file
  uint64_t looseEnd = 0;            // end of an end mark whose trailer does not hold
  uint64_t resumeAt = 0;            // keywords before this offset are already handled
  uint64_t streamEnd = UINT64_MAX;  // where the current stream's stated length ends
  uint32_t marks = 0;
};

enum class Verdict { kGoOn, kEnds };

// Handles the end mark at `mark`; kEnds when it ends the file.
Verdict OnEndMark(FileCursor& cursor, PdfScan& scan, uint64_t mark) {
  const uint64_t end = EndAfterMark(cursor, mark);
  const bool holds = StartXrefHolds(cursor, mark);
  const bool goesOn = SectionStarts(cursor.ViewUpTo(end, kSectionPadding));
  if (!holds) {
    // A damaged trailer, or a mark in a comment: it ends the file only when
    // nothing better turns up.
    if (!goesOn && scan.looseEnd == 0) scan.looseEnd = end;
    return Verdict::kGoOn;
  }
  scan.lastEnd = end;
  scan.resumeAt = end;
  return goesOn ? Verdict::kGoOn : Verdict::kEnds;
}

uint64_t PdfLength(ByteView first, CarvingState& state) {
  FileCursor cursor(state, first, kPdfCap);
  if (!HeaderHolds(cursor)) return kNotAFile;
  const uint64_t sectorSize = cursor.SectorSize();
  const uint64_t step = FileCursor::kMaxView - 2 * sectorSize;
  constexpr std::string_view kWords[] = {"stream"sv, "%%EOF"sv, "obj"sv, "xref"sv};
  PdfScan scan;
  uint64_t nextSector = sectorSize;  // the first sector is the header's own
  bool stop = false;
  // Each piece is searched for the events in [lo, hi), in order: keywords
  // and sector starts. A piece begins a sector before lo, so that a keyword's
  // left context is at hand, and reaches past hi by at least a sector.
  for (uint64_t lo = 0; lo < kPdfCap && !stop && !cursor.Stopped(); lo += step) {
    const uint64_t base = lo > sectorSize ? lo - sectorSize : 0;
    ByteView v = cursor.ViewUpTo(base, FileCursor::kMaxView);
    if (v.size() == 0) break;
    const bool lastPiece = v.size() < FileCursor::kMaxView;
    const uint64_t hi = lastPiece ? base + v.size() : lo + step;
    const size_t searchEnd = static_cast<size_t>(std::min<uint64_t>(v.size(), hi - base + 16));
    size_t hits[std::size(kWords)];
    for (size_t& h : hits) h = 0;
    bool fresh[std::size(kWords)] = {};
    uint64_t keyFrom = std::max(lo, scan.resumeAt);
    while (!stop) {
      const auto rel = static_cast<size_t>(std::max(keyFrom, base) - base);
      size_t hit = ReadAhead::kNotFound;
      size_t word = 0;
      for (size_t k = 0; k < std::size(kWords); ++k) {
        if (!fresh[k] || (hits[k] != ReadAhead::kNotFound && hits[k] < rel)) {
          hits[k] = FindMark(v.Sub(0, searchEnd), kWords[k], rel);
          fresh[k] = true;
        }
        if (hits[k] != ReadAhead::kNotFound && hits[k] < hit) hit = hits[k], word = k;
      }
      const uint64_t keyPos = hit != ReadAhead::kNotFound ? base + hit : UINT64_MAX;
      if (nextSector < hi && nextSector <= keyPos) {
        // A sector start: outside streams, another file or file-system
        // metadata there ends the search, and so does a long stretch with
        // no PDF syntax.
        const uint64_t pos = nextSector;
        nextSector += sectorSize;
        const ByteView sector = v.Sub(static_cast<size_t>(pos - base), sectorSize);
        // Past a stream's stated length its end is due: the checks resume
        // even when the "endstream" is missing or misplaced.
        if (scan.inStream && pos >= scan.streamEnd) scan.inStream = false;
        if (scan.inStream) {
          // Stream bytes may look like anything, but another PDF's header
          // on a sector of its own ends this file: a medium of false PDF
          // headers is searched one sector per header.
          if (sector.Matches(0, "%PDF-")) stop = true;
          continue;
        }
        if (pos - scan.lastSyntax > kMaxGapOutsideStreams) {
          stop = true;
          break;
        }
        if (sector.size() != sectorSize) continue;
        const uint64_t saved = state.sectorUnderTest;
        state.sectorUnderTest = state.candidateSector + pos / sectorSize;
        const bool boundary = IsBoundarySector(sector, state, BoundaryKind::kAnyType);
        state.sectorUnderTest = saved;
        if (boundary) stop = true;
        continue;
      }
      if (keyPos >= hi) break;
      keyFrom = keyPos + kWords[word].size();
      if (scan.inStream && keyPos >= scan.streamEnd) scan.inStream = false;
      if (word == 0) {
        if (hit >= 3 && v.Matches(hit - 3, "end")) {
          scan.inStream = false;
          scan.lastSyntax = keyPos;
        } else if (v.U8At(hit + 6) == '\r' || v.U8At(hit + 6) == '\n') {
          scan.inStream = true;
          const uint64_t length = DirectStreamLength(v, hit);
          const uint64_t data = keyPos + 6 + (v.Matches(hit + 6, "\r\n") ? 2 : 1);
          scan.streamEnd = length != kUnknownLength ? data + length + kStreamEndSlack : UINT64_MAX;
        }
      } else if (word == 1) {
        if (scan.inStream) continue;
        if (++scan.marks > kMaxEndMarks) {
          stop = true;
          break;
        }
        scan.lastSyntax = keyPos;
        if (OnEndMark(cursor, scan, keyPos) == Verdict::kEnds) return scan.lastEnd;
        // The checks may have moved the cursor's window: view the piece again.
        v = cursor.ViewUpTo(base, FileCursor::kMaxView);
        if (v.size() < searchEnd) {
          stop = true;
          break;
        }
        keyFrom = std::max(keyFrom, scan.resumeAt);
      } else if (!scan.inStream) {
        scan.lastSyntax = keyPos;
      }
    }
    if (lastPiece) break;
  }
  if (cursor.Stopped()) return kNotAFile;
  // The data ended, or a boundary or garbage came, after the last end mark:
  // the sections before it make a usable file. Without any end mark the
  // document cannot be opened.
  if (scan.lastEnd != 0) return scan.lastEnd;
  return scan.looseEnd != 0 ? scan.looseEnd : kNotAFile;
}

}  // namespace

const FileFormat kPdfFormat{"pdf", &PdfTest, &PdfLength, CarveStep::kPastFile, 1, {{0, '%'}}};

}  // namespace velmira
