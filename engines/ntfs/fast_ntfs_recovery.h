// The fast NTFS scan: sweeps the live $MFT through its own run list in chunks
// of 1,024 records, lists every file record that is neither in use nor a
// directory as a deleted file, and rebuilds the folders above those files
// from the parent references of their $FILE_NAME attributes. Folders that
// cannot be followed (the parent record now holds a file, or cannot be read)
// become "LostFolder<n>" at the top level. Reads a file's data back from the
// record itself (resident data) or through its runs, also when the runs are
// listed in an $ATTRIBUTE_LIST; sparse runs read as zeros.
//
// Every record is untrusted: attribute offsets and lengths are checked
// against the record before use, walks never leave the record, and file data
// is never read from clusters outside the volume.
#pragma once

#include <cstdint>
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

class CFastNtfsRecovery final : public CEngineSkeleton {
 public:
  CFastNtfsRecovery();
  ~CFastNtfsRecovery() override;

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

  [[nodiscard]] const NtfsGeometry& Geometry() const { return m_geometry; }
  // Whether the boot sector's layout holds on the medium (NtfsLayoutHolds);
  // false before a successful open.
  [[nodiscard]] bool LayoutHolds() const override;
  [[nodiscard]] const MftRunMap& MftRuns() const { return m_mftRuns; }
  // The folders met as ancestors of deleted files, in the order first met.
  [[nodiscard]] const std::vector<uint32_t>& DirectoryList() const { return m_directories; }
  // The scan log of the last Scan (null before).
  [[nodiscard]] const CScanLog* Store() const { return m_store.get(); }
  // Sectors of $MFT records the last Scan could not read (their records
  // are left out; the rest of the $MFT is still swept).
  [[nodiscard]] uint64_t UnreadSectors() const override { return m_unreadSectors; }
  [[nodiscard]] uint32_t ExtentSectorBytes() const override { return m_geometry.bytesPerSector; }
  // Reads go to `reader` from now on (a test's failing device).
  void SetReader(std::shared_ptr<ByteReader> reader) { m_source.reader = std::move(reader); }
  // How often the seconds-left estimate is recomputed (5 s; tests shorten it).
  void SetReportInterval(uint64_t milliseconds) { m_reportIntervalMs = milliseconds; }

  // Where the next new scan log goes (see IFileRecoveryParse).

 private:
  enum class Mode { kSweep, kDirectory };
  // What the ancestor walk needs of one folder record: whether the walk goes
  // on from it, and to which parent.
  struct ParentLink {
    bool follow = false;
    uint32_t parent = 0;
  };
  struct ChainLength {
    uint32_t depth = 0;
    bool exact = false;  // the walk from here ended without a cycle or the depth cap
  };

  int32_t Open(const PartitionLocator& target) override;
  [[nodiscard]] DirectoryKey RootKey() const override;
  int32_t Sweep(uint64_t total, uint64_t& done);
  // Lists the folders met (one that cannot be read or is no folder any
  // more becomes a lost folder); Fatal once the scan log failed a write.
  [[nodiscard]] Status DirectoryPass();
  // `record` is one record (record-size bytes) as read, before its fix-up.
  // Lists a record (ListRecord): Skip for one that is no file record,
  // Fatal once the scan log has failed a write.
  [[nodiscard]] Status ProcessRecord(std::span<uint8_t> record, uint32_t number, uint64_t sector, Mode mode);
  void ListRecord(std::span<uint8_t> record, uint32_t number, uint64_t sector, Mode mode);
  void WriteLostFolder(uint32_t number);
  void Store(FoundRecord& record, uint32_t depth, uint32_t parent);
  uint32_t SweepRecordNumber(ByteView record, uint64_t position, uint64_t sector) const;
  uint64_t DataSizeThroughList(ByteView listAttribute, uint32_t number);
  bool ContentLooksRight(ByteView record, uint64_t sector, const std::string& name, bool hasList);
  // Whether the $DATA runs of a record (through its attribute list too) all
  // lie inside the volume; resident data is plausible.
  bool RunsPlausible(ByteView record, uint64_t sector, bool hasList);
  uint32_t CollectAncestors(uint32_t parent);
  ParentLink LinkOf(uint32_t number);
  void NoteDirectory(uint32_t number);
  int32_t ReadRecord(uint64_t sector, std::vector<uint8_t>& record) const;
  int32_t Report(uint64_t done, uint64_t total);

  // The data loop shared by recovery and preview: the resident value or the
  // runs, handed to the sink; `report(percent, error)` after each piece.
  template <typename ReportFn>
  int32_t CopyData(const FoundRecord& record, OutputSink& sink, uint64_t progressBase, ReportFn report);
  int32_t WriteOneFile(const FoundRecord& record, const std::string& path);

  // Target.
  bool m_opened = false;
  uint16_t m_sourceKey = 0;
  NtfsGeometry m_geometry;
  std::vector<uint8_t> m_bootSector;  // the boot sector the geometry came from
  MftRunMap m_mftRuns;
  std::vector<uint8_t> m_sweepBuffer;
  VolumeBitmap m_bitmap;

  // Scan state.
  std::vector<uint32_t> m_directories;
  std::unordered_set<uint32_t> m_directorySet;
  std::unordered_map<uint32_t, ParentLink> m_links;
  std::unordered_map<uint32_t, ChainLength> m_chains;
  uint64_t m_unreadSectors = 0;
  uint64_t m_reportIntervalMs = 5000;
  uint64_t m_scanStart = 0;
  uint64_t m_lastEstimate = 0;
  int32_t m_secondsLeft = -1;

  // Callbacks.
  ScanProgressCallback m_scanCallback = nullptr;
  FileProgressCallback m_fileCallback = nullptr;
  void* m_userData = nullptr;
  int32_t m_scale = 0;
};

}  // namespace velmira
