#include "engines/carving/signature_table.h"

#include <algorithm>
#include <array>
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
    {"mpeg", kTypeMpeg, &kMpegFormat},
    {"mpg", kTypeMpeg, &kMpegFormat},
    {"vob", kTypeMpeg, &kMpegFormat},
    {"mp4", kTypeMp4, &kMp4Format},
    {"m4a", kTypeM4a, &kMp4Format},
    {"heic", kTypeHeic, &kMp4Format},
    {"avif", kTypeAvif, &kMp4Format},
    {"cr3", kTypeCr3, &kMp4Format},
    {"rmvb", kTypeRm, &kRmFormat},
    {"rm", kTypeRm, &kRmFormat},
    {"wmv", kTypeAsf, &kAsfFormat},
    {"asf", kTypeAsf, &kAsfFormat},
    {"wma", kTypeAsf, &kAsfFormat},
    {"swf", kTypeSwf, &kSwfFormat},
    {"avi", kTypeAvi, &kAviFormat},
    {"flv", kTypeFlv, &kFlvFormat},
    {"3gp", kType3gp, &k3gpFormat},
    {"mkv", kTypeMkv, &kMkvFormat},
    {"webm", kTypeWebm, &kMkvFormat},
    {"ts", kTypeTs, &kTsFormat},
    {"mts", kTypeMts, &kMtsFormat},
    {"mxf", kTypeMxf, &kMxfFormat},
    {"mp3", kTypeMp3, &kMp3Format},
    {"mid", kTypeMidi, &kMidiFormat},
    {"ape", kTypeApe, &kApeFormat},
    {"wav", kTypeWav, &kWavFormat},
    {"webp", kTypeWebp, &kWebpFormat},
    {"mov", kTypeMov, &kMovFormat},
    {"mp2", kTypeMp2, &kMp2Format},
    {"aac", kTypeAac, &kAacFormat},
    {"mmf", kTypeMmf, &kMmfFormat},
    {"flac", kTypeFlac, &kFlacFormat},
    {"opus", kTypeOpus, &kOpusFormat},
    {"ogg", kTypeOgg, &kOggFormat},
    {"gif", kTypeGif, &kGifFormat},
    {"bmp", kTypeBmp, &kBmpFormat},
    {"dib", kTypeBmp, &kBmpFormat},
    {"jpg", kTypeJpeg, &kJpegFormat},
    {"jpeg", kTypeJpeg, &kJpegFormat},
    {"jpe", kTypeJpeg, &kJpegFormat},
    {"jfif", kTypeJpeg, &kJpegFormat},
    {"png", kTypePng, &kPngFormat},
    {"psd", kTypePsd, &kPsdFormat},
    {"tif", kTypeTiff, &kTiffFormat},
    {"tiff", kTypeTiff, &kTiffFormat},
    {"cr2", kTypeCr2, &kTiffFormat},
    {"nef", kTypeNef, &kTiffFormat},
    {"arw", kTypeArw, &kTiffFormat},
    {"dng", kTypeDng, &kTiffFormat},
    {"orf", kTypeOrf, &kTiffFormat},
    {"rw2", kTypeRw2, &kTiffFormat},
    {"raf", kTypeRaf, &kRafFormat},
    {"ico", kTypeIco, &kIcoFormat},
    {"doc", kTypeDoc, &kCompoundFormat},
    {"dot", kTypeDoc, &kCompoundFormat},
    {"wps", kTypeDoc, &kCompoundFormat},
    {"wpt", kTypeDoc, &kCompoundFormat},
    {"xls", kTypeXls, &kCompoundFormat},
    {"xlt", kTypeXls, &kCompoundFormat},
    {"xla", kTypeXls, &kCompoundFormat},
    {"et", kTypeXls, &kCompoundFormat},
    {"ett", kTypeXls, &kCompoundFormat},
    {"ppt", kTypePpt, &kCompoundFormat},
    {"pot", kTypePpt, &kCompoundFormat},
    {"pps", kTypePpt, &kCompoundFormat},
    {"dps", kTypePpt, &kCompoundFormat},
    {"dpt", kTypePpt, &kCompoundFormat},
    {"ole", kTypeCompound, &kCompoundFormat},
    {"msg", kTypeMsg, &kMsgFormat},
    {"fla", kTypeFla, &kFlaFormat},
    {"zip", kTypeZip, &kZipFormat},
    {"docx", kTypeOoxmlWord, &kOoxmlFormat},
    {"docm", kTypeOoxmlWord, &kOoxmlFormat},
    {"dotm", kTypeOoxmlWord, &kOoxmlFormat},
    {"dotx", kTypeOoxmlWord, &kOoxmlFormat},
    {"xlsx", kTypeOoxmlExcel, &kOoxmlFormat},
    {"xlsb", kTypeOoxmlExcel, &kOoxmlFormat},
    {"xlsm", kTypeOoxmlExcel, &kOoxmlFormat},
    {"xlam", kTypeOoxmlExcel, &kOoxmlFormat},
    {"xltx", kTypeOoxmlExcel, &kOoxmlFormat},
    {"xltm", kTypeOoxmlExcel, &kOoxmlFormat},
    {"pptx", kTypeOoxmlPowerPoint, &kOoxmlFormat},
    {"pptm", kTypeOoxmlPowerPoint, &kOoxmlFormat},
    {"potx", kTypeOoxmlPowerPoint, &kOoxmlFormat},
    {"potm", kTypeOoxmlPowerPoint, &kOoxmlFormat},
    {"ppsx", kTypeOoxmlPowerPoint, &kOoxmlFormat},
    {"ppsm", kTypeOoxmlPowerPoint, &kOoxmlFormat},
    {"mso07", kTypeOoxmlOther, &kOoxmlFormat},
    {"odt", kTypeOdt, &kOpenDocumentFormat},
    {"ods", kTypeOds, &kOpenDocumentFormat},
    {"odp", kTypeOdp, &kOpenDocumentFormat},
    {"epub", kTypeEpub, &kOpenDocumentFormat},
    {"jar", kTypeJar, &kJarFormat},
    {"apk", kTypeApk, &kApkFormat},
    {"pdf", kTypePdf, &kPdfFormat},
    {"gz", kTypeGzip, &kGzipFormat},
    {"gzip", kTypeGzip, &kGzipFormat},
    {"7z", kType7z, &k7zFormat},
    {"rar", kTypeRar, &kRarFormat},
    {"cab", kTypeCab, &kCabFormat},
    {"bz2", kTypeBzip2, &kBzip2Format},
    {"xz", kTypeXz, &kXzFormat},
    {"tar", kTypeTar, &kTarFormat},
    {"exe", kTypeExe, &kExeFormat},
    {"dll", kTypeDll, &kExeFormat},
    {"sys", kTypeSys, &kExeFormat},
    {"gho", kTypeGho, &kGhoFormat},
    {"db", kTypeSqlite, &kSqliteFormat},
    {"dbx", kTypeDbx, &kDbxFormat},
    {"pst", kTypePst, &kPstFormat},
    {"ttf", kTypeTtf, &kTtfFormat},
};

