// The deep NTFS scan: lists NTFS files from file records found anywhere on a
// source, when the $MFT can no longer be reached through the boot sector (a
// reformatted volume, a damaged boot sector, an old $MFT left in free space).
//
// A sweep outside this engine hands it every sector that starts a plausible
// file record that is not a folder (ProcessFoundRecord). For each the engine
// works out which $MFT it belongs to (a known $MFT whose runs put that record
// number exactly there, else an $MFT assumed contiguous around the record),
// where that $MFT's volume starts and how large its clusters are, lists the
// file, and walks its parent references to the folders above it. After the
// sweep (FinishDeepNtfs) the folders met are read and listed, or become
// "LostFolder<n>" when their records are gone. A found file is read back from
// the record where it was found, with the cluster size and volume start that
// were worked out for it.
//
// Records are untrusted: header offsets are checked against the record size,
// walks stay inside the record, located sectors stay inside the source.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engines/engine_skeleton.h"
#include "engines/ntfs/ntfs_structures.h"
#include "engines/output_sink.h"
#include "platform/status.h"
#include "results/scan_log.h"
#include "storage/sector_source.h"

namespace velmira {

// Absolute sector of an $MFT's record 0 -> the run list of that $MFT.
using MftMapSet = std::map<uint64_t, std::vector<DataRun>>;

// A folder met above a found file, with what is needed to read it again: the
// cluster estimate in force when it was met, the volume start implied for the
// file it was met from, and the $MFT runs by which it is located.
struct DirectoryRef {
  uint32_t number = 0;
  uint32_t clusterEstimate = 0;
  uint64_t partitionStart = 0;
  std::vector<DataRun> runs;
};

class CDeepNtfsRecovery final : public CEngineSkeleton {
 public:
  CDeepNtfsRecovery();
  ~CDeepNtfsRecovery() override;

  int32_t SetProgressCallbacks(ScanProgressCallback scanCallback, FileProgressCallback fileCallback,
                               void* userData, int32_t scale) override;
  // The scan is driven from outside: returns 0 and does nothing.
  int32_t Scan(const std::string& scanLogPath) override;
  int32_t RecoverItem(const FoundRecord& record, const std::string& destination, int32_t rootDepth) override;
  // Returns 0 without delivering an extent.
  int32_t NextFreeExtent(uint64_t& position, uint64_t& length) override;
  int32_t LoadAllocationMap() override;
  int32_t ExtractForPreview(const FoundRecord& record, std::string& outPath, uint8_t* memory,
                            uint32_t& byteCount, PreviewProgressCallback callback, void* userData) override;

  // Uses `source` as an opened target (tests and fuzzing): its sectors are
  // `bytesPerSector` bytes; the partition starts at `partitionStart` and has
  // `sectorCount` sectors. The boot sector there is read as by the opens.
  // A second open replaces the first source.
  [[nodiscard]] int32_t OpenSource(SectorSource source, uint64_t partitionStart, uint64_t sectorCount,
                                   uint16_t sourceKey, uint32_t bytesPerSector = 512) override;

  // Empties the folder list and starts a scan log: `logName` (a scan being
  // continued) or a new "Pro_Ntfs_" name. Returns 0 or the log's error.
  [[nodiscard]] int32_t BeginDeepNtfsLog(const std::string& logName);
  // The log BeginDeepNtfsLog opened (null before).
  [[nodiscard]] const CScanLog* Store() const { return m_store.get(); }
  // Lists the file record at `sector` (`record` holds at least one record).
  // Returns 0; 87 when the record fails the header check or is short; -1
  // without "FILE"; the scan log's write error once a write of it failed.
  // Folders are never listed from here.
  [[nodiscard]] int32_t ProcessFoundRecord(std::span<const uint8_t> record, uint64_t sector);
  // The same for the sweep: Ok when the record was taken (or was no file of
  // its own to list), Skip with ProcessFoundRecord's code for a record that
  // is no file record or is damaged, Fatal once the scan log has failed a
  // write (whatever is found after that could not be kept).
  [[nodiscard]] Status SweepFoundRecord(std::span<const uint8_t> record, uint64_t sector);
  // Reads and lists the folders met (a folder that cannot be read or is no
  // folder any more becomes a lost folder). Returns 0, the log's write
  // error (it left the log incomplete) or the first read error; the pass
  // goes on after a read error.
  [[nodiscard]] int32_t FinishDeepNtfs();
  // The scan log (null before BeginDeepNtfsLog).
  [[nodiscard]] CScanLog* Store() { return m_store.get(); }
  // The runs of the first $DATA of the file record at `sector` (appended).
  // 0; the read error; -1 without "FILE"; 87 at an $ATTRIBUTE_LIST before
  // the $DATA or a header offset outside the record; -100 without $DATA.
  [[nodiscard]] int32_t ReadRecordRuns(uint64_t sector, std::vector<DataRun>& runs);

