// The one table of file types known by content. Each row names an extension
// and a type code and points at the format unit (engines/carving/formats/)
// that holds the header test, the length rule and the bytes the dispatch
// keys on. The carver runs the header tests on raw sectors to find where
// files start and the length rules to find where they end; the file-system
// engines use CheckContent to see whether a found file's first sector still
// matches its extension.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "engines/carving/carving_state.h"
#include "platform/byte_view.h"
#include "results/extension_lists.h"
#include "storage/sector_source.h"

namespace velmira {

// Type codes. Several rows share a code; the first row of a code names the
// files carved with it.
enum TypeCode : uint32_t {
  kTypeDoc = 0,
  kTypeOoxmlWord = 1,
  kTypeCompound = 2,
  kTypeXls = 3,
  kTypeOoxmlExcel = 4,
  kTypePpt = 5,
  kTypeOoxmlPowerPoint = 6,
  kTypeOoxmlOther = 7,
  kTypePdf = 8,
  kTypeGho = 9,
  kTypeJpeg = 10,
  kTypeMp2 = 11,
  kTypeMp3 = 12,
  kTypeMidi = 13,
  kTypeMmf = 14,
  kTypeMpeg = 15,
  kType3gp = 16,
  kTypeMov = 17,
  kTypeMp4 = 18,
  kTypeMkv = 19,
  kTypeTs = 20,
  kTypeWav = 21,
  kTypeAvi = 22,
  kTypeRm = 23,
  kTypeAsf = 24,
  kTypeApe = 25,
  kTypeSwf = 26,
  kTypeFlv = 27,
  kTypePsd = 28,
  kTypeBmp = 29,
  kTypePng = 30,
  kTypeGif = 31,
  kTypeTiff = 32,
  kTypeCab = 33,
  kType7z = 34,
  kTypeZip = 35,
  kTypeGzip = 36,
  kTypeRar = 37,
  kTypePst = 38,
  kTypeSqlite = 39,
  kTypeDbx = 40,
  kTypeExe = 41,
  kTypeDll = 42,
  kTypeSys = 43,
  kTypeFla = 44,
  kTypeTtf = 45,
  kTypeIco = 46,
  kTypeMts = 47,
  kTypeMxf = 48,
  kNoType = 49,  // "not this type"; also closes the table
  // Formats recognised beyond the first table.
  kTypeHeic = 50,
  kTypeAvif = 51,
  kTypeWebp = 52,
  kTypeM4a = 53,
  kTypeCr3 = 54,
  kTypeCr2 = 55,
  kTypeNef = 56,
  kTypeArw = 57,
  kTypeDng = 58,
  kTypeOrf = 59,
  kTypeRw2 = 60,
  kTypeRaf = 61,
  kTypeFlac = 62,
  kTypeOgg = 63,
  kTypeWebm = 64,
  kTypeOdt = 65,
  kTypeOds = 66,
  kTypeOdp = 67,
  kTypeEpub = 68,
  kTypeJar = 69,
  kTypeApk = 70,
  kTypeMsg = 71,
  // Further codes: documents and archives 100-119, video containers 120-139,
  // audio 140-159, pictures 160-179.
  kTypeXlsBiff = 100,  // a bare Excel 2.x-4.x stream: .xlw for a workbook, else named .xls
  kTypeTar = 110,
  kTypeBzip2 = 111,
  kTypeXz = 112,
  kTypeAac = 140,
  kTypeOpus = 141,
};

// Returns the type code the sector starts, or kNoType. Only the compound
// document, OOXML and transport-stream tests read further sectors (through
// state.source, from state.sectorUnderTest on).
using HeaderTest = uint32_t (*)(ByteView sector, CarvingState& state);
// Returns the length in bytes of the file whose first sector is `sector`
// (absolute number state.candidateSector), or kNotAFile when the bytes that
// follow the header fail the format's structure check (nothing is carved
// then). Rules that read ahead report progress and leave a non-zero answer
// in state.carveResult.
using LengthRule = uint64_t (*)(ByteView sector, CarvingState& state);
inline constexpr uint64_t kNotAFile = 0;

// A byte every sector accepted by a header test carries at `offset`. A format
// lists one lead byte per alternative form of its header; a byte that zeros
// and fill patterns do not carry keeps blank stretches of a medium from
// running any header test.
struct LeadByte {
  uint8_t offset;
  uint8_t value;
};

// Where the sweep goes on after a file was carved.
enum class CarveStep : uint8_t {
  kPastFile,    // past the carved length: the file's sectors are not tested again
  kNextSector,  // the very next sector: files inside this one are carved too
};

// Whether a file named as row code `named` holds content the header test
// answered `found` for (another of the format's codes; never kNoType).
using ContentAgrees = bool (*)(uint32_t named, uint32_t found);

// One format unit: how its files are recognised and where they end.
struct FileFormat {
  const char* name;
  HeaderTest test;
  LengthRule rule;  // null: recognised (content check, boundaries) but never carved
  CarveStep step;
  uint8_t leadCount;
  LeadByte leads[3];
  // Null: a file's content agrees with its name only when the test answers
  // the named row's own code.
  ContentAgrees agrees = nullptr;
};

// One carved format's row: everything the rest of the program knows of it
// comes from here. The first row of a code names the files carved with it;
// the category is the recovery folder and, for photo, audio and video, the
// file-types page's group (it must agree with results/extension_lists.h,
// which the table checks when it is compiled).
struct SignatureRow {
  const char* extension;  // lower case, no dot
  uint32_t code;
  const FileFormat* format;
  FileCategory category;
};

// The rows in table order (the closing row of code 49 is not part of it).
[[nodiscard]] std::span<const SignatureRow> SignatureTable();

// The code of the first row whose header test accepts the sector, or kNoType.
// Dispatches on the rows' lead bytes, so only rows that can accept are run.
[[nodiscard]] uint32_t DetectType(ByteView sector, CarvingState& state);
// Sets `bit` in marks[k] for each sector k of `piece` (`sectors` sectors of
// bytesPerSector) that carries a lead byte of some row: DetectType finds no
// type in the others, whatever the carving flags say.
void MarkHeaderCandidates(const uint8_t* piece, uint32_t sectors, uint32_t bytesPerSector, uint8_t* marks,
                          uint8_t bit);
// The same answer, trying every row in order (reference for tests).
[[nodiscard]] uint32_t DetectTypeRowByRow(ByteView sector, CarvingState& state);

// The first row that carries `code`, or null.
[[nodiscard]] const SignatureRow* FindRowByCode(uint32_t code);
// The first row whose extension equals `extension` ignoring ASCII case (a
// leading "." is ignored), or null.
[[nodiscard]] const SignatureRow* FindRowByExtension(std::string_view extension);

// Whether the first sector of a found file (at absolute sector
// `absoluteSector` of `source`) matches the file's extension: true when no
// row has the extension, otherwise when that row's header test returns the
// row's own code, or a code the format says agrees with it. The tests that
// read further sectors read them from `source`; the carving flags play no
// part.
[[nodiscard]] bool CheckContent(ByteView sector, std::string_view extension, const SectorSource* source,
                                uint32_t sectorSize, uint64_t absoluteSector);

// True for sectors of file-system metadata that end a carved file: NTFS file
// records, index buffers and log pages, FAT, exFAT and NTFS boot sectors, and
// FAT directory sectors.
[[nodiscard]] bool IsFileSystemStructure(ByteView sector);

// The carver's detection step for one sector of the sweep (after
// state.BeginSector): runs the header tests, updates the transport-stream
// flags for the sectors that follow, and returns the row that names the file
// (the first row of the winning code) when that type can be carved; null
// when no type starts here or the type has no length rule.
[[nodiscard]] const SignatureRow* DetectCarvableType(ByteView sector, CarvingState& state);

// The row's length rule on the candidate's first sector (0 for a row
// without one).
[[nodiscard]] uint64_t CarveLength(const SignatureRow& row, ByteView sector, CarvingState& state);

// The row that names a file carved after `detected` was detected: the first
// row of the code the length rule left in state.namingCode, else `detected`.
[[nodiscard]] const SignatureRow& NamingRow(const SignatureRow& detected, const CarvingState& state);

// Sectors the sweep moves on after carving a file of `length` bytes.
[[nodiscard]] uint64_t SectorsConsumed(const SignatureRow& row, uint64_t length, uint32_t sectorSize);

}  // namespace velmira
