// The signature carver: decides for a sector handed to it whether a file of
// a known type starts there, how long it is, and records it as a file named
// after its first sector ("123456.jpg"). The sweep that hands it sectors
// belongs to its owner (the combined deep scan, or CarveWholeSource for a
// carve of its own). Also copies carved files out for recovery and preview.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engines/carving/carving_state.h"
#include "engines/carving/signature_table.h"
#include "engines/engine_skeleton.h"
#include "engines/output_sink.h"
#include "results/scan_log.h"
#include "storage/sector_source.h"

namespace velmira {

class CFileTypeRecovery final : public CEngineSkeleton {
 public:
  CFileTypeRecovery();
  ~CFileTypeRecovery() override;

  int32_t SetProgressCallbacks(ScanProgressCallback scanCallback, FileProgressCallback fileCallback,
                               void* userData, int32_t scale) override;
  int32_t Scan(const std::string&) override { return 0; }
  int32_t RecoverItem(const FoundRecord& record, const std::string& destination, int32_t rootDepth) override;
  int32_t NextFreeExtent(uint64_t&, uint64_t&) override { return 0; }
  int32_t LoadAllocationMap() override { return 0; }
  int32_t ExtractForPreview(const FoundRecord& record, std::string& outPath, uint8_t* memory,
                            uint32_t& byteCount, PreviewProgressCallback callback, void* userData) override;

  // Tests one sector of the sweep (its bytes, its absolute number) and, when
  // a known file starts there, carves and records it. `consumed` is how many
  // sectors the sweep moves on (1 when nothing was carved); `found` grows by
  // one per file. Returns 0, 87 when no carvable type starts here, or the
  // non-zero answer of a progress report during the read-ahead (no record),
  // or the scan log's write error (the sweep must stop).
  [[nodiscard]] int32_t CarveAtSector(uint32_t sectorSize, ByteView sector, uint64_t absoluteSector,
                                      const SweepFigures& figures, const SectorSource& source,
                                      uint64_t& consumed, uint64_t& found);
  // What CarveAtSector does with a sector that MarkHeaderCandidates left
  // unmarked (no type starts there), without its header tests: the
  // transport-stream flags fall back for the sectors that follow.
  void PassOverHeaderlessSector() {
    m_state.tsStrict = true;
    m_state.previousWasMts = false;
  }

  // Hands every carved file whose extension the patterns take to `visit`, in
  // the order they were carved, without keeping them (CollectMatches keeps
  // and sorts them all). A non-zero answer of `visit` stops and is returned.
  [[nodiscard]] int32_t VisitMatches(const std::string& patterns,
                                     const std::function<int32_t(const FoundRecord&)>& visit);

  // Reopens an existing "File_Type_" log by name in the current log folder
  // (a continued deep scan) and opens the source.
  [[nodiscard]] int32_t ReopenForPartition(uint32_t sectorSize, int32_t diskNumber,
                                           const std::string& logName, uint16_t sourceKey);
  [[nodiscard]] int32_t ReopenForImage(uint32_t sectorSize, const std::string& logName, uint16_t sourceKey,
                                       const std::string& imagePath);

  // The carving state of the sweep this engine serves (one per sweep).
  [[nodiscard]] CarvingState& State() { return m_state; }
  [[nodiscard]] const SectorSource& Source() const { return m_source; }
  [[nodiscard]] uint32_t SectorSize() const { return m_sectorSize; }
  [[nodiscard]] uint64_t PartitionStart() const { return m_startSector; }
  [[nodiscard]] uint64_t PartitionSectors() const { return m_sectorCount; }
  [[nodiscard]] CScanLog* Log() { return m_store.get(); }

 private:
  // An image, or a partition read through its drive, with a new log in the
  // current log folder.
  int32_t Open(const PartitionLocator& target) override;
  int32_t OpenLogFor(uint64_t startSector);
  template <typename ReportFn>
  int32_t CopyCarved(const FoundRecord& record, OutputSink& sink, ReportFn report);

  uint16_t m_sourceKey = 0;
  uint64_t m_startSector = 0;
  uint64_t m_sectorCount = 0;
  uint32_t m_sectorSize = 512;
  CarvingState m_state;
  ScanProgressCallback m_scanCallback = nullptr;
  FileProgressCallback m_fileCallback = nullptr;
  void* m_userData = nullptr;
  int32_t m_scale = 0;
};

}  // namespace velmira
