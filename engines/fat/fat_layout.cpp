#include "engines/fat/fat_layout.h"

namespace velmira {

std::optional<uint64_t> FatLayout::SectorOf(uint32_t cluster) const {
  if (sectorsPerCluster == 0) return std::nullopt;
  if (cluster == 0) {
    if (dataStart < kFixedRootSectors) return std::nullopt;
    return base + dataStart - kFixedRootSectors;
  }
  if (cluster == 1) return std::nullopt;
  return DataSector() + uint64_t{cluster - 2} * sectorsPerCluster;
}

std::optional<uint32_t> FatLayout::ClusterHolding(uint64_t sector) const {
  if (sectorsPerCluster == 0 || sector < DataSector()) return std::nullopt;
  const uint64_t index = (sector - DataSector()) / sectorsPerCluster;
  if (index > kMaxFatCluster - 2) return std::nullopt;
  return static_cast<uint32_t>(index + 2);
}

std::optional<uint32_t> FatLayout::ClusterStartingAt(uint64_t sector) const {
  if (sectorsPerCluster == 0 || sector < DataSector()) return std::nullopt;
  if ((sector - DataSector()) % sectorsPerCluster != 0) return std::nullopt;
  return ClusterHolding(sector);
}

bool FatLayout::Covers(uint32_t cluster, uint64_t sector) const {
  const std::optional<uint64_t> first = SectorOf(cluster);
  if (!first || sector < *first) return false;
  const uint64_t span = cluster == 0 ? kFixedRootSectors : sectorsPerCluster;
  return sector - *first < span;
}

std::optional<FatLayout> LayoutFromObservations(uint32_t c1, uint64_t s1, uint32_t c2, uint64_t s2,
                                                uint64_t partitionStart) {
  if (c1 == c2 || c1 < 2 || c2 < 2) return std::nullopt;
  const bool firstSmaller = c1 < c2;
  const uint32_t cs = firstSmaller ? c1 : c2, cb = firstSmaller ? c2 : c1;
  const uint64_t ss = firstSmaller ? s1 : s2, sb = firstSmaller ? s2 : s1;
  // The higher cluster must lie at the higher sector.
  if (sb <= ss) return std::nullopt;
  const uint64_t sectorGap = sb - ss, clusterGap = cb - cs;
  if (sectorGap % clusterGap != 0) return std::nullopt;
  const uint64_t n = sectorGap / clusterGap;
  if (n == 0 || n > 128 || (n & (n - 1)) != 0) return std::nullopt;
  // Cluster 2 must lie at or after the partition start: no wrap below 0.
  const uint64_t back = n * (cs - 2);
  if (back > ss || ss - back < partitionStart) return std::nullopt;
  const uint64_t dataSector = ss - back;
  if (sb - n * (cb - 2) != dataSector) return std::nullopt;
  FatLayout layout;
  layout.sectorsPerCluster = static_cast<uint32_t>(n);
  layout.dataStart = dataSector - partitionStart;
  layout.base = partitionStart;
  return layout;
}

}  // namespace velmira
