// The exFAT on-disk structures the exFAT engines read: the boot region
// (boot sector, its checksum sector and the backup region behind it) and
// directory entry sets (a File entry, its Stream Extension and its File Name
// entries, kept together by a 16-bit set checksum). Everything here works
// on untrusted bytes: every field is read through a bounds-checked view and
// a set that does not add up is refused.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/byte_view.h"

namespace velmira {

// Entry types with their in-use bit (0x80); a deleted entry has it cleared.
inline constexpr uint8_t kExfatEntryInUse = 0x80;
inline constexpr uint8_t kExfatFileEntry = 0x85;
inline constexpr uint8_t kExfatStreamEntry = 0xC0;
inline constexpr uint8_t kExfatNameEntry = 0xC1;
inline constexpr uint8_t kExfatBitmapEntry = 0x81;
inline constexpr uint8_t kExfatUpcaseEntry = 0x82;
inline constexpr uint8_t kExfatLabelEntry = 0x83;
inline constexpr uint32_t kExfatEntryBytes = 32;
// A set is a File entry and 2 to 18 secondary entries (255 characters need 17 names).
inline constexpr uint32_t kExfatMaxSecondaries = 18;
inline constexpr uint32_t kExfatMaxSetBytes = (kExfatMaxSecondaries + 1) * kExfatEntryBytes;
inline constexpr uint16_t kExfatAttrFolder = 0x10;
// FAT entries at or above this end a chain (0xFFFFFFF7 marks a bad cluster).
inline constexpr uint32_t kExfatBadCluster = 0xFFFFFFF7u;
// Sectors of one boot region (boot sector, 8 extended, OEM, reserved, checksum).
inline constexpr uint32_t kExfatBootRegionSectors = 12;

struct ExfatGeometry {
  uint32_t bytesPerSector = 512;
  uint32_t sectorsPerCluster = 1;
  uint64_t volumeSectors = 0;
  uint32_t fatOffset = 0;     // sectors from the volume start
  uint32_t fatLength = 0;     // sectors
  uint32_t heapOffset = 0;    // sector of cluster 2, from the volume start
  uint32_t clusterCount = 0;  // clusters 2 .. clusterCount + 1
  uint32_t rootCluster = 0;
  uint8_t numberOfFats = 1;
  uint16_t volumeFlags = 0;  // bit 0: the second FAT and bitmap are the active ones

