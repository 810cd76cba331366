#include "engines/combined/deep_recovery.h"

#include <algorithm>
#include <climits>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <span>
#include <system_error>

#include "engines/carving/signature_table.h"
#include "engines/engine_factory.h"
#include "engines/engine_skeleton.h"
#include "engines/logged_results.h"
#include "platform/drives.h"
#include "platform/errors.h"
#include "platform/folders.h"
#include "platform/status.h"
#include "platform/time_util.h"
#include "results/extension_lists.h"
#include "results/scan_log.h"
#include "results/scan_log_names.h"

namespace velmira {
namespace {

constexpr uint64_t kEstimateIntervalMs = 5000;
constexpr uint64_t kCheckpointIntervalMs = 5000;
constexpr int32_t kFastScale = 9;
constexpr int32_t kSweepScale = 90;

// What the combined scan asks of its fast engine; null for none, or for an
// engine that does not answer it.
const CEngineSkeleton* FastSkeleton(const IFileRecoveryParse* fast) {
  return dynamic_cast<const CEngineSkeleton*>(fast);
}

// Whether the fast engine's boot-sector layout holds on the medium; an
// engine without such a check is taken at its word.
bool FastLayoutHolds(const IFileRecoveryParse* fast) {
  const CEngineSkeleton* skeleton = FastSkeleton(fast);
  return skeleton == nullptr || skeleton->LayoutHolds();
}

}  // namespace

// The sweep's share done, as reported: 10 to 110 at scale 90 (9 % to 99 %).
int32_t CDeepRecovery::SweepPercent(const SweepState& state) {
  if (state.total == 0) return 110;
  const auto share = static_cast<unsigned __int128>(state.swept) * 100 / state.total;
  return static_cast<int32_t>(std::min<unsigned __int128>(share, 100)) + 10;
}

namespace {

// What one piece's dispatch did.
struct DispatchResult {
  uint64_t handled = 0;  // sectors from the piece start the sweep moves on by
  int32_t answer = 0;    // a progress answer given while the carver read ahead
};

}  // namespace

CDeepRecovery::CDeepRecovery(CScanLogRegistry& registry)
    : m_members(NewSweepMembers()), m_entry(MakeDeepScanEntry()), m_registry(registry) {}

CDeepRecovery::~CDeepRecovery() = default;

// ---- Opening -----------------------------------------------------------

int32_t CDeepRecovery::OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                     uint16_t sourceKey) {
  m_diskNumber = diskNumber;
  m_startSector = startSector;
  m_sectorCount = sectorCount;
  m_sourceKey = sourceKey;
  m_imagePath.clear();
  OpenedTarget opened;
  const PartitionLocator target = PartitionTarget(diskNumber, startSector, sectorCount, sourceKey);
  if (int32_t err = OpenTargetSource(target, m_source, opened); err != kOk) return err;
  m_sectorSize = opened.bytesPerSector;  // the drive's geometry; 512 when it cannot be asked
  m_entry = MakeDeepScanEntry();
  m_identity = PartitionSourceIdentity(diskNumber, startSector, sectorCount);
  m_registryImagePath.clear();
  m_registry.Reload();  // what other processes recorded meanwhile
  m_continuing =
      m_registry.FindEntryForPartition(diskNumber, startSector, sectorCount, sourceKey, m_identity, m_entry);
  AdoptEarlierScan();
  int32_t result = kOk;
  for (const SweepMember& member : m_members) {
    const int32_t err =
        member.participant->Engine().OpenPartition(diskNumber, startSector, sectorCount, sourceKey);
    if (result == kOk) result = err;
  }
  m_fast = CreateEngineForPartition(diskNumber, startSector, sectorCount, sourceKey, false);
  m_opened = true;
  return result;
}

int32_t CDeepRecovery::OpenImage(const std::string& imagePath, uint16_t imageValue) {
  m_sourceKey = imageValue;
  m_imageValue = imageValue;
  OpenedTarget opened;
  if (int32_t err = OpenTargetSource(ImageTarget(imagePath, imageValue), m_source, opened); err != kOk)
    return err;
  m_diskNumber = kImageDiskNumber;
  m_startSector = 0;
  m_sectorSize = opened.bytesPerSector;  // the image's own sector size
  m_sectorCount = opened.sectorCount;    // in those sectors
  m_imagePath = imagePath;
  m_entry = MakeDeepScanEntry();
  m_identity = ImageSourceIdentity(imagePath);
  m_registryImagePath = m_identity.imagePath.empty() ? imagePath : m_identity.imagePath;
  m_registry.Reload();  // what other processes recorded meanwhile
  m_continuing = m_registry.FindEntryForImage(imagePath, m_identity, m_entry);
  // An earlier scan that read the image in another sector size recorded its
  // positions in those sectors: it cannot be continued.
  if (m_continuing && m_entry.sectorCount != m_sectorCount) ClearContinuing();
  AdoptEarlierScan();
  int32_t result = kOk;
  for (const SweepMember& member : m_members) {
    const int32_t err = member.participant->Engine().OpenImage(imagePath, imageValue);
    if (result == kOk) result = err;
  }
  m_fast = CreateEngineForImage(imagePath, imageValue, false);
  m_opened = true;
  return result;
}

std::string CDeepRecovery::ContinuedLogFolder() const {
  return m_continuing ? EntryLogFolder(m_entry) : std::string();
}

