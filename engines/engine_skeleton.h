// What every engine with one scan log of its own has in common: the slots
// that only name the target (OpenImage, OpenPartition) and those answered
// from the log alone (ListChildren, CountFiles, GetFoundCount,
// GetFolderPath, SetSearchCallback, CollectMatches). An engine derives from
// CEngineSkeleton, opens its target in Open, says where its root list is
// filed (RootKey), and starts each log with NewLog so that the log gets the
// search callback registered before it existed. The skeleton keeps the
// engine's sector source and closes it, and the log, when the engine goes.
// An engine that takes its sectors as they are opened (OpenSource) opens
// its target through OpenThroughSource.
//
// One behaviour for every engine:
// - ListChildren and CountFiles: 87 for a null folder at a depth other than
//   0; a record that is not a folder has nothing below it (an empty list, a
//   count of 0); no log yet answers with nothing found.
// - GetFolderPath: 87 without a log (the record cannot be one of this
//   engine's), 122 when the path is longer than maxChars.
// - SetSearchCallback: stores the callback, hands it to the log when there
//   is one, and returns 0, with or without a log.
// - The answers from a log first write out what it buffers; a log that
//   could not be written whole gives its write error.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engines/file_recovery_parse.h"
#include "results/scan_log.h"
#include "storage/sector_source.h"

namespace velmira {

class CEngineSkeleton : public IFileRecoveryParse {
 public:
  ~CEngineSkeleton() override;

  int32_t OpenImage(const std::string& imagePath, uint16_t imageValue) final;
  int32_t OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                        uint16_t sourceKey) final;
  int32_t ListChildren(const FoundRecord* folder, uint32_t depth, std::vector<FoundRecord>& children) final;
  int32_t CountFiles(const FoundRecord* folder, uint32_t depth, uint32_t& count) final;
  uint64_t GetFoundCount() final;
  int32_t GetFolderPath(const FoundRecord& record, std::string& path, uint32_t maxChars) final;
  int32_t SetSearchCallback(SearchProgressCallback callback, void* userData) final;
  int32_t CollectMatches(const std::string& patterns, std::vector<FoundRecord>& matches) final;
  // The folder the next new log goes in; empty: the registry's current one.
  void SetLogFolder(const std::string& folder) final { m_logFolder = folder; }

  // Takes an opened source (a test's or fuzzer's memory reader, or the
  // target Open opened): the volume is `sectorCount` sectors from
  // `startSector`, in sectors of `bytesPerSector` bytes. An engine that
  // reads its target otherwise answers kErrInvalidFunction.
  [[nodiscard]] virtual int32_t OpenSource(SectorSource source, uint64_t startSector, uint64_t sectorCount,
                                           uint16_t sourceKey, uint32_t bytesPerSector = 512);

  // What the combined deep scan asks of the fast engine it runs first.
  // The scan log (null before the first scan).
  [[nodiscard]] const CScanLog* ScanLog() const { return m_store.get(); }
  [[nodiscard]] CScanLog* ScanLog() { return m_store.get(); }
  // Whether the boot sector's layout holds on the medium; an engine without
  // such a check is taken at its word.
  [[nodiscard]] virtual bool LayoutHolds() const { return true; }
  // Bytes of the sectors NextFreeExtent counts in (the volume's own); 0
  // when they are the source's.
  [[nodiscard]] virtual uint32_t ExtentSectorBytes() const { return 0; }
  // Sectors the last scan could not read and went on without.
  [[nodiscard]] virtual uint64_t UnreadSectors() const { return 0; }

 protected:
  CEngineSkeleton() = default;

  // Opens the target that OpenImage or OpenPartition names.
  virtual int32_t Open(const PartitionLocator& target) = 0;
  // Open for an engine that takes its sectors through OpenSource: opens the
  // target's drive or image read-only and hands it on with where the volume
  // lies and the source's sector size.
  int32_t OpenThroughSource(const PartitionLocator& target);
  // Whether the engines read in sectors of `bytesPerSector`: a multiple of 512.
  [[nodiscard]] static bool IsSectorSize(uint32_t bytesPerSector) {
    return bytesPerSector >= 512 && bytesPerSector % 512 == 0;
  }
  // The sectors a volume from `startSector` has on `source`: `sectorCount`
  // (0: all to the end), never past the end.
  [[nodiscard]] static uint64_t SectorsOnSource(const SectorSource& source, uint64_t startSector,
                                                uint64_t sectorCount);
  // The directory key under which the engine files its root's records.
  [[nodiscard]] virtual DirectoryKey RootKey() const { return 0; }

  // Closes the current log and puts a new, not yet opened one in its place,
  // in the folder the engine was handed; it reports searches to the callback
  // registered so far.
  CScanLog& NewLog();

  std::unique_ptr<CScanLog> m_store;  // the engine's scan log; null before the first
  SectorSource m_source;              // where the engine reads its target

 private:
  std::string m_logFolder;
  SearchProgressCallback m_searchCallback = nullptr;
  void* m_searchUserData = nullptr;
};

}  // namespace velmira
