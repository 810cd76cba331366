// ZIP archives and the formats built on them: Office Open XML documents
// (docx, xlsx, pptx: "[Content_Types].xml" and a "word/", "xl/" or "ppt/"
// folder), OpenDocument files and EPUB books (a first member "mimetype"
// holding the media type), Java archives (META-INF/MANIFEST.MF) and Android
// packages (AndroidManifest.xml, classes.dex).
//
// The length rule walks the local headers (sizes from the header, its ZIP64
// field or the data descriptor behind the data) to the central directory,
// walks that to the end-of-central-directory record and ends the file after
// the record's comment; the member names met on the way tell which row
// names the file.
#include <algorithm>

#include "engines/carving/file_cursor.h"
#include "engines/carving/formats/formats.h"
#include "engines/carving/length_rules.h"
#include "platform/text.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

constexpr auto kLocalHeader = "PK\x03\x04"sv;
constexpr auto kCentralHeader = "PK\x01\x02"sv;
constexpr auto kEndOfDirectory = "PK\x05\x06"sv;
constexpr size_t kLocalNameOffset = 30;
constexpr size_t kCentralNameOffset = 46;
constexpr uint32_t kSectorsExamined = 20;
constexpr uint32_t kSectorsPerGroup = 4;

bool NameStarts(ByteView bytes, size_t at, std::string_view prefix) {
  if (!bytes.Has(at, prefix.size())) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (AsciiLower(static_cast<char>(bytes.U8At(at + i))) != prefix[i]) return false;
  return true;
}

uint32_t Decide(ByteView bytes, size_t name) {
  if (NameStarts(bytes, name, "word")) return kTypeOoxmlWord;
  if (NameStarts(bytes, name, "ppt")) return kTypeOoxmlPowerPoint;
  if (NameStarts(bytes, name, "xl")) return kTypeOoxmlExcel;
  return kNoType;
}

uint32_t OoxmlTest(ByteView s, CarvingState& state) {
  if (s.size() < 31) return kNoType;
  if (!s.Matches(0, kLocalHeader) && !s.Matches(31, "[Content_Types].xml")) return kNoType;

  // The first sectors of the archive are read four at a time; a header whose
  // name is not read yet waits for the next group.
  const uint32_t sectorSize = SectorBytes(state);
  uint8_t* buffer = state.TestBuffer(size_t{kSectorsExamined} * sectorSize);
  size_t filled = 0;
  size_t scan = 0;
  bool pastLocalHeaders = false;
  for (uint32_t group = 0; group < kSectorsExamined / kSectorsPerGroup; ++group) {
    uint32_t got = 0;
    const int32_t rc =
        state.Read(state.sectorUnderTest + group * kSectorsPerGroup, kSectorsPerGroup, buffer + filled, got);
    filled += size_t{got} * sectorSize;
    const bool last = rc != 0 || got < kSectorsPerGroup || group + 1 == kSectorsExamined / kSectorsPerGroup;
    const ByteView bytes(buffer, filled);
    for (; scan + 4 <= filled; ++scan) {
      size_t name = 0;
      if (bytes.Matches(scan, kEndOfDirectory)) {
        pastLocalHeaders = true;
        continue;
      }
      if (!pastLocalHeaders && bytes.Matches(scan, kLocalHeader)) {
        name = scan + kLocalNameOffset;
      } else if (bytes.Matches(scan, kCentralHeader)) {
        name = scan + kCentralNameOffset;
      } else {
        continue;
      }
      if (!last && name + 4 > filled) break;
      const uint32_t code = Decide(bytes, name);
      if (code != kNoType) return code;
    }
    if (last) break;
  }
  return kNoType;
}

constexpr uint32_t kLocalSig = 0x04034B50;
constexpr uint32_t kCentralSig = 0x02014B50;
constexpr uint32_t kEndSig = 0x06054B50;
constexpr uint32_t kZip64EndSig = 0x06064B50;
constexpr uint32_t kZip64LocatorSig = 0x07064B50;
constexpr uint32_t kDescriptorSig = 0x08074B50;
constexpr uint32_t kExtraDataSig = 0x08064B50;
constexpr uint32_t kDigitalSignatureSig = 0x05054B50;
constexpr uint32_t kNoSize = 0xFFFFFFFF;
constexpr uint16_t kFlagDescriptor = 0x0008;
constexpr uint64_t kZipCap = 16 * kGiB;
constexpr uint32_t kMaxMembers = 1u << 20;
constexpr uint32_t kMaxDescriptorCandidates = 1u << 20;
constexpr auto kApkSigningMagic = "APK Sig Block 42"sv;

