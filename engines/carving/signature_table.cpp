#include "engines/carving/signature_table.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <vector>

#include "engines/carving/formats/formats.h"
#include "engines/carving/read_ahead.h"
#include "engines/fat/fat_directory.h"
#include "platform/text.h"

namespace velmira {
namespace {

using namespace std::string_view_literals;

// Rows are tried in this order; the first row of a code names carved files
// unless the length rule names the file by what it found inside (see
// CarvingState::namingCode). Compound documents and ZIP archives are
// detected by their first rows (the compound and zip tests accept every such
// file); the rows after them serve the content check and name carved files.
constexpr SignatureRow kRows[] = {
    {"mpeg", kTypeMpeg, &kMpegFormat, FileCategory::kVideo},
    {"mpg", kTypeMpeg, &kMpegFormat, FileCategory::kVideo},
    {"vob", kTypeMpeg, &kMpegFormat, FileCategory::kVideo},
    {"mp4", kTypeMp4, &kMp4Format, FileCategory::kVideo},
    {"m4a", kTypeM4a, &kMp4Format, FileCategory::kAudio},
    {"heic", kTypeHeic, &kMp4Format, FileCategory::kPhoto},
    {"avif", kTypeAvif, &kMp4Format, FileCategory::kPhoto},
    {"cr3", kTypeCr3, &kMp4Format, FileCategory::kPhoto},
    {"rmvb", kTypeRm, &kRmFormat, FileCategory::kVideo},
    {"rm", kTypeRm, &kRmFormat, FileCategory::kAudio},
    {"wmv", kTypeAsf, &kAsfFormat, FileCategory::kVideo},
    {"asf", kTypeAsf, &kAsfFormat, FileCategory::kVideo},
    {"wma", kTypeAsf, &kAsfFormat, FileCategory::kAudio},
    {"swf", kTypeSwf, &kSwfFormat, FileCategory::kVideo},
    {"avi", kTypeAvi, &kAviFormat, FileCategory::kVideo},
    {"flv", kTypeFlv, &kFlvFormat, FileCategory::kVideo},
    {"3gp", kType3gp, &k3gpFormat, FileCategory::kVideo},
    {"mkv", kTypeMkv, &kMkvFormat, FileCategory::kVideo},
    {"webm", kTypeWebm, &kMkvFormat, FileCategory::kVideo},
    {"ts", kTypeTs, &kTsFormat, FileCategory::kVideo},
    {"mts", kTypeMts, &kMtsFormat, FileCategory::kVideo},
    {"mxf", kTypeMxf, &kMxfFormat, FileCategory::kVideo},
    {"mp3", kTypeMp3, &kMp3Format, FileCategory::kAudio},
    {"mid", kTypeMidi, &kMidiFormat, FileCategory::kAudio},
    {"ape", kTypeApe, &kApeFormat, FileCategory::kAudio},
    {"wav", kTypeWav, &kWavFormat, FileCategory::kAudio},
    {"webp", kTypeWebp, &kWebpFormat, FileCategory::kPhoto},
    {"mov", kTypeMov, &kMovFormat, FileCategory::kVideo},
    {"mp2", kTypeMp2, &kMp2Format, FileCategory::kAudio},
    {"aac", kTypeAac, &kAacFormat, FileCategory::kAudio},
    {"mmf", kTypeMmf, &kMmfFormat, FileCategory::kAudio},
    {"flac", kTypeFlac, &kFlacFormat, FileCategory::kAudio},
    {"opus", kTypeOpus, &kOpusFormat, FileCategory::kAudio},
    {"ogg", kTypeOgg, &kOggFormat, FileCategory::kAudio},
    {"gif", kTypeGif, &kGifFormat, FileCategory::kPhoto},
    {"bmp", kTypeBmp, &kBmpFormat, FileCategory::kPhoto},
    {"dib", kTypeBmp, &kBmpFormat, FileCategory::kPhoto},
    {"jpg", kTypeJpeg, &kJpegFormat, FileCategory::kPhoto},
    {"jpeg", kTypeJpeg, &kJpegFormat, FileCategory::kPhoto},
    {"jpe", kTypeJpeg, &kJpegFormat, FileCategory::kPhoto},
    {"jfif", kTypeJpeg, &kJpegFormat, FileCategory::kPhoto},
    {"png", kTypePng, &kPngFormat, FileCategory::kPhoto},
    {"psd", kTypePsd, &kPsdFormat, FileCategory::kPhoto},
    {"tif", kTypeTiff, &kTiffFormat, FileCategory::kPhoto},
    {"tiff", kTypeTiff, &kTiffFormat, FileCategory::kPhoto},
    {"cr2", kTypeCr2, &kTiffFormat, FileCategory::kPhoto},
    {"nef", kTypeNef, &kTiffFormat, FileCategory::kPhoto},
    {"arw", kTypeArw, &kTiffFormat, FileCategory::kPhoto},
    {"dng", kTypeDng, &kTiffFormat, FileCategory::kPhoto},
    {"orf", kTypeOrf, &kTiffFormat, FileCategory::kPhoto},
    {"rw2", kTypeRw2, &kTiffFormat, FileCategory::kPhoto},
    {"raf", kTypeRaf, &kRafFormat, FileCategory::kPhoto},
    {"ico", kTypeIco, &kIcoFormat, FileCategory::kPhoto},
    {"doc", kTypeDoc, &kCompoundFormat, FileCategory::kDocument},
    {"dot", kTypeDoc, &kCompoundFormat, FileCategory::kDocument},
    {"wps", kTypeDoc, &kCompoundFormat, FileCategory::kDocument},
    {"wpt", kTypeDoc, &kCompoundFormat, FileCategory::kDocument},
    {"xls", kTypeXls, &kCompoundFormat, FileCategory::kDocument},
    {"xlt", kTypeXls, &kCompoundFormat, FileCategory::kDocument},
    {"xla", kTypeXls, &kCompoundFormat, FileCategory::kDocument},
    {"et", kTypeXls, &kCompoundFormat, FileCategory::kDocument},
    {"ett", kTypeXls, &kCompoundFormat, FileCategory::kDocument},
    {"ppt", kTypePpt, &kCompoundFormat, FileCategory::kDocument},
    {"pot", kTypePpt, &kCompoundFormat, FileCategory::kDocument},
    {"pps", kTypePpt, &kCompoundFormat, FileCategory::kDocument},
    {"dps", kTypePpt, &kCompoundFormat, FileCategory::kDocument},
    {"dpt", kTypePpt, &kCompoundFormat, FileCategory::kDocument},
    {"ole", kTypeCompound, &kCompoundFormat, FileCategory::kDocument},
    {"msg", kTypeMsg, &kMsgFormat, FileCategory::kDocument},
    {"fla", kTypeFla, &kFlaFormat, FileCategory::kVideo},
    {"xlw", kTypeXlsBiff, &kBiffFormat, FileCategory::kDocument},
    {"zip", kTypeZip, &kZipFormat, FileCategory::kArchive},
    {"docx", kTypeOoxmlWord, &kOoxmlFormat, FileCategory::kDocument},
    {"docm", kTypeOoxmlWord, &kOoxmlFormat, FileCategory::kDocument},
    {"dotm", kTypeOoxmlWord, &kOoxmlFormat, FileCategory::kDocument},
    {"dotx", kTypeOoxmlWord, &kOoxmlFormat, FileCategory::kDocument},
    {"xlsx", kTypeOoxmlExcel, &kOoxmlFormat, FileCategory::kDocument},
    {"xlsb", kTypeOoxmlExcel, &kOoxmlFormat, FileCategory::kDocument},
    {"xlsm", kTypeOoxmlExcel, &kOoxmlFormat, FileCategory::kDocument},
    {"xlam", kTypeOoxmlExcel, &kOoxmlFormat, FileCategory::kDocument},
    {"xltx", kTypeOoxmlExcel, &kOoxmlFormat, FileCategory::kDocument},
    {"xltm", kTypeOoxmlExcel, &kOoxmlFormat, FileCategory::kDocument},
    {"pptx", kTypeOoxmlPowerPoint, &kOoxmlFormat, FileCategory::kDocument},
    {"pptm", kTypeOoxmlPowerPoint, &kOoxmlFormat, FileCategory::kDocument},
    {"potx", kTypeOoxmlPowerPoint, &kOoxmlFormat, FileCategory::kDocument},
    {"potm", kTypeOoxmlPowerPoint, &kOoxmlFormat, FileCategory::kDocument},
    {"ppsx", kTypeOoxmlPowerPoint, &kOoxmlFormat, FileCategory::kDocument},
    {"ppsm", kTypeOoxmlPowerPoint, &kOoxmlFormat, FileCategory::kDocument},
    {"mso07", kTypeOoxmlOther, &kOoxmlFormat, FileCategory::kDocument},
    {"odt", kTypeOdt, &kOpenDocumentFormat, FileCategory::kDocument},
    {"ods", kTypeOds, &kOpenDocumentFormat, FileCategory::kDocument},
    {"odp", kTypeOdp, &kOpenDocumentFormat, FileCategory::kDocument},
    {"epub", kTypeEpub, &kOpenDocumentFormat, FileCategory::kDocument},
    {"jar", kTypeJar, &kJarFormat, FileCategory::kArchive},
    {"apk", kTypeApk, &kApkFormat, FileCategory::kArchive},
    {"pdf", kTypePdf, &kPdfFormat, FileCategory::kDocument},
    {"gz", kTypeGzip, &kGzipFormat, FileCategory::kArchive},
    {"gzip", kTypeGzip, &kGzipFormat, FileCategory::kArchive},
    {"7z", kType7z, &k7zFormat, FileCategory::kArchive},
    {"rar", kTypeRar, &kRarFormat, FileCategory::kArchive},
    {"cab", kTypeCab, &kCabFormat, FileCategory::kArchive},
    {"bz2", kTypeBzip2, &kBzip2Format, FileCategory::kArchive},
    {"xz", kTypeXz, &kXzFormat, FileCategory::kArchive},
    {"tar", kTypeTar, &kTarFormat, FileCategory::kArchive},
    {"exe", kTypeExe, &kExeFormat, FileCategory::kOthers},
    {"dll", kTypeDll, &kExeFormat, FileCategory::kOthers},
    {"sys", kTypeSys, &kExeFormat, FileCategory::kOthers},
    {"gho", kTypeGho, &kGhoFormat, FileCategory::kOthers},
    {"db", kTypeSqlite, &kSqliteFormat, FileCategory::kDocument},
    {"dbx", kTypeDbx, &kDbxFormat, FileCategory::kDocument},
    {"pst", kTypePst, &kPstFormat, FileCategory::kDocument},
    {"ttf", kTypeTtf, &kTtfFormat, FileCategory::kOthers},
};

// The dispatch keeps one slot per distinct header test, at most one per
// row, so its masks are as wide as the table has rows. (Counting the distinct
// formats instead would compare the addresses of objects defined elsewhere,
// which not every compiler takes as a constant expression.)
constexpr size_t kMaskWords = (std::size(kRows) + 63) / 64;

// Rows with the same header test as an earlier row never change the answer
// of DetectType, so the dispatch keeps one slot per distinct test. Every
// sector of a sweep passes through here: per lead-byte offset a table of
// 256 small indices names the slots that byte keys (0: none), so that a
// sector carrying no lead byte, as most of a medium's sectors, costs one
// look-up per offset and no header test.
class Dispatch {
 public:
  Dispatch() {
    m_masks.emplace_back();  // index 0: no slot
    for (size_t i = 0; i < std::size(kRows); ++i) {
      const FileFormat* format = kRows[i].format;
      const bool seen = std::any_of(m_slots.begin(), m_slots.end(),
                                    [&](size_t slot) { return kRows[slot].format->test == format->test; });
      if (seen) continue;
      const size_t slot = m_slots.size();
      m_slots.push_back(i);
      if (format->leadCount == 0) {
        m_always[slot / 64] |= uint64_t{1} << (slot % 64);
        m_anyAlways = true;
      }
      for (uint8_t k = 0; k < format->leadCount; ++k) {
        const LeadByte lead = format->leads[k];
        m_masks[MaskIndex(lead)][slot / 64] |= uint64_t{1} << (slot % 64);
      }
    }
  }

