// The machine's physical drives and, under each, the regions a user can
// scan: every entry of the drive's partition table, with its file system or
// "unknown file system" (or a file system filling a drive without a table),
// every stretch of unallocated space longer than one cylinder of 512-byte
// sectors (8,225,280 bytes), and, for a drive without volumes, the drive as a
// whole.
// Partition tables and file systems are read through libblkid, mount points
// through libmount, used and free bytes through statvfs. Sources are opened
// read-only. Also the size and duration texts every screen uses.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace velmira {

enum class RegionKind : uint8_t {
  kVolume,       // a partition (or a table-less drive) holding a known file system
  kUnallocated,  // space between or after the volumes
  kWholeDrive,   // a drive on which no volume was found
};

// One listed region. Start and length are in the drive's own sectors.
struct PartitionRecord {
  // The region's 1-based position in the whole list, which is also its source
  // key (Linux has no drive letters). 0 until the list is numbered.
  uint16_t letterOrNumber = 0;
  // 7 NTFS, 11 FAT32, 6 FAT12/16; otherwise the MBR type byte, or for a GPT
  // partition or a table-less drive a byte chosen from the file system
  // (0x07 exFAT, 0xAF HFS, 0x83 any other). 0 for regions and whole drives.
  uint8_t partitionType = 0;
  int32_t diskNumber = -1;
  // The partition's number in its table; 0 for a file system that fills a
  // drive without a table; -1 for regions and whole drives.
  int32_t partitionNumber = -1;
  uint64_t totalBytes = 0;
  uint64_t usedBytes = 0;  // totalBytes - freeBytes
  uint64_t freeBytes = 0;  // equal to totalBytes for regions and whole drives
  uint64_t startSector = 0;
  uint64_t sectorCount = 0;
  // "NTFS", "FAT32", "FAT", "exFAT", or libblkid's name ("ext4", "btrfs", ...);
  // "unknown file system" for a table entry holding none that is recognised;
  // empty for regions and whole drives.
  std::string fileSystemName;
  // How the volume is reached: its own device node (/dev/sdb1), or the drive's
  // path when it has none (a partition inside an image file). Empty for
  // regions and whole drives.
  std::string rootPath;
  std::string volumeLabel;  // valid UTF-8; control characters replaced
  std::string mountPoint;   // where the volume is mounted; empty when it is not
  RegionKind kind = RegionKind::kVolume;
};

// diskNumber -> that drive's records, sorted by startSector.
struct DiskMap {
  std::map<int32_t, std::vector<PartitionRecord>> disks;
  uint32_t sectorSize = 512;  // of the drive examined last
};

// A walk through a DiskMap: disk numbers upward, each list in order.
struct PartitionCursor {
  int32_t diskNumber = 0;
  size_t index = 0;
};

// Clears the map and rebuilds it from the drives of ListDiskDevices (at
// most 128): volumes, unallocated regions, whole drives, each list sorted by
// start, all records numbered 1, 2, ... across the drives in order. Every
// record's number is bound as a source key to its device and mount point
// (storage/volume_keys.h), replacing the keys the previous call bound.
// False, with an empty map, when the mount table cannot be read.
[[nodiscard]] bool EnumeratePartitions(DiskMap& map);

// Copies the next record and advances; false after the last one.
[[nodiscard]] bool NextPartitionRecord(const DiskMap& map, PartitionCursor& cursor, PartitionRecord& record);

// Where a candidate volume lies, as read from a drive's partition table.
struct VolumeLocation {
  int32_t diskNumber = -1;
  std::string drivePath;      // the whole drive: a device or an image file
  std::string devicePath;     // the partition's own block device, or empty
  uint32_t sectorSize = 512;  // the drive's sector size
  uint64_t startByte = 0;
  uint64_t lengthBytes = 0;
  int32_t partitionNumber = -1;
  uint8_t tableType = 0;  // the MBR type byte; 0 for GPT and table-less drives
};

// Fills `record` for a candidate volume: position, file-system name, label and
// type from the bytes at its start, mount point and sizes from the mount
// table and statvfs (an unmounted volume counts as full: totalBytes is its
// length, freeBytes 0). Without a known file system the name is "unknown file
// system" and partitionType the table's type byte (0 on GPT and on a drive
// without a table). False when the drive cannot be opened.
[[nodiscard]] bool QueryVolume(PartitionRecord& record, const VolumeLocation& volume);

// The mount point of a block device (the stand-in for a drive letter): true
// with the first mount of that device in /proc/self/mountinfo.
[[nodiscard]] bool FindDriveLetter(const std::string& deviceName, std::string& mountPoint);
// The same lookup by device number in a given mountinfo file.
[[nodiscard]] bool FindMountPointIn(const std::string& mountInfoPath, uint64_t deviceNumber,
                                    std::string& mountPoint);

// Adds to one drive's sorted list a record for every gap longer than
// `cylinderSectors` between `firstUsable`, the records and `diskSectors`.
// Overlapping records never produce a gap inside one another.
void AddUnallocatedRegions(std::vector<PartitionRecord>& list, int32_t diskNumber, uint64_t firstUsable,
                           uint64_t cylinderSectors, uint64_t diskSectors, uint32_t sectorSize);

// Numbers every record of the map 1, 2, ... in walk order.
void NumberPartitionRecords(DiskMap& map);

// The words of a duration; a language file may give its own.
struct DurationUnits {
  std::string hour = "Hour";
  std::string minute = "Min";
  std::string second = "Sec";
};
// "%d Hour %d Min", "%d Min %d Sec" or "%d Sec" (also for negative values),
// in the given words.
[[nodiscard]] std::string FormatDuration(int64_t seconds, const DurationUnits& units = {});
// "1023 Bytes", "1.00 KB", "1.50 MB", "1.00 GB", "2.00 TB" (binary units).
[[nodiscard]] std::string FormatSize(int64_t bytes);

}  // namespace velmira