void CDeepRecovery::ClearContinuing() {
  m_continuing = false;
  m_entry = MakeDeepScanEntry();
  m_resume = ScanCheckpoint{};
  m_haveResume = false;
  m_folderLock.Release();  // the caller deletes the folder next
}

uint64_t CDeepRecovery::ContinuedFiles() const {
  return m_haveResume ? m_resume.files : m_entry.filesFound;
}

void CDeepRecovery::AdoptEarlierScan() {
  m_busy = false;
  m_haveResume = false;
  m_resume = ScanCheckpoint{};
  m_folderLock.Release();
  if (!m_continuing) return;
  const std::string folder = EntryLogFolder(m_entry);
  if (m_folderLock.Acquire(folder) == kErrBusy) {
    // Another process is scanning this source right now.
    m_busy = true;
    m_continuing = false;
    return;
  }
  m_haveResume = ReadScanCheckpoint(folder, m_resume);
  if (m_haveResume) {
    // The checkpoint, not the registry, says where the sweep stands.
    const DeepScanSweep& p = m_resume.position;
    m_entry.extentStart = p.extentStart;
    m_entry.extentLength = p.extentLength;
    m_entry.extentDone = p.extentDone;
    m_entry.sectorsSwept = p.sectorsSwept;
    m_entry.filesFound = p.filesFound;
    return;
  }
  if (m_entry.extentLength == 0 && m_entry.sectorsSwept == 0 && m_entry.filesFound == 0) {
    // Recorded when its folder was made, ended before its first checkpoint:
    // nothing to continue.
    m_folderLock.Release();
    (void)m_registry.RemoveLogFolder(folder);  // a leftover empty folder harms nothing
    m_continuing = false;
    m_entry = MakeDeepScanEntry();
  }
}

bool CDeepRecovery::RefreshContinuing() {
  // The registry's current folder belongs to the last lookup made; another
  // source opened since may have changed it, so look this one up again.
  CScanLogRegistry& registry = m_registry;
  DeepScanEntry entry = MakeDeepScanEntry();
  bool found = m_imagePath.empty()
                   ? registry.FindEntryForPartition(m_diskNumber, m_startSector, m_sectorCount, m_sourceKey,
                                                    m_identity, entry)
                   : registry.FindEntryForImage(m_imagePath, m_identity, entry);
  // Positions recorded in another sector size do not fit this reading.
  if (found && entry.sectorCount != m_sectorCount) found = false;
  m_entry = found ? entry : MakeDeepScanEntry();
  return found;
}

std::string CDeepRecovery::ContinuedLogName(const std::string& folder, const std::string& prefix) const {
  std::string name;
  if (m_haveResume) {
    // The checkpoint names the logs whose records count.
    const CheckpointLog* log = m_resume.LogWithPrefix(prefix.c_str());
    if (log == nullptr) return {};
    name = log->name;
  } else if (m_folderIdentity.kind != SourceIdentity::Kind::kNone) {
    name = LoggedName(m_folderIdentity, prefix);
  } else {
    // A folder from before identity files: it may hold other sources' logs
    // too, but only this source's carry its start sector in their names.
    name = FirstLogNameWithPrefix(folder, prefix + std::to_string(m_startSector) + "_");
  }
  if (name.empty()) return {};
  // A log that is gone is begun afresh rather than opened empty.
  std::error_code ec;
  const std::string base = !folder.empty() && folder.back() == '/' ? folder : folder + "/";
  return std::filesystem::is_regular_file(base + name, ec) ? name : std::string();
}

int32_t CDeepRecovery::WriteFolderIdentity(const std::string& folder) {
  if (m_identity.kind == SourceIdentity::Kind::kNone) return kOk;  // nothing lasting is known
  SourceIdentity identity = m_identity;
  identity.logs.clear();
  auto note = [&](const CScanLog* log) {
    if (log != nullptr && log->IsOpen() && !log->MainPath().empty())
      identity.logs.push_back(std::filesystem::path(log->MainPath()).filename().string());
  };
  if (const CEngineSkeleton* fast = FastSkeleton(m_fast.get())) note(fast->ScanLog());
  for (const SweepMember& member : m_members) note(member.participant->Engine().ScanLog());
  note(m_carver.Log());
  return WriteSourceIdentity(folder, identity);
}

// ---- Callbacks ---------------------------------------------------------

int32_t CDeepRecovery::SetProgressCallbacks(ScanProgressCallback scanCallback,
                                            FileProgressCallback fileCallback, void* userData,
                                            int32_t /*scale*/) {
  m_scanCallback = scanCallback;
  m_fileCallback = fileCallback;
  m_userData = userData;
  m_scale = kSweepScale;
  if (m_fast) m_fast->SetProgressCallbacks(scanCallback, fileCallback, userData, kFastScale);
  for (const SweepMember& member : m_members)
    (void)member.participant->Engine().SetProgressCallbacks(scanCallback, fileCallback, userData,
                                                            kSweepScale);
  m_carver.SetProgressCallbacks(scanCallback, fileCallback, userData, kSweepScale);
  return kOk;
}

int32_t CDeepRecovery::SetSearchCallback(SearchProgressCallback callback, void* userData) {
  m_searchCallback = callback;
  m_searchUserData = userData;
  if (m_fast) m_fast->SetSearchCallback(callback, userData);
  for (const SweepMember& member : m_members)
    (void)member.participant->Engine().SetSearchCallback(callback, userData);
  m_carver.SetSearchCallback(callback, userData);
  return kOk;
}

