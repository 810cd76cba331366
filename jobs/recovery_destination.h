// Whether a recovery destination may be used: it must not lie on a source
// that was scanned (saving there may overwrite the very files still to be
// recovered) and it must take files. Both front ends ask before they start.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "storage/destination_safety.h"
#include "storage/disk_discovery.h"

namespace velmira {

// True when `folder` is on the file system of `partition`: the folder's
// device is the partition's device node, the same as that of the
// partition's mount point, or stored inside the partition's sectors of its
// drive (see DestinationOnScannedArea). False when none can be examined.
[[nodiscard]] bool DestinationOnPartition(const std::string& folder, const PartitionRecord& partition);

// The bytes of `sectorCount` sectors (0: to the end) from `startSector` of a
// drive or image file, counted in the drive's own sector size (512 for a
// file, the logical block size sysfs gives for a device).
[[nodiscard]] ScannedArea ScannedAreaOf(const std::string& drivePath, uint64_t startSector,
                                        uint64_t sectorCount);

// The area a partition record stands for on its disk; an empty path
// when the drive is unknown.
[[nodiscard]] ScannedArea ScannedAreaOf(const PartitionRecord& partition);

enum class DestinationProblem {
  kNone,
  kOnScannedSource,  // `reason` says which device and source
  kNotWritable,      // `error` is the Win32 code of the failing step
};

struct DestinationCheck {
  DestinationProblem problem = DestinationProblem::kNone;
  std::string reason;
  int32_t error = 0;
};

// Refuses a folder that lies on any of the scanned areas, then one that
// cannot be created and written (CheckDestinationWritable). The folder is
// created (with its parents) when it passes the first check.
[[nodiscard]] DestinationCheck CheckRecoveryDestination(const std::string& folder,
                                                        const std::vector<ScannedArea>& scanned);

}  // namespace velmira
