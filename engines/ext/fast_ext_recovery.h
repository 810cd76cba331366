// The engine for ext2/3/4 volumes in a fast scan: it opens the drive and
// finds nothing, so the scan of such a volume ends at once. A deep scan
// carves ext volumes instead.
#pragma once

#include "engines/engine_skeleton.h"
#include "platform/file_handle.h"

namespace velmira {

class CFastExtRecovery final : public CEngineSkeleton {
 public:
  CFastExtRecovery() = default;
  ~CFastExtRecovery() override = default;

  int32_t SetProgressCallbacks(ScanProgressCallback, FileProgressCallback, void*, int32_t) override {
    return 0;
  }
  int32_t Scan(const std::string&) override { return 0; }
  int32_t RecoverItem(const FoundRecord&, const std::string&, int32_t) override { return 0; }
  int32_t NextFreeExtent(uint64_t&, uint64_t&) override { return 0; }
  int32_t LoadAllocationMap() override { return 0; }
  int32_t ExtractForPreview(const FoundRecord&, std::string&, uint8_t*, uint32_t&, PreviewProgressCallback,
                            void*) override {
    return 0;
  }

  [[nodiscard]] uint64_t StartSector() const { return m_startSector; }
  [[nodiscard]] uint64_t SectorCount() const { return m_sectorCount; }

 private:
  // A partition's drive is opened; an image is not.
  int32_t Open(const PartitionLocator& target) override;

  FileHandle m_drive;
  uint64_t m_startSector = 0;
  uint64_t m_sectorCount = 0;
};

}  // namespace velmira
