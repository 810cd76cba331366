// NTFS on-disk structures as the NTFS engines read them: the geometry taken
// from the boot sector, file records and their fix-up, attribute walks, run
// lists, the mapping of a record number to a sector through the $MFT's own
// runs, resident data and the volume bitmap.
//
// Everything here is a function of its arguments: the engines own the source,
// the geometry, the $MFT run map and the bitmap and hand them in. Every byte
// read from the medium is untrusted: all reads are bounds-checked, every walk
// is bounded, and cluster and sector arithmetic that would overflow makes the
// value invalid instead of wrapping. Nothing here writes to the medium.
//
// The boot-sector test is IsNtfsBootSector in engines/boot_sector.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "engines/boot_sector.h"
#include "platform/byte_view.h"
#include "platform/errors.h"
#include "storage/sector_source.h"

namespace velmira {

// Every record read is a window of this many bytes starting at the record,
// whatever the record size; the records that follow in it are not used.
inline constexpr uint32_t kNtfsWindowBytes = 8192;

// Results of the decoder besides the Win32 codes (87, 30, ...).
// Their words are in ErrorText (platform/errors.h).
inline constexpr int32_t kNtfsNotFileRecord = kErrNotFileRecord;  // the record does not start with "FILE"
inline constexpr int32_t kNtfsAttributeNotFound = kErrAttributeNotFound;  // no attribute of the wanted type
inline constexpr int32_t kNtfsNoResidentData = kErrNoResidentData;  // $DATA is not resident (use its runs)

// Attribute types the engines use, and the two type values that end a walk.
inline constexpr uint32_t kNtfsAttrStandardInformation = 0x10;
inline constexpr uint32_t kNtfsAttrAttributeList = 0x20;
inline constexpr uint32_t kNtfsAttrFileName = 0x30;
inline constexpr uint32_t kNtfsAttrData = 0x80;
inline constexpr uint32_t kNtfsAttrIndexAllocation = 0xA0;
inline constexpr uint32_t kNtfsAttrFill = 0xFDFDFDFDu;
inline constexpr uint32_t kNtfsAttrEnd = 0xFFFFFFFFu;

// File-record header fields.
inline constexpr size_t kNtfsRecFirstAttribute = 0x14;  // u16
inline constexpr size_t kNtfsRecFlags = 0x16;           // u16: bit 0 in use, bit 1 directory
inline constexpr size_t kNtfsRecBytesInUse = 0x18;      // u32
inline constexpr size_t kNtfsRecAllocated = 0x1C;       // u32
inline constexpr size_t kNtfsRecNumber = 0x2C;          // u32
inline constexpr size_t kNtfsRecUpdateSequence = 0x30;  // u16, followed by the saved words
inline constexpr uint16_t kNtfsFlagInUse = 0x0001;
inline constexpr uint16_t kNtfsFlagDirectory = 0x0002;

// Attribute header fields.
inline constexpr size_t kNtfsAttType = 0x00;           // u32
inline constexpr size_t kNtfsAttLength = 0x04;         // u32
inline constexpr size_t kNtfsAttNonResident = 0x08;    // u8
inline constexpr size_t kNtfsAttNameLength = 0x09;     // u8, UTF-16 units
inline constexpr size_t kNtfsAttNameOffset = 0x0A;     // u16
inline constexpr size_t kNtfsAttValueLength = 0x10;    // u32, resident
inline constexpr size_t kNtfsAttValueOffset = 0x14;    // u16, resident
inline constexpr size_t kNtfsAttLowestVcn = 0x10;      // u64, non-resident
inline constexpr size_t kNtfsAttHighestVcn = 0x18;     // u64, non-resident
inline constexpr size_t kNtfsAttRunListOffset = 0x20;  // u16, non-resident
inline constexpr size_t kNtfsAttAllocatedSize = 0x28;  // u64, non-resident
inline constexpr size_t kNtfsAttDataSize = 0x30;       // u64, non-resident

inline constexpr size_t kNtfsAttFlags = 0x0C;            // u16
inline constexpr size_t kNtfsAttCompressionUnit = 0x22;  // u8, non-resident: log2 of clusters per unit
inline constexpr uint16_t kNtfsAttFlagCompressed = 0x0001;
inline constexpr uint16_t kNtfsAttFlagEncrypted = 0x4000;
// $STANDARD_INFORMATION's file attributes (u32 at 0x20 of its value).
inline constexpr uint32_t kNtfsFileAttrEncrypted = 0x4000;

// The update sequence (fix-up) protects each block of this many bytes.
inline constexpr uint32_t kNtfsFixupBlock = 512;

// The geometry of one opened NTFS volume. The record size is the boot
// sector's (its clusters-per-record field at 0x40); without a readable boot
// sector it follows from the sector size: 1,024-byte records on 512-byte
// sectors, one-sector records otherwise. The fix-up restores the end of
// every 512-byte block (2 words in a 1,024-byte record, 8 in a 4,096-byte one).
struct NtfsGeometry {
  uint64_t partitionStart = 0;   // absolute sector of the boot sector
  uint64_t partitionLength = 0;  // sectors
  uint64_t mftSector = 0;        // absolute sector of $MFT record 0
  uint32_t bytesPerSector = 512;
  uint32_t sectorsPerCluster = 0;
  uint32_t sectorsPerRecord = 2;
  uint32_t recordSize = 1024;
  uint32_t chunkSize = 1024 * 1024;  // record size x 1,024: the MFT sweep buffer
  uint32_t fixupCount = 2;           // record size / 512
  uint32_t fixupStride = 512;        // kNtfsFixupBlock