int32_t CDeepRecovery::Report(int32_t percent, int32_t scale, int32_t secondsLeft, uint64_t position,
                              uint64_t total, uint64_t found) {
  if (m_scanCallback == nullptr) return kOk;
  return m_scanCallback(m_userData, percent, scale, secondsLeft, position, total, found, 0);
}

int32_t CDeepRecovery::FastPassProgress(void* self, int32_t percent, int32_t scale, int32_t secondsLeft,
                                        uint64_t position, uint64_t total, uint64_t found,
                                        int32_t /*reserved*/) {
  auto* engine = static_cast<CDeepRecovery*>(self);
  const int32_t answer = engine->Report(percent, scale, secondsLeft, position, total, found);
  if (answer != kOk) engine->m_fastAnswer = answer;
  return answer;
}

int32_t CDeepRecovery::ReadAheadProgress(void* self, int32_t, int32_t, int32_t, uint64_t, uint64_t, uint64_t,
                                         int32_t) {
  // A length rule reading far ahead reports where it reads; the bar keeps
  // showing where the sweep stands, so that it never runs ahead and back.
  auto* engine = static_cast<CDeepRecovery*>(self);
  const SweepState* state = engine->m_sweepState;
  if (state == nullptr) return kOk;
  return engine->Report(SweepPercent(*state), kSweepScale, state->secondsLeft, state->swept, state->total,
                        engine->GetFoundCount() + state->resumedFound);
}

// ---- Scan --------------------------------------------------------------

int32_t CDeepRecovery::RunFastPass(bool& freeSpace) {
  freeSpace = false;
  if (!m_fast) return kOk;
  // The fast pass reports through FastPassProgress so that a stop asked for
  // by the user can be told from a failure of the fast scan.
  m_fastAnswer = kOk;
  m_fast->SetProgressCallbacks(&FastPassProgress, nullptr, this, kFastScale);
  freeSpace = m_fast->LoadAllocationMap() == kOk;
  std::string logName;
  if (m_continuing) logName = ContinuedLogName(EntryLogFolder(m_entry), "Fast_");
  const uint64_t writeFailures = ScanLogWriteFailureCount();
  int32_t result = m_fast->Scan(logName);
  if (result != kOk && !logName.empty() && m_fastAnswer == kOk)
    result = m_fast->Scan("");  // log gone: scan again
  // A log that cannot be written stops the scan; a sweep would lose its files too.
  if (result != kOk && ScanLogWriteFailureCount() != writeFailures) return result;
  // The fast engine keeps serving recoveries afterwards: give it back the
  // caller's callbacks, file progress included.
  m_fast->SetProgressCallbacks(m_scanCallback, m_fileCallback, m_userData, kFastScale);
  if (result != kOk && m_fastAnswer == kOk) {
    // The file system is too damaged for the fast scan: its allocation map
    // cannot be trusted either, so the sweep covers the whole source.
    m_stats.fastPassFailed = true;
    freeSpace = false;
    return kOk;
  }
  if (freeSpace) {
    // An engine that delivers no extents at all (the ext placeholder) has no
    // free-space map: its source is swept whole.
    uint64_t position = 0;
    uint64_t length = 0;
    if (m_fast->NextFreeExtent(position, length) == 0) freeSpace = false;
  }
  // A boot sector with one wrong but plausible field maps free space that
  // is not there: the whole medium is swept instead.
  if (freeSpace && !FastLayoutHolds(m_fast.get())) freeSpace = false;
  return result;
}

void CDeepRecovery::HandOnLogFolder() {
  if (m_fast) m_fast->SetLogFolder(m_folder);
  for (const SweepMember& member : m_members) member.participant->Engine().SetLogFolder(m_folder);
  m_carver.SetLogFolder(m_folder);
}

int32_t CDeepRecovery::BeginSubLogs(const std::string& folder) {
  int32_t result = kOk;
  const std::string carvedLog = m_continuing ? ContinuedLogName(folder, "File_Type_") : std::string();
  if (carvedLog.empty()) {
    result = m_imagePath.empty()
                 ? m_carver.OpenPartition(m_diskNumber, m_startSector, m_sectorCount, m_sourceKey)
                 : m_carver.OpenImage(m_imagePath, m_imageValue);
  } else {
    result = m_imagePath.empty()
                 ? m_carver.ReopenForPartition(m_sectorSize, m_diskNumber, carvedLog, m_sourceKey)
                 : m_carver.ReopenForImage(m_sectorSize, carvedLog, m_sourceKey, m_imagePath);
  }
  const bool bootLayoutHolds = FastLayoutHolds(m_fast.get());
  for (const SweepMember& member : m_members) {
    CSweepParticipant& participant = *member.participant;
    const std::string log = m_continuing ? ContinuedLogName(folder, participant.LogPrefix()) : std::string();
    const int32_t err = participant.BeginSweep(log, bootLayoutHolds);
    if (result == kOk) result = err;
  }
  m_carver.State().ResetForSweep();
  return result;
}

uint32_t CDeepRecovery::FastExtentUnit() const {
  // The fast engines count free space in their volume's own sectors, which
  // need not be the sectors this engine sweeps in (an image read in one size
  // holding a volume formatted with another).
  if (const CEngineSkeleton* fast = FastSkeleton(m_fast.get());
      fast != nullptr && fast->ExtentSectorBytes() != 0)
    return fast->ExtentSectorBytes();
  return m_sectorSize;
}