// Stored, shrunk, reduced, imploded, deflated, deflate64, bzip2, LZMA,
// zstd, xz, JPEG, WavPack, PPMd and AES-encrypted members.
bool KnownMethod(uint16_t method) {
  return method <= 9 || method == 12 || method == 14 || method == 93 || (method >= 95 && method <= 99);
}

bool LocalHeaderHolds(ByteView s) {
  return s.Matches(0, kLocalHeader) && KnownMethod(s.U16At(8)) && s.U16At(26) != 0;
}

// An archive with no members is its end record alone: no disk numbers, no
// entries, an empty directory at offset 0.
bool IsEmptyArchive(ByteView s) {
  if (!s.Matches(0, kEndOfDirectory)) return false;
  for (size_t at = 4; at < 20; at += 4)
    if (s.U32At(at) != 0) return false;
  return true;
}

uint32_t ZipTest(ByteView s, CarvingState&) {
  return s.size() >= 48 && (LocalHeaderHolds(s) || IsEmptyArchive(s)) ? kTypeZip : kNoType;
}

// The type an OpenDocument file or EPUB book declares in its "mimetype"
// member, or kNoType.
uint32_t MimetypeCode(ByteView text) {
  constexpr std::string_view kOpenDocument = "application/vnd.oasis.opendocument.";
  auto is = [&](std::string_view kind) {
    if (!text.Matches(0, kOpenDocument) || !text.Matches(kOpenDocument.size(), kind)) return false;
    const size_t end = kOpenDocument.size() + kind.size();
    return text.size() == end || (text.size() == end + 9 && text.Matches(end, "-template"));
  };
  if (is("text")) return kTypeOdt;
  if (is("spreadsheet")) return kTypeOds;
  if (is("presentation")) return kTypeOdp;
  constexpr std::string_view kEpub = "application/epub+zip";
  if (text.size() == kEpub.size() && text.Matches(0, kEpub)) return kTypeEpub;
  return kNoType;
}

// The media type of a stored first member named "mimetype" in `s` (an
// archive's first bytes), or kNoType.
uint32_t FirstMemberMimetype(ByteView s) {
  if (!LocalHeaderHolds(s) || s.U16At(8) != 0 || s.U16At(26) != 8 || !s.Matches(30, "mimetype"))
    return kNoType;
  const size_t data = 30 + 8 + size_t{s.U16At(28)};
  const uint32_t size = s.U32At(18);
  if (size > 128 || !s.Has(data, size)) return kNoType;
  return MimetypeCode(s.Sub(data, size));
}

uint32_t OpenDocumentTest(ByteView s, CarvingState&) {
  return s.size() >= 48 ? FirstMemberMimetype(s) : kNoType;
}

uint32_t JarTest(ByteView s, CarvingState&) {
  return s.size() >= 48 && LocalHeaderHolds(s) ? kTypeJar : kNoType;
}

uint32_t ApkTest(ByteView s, CarvingState&) {
  return s.size() >= 48 && LocalHeaderHolds(s) ? kTypeApk : kNoType;
}

// What the member names of an archive tell.
class ZipKind {
 public:
  void Member(ByteView name) {
    auto is = [&](std::string_view text) { return name.size() == text.size() && name.Matches(0, text); };
    if (is("[Content_Types].xml")) m_contentTypes = true;
    if (name.Matches(0, "word/")) m_word = true;
    if (name.Matches(0, "xl/")) m_excel = true;
    if (name.Matches(0, "ppt/")) m_powerPoint = true;
    if (is("META-INF/MANIFEST.MF")) m_manifest = true;
    if (is("AndroidManifest.xml") || is("classes.dex")) m_android = true;
  }
  void Mimetype(uint32_t code) { m_mimetype = code; }

  [[nodiscard]] uint32_t Code() const {
    if (m_mimetype != kNoType) return m_mimetype;
    if (m_contentTypes) {
      if (m_word) return kTypeOoxmlWord;
      if (m_excel) return kTypeOoxmlExcel;
      if (m_powerPoint) return kTypeOoxmlPowerPoint;
      return kTypeOoxmlOther;
    }
    if (m_android) return kTypeApk;
    if (m_manifest) return kTypeJar;
    return kTypeZip;
  }

 private:
  uint32_t m_mimetype = kNoType;
  bool m_contentTypes = false;
  bool m_word = false;
  bool m_excel = false;
  bool m_powerPoint = false;
  bool m_manifest = false;
  bool m_android = false;
};

constexpr uint64_t kBroken = UINT64_MAX;

bool StartsRecord(FileCursor& cursor, uint64_t at) {
  const uint32_t sig = cursor.U32(at);
  return sig == kLocalSig || sig == kCentralSig || sig == kExtraDataSig;
}

