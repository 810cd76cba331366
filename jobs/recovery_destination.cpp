#include "jobs/recovery_destination.h"

#include <sys/stat.h>

namespace velmira {

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
  return false;
}

}  // namespace velmira