bool CDeepRecovery::NextExtent(uint64_t from, Extent& extent) {
  if (!m_fast || from >= m_sectorCount || m_sectorSize == 0) return false;
  // Into the fast engine's unit and back into the sweep's: a free run is
  // widened to whole sweep sectors, never narrowed.
  using Wide = unsigned __int128;
  const uint32_t unit = FastExtentUnit();
  const Wide fromUnits = Wide{from} * m_sectorSize / unit;
  if (fromUnits > UINT64_MAX) return false;
  uint64_t position = static_cast<uint64_t>(fromUnits);
  uint64_t length = 0;
  if (m_fast->NextFreeExtent(position, length) == 0 || length == 0) return false;
  const Wide first = Wide{position} * unit / m_sectorSize;
  const Wide end = ((Wide{position} + length) * unit + m_sectorSize - 1) / m_sectorSize;
  if (first >= m_sectorCount) return false;
  position = static_cast<uint64_t>(first);
  length = static_cast<uint64_t>(std::min<Wide>(end, m_sectorCount) - first);
  // Extents only move forward and stay inside the partition, whatever the
  // map says: the total and the sweep always end.
  if (position < from) {
    const uint64_t behind = from - position;
    if (length <= behind) return false;
    length -= behind;
    position = from;
  }
  if (position >= m_sectorCount) return false;
  extent.start = position;
  extent.length = std::min(length, m_sectorCount - position);
  return true;
}

uint64_t CDeepRecovery::FreeSpaceTotal() {
  uint64_t total = 0;
  Extent extent;
  for (uint64_t from = 0; NextExtent(from, extent); from = extent.start + extent.length)
    total += extent.length;
  return total;
}

int32_t CDeepRecovery::StartNewFolder(std::string& folder) {
  CScanLogRegistry& registry = m_registry;
  // The number is saved at once: a run killed later never hands it out again.
  if (const int32_t err = registry.NewLogFolder(); err != kOk) return err;
  folder = registry.CurrentLogFolder();
  if (const int32_t err = CreateFolderWithParents(folder); err != kOk) return err;
  if (const int32_t err = m_folderLock.Acquire(folder); err != kOk) return err;
  // On record from the start, so that a second run on this source finds the
  // folder locked and says so instead of scanning beside this one.
  return registry.RecordDeepScan(m_sourceKey, m_diskNumber, m_startSector, m_sectorCount, DeepScanSweep{},
                                 folder, m_registryImagePath);
}

int32_t CDeepRecovery::Scan(const std::string& /*scanLogPath*/) {
  m_stats = CombinedSweepStats{};
  if (!m_opened || !m_source.IsOpen()) return kErrInvalidHandle;
  if (m_busy) return kErrBusy;
  m_killAfterPieces = TestHook("VELMIRA_TEST_KILL_AFTER_PIECES");
  m_checkpointPieces = TestHook("VELMIRA_TEST_CHECKPOINT_PIECES");
  m_killSignal = static_cast<int>(TestHook("VELMIRA_TEST_KILL_SIGNAL"));
  if (m_killSignal == 0) m_killSignal = SIGKILL;
  m_pieces = 0;
  m_fastSynced = false;
  CScanLogRegistry& registry = m_registry;
  if (m_continuing) {
    m_folderLock.Release();
    m_continuing = RefreshContinuing();
    AdoptEarlierScan();
    if (m_busy) return kErrBusy;
  }
  const bool continuing = m_continuing;
  const uint64_t writeFailures = ScanLogWriteFailureCount();
  if (continuing && m_haveResume && m_resume.finished) return ShowFinishedScan();
  std::string folder;
  if (continuing) {
    folder = EntryLogFolder(m_entry);
  } else if (const int32_t err = StartNewFolder(folder); err != kOk) {
    NoteScanLogWriteFailure(folder.empty() ? registry.CurrentLogFolder() : folder, err);
    m_folderLock.Release();
    return err;
  }
  m_folder = folder;
  HandOnLogFolder();
  m_folderIdentity = SourceIdentity{};
  // An older scan without an identity file is not checked against the source.
  if (continuing) (void)ReadSourceIdentity(folder, m_folderIdentity);

  bool freeSpace = false;
  int32_t result = RunFastPass(freeSpace);
  bool swept = false;
  SweepState state;
  if (result == kOk) result = BeginSubLogs(folder);
  if (result == kOk) result = WriteFolderIdentity(folder);
  if (result == kOk) result = RestoreSweep(continuing);
  if (result == kOk) {
    swept = true;
    m_stats.freeSpaceOnly = freeSpace;
    result = Sweep(freeSpace, state);
    // Logs that could not be written whole fail the scan, even a stopped one
    // (a read error of a folder does not). Where the sweep stopped is saved
    // only with whole logs, before the engines add what they work out at its
    // end (a continued scan rebuilds that from the journal).
    int32_t written = SubLogWriteError(false);
    if (written == kOk) written = Checkpoint(state, false);
    for (const SweepMember& member : m_members) {
      try {
        const int32_t err = member.participant->FinishSweep();
        if (written == kOk) written = err;
      } catch (...) {
        ++m_stats.contained;
      }
    }
    if (written == kOk) written = SubLogWriteError(true);
    if (written != kOk)
      result = written;
    else if (result == kOk)
      result = Checkpoint(state, true);
  }
  m_piece = {};
  m_marks = {};
  if (result == kOk) (void)Report(100, 100, 0, 0, 0, 0);  // done: a stop asked now changes nothing

  if (ScanLogWriteFailureCount() != writeFailures) {
    // Logs that lost records must not be continued as if whole: the registry
    // keeps the last position that went with complete logs.
    if (result == kOk) result = FirstScanLogWriteFailure().error;
    if (result == kOk) result = kErrWriteFault;
  }
  if (!swept && !continuing) {
    // A new scan that ended before its sweep began leaves nothing to continue.
    m_journal.Close();
    m_folderLock.Release();
    (void)registry.RemoveLogFolder(folder);  // a leftover empty folder harms nothing
    registry.TakeBackLogFolder();
  }
  m_continuing = false;
  return result;
}

