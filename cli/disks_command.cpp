#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/command_registry.h"
#include "cli/commands.h"
#include "platform/drives.h"
#include "platform/errors.h"
#include "platform/file_handle.h"
#include "storage/disk_discovery.h"
#include "storage/sector_source.h"

namespace velmira::cli {
namespace {

using Row = std::vector<std::string>;

const Row kHeading = {"No.",         "Source", "Size",       "Used", "Free",
                      "File system", "Device", "Mounted on", "Label"};

std::string SourceText(const PartitionRecord& r) {
  if (r.kind == RegionKind::kWholeDrive) return "disk:" + std::to_string(r.diskNumber);
  return "disk:" + std::to_string(r.diskNumber) + ":" + std::to_string(r.startSector) + ":" +
         std::to_string(r.sectorCount);
}

std::string SizeOf(uint64_t bytes) {
  return FormatSize(static_cast<int64_t>(std::min<uint64_t>(bytes, INT64_MAX)));
}

Row RowOf(const PartitionRecord& r, const std::string& drivePath) {
  const bool volume = r.kind == RegionKind::kVolume;
  // Used and free are known only for a mounted volume.
  const bool known = volume && !r.mountPoint.empty();
  std::string kind = r.fileSystemName;
  if (r.kind == RegionKind::kUnallocated) kind = "(unallocated)";
  if (r.kind == RegionKind::kWholeDrive) kind = "(whole drive)";
  return {std::to_string(r.letterOrNumber),
          SourceText(r),
          SizeOf(r.totalBytes),
          known ? SizeOf(r.usedBytes) : "-",
          known ? SizeOf(r.freeBytes) : "-",
          kind,
          volume ? r.rootPath : drivePath,
          r.mountPoint.empty() ? "-" : r.mountPoint,
          r.volumeLabel};
}

void PrintRow(const Row& row, const std::vector<size_t>& widths) {
  std::string line = "  ";
  for (size_t i = 0; i < row.size(); ++i) {
    line += row[i];
    if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  std::printf("%s\n", line.c_str());
}

std::string DriveLine(int32_t disk, const std::string& path) {
  std::string line = "Drive " + std::to_string(disk) + ": " + path;
  FileHandle handle;
  const int32_t err = OpenReadOnly(path, handle);
  if (err == kErrAccessDenied)
    return line + " - cannot be opened: " + ErrorText(err) +
           " (error 5; reading drives needs root or the 'disk' group)";
  if (err != kOk)
    return line + " - cannot be opened: " + ErrorText(err) + " (error " + std::to_string(err) + ")";
  DriveGeometry geometry;
  uint64_t length = 0;
  if (QueryDriveGeometry(handle, geometry) != kOk || QueryDriveLength(handle, length) != kOk)
    return line + " - its size cannot be read";
  char buf[160];
  std::snprintf(buf, sizeof buf, ", %s, %" PRIu64 " sectors of %u bytes", SizeOf(length).c_str(),
                length / geometry.bytesPerSector, geometry.bytesPerSector);
  line += buf;
  if (IsRemovableDisk(disk)) line += ", removable";
  return line;
}

int RunDisks(const std::vector<std::string>& args) {
  if (!args.empty()) {
    std::fprintf(stderr, "velmira-cli: disks takes no arguments (see velmira-cli --help)\n");
    return kExitUsage;
  }
  DiskMap map;
  if (!EnumeratePartitions(map)) {
    std::fprintf(stderr, "velmira-cli: cannot read the mount table /proc/self/mountinfo\n");
    return kExitFailed;
  }
  const std::vector<std::string> drives = ListPhysicalDrives();
  if (drives.empty()) {
    std::printf("No drives found.\n");
    return kExitOk;
  }

  // One set of column widths for the whole listing.
  std::vector<size_t> widths;
  for (const auto& cell : kHeading) widths.push_back(cell.size());
  std::vector<std::vector<Row>> rows(drives.size());
  for (const auto& [disk, list] : map.disks) {
    if (disk < 0 || static_cast<size_t>(disk) >= drives.size()) continue;
    for (const auto& record : list) {
      Row row = RowOf(record, drives[static_cast<size_t>(disk)]);
      for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
      rows[static_cast<size_t>(disk)].push_back(std::move(row));
    }
  }

  for (size_t disk = 0; disk < drives.size(); ++disk) {
    if (disk > 0) std::printf("\n");
    std::printf("%s\n", DriveLine(static_cast<int32_t>(disk), drives[disk]).c_str());
    if (rows[disk].empty()) continue;
    PrintRow(kHeading, widths);
    for (const auto& row : rows[disk]) PrintRow(row, widths);
  }
  return kExitOk;
}

}  // namespace

VELMIRA_CLI_COMMAND(disks, "disks", "disks",
                    "      list the drives and, under each, the numbered regions that can be scanned or\n"
                    "      imaged: volumes, unallocated space, whole drives without volumes; SOURCE\n"
                    "      shows how to name a region to probe or image\n",
                    20, RunDisks);

}  // namespace velmira::cli
