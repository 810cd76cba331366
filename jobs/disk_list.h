// The disk list of the desktop program without its widgets: one snapshot of
// the drives and their regions, the arrival and removal comparisons that
// decide which disk rows change after a device event, and the texts of the
// rows and of the facts shown for a selected row.
//
// Drive numbers on Linux follow the order of the devices present, so a
// device that arrives or leaves can renumber the others. The comparisons
// therefore know a disk by its device path (or image path), not by its number.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/language_manager.h"
#include "storage/disk_discovery.h"

namespace velmira {

struct DriveInfo {
  int32_t diskNumber = -1;
  std::string path;  // /dev/sdb, or an image file standing in for a drive
  bool removable = false;
  uint64_t length = 0;    // 0 when it cannot be read
  int32_t openError = 0;  // why the drive cannot be opened; 0 when it can
};

struct DiskSnapshot {
  DiskMap map;
  std::vector<DriveInfo> drives;  // index = disk number
  bool listed = false;            // false when the regions could not be listed at all

  [[nodiscard]] const DriveInfo* Drive(int32_t diskNumber) const;
  [[nodiscard]] std::string DrivePath(int32_t diskNumber) const;
  // The disk numbers to show, in order: every drive with regions, and every
  // drive that cannot be read for want of permission.
  [[nodiscard]] std::vector<int32_t> DiskNumbers() const;
  // The regions of one disk (empty when it has none).
  [[nodiscard]] const std::vector<PartitionRecord>& Regions(int32_t diskNumber) const;
  // The region of a drive (by path) that starts at `startSector`, or null.
  [[nodiscard]] const PartitionRecord* FindRegion(const std::string& drivePath, uint64_t startSector) const;
};

// Lists the drives and their regions now (EnumeratePartitions).
[[nodiscard]] DiskSnapshot TakeDiskSnapshot();

// Arrival: the disks of `fresh` whose drive path has no row yet (a card
// reader whose row had no regions counts as having none: leave it out of
// `listedPaths`).
[[nodiscard]] std::vector<int32_t> ArrivedDisks(const std::set<std::string>& listedPaths,
                                                const DiskSnapshot& fresh);

// Removal: the drive paths of `kept` that `fresh` no longer lists, or with a
// region that `fresh` no longer reports (same drive, same start sector).
[[nodiscard]] std::set<std::string> DisksWithLostRegions(const DiskSnapshot& kept, const DiskSnapshot& fresh);

// Texts of one row of the list, by column.
struct RowTexts {
  std::string name;
  std::string type;
  std::string size;
  std::string mount;
};

// Texts the list and the facts take from the "MainWnd" section besides the
// message ids.
inline constexpr const char* kTextUnallocated = "StrUnallocated";
inline constexpr const char* kTextWholeDrive = "StrWholeDrive";
inline constexpr const char* kTextNoAccess = "StrNoAccess";
inline constexpr const char* kTextDevice = "StrDevice";
inline constexpr const char* kTextMountedOn = "StrMountedOn";
inline constexpr const char* kTextNotMounted = "StrNotMounted";
inline constexpr const char* kTextUnknownSize = "StrUnknown";

// The fixed name of the group row that holds the loaded images.
inline constexpr const char* kImageGroupText = "Image File";

// A byte count as FormatSize writes it (values past INT64_MAX are capped).
[[nodiscard]] std::string SizeText(uint64_t bytes);
// The text after the last "/" of a path.
[[nodiscard]] std::string FileNameOf(const std::string& path);
// How a Linux user names a region: its device node, or for a volume inside
// an image file the file name and "#" with the partition number; for
// unallocated space and whole drives the drive's path.
[[nodiscard]] std::string DeviceText(const PartitionRecord& record, const std::string& drivePath);

// "Disk 1  /dev/sda" ("MSG0201", or "MSG0202" for a removable disk, and the
// number plus 1), the drive's size, nothing else.
[[nodiscard]] RowTexts DiskRowTexts(const DriveInfo& drive, const TextSection& messages,
                                    const TextSection& window);
// "1:  /dev/sdb1  CAMERA", the file-system name, the size, the mount point;
// unallocated space and whole drives are named by the window texts.
[[nodiscard]] RowTexts PartitionRowTexts(const PartitionRecord& record, const std::string& drivePath,
                                         const TextSection& window);
// The image's path, no type, its size.
[[nodiscard]] RowTexts ImageRowTexts(const std::string& path, uint64_t size);

// Number of fact labels ("Label1" to "Label10").
inline constexpr size_t kFactLabels = 10;
using FactTexts = std::vector<std::string>;  // kFactLabels entries, "" for an empty label

// Label1 number, Label2 volume label, Label3 file system, Label4 to Label6
// total, used and free bytes ("-" for a volume that is not mounted, whose
// free space is not known), Label7 device, Label8 mount point.
[[nodiscard]] FactTexts PartitionFacts(const PartitionRecord& record, const std::string& drivePath,
                                       const TextSection& messages, const TextSection& window);
// Label1 the path ("MSG0209"), Label2 the size ("MSG0210").
[[nodiscard]] FactTexts ImageFacts(const std::string& path, uint64_t size, const TextSection& messages);
// Label1 the disk's name, Label4 its size, Label7 its device.
[[nodiscard]] FactTexts DiskFacts(const DriveInfo& drive, const TextSection& messages,
                                  const TextSection& window);

// The text of `key` in a section, empty when missing.
[[nodiscard]] std::string TextOf(const TextSection& section, const std::string& key);

}  // namespace velmira