int32_t CDeepRecovery::RestoreSweep(bool continuing) {
  const bool checkpointed = continuing && m_haveResume;
  if (const int32_t err = m_journal.Open(m_folder, checkpointed ? m_resume.journalEntries : 0); err != kOk)
    return err;
  for (const SweepMember& member : m_members) member.participant->SetKeptRecords(0);
  if (!continuing) return kOk;
  if (!checkpointed) {
    // A scan recorded before checkpoints existed: its logs are kept whole
    // and only what this run finds is journalled.
    for (const SweepMember& member : m_members) {
      const CScanLog* log = member.participant->Engine().ScanLog();
      member.participant->SetKeptRecords(log != nullptr ? log->TotalRecords() : 0);
    }
    return kOk;
  }
  // Every log back to what the checkpoint counted; the participants' logs
  // back to what the journal cannot rebuild (nothing, for a scan that was
  // checkpointed from its start).
  for (CScanLog* log : SweepLogs()) {
    if (log == nullptr || !log->IsOpen()) continue;
    const CheckpointLog* counted =
        m_resume.FindLog(std::filesystem::path(log->MainPath()).filename().string());
    const uint64_t base = counted != nullptr ? counted->base : 0;
    if (const int32_t err = log->RollBackTo(static_cast<uint32_t>(base)); err != kOk) return err;
    if (CSweepParticipant* participant = ParticipantOfLog(log)) participant->SetKeptRecords(base);
  }
  CarvingState& carving = m_carver.State();
  carving.tsStrict = m_resume.tsStrict;
  carving.previousWasMts = m_resume.previousWasMts;
  carving.streamRanges.clear();
  for (const auto& [first, last] : m_resume.streamRanges)
    carving.streamRanges.push_back(StreamRange{first, last});
  if (const int32_t err = ReplayJournal(); err != kOk) return err;
  // What the engines count now is part of what the checkpoint counted.
  const uint64_t counted = GetFoundCount();
  m_entry.filesFound = m_resume.position.filesFound > counted ? m_resume.position.filesFound - counted : 0;
  return SyncFolder(m_folder);
}

int32_t CDeepRecovery::ReplayJournal() {
  int32_t logError = kOk;
  const int32_t read = m_journal.ForEach([&](const SweepJournal::Entry& entry) {
    try {
      JournalSector sector(m_source, m_sectorSize, entry.sector);
      for (const SweepMember& member : m_members) {
        Status status;
        const bool replayed = member.participant->Replay(entry, sector, status);
        if (status.IsFatal() && logError == kOk) logError = status.Code();
        if (replayed) break;
      }
    } catch (...) {
      ++m_stats.contained;  // as during the sweep
    }
  });
  return read != kOk ? read : logError;
}

int32_t CDeepRecovery::ShowFinishedScan() {
  // The logs as the finished scan left them; nothing is swept again.
  m_folder = EntryLogFolder(m_entry);
  HandOnLogFolder();
  bool freeSpace = false;
  int32_t result = RunFastPass(freeSpace);
  if (result == kOk) result = BeginSubLogs(m_folder);
  for (CScanLog* log : SweepLogs()) {
    if (result != kOk || log == nullptr || !log->IsOpen()) continue;
    const CheckpointLog* counted =
        m_resume.FindLog(std::filesystem::path(log->MainPath()).filename().string());
    result = log->RollBackTo(static_cast<uint32_t>(counted != nullptr ? counted->base : 0));
  }
  m_stats.resumed = true;
  m_stats.freeSpaceOnly = freeSpace;
  m_stats.position = m_resume.position;
  m_stats.sectorsSwept = m_resume.position.sectorsSwept;
  if (result == kOk) (void)Report(100, 100, 0, 0, 0, 0);  // done: a stop asked now changes nothing
  m_continuing = false;
  return result;
}

int32_t CDeepRecovery::MaybeCheckpoint(const SweepState& state) {
  ++m_pieces;
  if (m_killAfterPieces != 0 && m_pieces == m_killAfterPieces) ::raise(m_killSignal);  // test hook
  const bool due = TickCountMs() - m_lastCheckpointMs >= kCheckpointIntervalMs ||
                   (m_checkpointPieces != 0 && m_pieces % m_checkpointPieces == 0);
  return due ? Checkpoint(state, false) : kOk;
}

int32_t CDeepRecovery::Checkpoint(const SweepState& state, bool finished) {
  const int32_t err = WriteCheckpoint(state, finished);
  if (err != kOk) NoteScanLogWriteFailure(m_folder, err);
  return err;
}

