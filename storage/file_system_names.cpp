#include "storage/file_system_names.h"

#include "platform/text.h"

namespace velmira {
namespace {

constexpr VolumeNameRow kVolumeNames[] = {
    {"ntfs", nullptr, "NTFS", 7, 7},        {"vfat", "FAT32", "FAT32", 11, 11},
    {"vfat", nullptr, "FAT", 6, 6},         {"msdos", "FAT32", "FAT32", 11, 11},
    {"msdos", nullptr, "FAT", 6, 6},        {"exfat", nullptr, "exFAT", 0, 0x07},
    {"hfs", nullptr, nullptr, 0, 0xAF},  // null name: the detector's
    {"hfsplus", nullptr, nullptr, 0, 0xAF},
};

constexpr uint8_t kOtherTypeWithoutTable = 0x83;

}  // namespace

void NameVolumeFileSystem(std::string_view probeType, std::string_view version, const std::string& cleanName,
                          std::string& name, uint8_t& partitionType) {
  const std::string type = AsciiLower(probeType);
  for (const VolumeNameRow& row : kVolumeNames) {
    if (type != row.probeType) continue;
    if (row.version != nullptr && !AsciiEqualNoCase(version, row.version)) continue;
    name = row.name != nullptr ? row.name : cleanName;
    if (row.partitionType != 0)
      partitionType = row.partitionType;
    else if (partitionType == 0)
      partitionType = row.typeWithoutTable;
    return;
  }
  name = cleanName;
  if (partitionType == 0) partitionType = kOtherTypeWithoutTable;
}

}  // namespace velmira
