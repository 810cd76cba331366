// One candidate geometry of a FAT volume somewhere on a source: where its
// data area starts and how large its clusters are. The deep FAT scan infers
// layouts from a boot sector or from pairs of folder-start sectors, and maps
// cluster numbers to sectors through them.
#pragma once

#include <cstdint>
#include <optional>

namespace velmira {

struct FatLayout {
  uint32_t sectorsPerCluster = 0;
  uint64_t dataStart = 0;  // sector of cluster 2, relative to base
  uint64_t base = 0;       // absolute sector the data start is counted from (the partition start)

  // Absolute sector of cluster 2.
  [[nodiscard]] uint64_t DataSector() const { return base + dataStart; }

  // Absolute first sector of a cluster. Cluster 0 stands for the FAT12/16
  // root folder, the 32 sectors before the data area. Empty for cluster 1,
  // for cluster 0 when the data area starts within 32 sectors of base, and
  // for a layout without clusters.
  [[nodiscard]] std::optional<uint64_t> SectorOf(uint32_t cluster) const;

  // The cluster whose first sector is `sector`; empty when the sector is not
  // the start of a data cluster (or the cluster number would not fit a FAT
  // entry).
  [[nodiscard]] std::optional<uint32_t> ClusterStartingAt(uint64_t sector) const;

  // The data cluster that holds `sector`; empty before the data area.
  [[nodiscard]] std::optional<uint32_t> ClusterHolding(uint64_t sector) const;

  // True when `sector` lies inside the cluster (for cluster 0: inside the 32
  // root sectors).
  [[nodiscard]] bool Covers(uint32_t cluster, uint64_t sector) const;

  friend bool operator==(const FatLayout&, const FatLayout&) = default;
};

// Largest cluster number a FAT entry can name (28 bits).
inline constexpr uint32_t kMaxFatCluster = 0x0FFFFFFF;
// Sectors of the FAT12/16 root folder as the deep scan places it: the 32
// sectors before the data area.
inline constexpr uint32_t kFixedRootSectors = 32;

// The layout two folder-start sectors agree on: "." entries naming clusters
// c1 and c2 found at absolute sectors s1 and s2. There is one when the sector
// distance is an exact multiple n (1, 2, 4, ..., 128) of the cluster
// distance and both put cluster 2 at the same sector, at or after
// `partitionStart`; the layout's data start is then relative to it.
// Clusters below 2 never give one.
[[nodiscard]] std::optional<FatLayout> LayoutFromObservations(uint32_t c1, uint64_t s1, uint32_t c2,
                                                              uint64_t s2, uint64_t partitionStart);

}  // namespace velmira