// The offset after a data descriptor at `at` for data of `compressed`
// bytes, or kBroken. The descriptor has a signature or not, and 64-bit sizes
// for ZIP64 members; the form is taken whose sizes agree and after which
// the next record starts, else the first whose sizes agree.
uint64_t AfterDescriptor(FileCursor& cursor, uint64_t at, uint64_t compressed, bool zip64) {
  uint64_t forms[4];
  size_t count = 0;
  const bool signature = cursor.U32(at) == kDescriptorSig;
  const uint64_t sizes = at + (signature ? 8 : 4);
  const bool narrow = cursor.U32(sizes) == (compressed & 0xFFFFFFFF) && compressed <= 0xFFFFFFFF;
  const bool wide = cursor.U64(sizes) == compressed;
  const uint64_t head = signature ? 16 : 12;
  if (zip64 && wide) forms[count++] = at + head + 8;
  if (narrow) forms[count++] = at + head;
  if (!zip64 && wide) forms[count++] = at + head + 8;
  for (size_t i = 0; i < count; ++i)
    if (StartsRecord(cursor, forms[i])) return forms[i];
  return count != 0 ? forms[0] : kBroken;
}

// The offset after the data descriptor of a member whose data starts at
// `data` and whose sizes were not known when its header was written: the
// descriptor is the first whose compressed size equals the distance from
// the data to it, found by the signature it starts with or the record after
// it (the first record signature after the data must follow it).
uint64_t AfterUnknownSizeDescriptor(FileCursor& cursor, uint64_t data, bool zip64) {
  uint32_t candidates = 0;
  for (uint64_t q = cursor.Find("PK", data); q != FileCursor::kNotFound; q = cursor.Find("PK", q + 1)) {
    if (++candidates > kMaxDescriptorCandidates || cursor.Stopped()) return kBroken;
    const uint32_t sig = cursor.U32(q);
    if (sig == kDescriptorSig) {
      const uint64_t after = AfterDescriptor(cursor, q, q - data, zip64);
      if (after != kBroken) return after;
    } else if (sig == kLocalSig || sig == kCentralSig) {
      for (uint64_t size : {uint64_t{12}, uint64_t{20}}) {
        if (q >= data + size && AfterDescriptor(cursor, q - size, q - size - data, zip64) == q) return q;
      }
      // The next record without a descriptor in front: compressed data
      // holds such a signature once in 4 GiB, a medium of false headers at
      // every sector; the search ends here either way.
      return kBroken;
    }
  }
  return kBroken;
}

// The 64-bit compressed size of a ZIP64 member from its extra field (the
// uncompressed size comes first when its header field is saturated too).
uint64_t Zip64CompressedSize(ByteView extra, bool uncompressedSaturated) {
  for (size_t at = 0; at + 4 <= extra.size();) {
    const uint16_t id = extra.U16At(at);
    const uint16_t size = extra.U16At(at + 2);
    if (id == 0x0001) {
      const size_t field = at + 4 + (uncompressedSaturated ? 8 : 0);
      return field + 8 <= at + 4 + size ? extra.U64At(field) : kBroken;
    }
    at += 4 + size_t{size};
  }
  return kBroken;
}

// An Android signing block between the members and the central directory:
// its size (without the first size field) fore and aft and its magic.
uint64_t AfterApkSigningBlock(FileCursor& cursor, uint64_t at) {
  const uint64_t size = cursor.U64(at);
  if (size < 24 || size > kZipCap) return kBroken;
  if (!cursor.Matches(at + 8 + size - 16, kApkSigningMagic) || cursor.U64(at + 8 + size - 24) != size)
    return kBroken;
  return at + 8 + size;
}