  // Sectors of one record window (kNtfsWindowBytes rounded up to whole sectors).
  [[nodiscard]] uint32_t WindowSectors() const;
};

// Sets the record layout (sectors per record, record size, chunk size, fix-up
// count and stride) from the bytes per sector; 0 is taken as 512.
void SetNtfsRecordGeometry(NtfsGeometry& geometry, uint32_t bytesPerSector);

// The file-record size a boot sector states at 0x40: clusters per record, or
// when the signed byte is negative, 2^-n bytes. 0 when the view is short or
// the size is not a power of two of whole sectors from 512 to 8,192 bytes.
[[nodiscard]] uint32_t NtfsRecordSizeFromBootSector(ByteView bootSector);
// Sets the record size (and sectors per record, chunk size, fix-up count)
// keeping the bytes per sector; a size that is not a multiple of the sector
// size (0 included) changes nothing.
void SetNtfsRecordSize(NtfsGeometry& geometry, uint32_t recordSize);

// Fills the whole geometry from a boot sector (at least 512 bytes): bytes per
// sector from 0x0B (0 taken as 512), sectors per cluster from 0x0D (values
// above 128 are the power-of-two form 2^(256 - v)), the record size from 0x40
// when it is usable, MFT sector = start + $MFT cluster (0x30) x sectors per
// cluster. The boot sector is not tested here.
// 87 when the view is short, sectors per cluster is 0 or too large, or the MFT
// sector does not fit in 64 bits; the record layout is filled in every case.
[[nodiscard]] int32_t NtfsGeometryFromBootSector(ByteView bootSector, uint64_t partitionStart,
                                                 uint64_t partitionLength, NtfsGeometry& geometry);

// One run of a run list: a length in clusters (low 32 bits of the stored
// length) and the signed distance of its first cluster from the previous run's
// first cluster. A run stored without an offset field (a sparse run) has delta
// 0, so it "starts" where the previous run started; `sparse` tells it apart.
struct DataRun {
  uint64_t length = 0;
  int64_t delta = 0;
  bool sparse = false;

