#include "jobs/recovery_destination.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/drives.h"
#include "platform/errors.h"

namespace velmira {
namespace {

// The logical sector size of a block device from sysfs (a partition asks its
// disk); 512 for files and when sysfs does not say.
uint32_t SectorSizeOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return 512;
  std::error_code ec;
  std::filesystem::path dir = std::filesystem::canonical(
      "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)), ec);
  if (ec) return 512;
  if (!std::filesystem::exists(dir / "queue", ec)) dir = dir.parent_path();
  std::ifstream in(dir / "queue" / "logical_block_size");
  unsigned long size = 0;
  if (!(in >> size) || size < 512 || size > 65536 || (size & (size - 1)) != 0) return 512;
  return static_cast<uint32_t>(size);
}

}  // namespace

bool DestinationOnPartition(const std::string& folder, const PartitionRecord& partition) {
  struct stat target {};
  if (folder.empty() || ::stat(folder.c_str(), &target) != 0) return false;
  struct stat st {};
  if (!partition.rootPath.empty() && ::stat(partition.rootPath.c_str(), &st) == 0 && S_ISBLK(st.st_mode) &&
      st.st_rdev == target.st_dev) {
    return true;
  }
  if (!partition.mountPoint.empty() && ::stat(partition.mountPoint.c_str(), &st) == 0 &&
      st.st_dev == target.st_dev) {
    return true;
  }
  std::string reason;
  const ScannedArea area = ScannedAreaOf(partition);
  return !area.path.empty() && DestinationOnScannedArea(folder, area, reason);
}

ScannedArea ScannedAreaOf(const std::string& drivePath, uint64_t startSector, uint64_t sectorCount) {
  ScannedArea area;
  area.path = drivePath;
  const uint64_t sectorSize = SectorSizeOf(drivePath);
  // A start past what 64 bits hold cannot be read anyway: it counts as the end.
  area.startByte = startSector > UINT64_MAX / sectorSize ? UINT64_MAX : startSector * sectorSize;
  area.lengthBytes = sectorCount > UINT64_MAX / sectorSize ? 0 : sectorCount * sectorSize;
  return area;
}

ScannedArea ScannedAreaOf(const PartitionRecord& partition) {
  std::string drive;
  if (partition.diskNumber < 0 || DiskDevicePath(partition.diskNumber, drive) != kOk) return {};
  return ScannedAreaOf(drive, partition.startSector, partition.sectorCount);
}

DestinationCheck CheckRecoveryDestination(const std::string& folder,
                                          const std::vector<ScannedArea>& scanned) {
  DestinationCheck check;
  for (const ScannedArea& area : scanned) {
    if (area.path.empty() || !DestinationOnScannedArea(folder, area, check.reason)) continue;
    check.problem = DestinationProblem::kOnScannedSource;
    return check;
  }
  check.error = CheckDestinationWritable(folder);
  if (check.error != kOk) check.problem = DestinationProblem::kNotWritable;
  return check;
}

}  // namespace velmira