  // Where the record numbered `number` found at `sector` is placed: the runs
  // of its $MFT and the start of its volume.
  struct Placement {
    std::vector<DataRun> runs;
    uint64_t partitionStart = 0;
    bool mapped = false;  // a known $MFT explains the record
  };
  [[nodiscard]] Placement PlaceRecord(uint32_t number, uint64_t sector) const;
  // Absolute sector of record `number` through `runs` (a run of length 0
  // extends to the end of the source); `partitionStart` when no run holds it
  // or the sector lies outside the source.
  [[nodiscard]] uint64_t LocateRecord(const std::vector<DataRun>& runs, uint64_t partitionStart,
                                      uint32_t estimate, uint32_t number) const;

  [[nodiscard]] uint32_t ClusterEstimate() const { return m_clusterEstimate; }
  void SetClusterEstimate(uint32_t sectors) { m_clusterEstimate = sectors == 0 ? 1 : sectors; }
  [[nodiscard]] const MftMapSet& MftMaps() const { return m_maps; }
  [[nodiscard]] const std::vector<DirectoryRef>& Directories() const { return m_directories; }
  [[nodiscard]] const NtfsGeometry& Geometry() const { return m_geometry; }
  [[nodiscard]] const SectorSource& Source() const { return m_source; }

  // Where the next new scan log goes (see IFileRecoveryParse).

 private:
  enum class Mode { kSweep, kDirectory };
  struct ParentLink {
    bool follow = false;
    uint32_t parent = 0;
  };

  int32_t Open(const PartitionLocator& target) override;
  [[nodiscard]] DirectoryKey RootKey() const override;
  void ReadBootMap();
  // `bytes` is one record as read, before its fix-up. `readFor` is the folder
  // number in directory mode; `placement` its location there.
  // Skip: no "FILE" (kNtfsNotFileRecord) or a damaged header (87); in
  // directory mode the folder then became a lost folder. Fatal: the scan
  // log's write error.
  Status ProcessRecord(std::vector<uint8_t>& bytes, uint32_t readFor, uint64_t sector, Mode mode,
                       const Placement* placement);
  // Fatal once the scan log has failed a write, else Ok.
  [[nodiscard]] Status Logged() const;
  void ImproveClusterEstimate(ByteView record);
  uint32_t CollectAncestors(uint32_t parent, const Placement& placement);
  ParentLink LinkOf(uint32_t number, uint64_t sector);
  void WriteLostFolder(uint32_t number);
  void Store(FoundRecord& record, uint32_t depth, uint32_t parent);
  bool ContentLooksRight(ByteView record, const FoundRecord& found);
  // Whether the $DATA runs of a record in memory all lie inside the source,
  // counted in the found record's clusters from its volume start.
  bool RunsPlausible(ByteView record, const FoundRecord& found);
  // The record of `found` read as recovery reads it: resident value in
  // `value` (returns 0), or its runs, through its $ATTRIBUTE_LIST when it
  // has one (returns kNtfsNoResidentData).
  int32_t DataOf(const FoundRecord& found, std::vector<uint8_t>& value, std::vector<DataRun>& runs);
  // Where the records of a found file's $MFT lie (its extension records),
  // with `geometry` set to its volume start and cluster size.
  NtfsRecordLocator LocatorFor(const FoundRecord& found, NtfsGeometry& geometry);
  [[nodiscard]] NtfsRecordLocator LocatorFor(const Placement& placement, uint32_t estimate) const;
  template <typename ReportFn>
  int32_t CopyData(const FoundRecord& record, OutputSink& sink, uint64_t progressBase, ReportFn report);
  int32_t WriteOneFile(const FoundRecord& record, const std::string& path);

  bool m_opened = false;
  uint16_t m_sourceKey = 0;
  NtfsGeometry m_geometry;  // record layout from the sector size; partition start and length
  uint32_t m_clusterEstimate = 8;
  MftMapSet m_maps;

  std::vector<DirectoryRef> m_directories;
  std::unordered_set<uint32_t> m_directorySet;
  std::unordered_map<uint64_t, ParentLink> m_links;  // by sector

  ScanProgressCallback m_scanCallback = nullptr;
  FileProgressCallback m_fileCallback = nullptr;
  void* m_userData = nullptr;
  int32_t m_scale = 0;
};

// Sectors per cluster believed for a volume of `sectorCount` sectors of
// `bytesPerSector` bytes before any file tells better.
[[nodiscard]] uint32_t ClusterEstimateForVolume(uint64_t sectorCount, uint32_t bytesPerSector);

}  // namespace velmira