  friend bool operator==(const DataRun&, const DataRun&) = default;
};

// The run list of the $MFT's unnamed $DATA.
using MftRunMap = std::vector<DataRun>;

// A run with its first cluster worked out (the sum of the deltas up to it).
// `valid` is false when that sum is negative or overflowed; such a run and
// every run after it cannot be located.
struct AbsoluteRun {
  uint64_t firstCluster = 0;
  uint64_t length = 0;
  bool sparse = false;
  bool valid = true;
};
[[nodiscard]] std::vector<AbsoluteRun> ToAbsoluteRuns(std::span<const DataRun> runs);

// Absolute sector of a cluster: partition start + cluster x sectors per
// cluster. False when the cluster is negative or the sector overflows.
[[nodiscard]] bool ClusterToSector(const NtfsGeometry& geometry, int64_t cluster, uint64_t& sector);

// Restores the sector-end words of a record: the `fixupCount` u16 words saved
// from offset 0x32 are written to the last two bytes of each `fixupStride`-byte
// block (bytes i x stride - 2 and - 1 for i = 1..count). The update sequence
// number at 0x30 is not compared. Words or blocks that do not fit in the
// buffer are left alone; a stride below 2 does nothing.
void ApplyFixup(std::span<uint8_t> record, uint32_t fixupCount, uint32_t fixupStride);

// Whether the last two bytes of each `fixupStride`-byte block of a record as
// read (before ApplyFixup) hold the update sequence number at 0x30, as they
// do when every sector of the record was written together. A record torn by
// a write cut short, or pieced together from sectors of different times,
// fails. Blocks that do not lie wholly in the view are not compared.
[[nodiscard]] bool FixupMatches(ByteView record, uint32_t fixupCount, uint32_t fixupStride);

// True when every run that has clusters (sparse runs have none) can be
// located and ends at or before `clusterLimit`, the clusters of the volume.
[[nodiscard]] bool RunsLieInside(std::span<const DataRun> runs, uint64_t clusterLimit);

// Reads the window (WindowSectors() sectors) at `sector` into `window`, which
// is resized to at least kNtfsWindowBytes. When the whole window cannot be
// read (the end of the source, a bad sector further on) but the record itself
// can, the rest is zero and the read counts as good. Returns 0 or the read
// error (87 past the end of the source, 30 on a fault).
[[nodiscard]] int32_t ReadRecordWindow(const SectorSource& source, const NtfsGeometry& geometry,
                                       uint64_t sector, std::vector<uint8_t>& window);

// ReadRecordWindow, then the signature test and the fix-up. Returns 0, the
// read error, or kNtfsNotFileRecord (the window then holds the bytes as read).
[[nodiscard]] int32_t ReadFileRecord(const SectorSource& source, const NtfsGeometry& geometry,
                                     uint64_t sector, std::vector<uint8_t>& window);

[[nodiscard]] inline bool HasFileSignature(ByteView record) {
  return record.Matches(0, "FILE");
}

// Flags that choose where an attribute walk stops besides its limit, type
// 0xFFFFFFFF and a length of 0, which end every walk.
enum NtfsWalkFlags : uint32_t {
  kWalkStopAtTypeZero = 1u << 0,
  kWalkStopAtFill = 1u << 1,         // type exactly 0xFDFDFDFD
  kWalkStopAtFillOrAbove = 1u << 2,  // any type from 0xFDFDFDFD up
  kWalkStopAtAttributeList = 1u << 3,
  // Advance by the low 16 bits of the length taken as a signed number (a
  // negative step ends the walk) instead of the whole 32-bit length.
  kWalkLength16Signed = 1u << 4,
};

// Walks the attributes of a record from the offset at 0x14 while the offset
// is below `limit` (clipped to the record view). The walk only moves forward,
// so it ends after at most `limit` steps whatever the record holds.
//
//   NtfsAttributeWalk walk(record, kNtfsWindowBytes);
//   while (walk.Next()) { if (walk.type() == kNtfsAttrData) ... walk.attribute() ... }
class NtfsAttributeWalk {
 public:
  NtfsAttributeWalk(ByteView record, size_t limit, uint32_t flags = 0);

  // Moves to the next attribute; false when the walk has ended.
  [[nodiscard]] bool Next();

  [[nodiscard]] size_t offset() const { return m_offset; }
  [[nodiscard]] uint32_t type() const { return m_type; }
  // The attribute's length field (all 32 bits).
  [[nodiscard]] uint32_t length() const { return m_length; }
  // The record from the attribute's header to the end of the record view.
  [[nodiscard]] ByteView attribute() const { return m_record.Sub(m_offset, m_record.size() - m_offset); }

