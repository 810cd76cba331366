// The tests that decide which file system starts a partition.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engines/file_system_table.h"
#include "platform/byte_view.h"

namespace velmira {

// Each test takes the boot sector (512 bytes; a shorter view fails).
[[nodiscard]] bool IsNtfsBootSector(ByteView sector);
[[nodiscard]] bool IsEncryptedVolumeBootSector(ByteView sector);
[[nodiscard]] bool IsFat16BootSector(ByteView sector);
[[nodiscard]] bool IsFat32BootSector(ByteView sector);
[[nodiscard]] bool IsFatBootSector(ByteView sector);
// Takes the 1,024-byte superblock (found at offset 1,024 of the partition).
[[nodiscard]] bool IsExtSuperblock(ByteView superblock);
// The head of a volume holds NTFS, FAT, exFAT or ext: the tests above as the rows
// of the file-system table (engines/file_system_table.h) apply them.
[[nodiscard]] bool IsNtfsHead(ByteView head);
[[nodiscard]] bool IsFatHead(ByteView head);
[[nodiscard]] bool IsExfatHead(ByteView head);
[[nodiscard]] bool IsExtHead(ByteView head);  // the superblock at 1,024

}  // namespace velmira
