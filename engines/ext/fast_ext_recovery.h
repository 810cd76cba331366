// The engine for ext2/3/4 volumes in a fast scan: it opens the drive and
// finds nothing, so the scan of such a volume ends at once. A deep scan
// carves ext volumes instead.
#pragma once

#include "engines/file_recovery_parse.h"
#include "platform/file_handle.h"

namespace velmira {

class CFastExtRecovery final : public IFileRecoveryParse {
 public:
  CFastExtRecovery() = default;
  ~CFastExtRecovery() override = default;

  int32_t OpenImage(const std::string& imagePath, uint16_t imageValue) override;
  int32_t OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                        uint16_t driveLetter) override;
  int32_t SetProgressCallbacks(ScanProgressCallback, FileProgressCallback, void*, int32_t) override {
    return 0;
  }
  int32_t Scan(const std::string&) override { return 0; }
  int32_t ListChildren(const FoundRecord*, uint32_t, std::vector<FoundRecord>&) override { return 0; }
  int32_t CountFiles(const FoundRecord*, uint32_t, uint32_t&) override { return 0; }
  uint64_t GetFoundCount() override { return 0; }
  int32_t GetFolderPath(const FoundRecord&, std::string&, uint32_t) override { return 0; }
  int32_t RecoverItem(const FoundRecord&, const std::string&, int32_t) override { return 0; }
  int32_t NextFreeExtent(uint64_t&, uint64_t&) override { return 0; }
  int32_t SetSearchCallback(SearchProgressCallback, void*) override { return 0; }
  int32_t CollectMatches(const std::string&, std::vector<FoundRecord>&) override { return 0; }
  int32_t LoadAllocationMap() override { return 0; }
  int32_t ExtractForPreview(const FoundRecord&, std::string&, uint8_t*, uint32_t&,
                            PreviewProgressCallback, void*) override {
    return 0;
  }

  [[nodiscard]] uint64_t StartSector() const { return m_startSector; }
  [[nodiscard]] uint64_t SectorCount() const { return m_sectorCount; }

 private:
  FileHandle m_drive;
  uint64_t m_startSector = 0;
  uint64_t m_sectorCount = 0;
};

}  // namespace velmira