  // Whether any slot is keyed at all, without a branch per offset: false
  // when no header test can accept the sector.
  [[nodiscard]] bool MayDetect(ByteView sector) const {
    uint32_t any = m_anyAlways ? 1 : 0;
    if (sector.size() > m_lastOffset) {
      const uint8_t* bytes = sector.data();
      for (const OffsetTable& table : m_byOffset) any |= table.maskOf[bytes[table.offset]];
    } else {
      for (const OffsetTable& table : m_byOffset) any |= table.maskOf[sector.U8At(table.offset)];
    }
    return any != 0;
  }

  // MayDetect for each sector of a piece, with the offsets and tables of
  // the lead bytes held in locals for the loop.
  void Mark(const uint8_t* piece, uint32_t sectors, uint32_t bytesPerSector, uint8_t* marks,
            uint8_t bit) const {
    constexpr size_t kMostOffsets = 8;
    if (m_anyAlways || bytesPerSector <= m_lastOffset || m_byOffset.size() > kMostOffsets) {
      for (uint32_t k = 0; k < sectors; ++k)
        if (MayDetect(ByteView(piece + size_t{k} * bytesPerSector, bytesPerSector))) marks[k] |= bit;
      return;
    }
    std::array<size_t, kMostOffsets> offsets{};
    std::array<const uint8_t*, kMostOffsets> keys{};
    const size_t count = m_byOffset.size();
    for (size_t t = 0; t < count; ++t) {
      offsets[t] = m_byOffset[t].offset;
      keys[t] = m_byOffset[t].keys.data();
    }
    for (uint32_t k = 0; k < sectors; ++k) {
      const uint8_t* bytes = piece + size_t{k} * bytesPerSector;
      uint8_t any = 0;
      for (size_t t = 0; t < count; ++t) any |= keys[t][bytes[offsets[t]]];
      marks[k] |= any & bit;
    }
  }

