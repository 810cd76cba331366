// velmira-cli disks: the drives and, under each, the numbered regions that
// can be probed, scanned or imaged, as a table or as JSON.
#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli_support.h"
#include "cli/command_registry.h"
#include "cli/commands.h"
#include "platform/drives.h"
#include "platform/errors.h"
#include "platform/file_handle.h"
#include "storage/disk_discovery.h"
#include "storage/sector_source.h"

namespace velmira::cli {
namespace {

// What one drive says about itself before its regions are listed.
struct DriveFacts {
  int32_t number = 0;
  std::string path;
  int32_t openError = kOk;  // why it cannot be opened
  bool sized = false;       // geometry and length were read
  uint64_t bytes = 0;
  uint32_t sectorSize = 512;
  bool removable = false;
};

DriveFacts ReadDrive(int32_t number, const std::string& path) {
  DriveFacts d;
  d.number = number;
  d.path = path;
  FileHandle handle;
  d.openError = OpenReadOnly(path, handle);
  if (d.openError != kOk) return d;
  DriveGeometry geometry;
  if (QueryDriveGeometry(handle, geometry) == kOk && geometry.bytesPerSector != 0 &&
      QueryDriveLength(handle, d.bytes) == kOk) {
    d.sized = true;
    d.sectorSize = geometry.bytesPerSector;
  }
  d.removable = IsRemovableDisk(number);
  return d;
}

std::string SizeOf(uint64_t bytes) {
  return FormatSize(static_cast<int64_t>(std::min<uint64_t>(bytes, INT64_MAX)));
}

const char* KindName(RegionKind kind) {
  switch (kind) {
    case RegionKind::kVolume:
      return "volume";
    case RegionKind::kUnallocated:
      return "unallocated";
    case RegionKind::kWholeDrive:
      return "drive";
  }
  return "volume";
}

// The device node or image a region is read through.
std::string DeviceOf(const PartitionRecord& r, const DriveFacts& drive) {
  return r.kind == RegionKind::kVolume && !r.rootPath.empty() ? r.rootPath : drive.path;
}

// ---- text ----------------------------------------------------------------

using Row = std::vector<std::string>;

const Row kHeading = {"No.",         "Device", "Start",      "Length",   "Size",
                      "File system", "Label",  "Mounted on", "Removable"};
// Numbers are aligned to the right.
const bool kRightAligned[] = {true, false, true, true, true, false, false, false, false};

// Characters on the screen: UTF-8 continuation bytes take no column.
size_t Columns(const std::string& text) {
  return static_cast<size_t>(std::count_if(
      text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

Row RowOf(const PartitionRecord& r, const DriveFacts& drive) {
  std::string kind = r.fileSystemName;
  if (r.kind == RegionKind::kVolume && r.partitionType != 0 && r.fileSystemName == "unknown file system") {
    char type[16];
    std::snprintf(type, sizeof type, " (type %02X)", unsigned{r.partitionType});
    kind += type;
  }
  if (r.kind == RegionKind::kUnallocated) kind = "(unallocated)";
  if (r.kind == RegionKind::kWholeDrive) kind = "(whole drive)";
  return {std::to_string(r.letterOrNumber),
          DeviceOf(r, drive),
          std::to_string(r.startSector),
          std::to_string(r.sectorCount),
          SizeOf(r.totalBytes),
          kind,
          r.volumeLabel.empty() ? "-" : TerminalText(r.volumeLabel),
          r.mountPoint.empty() ? "-" : r.mountPoint,
          drive.removable ? "yes" : "no"};
}

void PrintRow(const Row& row, const std::vector<size_t>& widths) {
  std::string line;
  for (size_t i = 0; i < row.size(); ++i) {
    const std::string pad(widths[i] - Columns(row[i]), ' ');
    line += "  ";
    line += kRightAligned[i] ? pad + row[i] : row[i] + pad;
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  std::printf("%s\n", line.c_str());
}

std::string DriveLine(const DriveFacts& d) {
  std::string line = "Drive " + std::to_string(d.number) + ": " + d.path;
  if (d.openError == kErrAccessDenied)
    return line + " - cannot be opened: " + ErrorText(d.openError) +
           " (error 5; reading drives needs root or the 'disk' group)";
  if (d.openError != kOk)
    return line + " - cannot be opened: " + ErrorText(d.openError) + " (error " +
           std::to_string(d.openError) + ")";
  if (!d.sized) return line + " - its size cannot be read";
  char buf[160];
  std::snprintf(buf, sizeof buf, ", %s, %" PRIu64 " sectors of %u bytes", SizeOf(d.bytes).c_str(),
                d.bytes / d.sectorSize, d.sectorSize);
  line += buf;
  if (d.removable) line += ", removable";
  return line;
}

void PrintTable(const std::vector<DriveFacts>& drives, const DiskMap& map) {
  // One set of column widths for the whole listing.
  std::vector<size_t> widths;
  for (const auto& cell : kHeading) widths.push_back(Columns(cell));
  std::vector<std::vector<Row>> rows(drives.size());
  for (const auto& [disk, list] : map.disks) {
    if (disk < 0 || static_cast<size_t>(disk) >= drives.size()) continue;
    for (const auto& record : list) {
      Row row = RowOf(record, drives[static_cast<size_t>(disk)]);
      for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], Columns(row[i]));
      rows[static_cast<size_t>(disk)].push_back(std::move(row));
    }
  }
  for (size_t disk = 0; disk < drives.size(); ++disk) {
    if (disk > 0) std::printf("\n");
    std::printf("%s\n", DriveLine(drives[disk]).c_str());
    if (rows[disk].empty()) continue;
    PrintRow(kHeading, widths);
    for (const auto& row : rows[disk]) PrintRow(row, widths);
  }
}

// ---- JSON ----------------------------------------------------------------

std::string JsonRegion(const PartitionRecord& r, const DriveFacts& drive) {
  // Used and free are known only for a mounted volume.
  const bool known = r.kind == RegionKind::kVolume && !r.mountPoint.empty();
  std::string out = "{\"number\":" + std::to_string(r.letterOrNumber);
  out += ",\"kind\":" + JsonString(KindName(r.kind));
  out += ",\"device\":" + JsonString(DeviceOf(r, drive));
  out += ",\"start\":" + std::to_string(r.startSector);
  out += ",\"length\":" + std::to_string(r.sectorCount);
  out += ",\"bytes\":" + std::to_string(r.totalBytes);
  out += ",\"size\":" + JsonString(SizeOf(r.totalBytes));
  out += ",\"fileSystem\":" + JsonString(r.fileSystemName);
  out += ",\"label\":" + JsonString(r.volumeLabel);
  out += ",\"mountPoint\":" + (r.mountPoint.empty() ? std::string("null") : JsonString(r.mountPoint));
  out += ",\"removable\":" + std::string(drive.removable ? "true" : "false");
  out += ",\"partition\":" + (r.partitionNumber >= 0 ? std::to_string(r.partitionNumber) : "null");
  out += ",\"usedBytes\":" + (known ? std::to_string(r.usedBytes) : "null");
  out += ",\"freeBytes\":" + (known ? std::to_string(r.freeBytes) : "null");
  return out + "}";
}

void PrintJson(const std::vector<DriveFacts>& drives, const DiskMap& map) {
  std::printf("{\"drives\":[");
  for (size_t disk = 0; disk < drives.size(); ++disk) {
    const DriveFacts& d = drives[disk];
    std::string out = disk > 0 ? ",\n" : "\n";
    out += "{\"drive\":" + std::to_string(d.number) + ",\"path\":" + JsonString(d.path);
    if (d.openError != kOk) {
      out +=
          ",\"error\":" + std::to_string(d.openError) + ",\"message\":" + JsonString(ErrorText(d.openError));
    } else if (d.sized) {
      out += ",\"bytes\":" + std::to_string(d.bytes) + ",\"size\":" + JsonString(SizeOf(d.bytes));
      out += ",\"sectorSize\":" + std::to_string(d.sectorSize) +
             ",\"sectors\":" + std::to_string(d.bytes / d.sectorSize);
    }
    out += ",\"removable\":" + std::string(d.removable ? "true" : "false") + ",\"regions\":[";
    const auto it = map.disks.find(static_cast<int32_t>(disk));
    if (it != map.disks.end()) {
      for (size_t i = 0; i < it->second.size(); ++i) out += (i > 0 ? "," : "") + JsonRegion(it->second[i], d);
    }
    out += "]}";
    std::fputs(out.c_str(), stdout);
  }
  std::printf("\n]}\n");
}

int RunDisks(const std::vector<std::string>& args) {
  bool json = false;
  for (const auto& a : args) {
    if (a == "--json") {
      json = true;
    } else {
      std::fprintf(stderr, "velmira-cli: disks takes only --json, got '%s' (see velmira-cli --help)\n",
                   a.c_str());
      return kExitUsage;
    }
  }
  DiskMap map;
  if (!EnumeratePartitions(map)) {
    std::fprintf(stderr, "velmira-cli: cannot read the mount table /proc/self/mountinfo\n");
    return kExitFailed;
  }
  const std::vector<std::string> paths = ListDiskDevices();
  std::vector<DriveFacts> drives;
  for (size_t i = 0; i < paths.size() && i < 128; ++i)
    drives.push_back(ReadDrive(static_cast<int32_t>(i), paths[i]));
  if (json) {
    PrintJson(drives, map);
  } else if (drives.empty()) {
    std::printf("No drives found.\n");
  } else {
    PrintTable(drives, map);
  }
  return kExitOk;
}

}  // namespace

VELMIRA_CLI_COMMAND(disks, "disks", "disks [--json]",
                    "      list the drives and, under each, the numbered regions that can be probed,\n"
                    "      scanned or imaged: volumes, unallocated space, whole drives without\n"
                    "      volumes, with device, start and length in sectors, size, file system,\n"
                    "      label, mount point and whether the drive is removable. A region's number\n"
                    "      is a SOURCE. --json prints the same as one JSON document\n",
                    5, RunDisks);

}  // namespace velmira::cli