// Rows with the same header test as an earlier row never change the answer
// of DetectType, so the dispatch keeps one slot per distinct test.
class Dispatch {
 public:
  Dispatch() {
    for (size_t i = 0; i < std::size(kRows); ++i) {
      const FileFormat* format = kRows[i].format;
      const bool seen = std::any_of(m_slots.begin(), m_slots.end(),
                                    [&](size_t slot) { return kRows[slot].format->test == format->test; });
      if (seen) continue;
      const size_t slot = m_slots.size();
      m_slots.push_back(i);
      if (format->leadCount == 0) m_always[slot / 64] |= uint64_t{1} << (slot % 64);
      for (uint8_t k = 0; k < format->leadCount; ++k) {
        const LeadByte lead = format->leads[k];
        Masks& masks = MasksAt(lead.offset);
        masks[lead.value][slot / 64] |= uint64_t{1} << (slot % 64);
      }
    }
  }

  [[nodiscard]] uint32_t Detect(ByteView sector, CarvingState& state) const {
    Mask mask = m_always;
    for (const auto& [offset, masks] : m_byOffset) {
      const Mask& m = masks[sector.U8At(offset)];
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
  using Mask = std::array<uint64_t, 4>;
  using Masks = std::array<Mask, 256>;

  Masks& MasksAt(uint8_t offset) {
    for (auto& [at, masks] : m_byOffset)
      if (at == offset) return masks;
    m_byOffset.emplace_back(offset, Masks{});
    return m_byOffset.back().second;
  }

  std::vector<size_t> m_slots;
  Mask m_always{};
  std::vector<std::pair<uint8_t, Masks>> m_byOffset;
};

static_assert(std::size(kRows) < 4 * 64, "the dispatch masks hold 256 slots");

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
  return row->format->test(sector, state) == row->code;
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