 private:
  ByteView m_record;
  size_t m_limit;
  uint32_t m_flags;
  size_t m_next;
  size_t m_offset = 0;
  uint32_t m_type = 0;
  uint32_t m_length = 0;
  bool m_done = false;
};

// Appends the runs of one non-resident attribute (`attribute` starts at its
// header) to `runs`: the run list from its offset to the end of the
// attribute (its length field, clipped to the view), however long. Decoding
// stops quietly at a header byte of 0, at a length or offset field wider than
// 7 bytes, and at a run whose fields run past the attribute; the runs decoded
// before stay.
void DecodeRunList(ByteView attribute, const NtfsGeometry& geometry, std::vector<DataRun>& runs);

// Absolute sector of record `recordNumber` through the $MFT's runs; the
// partition start (whose boot sector fails every record test) when no run
// holds the record or the arithmetic overflows.
[[nodiscard]] uint64_t RecordToSector(const NtfsGeometry& geometry, const MftRunMap& mftRuns,
                                      uint64_t recordNumber);

// Appends the runs of the first attribute of `type` of the record at `sector`
// (a base record) to `runs`.
// - 0 with the runs appended; the read error; kNtfsNotFileRecord; or
//   kNtfsAttributeNotFound when neither the record nor an attribute list
//   has the attribute.
// - When the record has an $ATTRIBUTE_LIST, the attribute's extents are taken
//   from the records the list names (ResolveAttributeList), so an attribute
//   spread over several records gives all of its runs; a record without the
//   attribute but with a list returns 0.
[[nodiscard]] int32_t GetAttributeRuns(const SectorSource& source, const NtfsGeometry& geometry,
                                       const MftRunMap& mftRuns, uint64_t sector, uint32_t type,
                                       std::vector<DataRun>& runs);

// Follows an $ATTRIBUTE_LIST (`listAttribute` starts at its header; resident
// or non-resident) of the base record `baseRecord` (fixed up, its window) and
// appends the runs of the attribute of `type` that the list names: every
// extent of the first-named attribute of that type, in list order, each read
// from its record (located through `mftRuns`; signature tested and fixed up).
// Extents that cannot be read are replaced by a sparse run of their clusters
// so that the later extents keep their place in the data. Returns 0, or
// kNtfsAttributeNotFound when the list names no attribute of that type.
[[nodiscard]] int32_t ResolveAttributeList(const SectorSource& source, const NtfsGeometry& geometry,
                                           const MftRunMap& mftRuns, ByteView baseRecord,
                                           ByteView listAttribute, uint32_t type, std::vector<DataRun>& runs);

// Maps a record number to the absolute sector of its record (the partition
// start, whose boot sector fails every record test, when it cannot).
using NtfsRecordLocator = std::function<uint64_t(uint64_t recordNumber)>;

// ResolveAttributeList with the extension records located by `locate`
// instead of an $MFT run list (the deep scan knows its $MFT only so far).
[[nodiscard]] int32_t ResolveAttributeListAt(const SectorSource& source, const NtfsGeometry& geometry,
                                             const NtfsRecordLocator& locate, ByteView baseRecord,
                                             ByteView listAttribute, uint32_t type,
                                             std::vector<DataRun>& runs);

// The data size of the unnamed $DATA that an $ATTRIBUTE_LIST names (its
// extent starting at VCN 0, read from its record); UINT64_MAX when the list
// names none or that record cannot be read.
[[nodiscard]] uint64_t DataSizeThroughListAt(const SectorSource& source, const NtfsGeometry& geometry,
                                             const NtfsRecordLocator& locate, ByteView baseRecord,
                                             ByteView listAttribute);

// Reads the $MFT's own run list from record 0 at geometry.mftSector into
// `mftRuns` (emptied first). Extension records named by an attribute list of
// record 0 are located through the runs found so far. Returns what
// GetAttributeRuns returns.
[[nodiscard]] int32_t ReadMftRunMap(const SectorSource& source, const NtfsGeometry& geometry,
                                    MftRunMap& mftRuns);

// Copies the value of the first $DATA attribute (named or not) of the record
// at `sector` into `data`: the attribute's length minus its value offset, that
// is the value with its alignment padding. The walk stops at 0xFFFFFFFF,
// 0xFDFDFDFD, a length of 0 or `walkLimit`.
// - 0 with the data; the read error;
// - kNtfsNoResidentData when the record is not a file record, has no $DATA, or
//   its $DATA is not resident;
// - 87 when that length is not below the record size or the value does not lie
//   inside the window.
[[nodiscard]] int32_t ReadResidentData(const SectorSource& source, const NtfsGeometry& geometry,
                                       uint64_t sector, std::vector<uint8_t>& data,
                                       size_t walkLimit = kNtfsWindowBytes);
// The same rule on a record already read and fixed up.
[[nodiscard]] int32_t ResidentDataOf(ByteView record, const NtfsGeometry& geometry,
                                     std::vector<uint8_t>& data, size_t walkLimit = kNtfsWindowBytes);

// How a file's unnamed $DATA is stored, from its base record (fixed up).
struct NtfsDataForm {
  bool compressed = false;    // LZNT1 in units of `unitClusters`
  bool encrypted = false;     // EFS: the $DATA flag or the file attribute
  uint32_t unitClusters = 0;  // clusters per compression unit (compressed only)
};
[[nodiscard]] NtfsDataForm DataFormOf(ByteView record);

// The value of a $FILE_NAME attribute, taken at offset 0x18 of the attribute.
struct NtfsFileName {
  uint32_t parent = 0;  // low 32 bits of the parent reference
  uint64_t created = 0;
  uint64_t modified = 0;
  uint64_t accessed = 0;
  uint64_t dataSize = 0;
  uint8_t nameSpace = 0;  // 1 = Win32
  std::string name;       // UTF-8; only the units that lie inside the attribute view
};
// Reads the value of the $FILE_NAME attribute that starts `attribute`; false
// when the view cannot hold its fixed part.
[[nodiscard]] bool ReadFileNameValue(ByteView attribute, NtfsFileName& value);

// The times of a $STANDARD_INFORMATION attribute: the ones the system keeps
// up to date ($FILE_NAME's are set when the name is written and seldom
// after).
struct NtfsStandardTimes {
  uint64_t created = 0;
  uint64_t modified = 0;
  uint64_t accessed = 0;
};
// False when `attribute` is not resident or its view cannot hold the times.
[[nodiscard]] bool ReadStandardTimes(ByteView attribute, NtfsStandardTimes& times);

// The volume bitmap: bit n of byte k stands for cluster 8k + n; set means
// allocated. `length` (the data size of $Bitmap) is at most bytes.size().
struct VolumeBitmap {
  std::vector<uint8_t> bytes;
  uint64_t length = 0;
};

// Loads the $DATA of record 6 ($Bitmap) into `bitmap`.
// Errors of the run lookup are returned; then kNtfsNotFileRecord, 87 when the
// record has no $DATA, or the read error; 8 when memory runs out. `bitmap` is
// replaced only on success. Read errors while the bitmap's runs are read are
// ignored: the unread part stays 0 (free), so nothing is skipped on its
// account. The buffer is no larger than the partition's clusters need.
[[nodiscard]] int32_t LoadVolumeBitmap(const SectorSource& source, const NtfsGeometry& geometry,
                                       const MftRunMap& mftRuns, VolumeBitmap& bitmap);

// Moves `position` (sectors from the partition start) over allocated clusters
// to the next unallocated one and sets `length` to the sectors of the
// unallocated stretch there (0 when nothing free follows or the position lies
// beyond the bitmap), clipped at the partition's end. A position past the
// partition's end becomes its length.
void NextFreeExtent(const NtfsGeometry& geometry, const VolumeBitmap& bitmap, uint64_t& position,
                    uint64_t& length);

}  // namespace velmira
