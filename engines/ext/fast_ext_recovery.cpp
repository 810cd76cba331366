#include "engines/ext/fast_ext_recovery.h"

#include "platform/drives.h"
#include "platform/errors.h"

namespace velmira {

int32_t CFastExtRecovery::OpenImage(const std::string&, uint16_t) { return kOk; }

int32_t CFastExtRecovery::OpenPartition(int32_t diskNumber, uint64_t startSector,
                                        uint64_t sectorCount, uint16_t) {
  std::string path;
  int32_t err = PhysicalDrivePath(diskNumber, path);
  if (err != kOk) return err;
  err = OpenReadOnly(path, m_drive);
  if (err != kOk) return err;
  m_startSector = startSector;
  m_sectorCount = sectorCount;
  return kOk;
}

}  // namespace velmira
