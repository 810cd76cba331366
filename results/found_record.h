// The 346-byte record of one found file or folder. Scan logs store it byte
// for byte, so its layout is a file format: little-endian, packed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmira {

// Which engine wrote a record; the combined engine routes per-record calls by it.
enum EngineTag : uint32_t {
  kTagFastNtfs = 0,
  kTagFastFat = 1,
  kTagDeepNtfs = 2,
  kTagDeepFat = 3,
  kTagCarving = 4,
  kTagFastExfat = 5,
  kTagDeepExfat = 6,
};

inline constexpr size_t kFoundNameBytes = 260;
inline constexpr uint32_t kNoClusterBytes = 0xFFFFFFFFu;
// clusterBytes above this are refused when data is read back (29).
inline constexpr uint32_t kMaxClusterBytes = 104857600u;

#pragma pack(push, 1)
struct FoundRecord {
  uint16_t sourceKey;  // source key: the partition key or the image value
  uint32_t engineTag;  // EngineTag
  uint32_t isFolder;   // 1 folder, 0 file
  uint32_t isDeleted;
  uint32_t contentOk;          // 0 when the first data sector does not match the extension
  uint32_t recordNumber;       // 1-based position in the scan log
  uint32_t key;                // FAT, exFAT: first cluster; NTFS: file-record number; carving: 0
  uint32_t clusterBytes;       // read-back unit; kNoClusterBytes for carved records
  uint64_t created;            // FILETIME
  uint64_t accessed;           // FILETIME
  uint64_t modified;           // FILETIME
  uint64_t size;               // bytes
  uint64_t dataStart;          // FAT: sector of cluster 2 relative to the partition
  uint64_t entrySector;        // absolute sector of the entry / file record / carved data
  uint64_t partitionStart;     // absolute start sector of the partition
  char name[kFoundNameBytes];  // UTF-8, NUL-terminated
};
#pragma pack(pop)

static_assert(sizeof(FoundRecord) == 346);
static_assert(offsetof(FoundRecord, sourceKey) == 0);
static_assert(offsetof(FoundRecord, engineTag) == 2);
static_assert(offsetof(FoundRecord, isFolder) == 6);
static_assert(offsetof(FoundRecord, isDeleted) == 10);
static_assert(offsetof(FoundRecord, contentOk) == 14);
static_assert(offsetof(FoundRecord, recordNumber) == 18);
static_assert(offsetof(FoundRecord, key) == 22);
static_assert(offsetof(FoundRecord, clusterBytes) == 26);
static_assert(offsetof(FoundRecord, created) == 30);
static_assert(offsetof(FoundRecord, accessed) == 38);
static_assert(offsetof(FoundRecord, modified) == 46);
static_assert(offsetof(FoundRecord, size) == 54);
static_assert(offsetof(FoundRecord, dataStart) == 62);
static_assert(offsetof(FoundRecord, entrySector) == 70);
static_assert(offsetof(FoundRecord, partitionStart) == 78);
static_assert(offsetof(FoundRecord, name) == 86);

// A zero-filled record.
[[nodiscard]] inline FoundRecord MakeFoundRecord() {
  FoundRecord r;
  __builtin_memset(&r, 0, sizeof r);
  return r;
}

// The record's name as text (never reads past the field): the full name when
// the field holds the stored form of a longer name known to this process.
[[nodiscard]] std::string RecordName(const FoundRecord& record);
// Stores a UTF-8 name (up to a NUL). A name of more than 259 bytes is stored
// in its short form (LongNameStoredForm) and the full name is kept in the
// process's table of long names, where RecordName finds it and a scan log
// takes it into its "_Names" file.
void SetRecordName(FoundRecord& record, const std::string& name);

// The form of a name too long for the field, as the field stores it: the
// start of the name cut on a character boundary, "…~" with eight hex digits
// of the full name's hash, and the extension (".jpg", up to 40 bytes), so that
// a file never loses its extension or its place in a list to the field, and
// two long names with one start stay apart. Names that fit come back as
// they are.
[[nodiscard]] std::string LongNameStoredForm(std::string_view name);
// Adds a full name to the process's table of long names (a name that fits
// the field is not kept). Returns its stored form.
std::string RememberLongName(std::string_view name);
// The full name whose stored form is `stored`, when the table knows one.
[[nodiscard]] bool FindLongName(std::string_view stored, std::string& name);

}  // namespace velmira
