#include "engines/ext/fast_ext_recovery.h"

#include "platform/drives.h"
#include "platform/errors.h"

namespace velmira {

int32_t CFastExtRecovery::Open(const PartitionLocator& target) {
  if (target.IsImage()) return kOk;
  std::string path;
  int32_t err = DiskDevicePath(target.diskNumber, path);
  if (err != kOk) return err;
  err = OpenReadOnly(path, m_drive);
  if (err != kOk) return err;
  m_startSector = target.startSector;
  m_sectorCount = target.sectorCount;
  return kOk;
}

}  // namespace velmira