int32_t CDeepRecovery::WriteCheckpoint(const SweepState& state, bool finished) {
  m_lastCheckpointMs = TickCountMs();
  ScanCheckpoint c;
  c.finished = finished;
  c.saved = static_cast<int64_t>(std::time(nullptr));
  c.position = PositionOf(state);
  c.files = c.position.filesFound;
  if (finished) {
    // The files of every known type, as a listing shows them.
    const std::string known = std::string(kPhotoExtensions) + std::string(kAudioExtensions) +
                              std::string(kVideoExtensions) + std::string(kDocumentExtensions) +
                              std::string(kArchiveExtensions);
    std::vector<FoundRecord> files;
    if (CollectMatches(known, files) == kOk) c.files = files.size();
  }
  // Everything the checkpoint counts is on the disk before it is written.
  if (!m_fastSynced) {
    if (const int32_t err = SyncFolderFiles(m_folder); err != kOk) return err;
    m_fastSynced = true;
  }
  for (CScanLog* log : SweepLogs()) {
    if (log == nullptr || !log->IsOpen()) continue;
    if (const int32_t err = log->SyncLog(); err != kOk) return err;
    CheckpointLog counted;
    counted.name = std::filesystem::path(log->MainPath()).filename().string();
    counted.records = log->TotalRecords();
    counted.base = counted.records;
    if (const CSweepParticipant* participant = ParticipantOfLog(log); participant != nullptr && !finished)
      counted.base =
          participant->LogsWhileSweeping() ? std::min(participant->KeptRecords(), counted.records) : 0;
    c.logs.push_back(std::move(counted));
  }
  if (const int32_t err = m_journal.Sync(); err != kOk) return err;
  c.journalEntries = m_journal.Entries();
  const CarvingState& carving = m_carver.State();
  c.tsStrict = carving.tsStrict;
  c.previousWasMts = carving.previousWasMts;
  for (const StreamRange& range : carving.streamRanges) c.streamRanges.emplace_back(range.first, range.last);
  if (const int32_t err = SyncFolder(m_folder); err != kOk) return err;
  if (const int32_t err = WriteScanCheckpoint(m_folder, c); err != kOk) return err;
  m_stats.position = c.position;
  CScanLogRegistry& registry = m_registry;
  const int32_t recorded = registry.RecordDeepScan(m_sourceKey, m_diskNumber, m_startSector, m_sectorCount,
                                                   c.position, m_folder, m_registryImagePath);
  if (recorded != kOk) NoteScanLogWriteFailure(registry.ScanLogFolder() + "/", recorded);
  return recorded;
}

int32_t CDeepRecovery::Sweep(bool freeSpace, SweepState& state) {
  const uint32_t bps = m_sectorSize;
  const uint32_t pieceSectors = std::max<uint32_t>(1, static_cast<uint32_t>(kIoPieceBytes / bps));
  m_piece.assign(size_t{pieceSectors} * bps, 0);

  state.total = freeSpace ? FreeSpaceTotal() : m_sectorCount;
  if (freeSpace) {
    if (!NextExtent(0, state.extent)) state.extent = {0, 0};
  } else {
    state.extent = {0, m_sectorCount};
  }
  if (m_continuing) {
    // Go on where the earlier run stopped. A whole-source sweep resumes at the
    // same sector whatever extent the earlier run was in.
    m_stats.resumed = true;
    if (freeSpace) {
      state.extent = {m_entry.extentStart, m_entry.extentLength};
      state.done = m_entry.extentDone;
    } else {
      state.done = std::min(m_sectorCount, m_entry.extentStart + m_entry.extentDone);
    }
    state.swept = m_entry.sectorsSwept;
    state.resumedFound = m_entry.filesFound;
    m_continuing = false;
  }
  m_stats.totalSectors = state.total;
  if (const int32_t err = Checkpoint(state, false); err != kOk) return err;

  // The carver's read-ahead reports go through ReadAheadProgress meanwhile.
  m_sweepState = &state;
  m_carver.SetProgressCallbacks(&ReadAheadProgress, nullptr, this, kSweepScale);
  const uint64_t started = TickCountMs();
  uint64_t lastEstimate = started;
  const uint64_t sweptBefore = state.swept;
  int32_t result = kOk;
  for (;;) {
    while (state.extent.length > 0 && state.done < state.extent.length) {
      const uint64_t remaining = state.extent.length - state.done;
      const auto n = static_cast<uint32_t>(std::min<uint64_t>(pieceSectors, remaining));
      const uint64_t first = m_startSector + state.extent.start + state.done;
      const uint32_t got = ReadPiece(n, first);
      DispatchResult dispatched{n, kOk};
      if (got > 0) {
        try {
          dispatched.handled = Dispatch(m_piece.data(), got, first, state, dispatched.answer);
        } catch (...) {
          ++m_stats.contained;  // a handler's fault costs this piece, not the scan
          dispatched = {n, kOk};
        }
        // A carve stopped by the user ends before the file it was reading: the
        // next run starts there again, so that nothing is lost between runs.
        if (dispatched.answer == kOk) dispatched.handled = std::max<uint64_t>(dispatched.handled, n);
      }
      state.swept += std::min(dispatched.handled, remaining);
      state.done += dispatched.handled;
      if (dispatched.answer != kOk) {
        result = dispatched.answer;
        break;
      }
      if ((result = SubLogWriteError(false)) != kOk) break;  // what is found now could not be kept
      if ((result = MaybeCheckpoint(state)) != kOk) break;
      const uint64_t now = TickCountMs();
      if (now - lastEstimate >= kEstimateIntervalMs) {
        lastEstimate = now;
        const uint64_t seconds = std::max<uint64_t>((now - started) / 1000, 1);
        uint64_t speed = bps * (state.swept - sweptBefore) / seconds;
        if (speed == 0) speed = 1;
        const uint64_t left = state.total > state.swept ? state.total - state.swept : 0;
        state.secondsLeft = static_cast<int32_t>(
            std::min<unsigned __int128>(static_cast<unsigned __int128>(left) * bps / speed, INT32_MAX));
      }
      result = Report(SweepPercent(state), kSweepScale, state.secondsLeft, state.swept, state.total,
                      GetFoundCount() + state.resumedFound);
      if (result != kOk) break;
    }
    if (result != kOk || !freeSpace) break;
    Extent next;
    if (!NextExtent(state.extent.start + state.extent.length, next)) break;
    state.extent = next;
    state.done = 0;
  }
  m_sweepState = nullptr;
  m_carver.SetProgressCallbacks(m_scanCallback, m_fileCallback, m_userData, kSweepScale);
  m_stats.sectorsSwept = state.swept;
  return result;
}

