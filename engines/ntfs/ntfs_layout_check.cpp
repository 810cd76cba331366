#include "engines/ntfs/ntfs_layout_check.h"

#include <algorithm>
#include <vector>

#include "engines/boot_sector.h"
#include "engines/boot_sector_read.h"

namespace velmira {

bool NtfsLayoutHolds(const SectorSource& source, const NtfsGeometry& g, ByteView boot) {
  const uint32_t bps = g.bytesPerSector;
  if (bps == 0 || g.recordSize < bps) return false;
  const uint32_t sectors = g.recordSize / bps;
  std::vector<uint8_t> record(size_t{sectors} * bps);
  if (ReadSectorsEach(source, g.mftSector, sectors, bps, record.data()) == 0) {
    // Record 0 is the $MFT's own: "FILE", and its name in UTF-16.
    if (!ByteView(record.data(), record.size()).Matches(0, "FILE")) return false;
    static constexpr uint8_t kName[] = {'$', 0, 'M', 0, 'F', 0, 'T', 0};
    if (std::search(record.begin(), record.end(), std::begin(kName), std::end(kName)) == record.end())
      return false;
  }
  // The backup boot sector follows the volume's last sector.
  const uint64_t volumeSectors = boot.U64At(40);
  if (volumeSectors != 0 && volumeSectors < g.partitionLength) {
    std::vector<uint8_t> backup(bps);
    if (ReadSectorsEach(source, g.partitionStart + volumeSectors, 1, bps, backup.data()) == 0) {
      const ByteView copy(backup.data(), backup.size());
      if (IsNtfsBootSector(copy)) {
        for (size_t i = 11; i < 0x48; ++i)
          if (copy.U8At(i) != boot.U8At(i)) return false;
      }
    }
  }
  return true;
}

}  // namespace velmira
