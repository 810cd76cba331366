// ISO base media files: everything that opens with a file-type box (MP4,
// M4A, 3GP, QuickTime, HEIC/HEIF, AVIF, Canon CR3) and QuickTime movies that
// open with a movie, media-data or padding atom. The file is the run of
// top-level boxes from its first byte: each box leads with its 32-bit
// big-endian size (1: a 64-bit size follows the type) and its four-letter
// type, so the walk jumps from box to box and ends at the last valid one.
#include <algorithm>
#include <array>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"

namespace velmira {
namespace {

constexpr uint64_t kIsoCap = 64 * kGiB;
// More top-level boxes than any real file holds (a fragmented recording of a
// day in one-second fragments has fewer).
constexpr uint32_t kMaxBoxes = 1'000'000;
constexpr uint32_t kMaxFileTypeBox = 4096;

// The boxes that stand at the top level of real files. Any other type ends
// the walk: it is what follows the file.
constexpr std::array<std::string_view, 19> kTopLevelTypes = {
    "ftyp", "moov", "mdat", "free", "skip", "wide", "uuid", "moof", "mfra", "meta",
    "pdin", "styp", "sidx", "ssix", "prft", "emsg", "pnot", "junk", "udta"};

bool IsTopLevelType(ByteView type) {
  return std::any_of(kTopLevelTypes.begin(), kTopLevelTypes.end(),
                     [&](std::string_view t) { return type.Matches(0, t); });
}

bool IsBrandByte(uint8_t c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == ' ' || c == '_' ||
         c == '.' || c == '-';
}

bool IsBrand(ByteView s, size_t at) {
  for (size_t k = 0; k < 4; ++k)
    if (!IsBrandByte(s.U8At(at + k))) return false;
  return IsBrandByte(s.U8At(at)) && s.U8At(at) != ' ';
}

bool BrandIn(ByteView s, size_t at, std::initializer_list<std::string_view> brands) {
  return std::any_of(brands.begin(), brands.end(), [&](std::string_view b) { return s.Matches(at, b); });
}

// The type a file-type box names by its major brand; an image container
// whose major brand is the generic one is named by its compatible brands.
uint32_t CodeOfBrands(ByteView s, uint32_t boxSize) {
  if (s.Matches(8, "qt  ")) return kTypeMov;
  if (s.Matches(8, "3gp") || s.Matches(8, "3g2")) return kType3gp;
  if (BrandIn(s, 8, {"M4A ", "M4B ", "M4P "})) return kTypeM4a;
  if (s.Matches(8, "crx ")) return kTypeCr3;
  if (BrandIn(s, 8, {"avif", "avis"})) return kTypeAvif;
  if (BrandIn(s, 8, {"heic", "heix", "hevc", "heim", "heis", "hevx"})) return kTypeHeic;
  if (BrandIn(s, 8, {"mif1", "msf1"})) {
    for (size_t at = 16; at + 4 <= boxSize && at + 4 <= s.size(); at += 4)
      if (BrandIn(s, at, {"avif", "avis"})) return kTypeAvif;
    return kTypeHeic;
  }
  return kTypeMp4;
}

uint32_t FileTypeTest(ByteView s, CarvingState&) {
  if (s.size() < 32 || !s.Matches(4, "ftyp")) return kNoType;
  const uint32_t size = s.U32BeAt(0);
  if (size < 16 || size > kMaxFileTypeBox || size % 4 != 0 || !IsBrand(s, 8)) return kNoType;
  return CodeOfBrands(s, size);
}

// A box header inside the sector: its size fits the box and its type is a
// known top-level one.
bool BoxHeaderAt(ByteView s, size_t at) {
  if (!s.Has(at, 8)) return false;
  const uint32_t size = s.U32BeAt(at);
  return (size >= 8 || size == 1) && IsTopLevelType(s.Sub(at + 4, 4));
}

// A QuickTime movie without a file-type box. The movie atom must hold a
// child atom; padding atoms at the start must be followed by another box
// in the sector; a movie that starts with its media data is confirmed by
// its length rule.
uint32_t QuickTimeTest(ByteView s, CarvingState& state) {
  if (s.size() < 16) return kNoType;
  if (s.Matches(4, "ftyp")) return FileTypeTest(s, state) == kTypeMov ? kTypeMov : kNoType;
  const uint32_t size = s.U32BeAt(0);
  if (s.Matches(4, "moov")) {
    const uint32_t child = s.U32BeAt(8);
    if (size < 16 || child < 8 || child > size - 8) return kNoType;
    return BrandIn(s, 12, {"mvhd", "cmov", "rmra", "prfl", "udta", "trak", "meta"}) ? kTypeMov : kNoType;
  }
  if (s.Matches(4, "mdat")) return size >= 16 || size == 1 ? kTypeMov : kNoType;
  if (s.Matches(4, "wide") || s.Matches(4, "free") || s.Matches(4, "skip")) {
    if (size < 8 || size > s.size() - 8) return kNoType;
    if (!BoxHeaderAt(s, size)) return kNoType;
    return s.Matches(size + 4, "ftyp") ? kNoType : kTypeMov;
  }
  return kNoType;
}

struct Box {
  uint64_t size = 0;
  std::array<char, 4> type{};
  bool valid = false;
  [[nodiscard]] bool Is(std::string_view t) const { return std::string_view(type.data(), 4) == t; }
};

// The box at `at`; invalid when its header cannot be read, its type is not
// a top-level one or its size is impossible.
Box ReadBox(FileCursor& cursor, uint64_t at) {
  const ByteView h = cursor.ViewUpTo(at, 16);
  if (h.size() < 8) return {};
  if (!IsTopLevelType(h.Sub(4, 4))) return {};
  uint64_t size = h.U32BeAt(0);
  if (size == 1) {
    if (h.size() < 16) return {};
    size = h.U32BeAt(8);
    size = (size << 32) | h.U32BeAt(12);
    if (size < 16) return {};
  } else if (size != 0 && size < 8) {
    return {};
  }
  Box box{size, {}, true};
  for (size_t k = 0; k < 4; ++k) box.type[k] = static_cast<char>(h.U8At(4 + k));
  return box;
}

// Walks the top-level boxes. The file counts when it holds a movie, a
// movie fragment or (HEIF) a meta box; it ends after the last valid box,
// before a second file-type box that starts a sector or follows the
// movie, and, once it holds its movie and media data, before a box that
// starts a sector where another file starts. A box that runs past the data
// ends the walk: the boxes before it are kept when they make a file (a
// movie whose media data was cut off gives nothing).
uint64_t IsoMediaLength(ByteView s, CarvingState& state) {
  FileCursor cursor(state, s, kIsoCap);
  const uint64_t dataEnd = cursor.DataEnd();
  const uint32_t sectorSize = cursor.SectorSize();
  bool movie = false;
  bool mediaData = false;
  bool described = false;  // a movie, a fragment or a meta box
  uint64_t at = 0;
  for (uint32_t n = 0; n < kMaxBoxes; ++n) {
    if (cursor.Stopped()) return kNotAFile;
    const Box box = ReadBox(cursor, at);
    if (!box.valid) break;
    // Another file-type box starts the next file when it starts a sector
    // or follows a whole movie (some servers repeat it inside a file).
    if (at != 0 && box.Is("ftyp") && (described || at % sectorSize == 0)) break;
    if (movie && box.Is("moov")) break;
    if (movie && mediaData && at % sectorSize == 0 && cursor.IsBoundaryAt(at)) break;
    uint64_t size = box.size;
    if (size == 0) {
      // Media data "to the end of the file": sound only after the movie
      // that describes it; the end is the next boundary.
      if (!(movie && box.Is("mdat"))) break;
      at = cursor.NextBoundary(at + 8);
      mediaData = true;
      break;
    }
    if (size > dataEnd || at > dataEnd - size) break;
    if (box.Is("moov")) movie = true;
    if (box.Is("mdat")) mediaData = true;
    if (box.Is("moov") || box.Is("moof") || box.Is("meta")) described = true;
    at += size;
  }
  if (cursor.Stopped() || !described || at == 0) return kNotAFile;
  return at;
}

}  // namespace

const FileFormat kMp4Format{"mp4", &FileTypeTest, &IsoMediaLength, CarveStep::kPastFile, 1, {{4, 'f'}}};
const FileFormat k3gpFormat{"3gp", &FileTypeTest, &IsoMediaLength, CarveStep::kPastFile, 1, {{4, 'f'}}};
const FileFormat kMovFormat{
    "mov", &QuickTimeTest, &IsoMediaLength, CarveStep::kPastFile, 3, {{4, 'm'}, {7, 'e'}, {4, 's'}}};

}  // namespace velmira