  [[nodiscard]] uint32_t Detect(ByteView sector, CarvingState& state) const {
    if (!MayDetect(sector)) return kNoType;
    Mask mask = m_always;
    for (const OffsetTable& table : m_byOffset) {
      const uint16_t index = table.maskOf[sector.U8At(table.offset)];
      if (index == 0) continue;
      const Mask& m = m_masks[index];
      for (size_t w = 0; w < mask.size(); ++w) mask[w] |= m[w];
    }
    for (size_t word = 0; word < mask.size(); ++word) {
      for (uint64_t bits = mask[word]; bits != 0; bits &= bits - 1) {
        const size_t slot = word * 64 + static_cast<size_t>(__builtin_ctzll(bits));
        const uint32_t code = kRows[m_slots[slot]].format->test(sector, state);
        if (code != kNoType) return code;
      }
    }
    return kNoType;
  }

 private:
  using Mask = std::array<uint64_t, kMaskWords>;
  struct OffsetTable {
    uint8_t offset = 0;
    std::array<uint16_t, 256> maskOf{};  // into m_masks
    std::array<uint8_t, 256> keys{};     // 0xFF where maskOf is not 0
  };

  // The mask of the slots keyed by `lead`, made on first use.
  size_t MaskIndex(LeadByte lead) {
    auto table = std::find_if(m_byOffset.begin(), m_byOffset.end(),
                              [&](const OffsetTable& t) { return t.offset == lead.offset; });
    if (table == m_byOffset.end()) {
      m_byOffset.emplace_back();
      m_byOffset.back().offset = lead.offset;
      m_lastOffset = std::max(m_lastOffset, size_t{lead.offset});
      table = std::prev(m_byOffset.end());
    }
    uint16_t& index = table->maskOf[lead.value];
    table->keys[lead.value] = 0xFF;
    if (index == 0) {
      index = static_cast<uint16_t>(m_masks.size());
      m_masks.emplace_back();
    }
    return index;
  }