uint32_t CDeepRecovery::ReadPiece(uint32_t sectors, uint64_t firstSector) {
  const uint32_t bps = m_sectorSize;
  uint32_t got = 0;
  (void)ReadSectors(sectors, m_source, m_piece.data(), firstSector, bps,
                    got);  // a short read is handled below
  if (got >= sectors) return sectors;
  // One bad sector must not cost the rest of the piece: the sectors after
  // the first failure are read one by one, and only those that cannot be
  // read are lost (zero-filled, so that nothing is found in them).
  ++m_stats.unreadPieces;
  for (uint32_t i = got; i < sectors; ++i) {
    uint8_t* at = m_piece.data() + size_t{i} * bps;
    uint32_t one = 0;
    if (ReadSectors(1, m_source, at, firstSector + i, bps, one) != kOk || one != 1) {
      std::fill(at, at + bps, uint8_t{0});
      ++m_stats.unreadSectors;
    }
  }
  return sectors;
}

uint64_t CDeepRecovery::Dispatch(const uint8_t* bytes, uint32_t sectors, uint64_t firstSector,
                                 SweepState& state, int32_t& answer) {
  const uint32_t bps = m_sectorSize;
  const size_t pieceBytes = size_t{sectors} * bps;
  const uint64_t foundBefore = GetFoundCount() + state.resumedFound;
  SweepContext context{m_source, m_journal};
  // Who may want each sector, tested for the whole piece at once: a bit per
  // participant and one for the carver. Most sectors of a medium are
  // nobody's and are passed over without a call.
  m_marks.assign(sectors, 0);
  for (size_t i = 0; i < m_members.size(); ++i)
    m_members[i].participant->MarkCandidates(bytes, sectors, bps, m_marks.data(), MemberMark(i));
  MarkHeaderCandidates(bytes, sectors, bps, m_marks.data(), kCarverMark);
  uint64_t k = 0;
  while (k < sectors) {
    const uint8_t marks = m_marks[static_cast<size_t>(k)];
    if (marks == 0) {
      // A run of sectors nobody wants.
      while (k < sectors && m_marks[static_cast<size_t>(k)] == 0) ++k;
      m_carver.PassOverHeaderlessSector();
      continue;
    }
    const size_t offset = static_cast<size_t>(k) * bps;
    const uint64_t at = firstSector + k;
    const ByteView rest(bytes + offset, pieceBytes - offset);
    const ByteView sector(bytes + offset, bps);
    bool taken = false;
    for (size_t i = 0; i < m_members.size(); ++i) {
      if ((marks & MemberMark(i)) == 0) continue;
      const SweptSector swept = m_members[i].participant->OnSweptSector(sector, rest, at, context);
      if (!swept.taken) continue;
      // A log that fails ends the sweep here, as SubLogWriteError would
      // after the piece.
      if (swept.status.IsFatal()) {
        answer = swept.status.Code();
        return k + 1;
      }
      taken = true;
      break;
    }
    if (taken) {
      ++k;
      continue;
    }
    if ((marks & kCarverMark) == 0) {
      m_carver.PassOverHeaderlessSector();
      ++k;
      continue;
    }
    SweepFigures figures;
    figures.sectorsDone = state.swept + k;
    figures.totalSectors = state.total;
    figures.secondsLeft = state.secondsLeft;
    figures.filesFound = foundBefore;
    uint64_t consumed = 1;
    const int32_t carved =
        m_carver.CarveAtSector(bps, sector, at, figures, m_source, consumed, state.carvedFound);
    if (carved != kOk && carved != kErrInvalidParameter) {
      answer = carved;
      return k;
    }
    k += std::max<uint64_t>(consumed, 1);
  }
  return k;
}

int32_t CDeepRecovery::SubLogWriteError(bool flush) {
  for (CScanLog* log : SweepLogs()) {
    if (log == nullptr) continue;
    const int32_t err = flush ? FlushedWhole(*log) : log->WriteError();
    if (err != kOk) return err;
  }
  return kOk;
}

std::vector<CScanLog*> CDeepRecovery::SweepLogs() {
  std::vector<CScanLog*> logs{m_carver.Log()};
  for (const SweepMember& member : m_members) logs.push_back(member.participant->Engine().ScanLog());
  return logs;
}

