// The fast exFAT scan: walks the volume's folders from the root, breadth
// first, through their entry sets, and records every deleted file and
// folder (and all of a deleted folder, its empty folders too) with the
// folders that lead to them. Data is read back along the allocation table,
// as one run for NoFatChain streams, or through free clusters where a
// deleted file's chain is gone; bytes past a stream's valid data length
// read as zeros. The allocation bitmap tells
// which deleted files were overwritten and gives the combined sweep its
// free extents.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engines/engine_skeleton.h"
#include "engines/exfat/exfat_volume.h"
#include "results/scan_log.h"
#include "storage/sector_source.h"

namespace velmira {

class CFastExfatRecovery final : public CEngineSkeleton {
 public:
  // Bounds against a hostile medium.
  static constexpr size_t kMaxFolders = 1000000;
  static constexpr uint64_t kMaxFolderBytes = 256ULL * 1024 * 1024;  // the format's limit

  CFastExfatRecovery();
  ~CFastExfatRecovery() override;

  int32_t SetProgressCallbacks(ScanProgressCallback scanCallback, FileProgressCallback fileCallback,
                               void* userData, int32_t scale) override;
  int32_t Scan(const std::string& scanLogPath) override;
  int32_t RecoverItem(const FoundRecord& record, const std::string& destination, int32_t rootDepth) override;
  int32_t NextFreeExtent(uint64_t& position, uint64_t& length) override;
  // The bitmap the scan read (or reads it now): 0, or an error when there
  // is none (NextFreeExtent then finds no free space).
  int32_t LoadAllocationMap() override;
  int32_t ExtractForPreview(const FoundRecord& record, std::string& outPath, uint8_t* memory,
                            uint32_t& byteCount, PreviewProgressCallback callback, void* userData) override;

  // Opens an already opened source (a test's or fuzzer's memory reader).
  [[nodiscard]] int32_t OpenSource(SectorSource source, uint64_t startSector, uint64_t sectorCount,
                                   uint16_t sourceKey, uint32_t bytesPerSector = 512) override;
  [[nodiscard]] const ExfatVolume& Volume() const { return m_volume; }
  // A whole boot region (main or backup) was read.
  [[nodiscard]] bool LayoutHolds() const override { return m_volume.Opened(); }
  // The volume's sectors, which NextFreeExtent counts in.
  [[nodiscard]] uint32_t ExtentSectorBytes() const override { return m_volume.Geometry().bytesPerSector; }
  [[nodiscard]] const CScanLog* Store() const { return m_store.get(); }
  [[nodiscard]] uint64_t UnreadSectors() const override { return m_unreadSectors; }
  // The up-case table's location and whether its checksum held (the scan
  // compares no names; a damaged table is only noted).
  [[nodiscard]] bool UpcaseChecked() const { return m_upcaseOk; }

 private:
  struct Folder {
    FoundRecord record;  // recordNumber unused until stored
    uint32_t parent = 0;
    uint32_t depth = 0;  // folders above it
    bool deleted = false;
    bool noFatChain = false;
    uint64_t dataLength = 0;
    bool stored = false;
  };
  int32_t Open(const PartitionLocator& target) override;
  [[nodiscard]] DirectoryKey RootKey() const override {
    return MakeDirectoryKey(0, m_volume.Geometry().rootCluster);
  }
  int32_t Report(int32_t percent);
  // Reads one folder's entry sets; files go to the log, subfolders to the queue.
  void ReadFolder(uint32_t cluster);
  void ReadRootSpecials(ByteView entries);
  void StoreFolders(uint32_t cluster);
  bool ContentMatches(const FoundRecord& file);
  FoundRecord MakeRecord(const ExfatEntrySet& set, uint64_t entrySector) const;
  int32_t CopyData(const FoundRecord& record, OutputSink& sink, const ExfatReport& report);
  int32_t WriteOneFile(const FoundRecord& record, const std::string& path);

  uint64_t m_startSector = 0;
  uint64_t m_sectorCount = 0;
  uint16_t m_sourceKey = 0;
  uint32_t m_sourceSectorBytes = 512;
  bool m_opened = false;
  ExfatVolume m_volume;
  int32_t m_openError = 0;
  bool m_bitmapLoaded = false;
  bool m_upcaseOk = false;
  uint32_t m_bitmapCluster = 0;
  uint64_t m_bitmapLength = 0;

  std::map<uint32_t, Folder> m_folders;  // by first cluster
  std::vector<uint32_t> m_queue;
  std::set<uint32_t> m_read;
  std::vector<uint32_t> m_takenFolders;  // deleted folders whose first cluster is in use
  bool m_takenPass = false;
  uint64_t m_unreadSectors = 0;

  ScanProgressCallback m_scanCallback = nullptr;
  FileProgressCallback m_fileCallback = nullptr;
  void* m_userData = nullptr;
  int32_t m_scale = 0;
};

}  // namespace velmira
