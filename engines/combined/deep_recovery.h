// The deep scan users run: the fast scan of the file system that is there,
// then one sweep of the free space (or of the whole source when no file
// system map is known) that offers every sector to the sweep participants of
// the file-system table (engines/sweep_participant.h: deep NTFS, exFAT and
// FAT) and then to the carver, and the first that recognises it takes it.
// The engines keep their own scan logs in one log folder, whose identity
// file names the source and those logs; the sweep's position goes to the scan-log registry,
// so that a later deep scan of the same source goes on where this one
// stopped. Records read back from an earlier run's logs are handed out with
// this run's source key.
//
// A scan survives being killed at any moment: at the sweep's start, at least
// every 5 seconds of sweeping and when it stops, the logs are synced and a
// checkpoint (results/scan_checkpoint.h) names the position and how many
// records each log holds; a continued scan brings the logs back to that
// state, hands the participants the sectors they journalled again (they
// keep what they found in memory until the sweep ends), and sweeps on. The log folder stays locked (flock)
// for as long as the engine lives, so that no other process takes or deletes it.
//
//   auto engine = CreateEngineForImage(path, 1001, /*deep=*/true);
//   engine->SetProgressCallbacks(onProgress, nullptr, user, 100);
//   engine->Scan("");
//   engine->CollectMatches("*.jpg|", files);
//
// Per-record calls are routed by the record's engine tag: a row's fast tag
// to the fast engine, its deep tag to its participant's engine, 4 to the
// carver.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engines/carving/file_type_recovery.h"
#include "engines/engine_skeleton.h"
#include "engines/file_recovery_parse.h"
#include "engines/file_system_table.h"
#include "engines/sweep_participant.h"
#include "results/scan_checkpoint.h"
#include "results/scan_log_registry.h"
#include "results/source_identity.h"
#include "storage/sector_source.h"

namespace velmira {

// Where a sweep stands and how it went; read after Scan.
struct CombinedSweepStats {
  bool freeSpaceOnly = false;   // the fast engine's allocation map chose the extents
  bool resumed = false;         // the sweep went on from a recorded position
  bool fastPassFailed = false;  // the fast scan failed; the whole source was swept
  uint64_t totalSectors = 0;
  uint64_t sectorsSwept = 0;   // including the sectors of a resumed run
  uint64_t unreadPieces = 0;   // pieces that needed a sector-by-sector read
  uint64_t unreadSectors = 0;  // sectors that could not be read at all (this run)
  uint64_t contained = 0;      // pieces whose dispatch raised an exception
  DeepScanSweep position;      // as recorded in the registry
};

class CDeepRecovery final : public IFileRecoveryParse {
 public:
  // Deep scans are looked up in, and recorded to, `registry`, which also
  // names the folder the scan's logs go in; the engine hands that folder on
  // to the engines it runs.
  explicit CDeepRecovery(CScanLogRegistry& registry);
  ~CDeepRecovery() override;

  int32_t OpenImage(const std::string& imagePath, uint16_t imageValue) override;
  int32_t OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                        uint16_t sourceKey) override;
  // The scale is always 90: the fast pass reports at 9, the sweep at 90.
  int32_t SetProgressCallbacks(ScanProgressCallback scanCallback, FileProgressCallback fileCallback,
                               void* userData, int32_t scale) override;
  // The argument is ignored: a continued scan is decided when the engine opens.
  // kErrBusy when another process scans the same source (SourceBusy). A
  // continued scan that had finished shows its results without sweeping.
  // A failed write of the logs, journal, checkpoint or registry is returned.
  int32_t Scan(const std::string& scanLogPath) override;
  int32_t ListChildren(const FoundRecord* folder, uint32_t depth,
                       std::vector<FoundRecord>& children) override;
  int32_t CountFiles(const FoundRecord* folder, uint32_t depth, uint32_t& count) override;
  uint64_t GetFoundCount() override;
  int32_t GetFolderPath(const FoundRecord& record, std::string& path, uint32_t maxChars) override;
  // A record no engine of this scan wrote gives 87.
  int32_t RecoverItem(const FoundRecord& record, const std::string& destination, int32_t rootDepth) override;
  int32_t NextFreeExtent(uint64_t&, uint64_t&) override { return 0; }
  int32_t SetSearchCallback(SearchProgressCallback callback, void* userData) override;
  // The matches of all the engines, without carved files that repeat a file
  // found with its name (same first data sector and extension, or a carved
  // jpg at the start of a found thm), sorted.
  int32_t CollectMatches(const std::string& patterns, std::vector<FoundRecord>& matches) override;
  // FAT and exFAT files from their record, NTFS files from their file
  // record's first data run (one read).
  bool FirstDataSector(const FoundRecord& record, uint64_t& sector) override;
  // Whether a carved file with `carvedExtension` repeats a named file with
  // `namedExtension` that starts at the same sector.
  [[nodiscard]] static bool CarvedRepeats(std::string_view namedExtension, std::string_view carvedExtension);
  // Leaves out the sweep's copies of files the fast pass found (where the
  // participant says the sweep finds them again).
  void DropSweptRepeats(std::vector<FoundRecord>& named) const;
  int32_t LoadAllocationMap() override { return 0; }
  int32_t ExtractForPreview(const FoundRecord& record, std::string& outPath, uint8_t* memory,
                            uint32_t& byteCount, PreviewProgressCallback callback, void* userData) override;

