// Reading the start of a volume on a failing medium: sector by sector, so
// that one bad sector costs that sector only, and from the backup boot
// sectors (FAT32's at sector 6, NTFS's in the volume's last sector) when the
// first one cannot be read.
#pragma once

#include <cstdint>
#include <vector>

#include "storage/sector_source.h"

namespace velmira {

// Reads `count` sectors of `sectorSize` bytes (the units of
// source.sectorCount) from `firstSector` into `out`. When the whole read
// fails, the sectors are read one by one; those that still fail, and those
// past the end of the source, are left as zeros. Returns how many sectors
// could not be read.
uint32_t ReadSectorsEach(const SectorSource& source, uint64_t firstSector, uint32_t count,
                         uint32_t sectorSize, uint8_t* out);

// Sector of the FAT32 backup boot sector, counted from the volume start.
inline constexpr uint32_t kFat32BackupBootSector = 6;

// True for a sector that can stand in for a volume's boot sector: an NTFS
// boot sector, or a FAT32 one that names itself as the backup at sector 6.
[[nodiscard]] bool IsFat32BackupBootSector(const uint8_t* sector, size_t size);

// The boot sector of the volume that starts at `volumeStart` and spans
// `volumeSectors` (0: to the end of the source), in `sectorSize`-byte units:
// `bytes` bytes from the first sector when it holds an NTFS or FAT boot
// sector. When the first sector cannot be read: from the FAT32 backup
// (sector 6), else from NTFS's backup in the volume's last sector.
// `fromSector` gets the chosen sector relative to the volume start. False
// (with `boot` holding what the first read gave, zeros where it failed) when
// no boot sector is found.
bool ReadVolumeBootSector(const SectorSource& source, uint64_t volumeStart, uint64_t volumeSectors,
                          uint32_t sectorSize, uint32_t bytes, std::vector<uint8_t>& boot,
                          uint64_t& fromSector);

}  // namespace velmira
