// What lets a deep scan survive a crash: the checkpoint of a log folder, the
// sweep journal, and the lock a scan holds on its log folder.
//
// The checkpoint ("checkpoint" in the log folder) is the authority on where
// a sweep stands and on how many records each of the folder's logs held at
// that moment; it is replaced whole (temporary file, fsync, rename, fsync of
// the folder) only after every log was flushed and synced, so that after a
// kill or a power cut at any moment it names a state the logs can be brought
// back to. Text, one item a line:
//   velmira-checkpoint 1
//   finished 0|1
//   saved <unix seconds>
//   files <files found>
//   position <extent start> <extent length> <extent done> <sectors swept> <files found>
//   journal <entries>
//   carver <tsStrict 0|1> <previousWasMts 0|1>
//   stream <first> <last>                      (any number)
//   log <base> <records> <name to the line end> (one per log)
// A log is brought back to <base> records; the deep FAT and NTFS logs have
// base 0 while a sweep is unfinished, as their state is rebuilt from the
// journal.
//
// The sweep journal ("sweep_journal") lists, in sweep order, the sectors the
// sweep handed to the deep NTFS and deep FAT engines: one little-endian
// 64-bit word each, sector << 2 | kind. Those engines keep most of what
// they found in memory until the sweep ends; a continued scan hands them the
// same sectors again to rebuild it.
//
// The folder lock ("lock" in the log folder) is an flock held for as long as
// a scan uses the folder; a folder locked by another process is never taken
// or deleted.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/file_handle.h"
#include "results/scan_log_registry.h"

namespace velmira {

inline constexpr const char* kCheckpointFileName = "checkpoint";
inline constexpr const char* kSweepJournalFileName = "sweep_journal";
inline constexpr const char* kFolderLockFileName = "lock";

struct CheckpointLog {
  std::string name;   // the main file's name inside the folder
  uint64_t base = 0;  // records kept when the scan is continued
  uint64_t records = 0;
};

struct ScanCheckpoint {
  bool finished = false;  // the sweep ran to its end and the engines finished
  int64_t saved = 0;      // unix time of writing
  uint64_t files = 0;     // files found (the count a user is shown)
  DeepScanSweep position;
  uint64_t journalEntries = 0;
  bool tsStrict = false;
  bool previousWasMts = false;
  std::vector<std::pair<uint64_t, uint64_t>> streamRanges;
  std::vector<CheckpointLog> logs;

  [[nodiscard]] const CheckpointLog* FindLog(const std::string& name) const;
  // The first log whose name starts with `prefix`, or null.
  [[nodiscard]] const CheckpointLog* LogWithPrefix(const std::string& prefix) const;
};

// Writes the checkpoint of `folder` (trailing "/" optional) atomically.
[[nodiscard]] int32_t WriteScanCheckpoint(const std::string& folder, const ScanCheckpoint& checkpoint);
// Reads it; false when there is none or it cannot be understood (then
// `checkpoint` is unspecified).
[[nodiscard]] bool ReadScanCheckpoint(const std::string& folder, ScanCheckpoint& checkpoint);

// fsync of every regular file directly in a folder.
[[nodiscard]] int32_t SyncFolderFiles(const std::string& folder);

// Test hooks for the crash tests, read from the environment; 0 when unset.
//   VELMIRA_TEST_KILL_AFTER_PIECES=N       the sweep kills its own process
//                                          (SIGKILL) after its N-th piece
//   VELMIRA_TEST_KILL_SIGNAL=S             ... with signal S instead
//   VELMIRA_TEST_KILL_IN_CHECKPOINT=N      ... in its N-th checkpoint, after
//                                          the logs are synced and before the
//                                          checkpoint replaces the old one
//   VELMIRA_TEST_CHECKPOINT_PIECES=N       a checkpoint after every N pieces
//                                          besides the one every 5 seconds
[[nodiscard]] uint64_t TestHook(const char* name);

// The sweep journal of one log folder.
class SweepJournal {
 public:
  enum Kind : uint8_t { kNtfsRecord = 1, kFatDotSector = 2, kFatDirectorySector = 3 };
  struct Entry {
    Kind kind;
    uint64_t sector;
  };

  // Opens (creating) the journal of `folder` and keeps its first `entries`
  // entries (0 for a new scan); later ones are cut off.
  [[nodiscard]] int32_t Open(const std::string& folder, uint64_t entries);
  void Close();
  // Reads the kept entries in order, handing each to `sink` (a callable
  // taking Entry); damaged words are skipped.
  template <typename Sink>
  int32_t ForEach(Sink&& sink);
  void Add(Kind kind, uint64_t sector) {
    if (m_file.IsValid()) m_pending.push_back(sector << 2 | kind);
  }
  // Writes the added entries and syncs the file; Entries() then counts them.
  [[nodiscard]] int32_t Sync();
  [[nodiscard]] uint64_t Entries() const { return m_entries; }

 private:
  [[nodiscard]] int32_t ReadWords(uint64_t first, size_t count, std::vector<uint64_t>& words);

  FileHandle m_file;
  uint64_t m_entries = 0;  // on disk and synced
  std::vector<uint64_t> m_pending;
};

template <typename Sink>
int32_t SweepJournal::ForEach(Sink&& sink) {
  constexpr size_t kPiece = 65536;
  std::vector<uint64_t> words;
  for (uint64_t first = 0; first < m_entries; first += kPiece) {
    const size_t count = static_cast<size_t>(std::min<uint64_t>(kPiece, m_entries - first));
    if (const int32_t err = ReadWords(first, count, words); err != kOk) return err;
    for (uint64_t word : words) {
      const auto kind = static_cast<uint8_t>(word & 3);
      if (kind == 0) continue;
      sink(Entry{static_cast<Kind>(kind), word >> 2});
    }
  }
  return kOk;
}

// An flock on the "lock" file of a log folder, held until Release or
// destruction.
class ScanFolderLock {
 public:
  ScanFolderLock() = default;
  ~ScanFolderLock() { Release(); }
  ScanFolderLock(const ScanFolderLock&) = delete;
  ScanFolderLock& operator=(const ScanFolderLock&) = delete;

  // Takes the lock of an existing folder without waiting: 0, kErrBusy when
  // another process (or another lock object) holds it, or the open error
  // (kErrPathNotFound when the folder is gone).
  [[nodiscard]] int32_t Acquire(const std::string& folder);
  void Release();
  [[nodiscard]] bool Held() const { return m_fd >= 0; }
  [[nodiscard]] const std::string& Folder() const { return m_folder; }

  // Whether some lock object holds the folder's lock now.
  [[nodiscard]] static bool IsLocked(const std::string& folder);

 private:
  int m_fd = -1;
  std::string m_folder;
};

}  // namespace velmira
