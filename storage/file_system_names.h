// The names the disk list gives the file systems it finds on volumes, one
// row each, and the partition type byte each stands for: the one the row
// always gives, or the one given only where the partition table gives none
// (GPT, or no table). A file system that the engines learn to read gets its
// row here, beside its row in the engines' file-system table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmira {

struct VolumeNameRow {
  const char* probeType;     // the detector's name ("vfat", "ntfs", ...), lower case
  const char* version;       // the detector's version that must match ("FAT32"), or null for any
  const char* name;          // as the disk list shows it
  uint8_t partitionType;     // always this type byte; 0: keep the table's
  uint8_t typeWithoutTable;  // the type byte where the table gives none
};

// The shown name and type byte of a volume whose file system the detector
// calls `probeType` (any case) in `version`. A file system without a row
// keeps the detector's name (`cleanName`, made safe to show) and, where the
// table gives no type byte, gets 0x83.
void NameVolumeFileSystem(std::string_view probeType, std::string_view version, const std::string& cleanName,
                          std::string& name, uint8_t& partitionType);

}  // namespace velmira