  // Set at open time when the registry holds a deep scan of the same source
  // that can be continued.
  [[nodiscard]] bool Continuing() const { return m_continuing; }
  // The earlier scan's registry entry (all zero when not continuing).
  [[nodiscard]] const DeepScanEntry& ContinuedEntry() const { return m_entry; }
  // The earlier scan's log folder (empty when not continuing).
  [[nodiscard]] std::string ContinuedLogFolder() const;
  // The earlier scan ran to its end: continuing shows its results again.
  [[nodiscard]] bool ContinuedFinished() const { return m_continuing && m_haveResume && m_resume.finished; }
  // When the earlier scan last saved its state (unix seconds, 0 unknown),
  // and the files it had found.
  [[nodiscard]] int64_t ContinuedDate() const { return m_haveResume ? m_resume.saved : 0; }
  [[nodiscard]] uint64_t ContinuedFiles() const;
  // Another process is scanning this source (its log folder is locked).
  [[nodiscard]] bool SourceBusy() const { return m_busy; }
  // The user declined to continue: the next Scan starts afresh. The caller
  // removes the earlier folder (CScanLogRegistry::RemoveLogFolder); the
  // engine lets go of its lock first.
  void ClearContinuing();

  // Replaces where the sweep reads its sectors (tests put a failing device
  // behind the source). Call after opening.
  void SetSweepReader(std::shared_ptr<ByteReader> reader) { m_source.reader = std::move(reader); }

  [[nodiscard]] const CombinedSweepStats& Stats() const { return m_stats; }
  // Sectors the last scan could not read and went on without: the sweep's
  // and the fast pass's.
  [[nodiscard]] uint64_t UnreadSectors() const;
  [[nodiscard]] IFileRecoveryParse* FastEngine() { return m_fast.get(); }
  // The engine of the sweep participant that is an `Engine`; null for none.
  template <typename Engine>
  [[nodiscard]] Engine* SweepEngine() {
    for (const SweepMember& member : m_members)
      if (auto* engine = dynamic_cast<Engine*>(&member.participant->Engine())) return engine;
    return nullptr;
  }
  [[nodiscard]] CFileTypeRecovery& Carver() { return m_carver; }
  [[nodiscard]] uint32_t SectorSize() const { return m_sectorSize; }
  [[nodiscard]] uint64_t PartitionStart() const { return m_startSector; }
  [[nodiscard]] uint64_t PartitionSectors() const { return m_sectorCount; }

 private:
  struct Extent {
    uint64_t start = 0;
    uint64_t length = 0;
  };
  struct SweepState {
    Extent extent;
    uint64_t done = 0;   // sectors of the extent handled
    uint64_t swept = 0;  // sectors handled in total
    uint64_t total = 0;
    uint64_t resumedFound = 0;
    uint64_t carvedFound = 0;
    int32_t secondsLeft = -1;
  };

  // The participant that writes records with `engineTag` (its row's deep
  // tag), or that serves records of its row's fast tag too; null for none.
  [[nodiscard]] CSweepParticipant* ParticipantOfTag(uint32_t engineTag, bool fastToo) const;
  // The carver's log and the participants' logs (null where not begun).
  [[nodiscard]] std::vector<CScanLog*> SweepLogs();
  // The participant whose engine keeps `log`; null for the carver's.
  [[nodiscard]] CSweepParticipant* ParticipantOfLog(const CScanLog* log) const;