  [[nodiscard]] uint32_t ClusterBytes() const { return sectorsPerCluster * bytesPerSector; }
  // Sector of a cluster from the volume start.
  [[nodiscard]] uint64_t ClusterSector(uint32_t cluster) const {
    return uint64_t{heapOffset} + uint64_t{cluster >= 2 ? cluster - 2 : 0} * sectorsPerCluster;
  }
  [[nodiscard]] bool ValidCluster(uint32_t cluster) const {
    return cluster >= 2 && cluster - 2 < clusterCount;
  }
};

// The boot sector test: "EXFAT   " at 3, bytes 11 to 63 zero, the 0x55AA
// signature, and shifts and offsets that can describe a volume.
[[nodiscard]] bool IsExfatBootSector(ByteView sector);
// The geometry of a boot sector IsExfatBootSector accepts.
[[nodiscard]] bool ReadExfatGeometry(ByteView sector, ExfatGeometry& geometry);
// The boot-region checksum over its first 11 sectors (VolumeFlags and
// PercentInUse left out). `region` holds at least 11 sectors.
[[nodiscard]] uint32_t ExfatBootChecksum(ByteView region, uint32_t bytesPerSector);
// Whether a boot region (12 sectors) is whole: an exFAT boot sector and a
// twelfth sector filled with the checksum of the first eleven.
[[nodiscard]] bool ExfatBootRegionValid(ByteView region, uint32_t bytesPerSector);

// Times of an entry set, FILETIME in UTC (0 when not set). A time without
// a valid UTC offset is local time, taken through the local zone.
struct ExfatTimes {
  uint64_t created = 0;
  uint64_t modified = 0;
  uint64_t accessed = 0;
};
// One timestamp: the packed date and time, its 10 ms part (0 to 199) and
// the UTC offset byte (bit 7 valid, bits 0 to 6 signed quarter hours).
[[nodiscard]] uint64_t ExfatFileTime(uint32_t stamp, uint8_t tenMs, uint8_t utcOffset);

// One directory entry set, as read from the medium.
struct ExfatEntrySet {
  bool deleted = false;  // the File entry's in-use bit is clear
  uint16_t attributes = 0;
  uint32_t secondaryCount = 0;
  bool noFatChain = false;
  uint32_t firstCluster = 0;
  uint64_t dataLength = 0;
  uint64_t validDataLength = 0;
  std::string name;  // UTF-8
  ExfatTimes times;
  bool checksumOk = true;  // false only when the caller let a wrong checksum pass
  [[nodiscard]] bool IsFolder() const { return (attributes & kExfatAttrFolder) != 0; }
  [[nodiscard]] uint32_t Bytes() const { return (secondaryCount + 1) * kExfatEntryBytes; }
};

// The set checksum of `bytes` (the whole set), computed as on a live set:
// the in-use bits of a deleted set are put back first.
[[nodiscard]] uint16_t ExfatSetChecksum(ByteView set);
// Whether a File entry (live or deleted) starts at `off` with a Stream
// entry after it: the cheap test before a set is read whole.
[[nodiscard]] bool LooksLikeExfatSetStart(ByteView bytes, size_t off);
// Reads the set that starts at `off`. False when the bytes do not hold a
// whole set, the entries are not those of one set (the same in-use state
// throughout, a Stream entry, enough Name entries for the name length),
// or the checksum does not match. Inside a folder whose place is known, a
// deleted set may be taken with a wrong checksum (`requireChecksum` false):
// some systems change a set as they delete it without summing it again.
[[nodiscard]] bool ParseExfatEntrySet(ByteView bytes, size_t off, ExfatEntrySet& set,
                                      bool requireChecksum = true);
// Whether a sector holds the start of at least one set that parses (the
// set may run past the sector's end when `bytes` goes on).
[[nodiscard]] bool HasExfatEntrySet(ByteView bytes, size_t sectorBytes);

// The type bytes entries have, live or deleted (the in-use bit cleared):
// bitmap, up-case, label, File, volume GUID, padding and access-control
// entries, Stream, Name, and vendor entries.
[[nodiscard]] constexpr bool MayBeExfatEntryType(uint8_t type) {
  const uint8_t code = type & 0x7F;
  return code == 0x01 || code == 0x02 || code == 0x03 || code == 0x05 || (code >= 0x20 && code <= 0x22) ||
         code == 0x40 || code == 0x41 || code >= 0x60;
}

// MayBeExfatEntryType for every byte, so that the sweep tests a sector
// without a branch on its (random) bytes.
inline constexpr std::array<uint8_t, 256> kMayBeExfatEntryType = [] {
  std::array<uint8_t, 256> table{};
  for (unsigned b = 0; b < 256; ++b) table[b] = MayBeExfatEntryType(static_cast<uint8_t>(b)) ? 1 : 0;
  return table;
}();

// The first look of HasExfatEntrySet, inline for the sweep that asks it of
// every sector: every slot of a folder sector up to its end mark holds an
// entry, and a set holds three at least (File, Stream, Name), so unless the
// first three slots hold entry types no set starts in the sector (false for
// nearly all other data).
[[nodiscard]] inline bool MayHoldExfatEntrySet(ByteView bytes) {
  if (bytes.size() < 3 * kExfatEntryBytes) return false;
  const uint8_t* p = bytes.data();
  return (kMayBeExfatEntryType[p[0]] & kMayBeExfatEntryType[p[kExfatEntryBytes]] &
          kMayBeExfatEntryType[p[2 * kExfatEntryBytes]]) != 0;
}

}  // namespace velmira
