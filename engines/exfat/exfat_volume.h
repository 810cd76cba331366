// An exFAT volume as the engines read it: the boot region (main, else
// backup), the active allocation table, the allocation bitmap, and the
// cluster lists of files and folders, live or deleted. Also the copy of a
// found file's data that both exFAT engines share.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engines/exfat/exfat_format.h"
#include "engines/output_sink.h"
#include "results/found_record.h"
#include "storage/sector_source.h"

namespace velmira {

class ExfatVolume {
 public:
  // Clusters one list may hold: a hostile size never makes a list larger
  // than the volume.
  static constexpr uint64_t kMaxListClusters = 1ULL << 26;

  // Reads the boot region at `start` (sectors of `bytesPerSector`, the
  // source's), or the backup region 12 of the volume's sectors on when the
  // main one is damaged. 0, the read error, or kErrInvalidData when neither
  // holds an exFAT boot region. A volume whose own sectors are not the
  // source's is found (RegionFound, Geometry) but not opened:
  // kErrInvalidParameter, until the source is recounted in its sectors
  // (RecountSectors) and it is opened again in them.
  [[nodiscard]] int32_t Open(const SectorSource* source, uint64_t start, uint64_t sectorCount,
                             uint32_t bytesPerSector);
  // Loads the active allocation table (0 or the read error).
  [[nodiscard]] int32_t LoadFat();
  // Loads the allocation bitmap from its first cluster (contiguous, as
  // the format keeps it) for `length` bytes.
  [[nodiscard]] int32_t LoadBitmap(uint32_t firstCluster, uint64_t length);

  [[nodiscard]] const ExfatGeometry& Geometry() const { return m_geometry; }
  [[nodiscard]] bool Opened() const { return m_opened; }
  [[nodiscard]] bool RegionFound() const { return m_found; }
  [[nodiscard]] bool FromBackup() const { return m_fromBackup; }
  [[nodiscard]] bool HasFat() const { return !m_fat.empty(); }
  [[nodiscard]] bool HasBitmap() const { return !m_bitmap.empty(); }
  [[nodiscard]] const std::vector<uint8_t>& Bitmap() const { return m_bitmap; }
  [[nodiscard]] uint64_t StartSector() const { return m_start; }
  [[nodiscard]] uint64_t SectorCount() const { return m_sectorCount; }

  // The table's entry for a cluster; false outside the table.
  [[nodiscard]] bool FatEntry(uint32_t cluster, uint32_t& value) const;
  // Whether the bitmap marks a cluster in use (false without a bitmap).
  [[nodiscard]] bool InUse(uint32_t cluster) const;
  // Absolute sector of a cluster.
  [[nodiscard]] uint64_t ClusterSector(uint32_t cluster) const {
    return m_start + m_geometry.ClusterSector(cluster);
  }

  // The clusters that hold `bytes` bytes from `first`: consecutive with
  // NoFatChain; else along the table, and for a deleted item whose chain is
  // gone (a free entry) through the next free clusters upwards, as the data
  // was laid down. Ends early (the list shorter) at a loop, a bad or
  // out-of-range cluster, or a chain that ends before the size.
  [[nodiscard]] std::vector<uint32_t> Clusters(uint32_t first, uint64_t bytes, bool noFatChain,
                                               bool deleted) const;

  // Reads one cluster into `buffer` (ClusterBytes); 0 or the read error.
  [[nodiscard]] int32_t ReadCluster(uint32_t cluster, std::vector<uint8_t>& buffer) const;

 private:
  const SectorSource* m_source = nullptr;
  uint64_t m_start = 0;
  uint64_t m_sectorCount = 0;
  bool m_opened = false;
  bool m_found = false;
  bool m_fromBackup = false;
  ExfatGeometry m_geometry;
  std::vector<uint32_t> m_fat;
  std::vector<uint8_t> m_bitmap;
};

// Reads the set whose File entry lies in `entrySector` and whose Stream
// entry names `firstCluster` and `dataLength` (three sectors are read, the
// most a set can span from there). False when no such set is there.
[[nodiscard]] bool FindExfatSetAt(const SectorSource& source, uint64_t entrySector, uint32_t bytesPerSector,
                                  uint32_t firstCluster, uint64_t dataLength, ExfatEntrySet& set);

// Reads `size` bytes at byte `offset` of a source whose sectors are
// `sectorBytes` long, through the whole sectors around them. Bytes that
// cannot be read are zeros; false when any could not be.
bool ReadExfatBytes(const SectorSource& source, uint32_t sectorBytes, uint64_t offset, size_t size,
                    uint8_t* out);

// Recounts a source, and `start` and `count` on it, from `fromBytes`-byte
// sectors into `toBytes`-byte ones, so that a volume is read in its own
// sectors. False, with nothing changed, when `start` does not fall on such
// a sector.
[[nodiscard]] bool RecountSectors(SectorSource& source, uint32_t fromBytes, uint32_t toBytes, uint64_t& start,
                                  uint64_t& count);

using ExfatReport = std::function<int32_t(int32_t percent, int32_t error)>;

// Copies a found file: `clusters` (each read at partitionStart + dataStart
// + (cluster - 2) x clusterBytes / bytesPerSector, as the record gives the
// layout) up to the record's size; bytes past `validLength` are zeros. A
// list that ends before the size ends the copy with kErrFileCorrupt.
[[nodiscard]] int32_t CopyExfatClusters(const SectorSource& source, uint32_t bytesPerSector,
                                        const FoundRecord& record, const std::vector<uint32_t>& clusters,
                                        uint64_t validLength, OutputSink& sink, const ExfatReport& report);

}  // namespace velmira
