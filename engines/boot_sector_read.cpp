#include "engines/boot_sector_read.h"

#include <algorithm>
#include <cstring>

#include "engines/boot_sector.h"
#include "platform/errors.h"

namespace velmira {

uint32_t ReadSectorsEach(const SectorSource& source, uint64_t firstSector, uint32_t count,
                         uint32_t sectorSize, uint8_t* out) {
  if (count == 0 || sectorSize == 0) return 0;
  std::memset(out, 0, size_t{count} * sectorSize);
  // Only the sectors inside the source are asked for.
  const uint64_t inside = firstSector >= source.sectorCount ? 0 : source.sectorCount - firstSector;
  const auto readable = static_cast<uint32_t>(std::min<uint64_t>(count, inside));
  uint32_t got = 0;
  if (readable != 0 && ReadSectors(readable, source, out, firstSector, sectorSize, got) == kOk &&
      got == readable)
    return count - readable;
  uint32_t unread = count - readable;
  // The whole read stopped at a bad sector: the rest is read one by one.
  for (uint32_t i = got; i < readable; ++i) {
    uint8_t* at = out + size_t{i} * sectorSize;
    uint32_t one = 0;
    if (ReadSectors(1, source, at, firstSector + i, sectorSize, one) != kOk || one != 1) {
      std::memset(at, 0, sectorSize);
      ++unread;
    }
  }
  return unread;
}

bool IsFat32BackupBootSector(const uint8_t* sector, size_t size) {
  const ByteView view(sector, size);
  return IsFatBootSector(view) && IsFat32BootSector(view) && view.U16At(50) == kFat32BackupBootSector;
}

namespace {

bool IsBootSector(const std::vector<uint8_t>& bytes) {
  const ByteView view(bytes.data(), bytes.size());
  return IsNtfsBootSector(view) || IsFatBootSector(view);
}

}  // namespace

bool ReadVolumeBootSector(const SectorSource& source, uint64_t volumeStart, uint64_t volumeSectors,
                          uint32_t sectorSize, uint32_t bytes, std::vector<uint8_t>& boot,
                          uint64_t& fromSector) {
  fromSector = 0;
  if (sectorSize == 0) return false;
  const uint32_t sectors = std::max<uint32_t>(1, (bytes + sectorSize - 1) / sectorSize);
  std::vector<uint8_t> buffer(size_t{sectors} * sectorSize);
  auto readAt = [&](uint64_t relative) {
    // Unreadable sectors read as zeros, which no boot sector test accepts.
    (void)ReadSectorsEach(source, volumeStart + relative, sectors, sectorSize, buffer.data());
    std::vector<uint8_t> piece(buffer.begin(), buffer.begin() + std::min<size_t>(bytes, buffer.size()));
    piece.resize(bytes, 0);
    return piece;
  };
  boot = readAt(0);
  if (IsBootSector(boot)) return true;
  // A first sector that reads says what the volume is, even when it says
  // nothing; the backups stand in for one that cannot be read.
  std::vector<uint8_t> first(sectorSize);
  if (ReadSectorsEach(source, volumeStart, 1, sectorSize, first.data()) == 0) return false;

  if (volumeSectors == 0 && source.sectorCount > volumeStart)
    volumeSectors = source.sectorCount - volumeStart;
  if (volumeSectors > kFat32BackupBootSector) {
    std::vector<uint8_t> backup = readAt(kFat32BackupBootSector);
    if (IsFat32BackupBootSector(backup.data(), backup.size())) {
      boot = std::move(backup);
      fromSector = kFat32BackupBootSector;
      return true;
    }
  }
  if (volumeSectors > 1) {
    std::vector<uint8_t> backup = readAt(volumeSectors - 1);
    if (IsNtfsBootSector(ByteView(backup.data(), backup.size()))) {
      boot = std::move(backup);
      fromSector = volumeSectors - 1;
      return true;
    }
  }
  return false;
}

}  // namespace velmira