  std::vector<size_t> m_slots;
  Mask m_always{};
  bool m_anyAlways = false;
  std::vector<OffsetTable> m_byOffset;
  size_t m_lastOffset = 0;  // the largest lead-byte offset
  std::vector<Mask> m_masks;
};

// A row's category is where its files are put and grouped; the extension
// lists decide the same for found files by name, so the two must agree.
constexpr bool RowsAgreeWithExtensionLists() {
  for (const SignatureRow& row : kRows)
    if (CategoryOfExtension(row.extension) != row.category) return false;
  return true;
}
static_assert(RowsAgreeWithExtensionLists(),
              "a row's category differs from the list that holds its extension in results/extension_lists.h");

const Dispatch& TheDispatch() {
  static const Dispatch dispatch;
  return dispatch;
}

}  // namespace

std::span<const SignatureRow> SignatureTable() {
  return kRows;
}

uint32_t DetectType(ByteView sector, CarvingState& state) {
  return TheDispatch().Detect(sector, state);
}

void MarkHeaderCandidates(const uint8_t* piece, uint32_t sectors, uint32_t bytesPerSector, uint8_t* marks,
                          uint8_t bit) {
  TheDispatch().Mark(piece, sectors, bytesPerSector, marks, bit);
}

uint32_t DetectTypeRowByRow(ByteView sector, CarvingState& state) {
  for (const SignatureRow& row : kRows) {
    const uint32_t code = row.format->test(sector, state);
    if (code != kNoType) return code;
  }
  return kNoType;
}

const SignatureRow* FindRowByCode(uint32_t code) {
  for (const SignatureRow& row : kRows)
    if (row.code == code) return &row;
  return nullptr;
}

const SignatureRow* FindRowByExtension(std::string_view extension) {
  if (!extension.empty() && extension.front() == '.') extension.remove_prefix(1);
  for (const SignatureRow& row : kRows)
    if (AsciiEqualNoCase(row.extension, extension)) return &row;
  return nullptr;
}

bool CheckContent(ByteView sector, std::string_view extension, const SectorSource* source,
                  uint32_t sectorSize, uint64_t absoluteSector) {
  const SignatureRow* row = FindRowByExtension(extension);
  if (row == nullptr) return true;
  CarvingState state;
  state.BeginSector(source, sectorSize, absoluteSector, SweepFigures{});
  state.tsStrict = false;
  const uint32_t found = row->format->test(sector, state);
  if (found == row->code) return true;
  return found != kNoType && row->format->agrees != nullptr && row->format->agrees(row->code, found);
}

bool IsFileSystemStructure(ByteView s) {
  if (s.size() < 32) return false;
  if (s.Matches(0, "FILE") || s.Matches(0, "INDX")) return true;
  if (s.Matches(0, "RSTR") && FindMark(s, "N\0T\0F\0S\0"sv) != ReadAhead::kNotFound) return true;
  if (s.Matches(0, "$\0S\0T\0A\0"sv)) return true;
  if (s.U8At(0) == 0xEB && s.U8At(2) == 0x90) {
    for (std::string_view oem : {"MSDOS5.0"sv, "MSWIN4.0"sv, "MSWIN4.1"sv, "NTFS    "sv, "EXFAT   "sv})
      if (s.Matches(3, oem)) return true;
  }
  // The first sector of a folder fails the directory-sector test on its ".."
  // entry, so it is asked for separately.
  return IsDotDirectorySector(s) || IsDirectorySector(s);
}

const SignatureRow* DetectCarvableType(ByteView sector, CarvingState& state) {
  const uint32_t code = DetectType(sector, state);
  state.tsStrict = true;
  state.previousWasMts = false;
  if (code == kNoType) return nullptr;
  const SignatureRow* row = FindRowByCode(code);
  if (row == nullptr || row->format->rule == nullptr) return nullptr;
  if (code != kTypeTs) state.tsStrict = false;
  if (code == kTypeMts) state.previousWasMts = true;
  return row;
}

uint64_t CarveLength(const SignatureRow& row, ByteView sector, CarvingState& state) {
  return row.format->rule != nullptr ? row.format->rule(sector, state) : 0;
}

const SignatureRow& NamingRow(const SignatureRow& detected, const CarvingState& state) {
  if (!state.namingCode) return detected;
  const SignatureRow* row = FindRowByCode(*state.namingCode);
  return row != nullptr ? *row : detected;
}

uint64_t SectorsConsumed(const SignatureRow& row, uint64_t length, uint32_t sectorSize) {
  if (row.format->step == CarveStep::kNextSector || sectorSize == 0) return 1;
  return std::max<uint64_t>(1, length / sectorSize + (length % sectorSize != 0 ? 1 : 0));
}

}  // namespace velmira
