// The only way the rest of the system gets an engine: recognise the file
// system at the start of a partition or image and build the engine for it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engines/boot_sector.h"
#include "engines/file_recovery_parse.h"
#include "engines/file_system_table.h"
#include "storage/sector_source.h"

namespace velmira {

// The factories read this many bytes at the start of the target.
inline constexpr uint32_t kProbeBytes = 16384;

// What the factories learn about a target before they choose an engine.
struct TargetProbe {
  uint32_t bytesPerSector = 512;  // the source's sector size (SourceSectorSize)
  uint64_t sourceBytes = 0;       // length of the whole drive or image file
  FileSystemKind kind = FileSystemKind::kOther;
  std::vector<FileSystemKind> accepted;  // the file systems the head looks like (more than one: kAmbiguous)
  uint32_t headSectors = 0;              // sectors of the head read
  uint32_t unreadableHeadSectors = 0;    // of them, those that could not be read (left as zeros)
  uint64_t bootSector = 0;               // where the kind was told: 0, or a backup boot sector
};

// Opens the target read-only, reads its first 16,384 bytes sector by sector
// (bad sectors count in unreadableHeadSectors and read as zeros) and
// classifies them; when they tell no file system and the first sector
// cannot be read, the backup boot sectors (FAT32's sector 6, NTFS's last
// sector) are tried. Returns the open error,
// 30 for a target smaller than 16 KiB, or 0. A drive's volume is flushed
// first so that pending writes reach the medium.
[[nodiscard]] int32_t ProbeTarget(const PartitionLocator& target, TargetProbe& probe);

// Builds and opens the engine for a partition of disk diskNumber.
// Null when the drive cannot be opened or read, or (deep = false) when
// no file system is recognised. An engine whose open failed is still returned.
[[nodiscard]] std::unique_ptr<IFileRecoveryParse> CreateEngineForPartition(int32_t diskNumber,
                                                                           uint64_t startSector,
                                                                           uint64_t sectorCount,
                                                                           uint16_t sourceKey, bool deep);

// The same for an image file; imageValue becomes the records' source key.
[[nodiscard]] std::unique_ptr<IFileRecoveryParse> CreateEngineForImage(const std::string& imagePath,
                                                                       uint16_t imageValue, bool deep);

// The engine class the factories choose for a file system (its row's fast
// or deep engine), not yet opened. A deep scan of a head no row tells, or
// that more than one row accepts, gets the combined engine, which then
// sweeps without a fast scan; a fast scan of it gets null.
[[nodiscard]] std::unique_ptr<IFileRecoveryParse> NewEngineFor(FileSystemKind kind, bool deep);

// The probe's file system as the user is told it: "NTFS", "other",
// "ambiguous (NTFS, ext)".
[[nodiscard]] std::string FileSystemText(const TargetProbe& probe);

}  // namespace velmira
