// Whether a recovery destination lies on a partition that was scanned:
// saving there may overwrite the very files still to be recovered.
#pragma once

#include <string>

#include "storage/disk_discovery.h"

namespace velmira {

// True when `folder` is on the file system of `partition`: the folder's
// device is the partition's device node, or the same as that of the
// partition's mount point. False when either cannot be examined.
[[nodiscard]] bool DestinationOnPartition(const std::string& folder, const PartitionRecord& partition);

}  // namespace velmira