  // The engine that serves a record, or null.
  [[nodiscard]] IFileRecoveryParse* EngineFor(const FoundRecord& record);
  // Gives records the source key this engine was opened with: those read
  // back from a continued scan's logs carry the key of that earlier run
  // (a region number or image value that may since belong to another
  // source), and recovery finds a record's engine by its key.
  void StampSourceKey(std::vector<FoundRecord>& records) const;
  [[nodiscard]] bool RefreshContinuing();
  // The log an engine continues with: the one the checkpoint names, else the
  // one the folder's identity file names, or in a folder written before there
  // were any, the first whose name starts with prefix + this source's start
  // sector + "_". Empty when there is none.
  [[nodiscard]] std::string ContinuedLogName(const std::string& folder, const std::string& prefix) const;
  // Names this source and the logs of its engines in the folder's identity
  // file.
  int32_t WriteFolderIdentity(const std::string& folder);
  // After a registry lookup: locks the earlier scan's folder (busy when
  // another process holds it) and reads its checkpoint.
  void AdoptEarlierScan();
  int32_t StartNewFolder(std::string& folder);
  // Brings the logs back to the checkpoint, opens the journal and replays it.
  int32_t RestoreSweep(bool continuing);
  int32_t ReplayJournal();
  int32_t ShowFinishedScan();
  // After each piece: a checkpoint when one is due.
  int32_t MaybeCheckpoint(const SweepState& state);
  // Writes a checkpoint; a failure is noted with the folder it concerns.
  int32_t Checkpoint(const SweepState& state, bool finished);
  int32_t WriteCheckpoint(const SweepState& state, bool finished);
  int32_t RunFastPass(bool& freeSpace);
  // Every engine run here makes its logs in the scan's folder, m_folder.
  void HandOnLogFolder();
  int32_t BeginSubLogs(const std::string& folder);
  [[nodiscard]] bool NextExtent(uint64_t from, Extent& extent);
  // Bytes of the unit the fast engine gives free extents in.
  [[nodiscard]] uint32_t FastExtentUnit() const;
  [[nodiscard]] uint64_t FreeSpaceTotal();
  int32_t Sweep(bool freeSpace, SweepState& state);
  // Reads `sectors` sectors from `firstSector` into the piece buffer; after
  // a failure the rest is read sector by sector and the unreadable ones are
  // zero-filled and counted. Returns `sectors`: the buffer always holds the
  // whole piece.
  uint32_t ReadPiece(uint32_t sectors, uint64_t firstSector);
  // Offers the sectors of one piece to the engines; returns the sectors the
  // carver consumed beyond the piece. `answer` receives a callback's
  // non-zero answer given during a carve.
  uint64_t Dispatch(const uint8_t* bytes, uint32_t sectors, uint64_t firstSector, SweepState& state,
                    int32_t& answer);
  [[nodiscard]] DeepScanSweep PositionOf(const SweepState& state);
  // The first write error of the carving log or a participant's (with
  // `flush`, flushed first); 0 when they are whole.
  int32_t SubLogWriteError(bool flush);
  int32_t Report(int32_t percent, int32_t scale, int32_t secondsLeft, uint64_t position, uint64_t total,
                 uint64_t found);
  static int32_t SweepPercent(const SweepState& state);
  static int32_t ReadAheadProgress(void* self, int32_t percent, int32_t scale, int32_t secondsLeft,
                                   uint64_t position, uint64_t total, uint64_t found, int32_t reserved);
  static int32_t FastPassProgress(void* self, int32_t percent, int32_t scale, int32_t secondsLeft,
                                  uint64_t position, uint64_t total, uint64_t found, int32_t reserved);

  uint32_t m_sectorSize = 512;
  int32_t m_diskNumber = 0;
  uint64_t m_startSector = 0;
  uint64_t m_sectorCount = 0;
  uint16_t m_sourceKey = 0;
  SectorSource m_source;
  bool m_opened = false;

  // Held until the engines below have closed their logs.
  ScanFolderLock m_folderLock;

  // Destroyed in the reverse order: the fast engine, the carver, the
  // participants.
  std::vector<SweepMember> m_members;  // in sweep order
  CFileTypeRecovery m_carver;
  std::unique_ptr<IFileRecoveryParse> m_fast;

  int32_t m_scale = 90;
  ScanProgressCallback m_scanCallback = nullptr;
  FileProgressCallback m_fileCallback = nullptr;
  void* m_userData = nullptr;
  SearchProgressCallback m_searchCallback = nullptr;
  void* m_searchUserData = nullptr;
  int32_t m_fastAnswer = 0;  // a non-zero answer given during the fast pass

  bool m_continuing = false;
  bool m_busy = false;
  DeepScanEntry m_entry;
  // What lasts of the source (read at open time), and what the continued
  // folder's identity file says (kind kNone when it has none).
  SourceIdentity m_identity;
  SourceIdentity m_folderIdentity;
  ScanCheckpoint m_resume;  // the earlier scan's checkpoint
  bool m_haveResume = false;
  std::string m_folder;  // the log folder of the scan running
  SweepJournal m_journal;
  bool m_fastSynced = false;
  uint64_t m_lastCheckpointMs = 0;
  uint64_t m_pieces = 0;           // pieces swept by this run
  uint64_t m_killAfterPieces = 0;  // test hooks (results/scan_checkpoint.h)
  uint64_t m_checkpointPieces = 0;
  int m_killSignal = 0;
  std::string m_imagePath;
  CScanLogRegistry& m_registry;
  std::string m_registryImagePath;  // the canonical path when it could be found
  uint16_t m_imageValue = 0;

  const SweepState* m_sweepState = nullptr;  // while sweeping
  std::vector<uint8_t> m_piece;              // the 64 KiB sweep buffer, while sweeping
  std::vector<uint8_t> m_marks;              // per sector of a piece: who may want it
  // The mark of participant `index` (the last bit is shared by any beyond
  // the seventh: each of them tests the sectors the others marked too).
  static constexpr uint8_t MemberMark(size_t index) {
    return static_cast<uint8_t>(1u << (index < 6 ? index : 6));
  }
  static constexpr uint8_t kCarverMark = 0x80;
  CombinedSweepStats m_stats;
};

}  // namespace velmira