// Walks the archive; the end of its end-of-central-directory record's
// comment, or kBroken when the structure does not hold up to there.
uint64_t WalkArchive(FileCursor& cursor, ZipKind& kind) {
  uint64_t at = 0;
  uint32_t members = 0;
  // The members' local headers and data.
  while (cursor.U32(at) == kLocalSig) {
    if (++members > kMaxMembers || cursor.Stopped()) return kBroken;
    const ByteView h = cursor.View(at, 30);
    if (h.size() != 30 || !KnownMethod(h.U16At(8))) return kBroken;
    const uint16_t flags = h.U16At(6);
    const uint16_t method = h.U16At(8);
    uint64_t compressed = h.U32At(18);
    const bool uncompressedSaturated = h.U32At(22) == kNoSize;
    const size_t nameBytes = h.U16At(26);
    const size_t extraBytes = h.U16At(28);
    const ByteView name = cursor.View(at + 30, nameBytes);
    if (name.size() != nameBytes) return kBroken;
    kind.Member(name);
    const bool mimetype = members == 1 && method == 0 && name.size() == 8 && name.Matches(0, "mimetype");
    if (compressed == kNoSize || uncompressedSaturated) {
      const ByteView extra = cursor.View(at + 30 + nameBytes, extraBytes);
      const uint64_t wide = Zip64CompressedSize(extra, uncompressedSaturated);
      if (compressed == kNoSize) {
        if (wide == kBroken) return kBroken;
        compressed = wide;
      }
    }
    const uint64_t data = at + 30 + nameBytes + extraBytes;
    if (mimetype && compressed <= 128) kind.Mimetype(MimetypeCode(cursor.View(data, compressed)));
    const bool zip64 = compressed > 0xFFFFFFFF || h.U32At(18) == kNoSize || uncompressedSaturated;
    if ((flags & kFlagDescriptor) == 0) {
      at = data + compressed;
    } else if (compressed != 0) {
      at = AfterDescriptor(cursor, data + compressed, compressed, zip64);
    } else {
      at = AfterUnknownSizeDescriptor(cursor, data, zip64);
    }
    if (at == kBroken || at >= cursor.Cap()) return kBroken;
  }
  if (members == 0) return kBroken;
  if (cursor.U32(at) == kExtraDataSig) at += 8 + uint64_t{cursor.U32(at + 4)};
  if (cursor.U32(at) != kCentralSig) at = AfterApkSigningBlock(cursor, at);
  if (at == kBroken) return kBroken;

  // The central directory.
  const uint64_t directoryStart = at;
  uint64_t entries = 0;
  while (cursor.U32(at) == kCentralSig) {
    if (++entries > kMaxMembers || cursor.Stopped()) return kBroken;
    const ByteView h = cursor.View(at, 46);
    if (h.size() != 46) return kBroken;
    const size_t nameBytes = h.U16At(28);
    const ByteView name = cursor.View(at + 46, nameBytes);
    if (name.size() != nameBytes) return kBroken;
    kind.Member(name);
    at += 46 + nameBytes + h.U16At(30) + h.U16At(32);
  }
  if (entries == 0) return kBroken;
  const uint64_t directoryBytes = at - directoryStart;
  if (cursor.U32(at) == kDigitalSignatureSig) at += 6 + uint64_t{cursor.U16(at + 4)};
  if (cursor.U32(at) == kZip64EndSig) {
    const uint64_t size = cursor.U64(at + 4);
    if (size < 44 || size > kMiB) return kBroken;
    at += 12 + size;
  }
  if (cursor.U32(at) == kZip64LocatorSig) at += 20;

  // The end record: its counts and sizes agree with the directory walked,
  // unless they are saturated for ZIP64.
  const ByteView end = cursor.View(at, 22);
  if (end.size() != 22 || end.U32At(0) != kEndSig) return kBroken;
  const uint16_t total = end.U16At(10);
  const uint32_t size = end.U32At(12);
  const uint32_t offset = end.U32At(16);
  if (total != 0xFFFF && total != (entries & 0xFFFF)) return kBroken;
  if (size != kNoSize && size != directoryBytes) return kBroken;
  if (offset != kNoSize && offset != (directoryStart & 0xFFFFFFFF)) return kBroken;
  return at + 22 + end.U16At(20);
}

// A member truncated or overwritten, or a central directory that is not
// there, leaves no archive that opens: such a candidate is no file.
uint64_t ZipLength(ByteView first, CarvingState& state) {
  FileCursor cursor(state, first, kZipCap);
  if (IsEmptyArchive(first)) {
    const uint64_t end = 22 + uint64_t{first.U16At(20)};
    return end <= cursor.DataEnd() ? end : kNotAFile;
  }
  ZipKind kind;
  const uint64_t end = WalkArchive(cursor, kind);
  if (end == kBroken || cursor.Stopped()) return kNotAFile;
  state.namingCode = kind.Code();
  return end;
}

}  // namespace

const FileFormat kOoxmlFormat{"ooxml", &OoxmlTest,           &ZipLength, CarveStep::kPastFile,
                              2,       {{0, 'P'}, {31, '['}}};
const FileFormat kZipFormat{"zip", &ZipTest, &ZipLength, CarveStep::kPastFile, 1, {{0, 'P'}}};
const FileFormat kOpenDocumentFormat{"opendocument", &OpenDocumentTest, &ZipLength, CarveStep::kPastFile, 1,
                                     {{0, 'P'}}};
const FileFormat kJarFormat{"jar", &JarTest, &ZipLength, CarveStep::kPastFile, 1, {{0, 'P'}}};
const FileFormat kApkFormat{"apk", &ApkTest, &ZipLength, CarveStep::kPastFile, 1, {{0, 'P'}}};

}  // namespace velmira