CSweepParticipant* CDeepRecovery::ParticipantOfLog(const CScanLog* log) const {
  if (log == nullptr) return nullptr;
  for (const SweepMember& member : m_members)
    if (member.participant->Engine().ScanLog() == log) return member.participant.get();
  return nullptr;
}

CSweepParticipant* CDeepRecovery::ParticipantOfTag(uint32_t engineTag, bool fastToo) const {
  for (const SweepMember& member : m_members)
    if (member.row->deepTag == engineTag || (fastToo && member.row->fastTag == engineTag))
      return member.participant.get();
  return nullptr;
}

uint64_t CDeepRecovery::UnreadSectors() const {
  uint64_t sectors = m_stats.unreadSectors;
  if (const CEngineSkeleton* fast = FastSkeleton(m_fast.get())) sectors += fast->UnreadSectors();
  return sectors;
}

DeepScanSweep CDeepRecovery::PositionOf(const SweepState& state) {
  DeepScanSweep position;
  position.extentStart = state.extent.start;
  position.extentLength = state.extent.length;
  position.extentDone = state.done;
  position.sectorsSwept = state.swept;
  position.filesFound = GetFoundCount() + state.resumedFound;
  return position;
}

// ---- Routed slots ------------------------------------------------------

void CDeepRecovery::StampSourceKey(std::vector<FoundRecord>& records) const {
  for (FoundRecord& record : records) record.sourceKey = m_sourceKey;
}

IFileRecoveryParse* CDeepRecovery::EngineFor(const FoundRecord& record) {
  if (IsFastEngineTag(record.engineTag)) return m_fast.get();
  if (record.engineTag == kTagCarving) return &m_carver;
  CSweepParticipant* participant = ParticipantOfTag(record.engineTag, false);
  return participant != nullptr ? &participant->Engine() : nullptr;
}

int32_t CDeepRecovery::ListChildren(const FoundRecord* folder, uint32_t depth,
                                    std::vector<FoundRecord>& children) {
  std::vector<FoundRecord> listed;
  std::vector<FoundRecord> part;
  int32_t result = kOk;
  auto add = [&](IFileRecoveryParse* engine, const FoundRecord* of) {
    part.clear();  // the engines replace what their list held
    const int32_t err = engine != nullptr ? engine->ListChildren(of, depth, part) : kOk;
    if (result == kOk) result = err;
    StampSourceKey(part);
    listed.insert(listed.end(), part.begin(), part.end());
  };
  if (folder != nullptr) {
    add(folder->engineTag == kTagCarving ? nullptr : EngineFor(*folder), folder);
  } else if (depth == 0) {
    add(m_fast.get(), nullptr);
    for (const SweepMember& member : m_members) add(&member.participant->Engine(), nullptr);
    add(&m_carver, nullptr);
  } else {
    return kErrInvalidParameter;
  }
  SortFoundRecords(listed);
  children.insert(children.end(), listed.begin(), listed.end());
  return result;
}

int32_t CDeepRecovery::CountFiles(const FoundRecord* folder, uint32_t depth, uint32_t& count) {
  count = 0;
  if (folder != nullptr) {
    IFileRecoveryParse* engine = folder->engineTag == kTagCarving ? nullptr : EngineFor(*folder);
    return engine != nullptr ? engine->CountFiles(folder, depth, count) : kOk;
  }
  if (depth != 0) return kErrInvalidParameter;
  std::vector<IFileRecoveryParse*> engines{m_fast.get(), &m_carver};
  for (const SweepMember& member : m_members) engines.push_back(&member.participant->Engine());
  int32_t result = kOk;
  for (IFileRecoveryParse* engine : engines) {
    uint32_t n = 0;
    const int32_t err = engine != nullptr ? engine->CountFiles(nullptr, 0, n) : kOk;
    if (err == kOk)
      count += n;
    else if (result == kOk)
      result = err;
  }
  return result;
}

uint64_t CDeepRecovery::GetFoundCount() {
  uint64_t found = (m_fast ? m_fast->GetFoundCount() : 0) + m_carver.GetFoundCount();
  for (const SweepMember& member : m_members) found += member.participant->Engine().GetFoundCount();
  return found;
}

int32_t CDeepRecovery::GetFolderPath(const FoundRecord& record, std::string& path, uint32_t maxChars) {
  IFileRecoveryParse* engine = EngineFor(record);
  if (engine == nullptr) {
    path.clear();
    return kOk;
  }
  return engine->GetFolderPath(record, path, maxChars);
}

int32_t CDeepRecovery::RecoverItem(const FoundRecord& record, const std::string& destination,
                                   int32_t rootDepth) {
  IFileRecoveryParse* engine = EngineFor(record);
  if (engine == nullptr) return kErrInvalidParameter;  // never report a file as recovered that was not
  return engine->RecoverItem(record, destination, rootDepth);
}

int32_t CDeepRecovery::ExtractForPreview(const FoundRecord& record, std::string& outPath, uint8_t* memory,
                                         uint32_t& byteCount, PreviewProgressCallback callback,
                                         void* userData) {
  IFileRecoveryParse* engine = EngineFor(record);
  if (engine == nullptr) return kErrInvalidParameter;
  return engine->ExtractForPreview(record, outPath, memory, byteCount, callback, userData);
}

}  // namespace velmira
