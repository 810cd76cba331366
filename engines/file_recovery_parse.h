// The one interface behind which every recovery engine sits. Engines come
// only from the factories in engines/engine_factory.h; the caller owns them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "results/found_record.h"
#include "results/progress_callbacks.h"

namespace velmira {

class IFileRecoveryParse {
 public:
  // Opens an image file; imageValue becomes the records' sourceKey.
  [[nodiscard]] virtual int32_t OpenImage(const std::string& imagePath, uint16_t imageValue) = 0;
  // Opens a partition of disk diskNumber.
  [[nodiscard]] virtual int32_t OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                              uint16_t sourceKey) = 0;
  // Stores the callbacks; returns 0.
  virtual int32_t SetProgressCallbacks(ScanProgressCallback scanCallback, FileProgressCallback fileCallback,
                                       void* userData, int32_t scale) = 0;
  // With a scan-log path, loads that log and returns 0 without reading
  // the medium; with an empty path, scans into a new log. Returns 0, an error, or the
  // non-zero value a callback returned.
  [[nodiscard]] virtual int32_t Scan(const std::string& scanLogPath) = 0;
  // The records directly below a folder (null folder and depth 0 =
  // the root). 87 when folder is null and depth is not 0.
  [[nodiscard]] virtual int32_t ListChildren(const FoundRecord* folder, uint32_t depth,
                                             std::vector<FoundRecord>& children) = 0;
  // The number of files below a folder; 87 as for ListChildren.
  [[nodiscard]] virtual int32_t CountFiles(const FoundRecord* folder, uint32_t depth, uint32_t& count) = 0;
  // Records in the scan log, 0 when there is none.
  [[nodiscard]] virtual uint64_t GetFoundCount() = 0;
  // the record's folder path, each ancestor's name followed by "/",
  // at most maxChars bytes (122 when it does not fit).
  [[nodiscard]] virtual int32_t GetFolderPath(const FoundRecord& record, std::string& path,
                                              uint32_t maxChars) = 0;
  // Writes a file's data, or recreates a folder's subtree, under
  // destination; rootDepth is the number of separators in the destination root.
  [[nodiscard]] virtual int32_t RecoverItem(const FoundRecord& record, const std::string& destination,
                                            int32_t rootDepth) = 0;
  // Moves position to the next unallocated run and gives its length.
  // Fast engines return 1 (length 0 when nothing free follows or no map is
  // loaded); the others do nothing and return 0.
  [[nodiscard]] virtual int32_t NextFreeExtent(uint64_t& position, uint64_t& length) = 0;
  // Stores the search callback; returns 0.
  virtual int32_t SetSearchCallback(SearchProgressCallback callback, void* userData) = 0;
  // Every file whose extension matches the "*.ext|*.ext|" pattern list.
  [[nodiscard]] virtual int32_t CollectMatches(const std::string& patterns,
                                               std::vector<FoundRecord>& matches) = 0;
  // Loads the allocation map that NextFreeExtent walks; returns 0.
  virtual int32_t LoadAllocationMap() = 0;
  // Extracts one file for preview, into a temporary file (its path in
  // outPath) or into memory (up to byteCount bytes; byteCount then holds the
  // number copied).
  [[nodiscard]] virtual int32_t ExtractForPreview(const FoundRecord& record, std::string& outPath,
                                                  uint8_t* memory, uint32_t& byteCount,
                                                  PreviewProgressCallback callback, void* userData) = 0;
  // Closes the source and frees the engine.
  virtual ~IFileRecoveryParse() = default;

  // The folder (with a trailing "/") the engine's next new scan logs go in,
  // handed over by whoever runs the scan (the scan job, the combined engine)
  // before Scan or, for the carver, before it is opened. An engine never told
  // makes them where the scan-log registry says. Engines without logs of
  // their own, and the combined engine (which takes its folder from the
  // registry it was built with), ignore it.
  virtual void SetLogFolder(const std::string& /*folder*/) {}

  // The absolute sector where a found file's data starts on its source, so
  // that a carved copy of it can be known by where it lies. False when the
  // engine cannot tell: a folder, data kept in the record itself, a sparse
  // or unreadable start, or an engine that does not keep the places.
  [[nodiscard]] virtual bool FirstDataSector(const FoundRecord& /*record*/, uint64_t& /*sector*/) {
    return false;
  }

 protected:
  IFileRecoveryParse() = default;
  IFileRecoveryParse(const IFileRecoveryParse&) = delete;
  IFileRecoveryParse& operator=(const IFileRecoveryParse&) = delete;
};

}  // namespace velmira
