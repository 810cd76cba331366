// The layout of a FAT volume as its boot sector gives it, and the first
// allocation table read through a 16 MiB window.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/byte_view.h"
#include "storage/sector_source.h"

namespace velmira {

struct FatGeometry {
  uint32_t bytesPerSector = 512;
  uint32_t sectorsPerCluster = 1;
  uint32_t reservedSectors = 0;
  uint32_t numberOfTables = 0;
  uint32_t sectorsPerTable = 0;
  uint32_t totalSectors = 0;  // the 32-bit field, else the 16-bit one
  uint32_t rootEntries = 0;   // FAT12/16 root directory entries
  uint32_t rootSectors = 0;   // sectors of the FAT12/16 root directory (0 on FAT32)
  uint32_t rootCluster = 0;   // FAT32 root cluster, else 0
  uint32_t dataStart = 0;     // sector of cluster 2, relative to the volume
  uint32_t clusterCount = 0;  // data clusters (clusters 2 .. clusterCount + 1)
  bool isFat32 = false;       // "FAT32   " at offset 82
  uint32_t entryBits = 16;    // 12, 16 or 32: the width of an allocation-table entry

  [[nodiscard]] uint32_t ClusterBytes() const { return sectorsPerCluster * bytesPerSector; }
  // Sector of a cluster relative to the volume; cluster 0 (and 1) on FAT12/16
  // is the root directory.
  [[nodiscard]] uint64_t ClusterSector(uint32_t cluster) const;
  // First sector of the FAT12/16 root directory.
  [[nodiscard]] uint32_t RootSector() const { return dataStart - rootSectors; }
  // An entry at or above this value ends a chain.
  [[nodiscard]] uint32_t EndOfChain() const;
};

// Derives the geometry from a boot sector. False when the fields cannot
// describe a volume (zero or non-power-of-two sizes, data area past the end).
[[nodiscard]] bool ReadFatGeometry(ByteView bootSector, FatGeometry& geometry);

// The first allocation table of a volume, read through a 16 MiB window that
// is reloaded only when a lookup falls outside it.
class FatTable {
 public:
  static constexpr uint32_t kWindowBytes = 16 * 1024 * 1024;

  // `tableStart` is the absolute sector of the first table.
  FatTable(const SectorSource& source, const FatGeometry& geometry, uint64_t tableStart);

  // Fills the window from the start of the table (the result is not fatal:
  // lookups reload on demand).
  void Load();

  // The raw entry of a cluster (top four bits of FAT32 entries cleared).
  // Returns 0 or the read error (30 for a read of no sectors).
  [[nodiscard]] int32_t Entry(uint32_t cluster, uint32_t& value);

  // The cluster after `cluster`: the chain's next cluster; 0 at the end of a
  // chain or on a read error; for a free entry (a deleted file's chain) the
  // following cluster when its entry is free too, else 0.
  [[nodiscard]] uint32_t NextCluster(uint32_t cluster);

  // True for an entry value that names a next cluster (not free, not an end
  // mark, not a bad-cluster mark, inside the volume).
  [[nodiscard]] bool IsChainValue(uint32_t value) const;

 private:
  [[nodiscard]] int32_t LoadWindowAt(uint64_t byteOffset);

  const SectorSource& m_source;
  const FatGeometry& m_geometry;
  uint64_t m_tableStart;
  uint64_t m_tableBytes;
  uint64_t m_readableEnd;      // table bytes beyond this could not be read
  uint64_t m_windowStart = 0;  // byte offset of the window inside the table
  std::vector<uint8_t> m_window;
  bool m_loaded = false;
};

}  // namespace velmira
