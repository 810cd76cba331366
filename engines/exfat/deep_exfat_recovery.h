// The deep exFAT scan: rebuilds exFAT folders and files from directory
// entry sets met anywhere during a sweep of the whole source, after a quick
// format or with a damaged boot region. The set checksum makes false hits
// rare. Folders are linked through their Stream entries' first clusters:
// a set lies in the cluster of the folder that holds it. Sets in clusters
// no known folder owns go to "LostFolderN" (N the first cluster of their
// run). The cluster size and the heap start come from the boot region when
// it holds and explains the folders found, else they are inferred from the
// folders' first clusters and the sectors where folders start. File data
// follows the allocation table where a file's chain survives whole (the
// table is found by the boot region, or by its first entries before the
// heap), else it is read as consecutive clusters; zeros past the valid
// data length.
//
//   CDeepExfatRecovery engine;
//   engine.OpenImage(path, 1001);
//   engine.BeginDeepExfatLog("");
//   for each sector s at absolute sector n (with the bytes after it):
//     if (CDeepExfatRecovery::HasEntrySet(s)) engine.OnSector(s_and_rest, n);
//   engine.FinishDeepExfat();
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engines/engine_skeleton.h"
#include "engines/exfat/exfat_volume.h"
#include "results/scan_log.h"
#include "storage/sector_source.h"

namespace velmira {

// Where the cluster heap lies: sector of cluster 2 from the partition start
// and the cluster size in sectors.
struct ExfatLayout {
  uint64_t heapOffset = 0;
  uint32_t sectorsPerCluster = 0;
  uint32_t rootCluster = 0;  // 0 when not known
  [[nodiscard]] bool Valid() const { return sectorsPerCluster != 0; }
};

class CDeepExfatRecovery final : public CEngineSkeleton {
 public:
  static constexpr size_t kMaxSets = 4000000;     // further sets are dropped
  static constexpr size_t kMaxVoteFolders = 64;   // folders sampled to infer the layout
  static constexpr size_t kMaxVoteStarts = 4096;  // folder-start sectors sampled
  static constexpr uint32_t kMaxDepth = 256;
  static constexpr size_t kMaxLayoutCandidates = 16;    // equally voted layouts judged further
  static constexpr size_t kMaxOwnedClusters = 4000000;  // folder clusters mapped to their folder

  CDeepExfatRecovery();
  ~CDeepExfatRecovery() override;

  int32_t SetProgressCallbacks(ScanProgressCallback scanCallback, FileProgressCallback fileCallback,
                               void* userData, int32_t scale) override;
  // Does nothing: the scan is driven from outside.
  int32_t Scan(const std::string& scanLogPath) override;
  int32_t RecoverItem(const FoundRecord& record, const std::string& destination, int32_t rootDepth) override;
  int32_t NextFreeExtent(uint64_t&, uint64_t&) override { return 0; }
  int32_t LoadAllocationMap() override { return 0; }
  int32_t ExtractForPreview(const FoundRecord& record, std::string& outPath, uint8_t* memory,
                            uint32_t& byteCount, PreviewProgressCallback callback, void* userData) override;

  // Opens an already opened source (a test's or fuzzer's memory reader).
  [[nodiscard]] int32_t OpenSource(SectorSource source, uint64_t startSector, uint64_t sectorCount,
                                   uint16_t sourceKey, uint32_t bytesPerSector = 512) override;
  // Empties what earlier sweeps found and opens the log: `logName` when
  // continuing, else a fresh "Pro_Exfat_<start>_<time>" log in the
  // registry's current log folder.
  [[nodiscard]] int32_t BeginDeepExfatLog(const std::string& logName);
  // The sweep's test: the sector holds the start of a whole, valid set.
  [[nodiscard]] static bool HasEntrySet(ByteView sector) {
    return MayHoldExfatEntrySet(sector) && HasExfatEntrySet(sector, sector.size());
  }
  // A sector (`bytes` starts with it; the bytes after it may follow, so
  // that sets that run past its end are read without another read) at
  // absolute sector `sector`.
  void OnSector(ByteView bytes, uint64_t sector);
  // Once after the sweep: decides the layout, links the sets and writes
  // the files and the folders that lead to them. 0 or the log's write error.
  int32_t FinishDeepExfat();

  [[nodiscard]] const ExfatLayout& Layout() const { return m_layout; }
  [[nodiscard]] bool LayoutFromBoot() const { return m_layoutFromBoot; }
  [[nodiscard]] size_t SetCount() const { return m_sets.size(); }
  [[nodiscard]] CScanLog* Store() { return m_store.get(); }
  [[nodiscard]] uint32_t BytesPerSector() const { return m_bytesPerSector; }

 private:
  int32_t Open(const PartitionLocator& target) override;

  struct FoundSet {
    ExfatEntrySet set;
    uint64_t sector = 0;  // absolute sector of the File entry
    uint32_t offset = 0;  // its byte offset in that sector
  };
  [[nodiscard]] ExfatLayout InferLayout(uint64_t& bestVotes) const;
  // How well a layout explains the sets (higher is better).
  [[nodiscard]] int64_t LayoutScore(const ExfatLayout& layout) const;
  [[nodiscard]] uint64_t Explained(const ExfatLayout& layout) const;
  // Where a layout's allocation table lies (searched once per layout).
  struct ChainTable {
    bool searched = false;
    bool found = false;
    uint64_t partitionStart = 0;  // the layout it belongs to
    uint64_t dataStart = 0;
    uint32_t clusterBytes = 0;
    uint64_t byteOffset = 0;  // of entry 0, from the source's start
    uint64_t entries = 0;
  };
  const ChainTable& TableFor(const FoundRecord& record);
  bool TableEntry(const ChainTable& table, uint32_t cluster, uint32_t& value);
  // A record's clusters along the table; empty when no whole chain is there.
  std::vector<uint32_t> SurvivingChain(const FoundRecord& record);
  [[nodiscard]] bool OnMedium(const FoundRecord& record, uint32_t cluster) const;
  int32_t CopyData(const FoundRecord& record, OutputSink& sink, const ExfatReport& report);
  int32_t WriteOneFile(const FoundRecord& record, const std::string& path);

  uint64_t m_startSector = 0;
  uint64_t m_sectorCount = 0;
  uint16_t m_sourceKey = 0;
  uint32_t m_bytesPerSector = 512;
  bool m_opened = false;

  std::vector<FoundSet> m_sets;
  std::map<uint64_t, uint32_t>
      m_setSectors;                     // absolute sector -> offsets seen (bit per entry slot, first 32)
  std::vector<uint64_t> m_rootSectors;  // sectors that start with the root's bitmap or up-case entries
  ExfatLayout m_layout;
  bool m_layoutFromBoot = false;
  ChainTable m_table;
  uint64_t m_tableSector = UINT64_MAX;  // the table sector m_tableBytes holds
  std::vector<uint8_t> m_tableBytes;

  ScanProgressCallback m_scanCallback = nullptr;
  FileProgressCallback m_fileCallback = nullptr;
  void* m_userData = nullptr;
  int32_t m_scale = 0;
};

}  // namespace velmira
