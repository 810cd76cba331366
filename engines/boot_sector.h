// The tests that decide which file system starts a partition.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/byte_view.h"

namespace velmira {

enum class FileSystemKind { kNtfs, kFat, kExt, kOther, kExfat };

// Each test takes the boot sector (512 bytes; a shorter view fails).
[[nodiscard]] bool IsNtfsBootSector(ByteView sector);
[[nodiscard]] bool IsEncryptedVolumeBootSector(ByteView sector);
[[nodiscard]] bool IsFat16BootSector(ByteView sector);
[[nodiscard]] bool IsFat32BootSector(ByteView sector);
[[nodiscard]] bool IsFatBootSector(ByteView sector);
// Takes the 1,024-byte superblock (found at offset 1,024 of the partition).
[[nodiscard]] bool IsExtSuperblock(ByteView superblock);

// NTFS, then FAT, then exFAT, then ext (superblock at 1,024), else other. `head` is the
// first bytes of the partition, at least 2,048 for the ext test to run.
[[nodiscard]] FileSystemKind ClassifyFileSystem(ByteView head);

[[nodiscard]] const char* FileSystemKindName(FileSystemKind kind);

}  // namespace velmira
