// The fast FAT scan: walks a FAT12/16/32 volume's folders from the root,
// breadth first, and records every deleted file (and every file inside a
// deleted folder) with the folders that lead to it. Reads file data back
// through the allocation table, or through free clusters where a deleted
// file's chain is gone.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engines/engine_skeleton.h"
#include "engines/fat/fat_volume.h"
#include "engines/output_sink.h"
#include "platform/status.h"
#include "results/scan_log.h"
#include "storage/sector_source.h"

namespace velmira {

class CFastFatRecovery final : public CEngineSkeleton {
 public:
  CFastFatRecovery();
  ~CFastFatRecovery() override;

  int32_t SetProgressCallbacks(ScanProgressCallback scanCallback, FileProgressCallback fileCallback,
                               void* userData, int32_t scale) override;
  int32_t Scan(const std::string& scanLogPath) override;
  int32_t RecoverItem(const FoundRecord& record, const std::string& destination, int32_t rootDepth) override;
  int32_t NextFreeExtent(uint64_t& position, uint64_t& length) override;
  // Loads the map NextFreeExtent walks. Returns 0, or an error when the map
  // cannot be read (NextFreeExtent then finds no free space).
  int32_t LoadAllocationMap() override;
  int32_t ExtractForPreview(const FoundRecord& record, std::string& outPath, uint8_t* memory,
                            uint32_t& byteCount, PreviewProgressCallback callback, void* userData) override;

  [[nodiscard]] const FatGeometry& Geometry() const { return m_geometry; }
  // Whether the boot sector's layout holds on the medium (FatLayoutHolds);
  // false before a successful open. A scan that finds it does not sweeps the
  // whole medium rather than the free space this layout maps.
  [[nodiscard]] bool LayoutHolds() const override;
  [[nodiscard]] uint32_t BytesPerSector() const { return m_bytesPerSector; }
  // The scan log of the last Scan (null before).
  [[nodiscard]] const CScanLog* Store() const { return m_store.get(); }
  // Sectors of folders the last scan could not read (their files are
  // missing from the results).
  [[nodiscard]] uint64_t UnreadSectors() const override { return m_unreadSectors; }
  [[nodiscard]] uint32_t ExtentSectorBytes() const override { return m_bytesPerSector; }
  // How often the walk reports progress (5 s; tests shorten it).
  void SetReportInterval(uint64_t milliseconds) { m_reportIntervalMs = milliseconds; }

  // Where the next new scan log goes (see IFileRecoveryParse).

 private:
  int32_t Open(const PartitionLocator& target) override;
  [[nodiscard]] DirectoryKey RootKey() const override { return MakeDirectoryKey(0, m_geometry.rootCluster); }
  // Lists a folder's deleted files and queues its subfolders. Skip when
  // the folder cannot be read (its files are lost with it), Fatal once the
  // scan log has failed a write.
  [[nodiscard]] Status ReadFolder(uint32_t cluster);
  // The reading itself: 0 or the read error that ended it.
  int32_t ReadFolderClusters(uint32_t cluster);
  int32_t Report(int32_t percent, int32_t secondsLeft);
  uint32_t FolderDepth(uint32_t cluster);
  uint32_t SearchHighHalf(uint32_t low, bool folder, const std::string& extension);
  // Whether a file of `size` bytes from `cluster` can be read back: its
  // first cluster inside the volume and the source, and, when the cluster
  // sits in a chain, a chain that reaches the size without ending or
  // passing a cluster twice.
  bool DataReachable(uint32_t cluster, uint64_t size);
  // DataReachable, then the first sector against the type the name gives.
  bool ContentMatches(uint32_t cluster, const std::string& name, uint64_t size);
  // Whether the first cluster of a deleted file of `size` bytes is in a chain now.
  bool FirstClusterTaken(uint32_t cluster, uint64_t size);
  void AddFoldersToStore(uint32_t cluster);
  void StoreFolders();
  uint64_t AbsoluteClusterSector(const FoundRecord& record, uint32_t cluster) const;
  uint32_t NextFileCluster(uint32_t cluster, bool& freeRun);
  // The cluster loop shared by recovery and preview: reads the record's
  // clusters and hands them to the sink, reporting after each cluster.
  template <typename ReportFn>
  int32_t CopyClusters(const FoundRecord& record, OutputSink& sink, ReportFn report);
  int32_t WriteOneFile(const FoundRecord& record, const std::string& path);

  // Target.
  uint64_t m_startSector = 0;
  uint64_t m_sectorCount = 0;
  uint16_t m_sourceKey = 0;
  uint32_t m_bytesPerSector = 512;
  bool m_opened = false;
  std::vector<uint8_t> m_bootSector;
  FatGeometry m_geometry;
  std::unique_ptr<FatTable> m_table;

  // Allocation map for the carver: one bit per data cluster.
  std::vector<uint8_t> m_allocationMap;

  // Scan state.
  std::deque<uint32_t> m_pendingFolders;
  std::set<uint32_t> m_foldersRead;
  std::map<uint32_t, FoundRecord> m_folderRecords;  // recordNumber holds the parent cluster while waiting
  std::vector<uint32_t> m_foldersToStore;
  std::set<uint32_t> m_foldersToStoreSet;
  std::map<uint32_t, uint32_t> m_depthCache;
  uint64_t m_reportIntervalMs = 5000;
  uint64_t m_unreadSectors = 0;

  // Callbacks.
  ScanProgressCallback m_scanCallback = nullptr;
  FileProgressCallback m_fileCallback = nullptr;
  void* m_userData = nullptr;
  int32_t m_scale = 0;
};

}  // namespace velmira
