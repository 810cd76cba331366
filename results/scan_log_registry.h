// The registry of earlier deep scans: one object per process, kept in the
// file "config" of the ScanLog folder (~/.local/share/Orvanta/ScanLog, or
// $XDG_DATA_HOME/Orvanta/ScanLog), so that an interrupted or finished deep
// scan of the same partition or image can be continued instead of repeated.
//
// "config" is an unsigned 64-bit log-folder counter followed by
// DeepScanEntry records of 1120 bytes, nothing else. It is replaced through
// "config.tmp"; a load that finds only "config.tmp" renames it first.
//
// Log folders are ScanLog/<counter>/ (with a trailing "/"), or, while an
// earlier deep scan is being continued, that scan's folder.
//
// Within a process the registry has no lock: it is used by the scan worker
// and, between scans, by the user-interface thread. Between processes every
// change is a read-modify-write of "config" under an flock on
// "config.lock": the file is read again under the lock, changed and saved,
// so that two programs never lose each other's entries or take the same
// folder number. A log folder that a scan holds locked (ScanFolderLock) is
// never deleted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velmira {

struct SourceIdentity;

inline constexpr int32_t kImageDiskNumber = 128;
inline constexpr size_t kDeepScanPathUnits = 260;  // UTF-16 units, NUL included

#pragma pack(push, 1)
struct DeepScanEntry {
  uint32_t diskNumber;      // physical drive; kImageDiskNumber for an image file
  uint32_t reserved;        // 0
  uint64_t startSector;     // partition start (0 for an image)
  uint64_t sectorCount;     // partition length (image: file size / sector size)
  uint64_t extentStart;     // sweep position: extent being swept, relative to the partition
  uint64_t extentLength;    // its length in sectors
  uint64_t extentDone;      // sectors of it already swept
  uint64_t sectorsSwept;    // sectors swept in total
  uint64_t filesFound;      // files found so far
  uint64_t volumeBytes;     // total bytes of the source key's mounted volume; 0 when unknown
  uint64_t imageWriteTime;  // last-write FILETIME of the image file; 0 for disks
  uint8_t imagePath[kDeepScanPathUnits * 2];  // UTF-16LE, NUL-terminated; empty for disks
  uint8_t logFolder[kDeepScanPathUnits * 2];  // UTF-16LE, NUL-terminated, trailing "/"
};
#pragma pack(pop)

static_assert(sizeof(DeepScanEntry) == 1120);
static_assert(offsetof(DeepScanEntry, diskNumber) == 0);
static_assert(offsetof(DeepScanEntry, reserved) == 4);
static_assert(offsetof(DeepScanEntry, startSector) == 8);
static_assert(offsetof(DeepScanEntry, sectorCount) == 16);
static_assert(offsetof(DeepScanEntry, extentStart) == 24);
static_assert(offsetof(DeepScanEntry, extentLength) == 32);
static_assert(offsetof(DeepScanEntry, extentDone) == 40);
static_assert(offsetof(DeepScanEntry, sectorsSwept) == 48);
static_assert(offsetof(DeepScanEntry, filesFound) == 56);
static_assert(offsetof(DeepScanEntry, volumeBytes) == 64);
static_assert(offsetof(DeepScanEntry, imageWriteTime) == 72);
static_assert(offsetof(DeepScanEntry, imagePath) == 80);
static_assert(offsetof(DeepScanEntry, logFolder) == 600);

// A zero-filled entry.
[[nodiscard]] DeepScanEntry MakeDeepScanEntry();
// The UTF-16LE path fields as UTF-8 (never read past the field).
[[nodiscard]] std::string EntryImagePath(const DeepScanEntry& entry);
[[nodiscard]] std::string EntryLogFolder(const DeepScanEntry& entry);

// Where a deep scan's sweep stopped.
struct DeepScanSweep {
  uint64_t extentStart = 0;
  uint64_t extentLength = 0;
  uint64_t extentDone = 0;
  uint64_t sectorsSwept = 0;
  uint64_t filesFound = 0;
};

class CScanLogRegistry {
 public:
  // The process-wide registry, loaded from "config" on first use. It is
  // loaded again when the application-data folder has changed since (tests
  // point XDG_DATA_HOME at a temporary folder).
  [[nodiscard]] static CScanLogRegistry& Instance();

  // A registry kept in `scanLogFolder` (no trailing "/"), loaded at once.
  explicit CScanLogRegistry(std::string scanLogFolder);

  // The ScanLog folder, without trailing "/".
  [[nodiscard]] const std::string& ScanLogFolder() const { return m_scanLogFolder; }
  [[nodiscard]] uint64_t Counter() const { return m_counter; }
  [[nodiscard]] const std::vector<DeepScanEntry>& Entries() const { return m_entries; }
  // 1 when the last lookup found a reusable earlier deep scan.
  [[nodiscard]] bool Continuing() const { return m_continuing; }

  // The folder for new logs, with a trailing "/": the continued deep scan's
  // folder while continuing, else ScanLog/<counter>/.
  [[nodiscard]] std::string CurrentLogFolder() const;

  // Starts a new log folder: counter + 1 (past any folder another process
  // holds locked), continuing cleared, any leftover folder of that number
  // removed, and the counter saved at once, so that the number is never
  // handed out again. Returns 0, RemoveLogFolder's or SaveRegistry's code.
  int32_t NewLogFolder();

  // Takes a log-folder number back (counter - 1, not below 0): a new deep
  // scan that ended before its sweep began. Only while no other process
  // took a later number; saved.
  void TakeBackLogFolder();

  // The partition entry (empty imagePath) of the same start and count that
  // was made of the source `current` describes: its folder's identity file
  // (see results/source_identity.h) agrees, and when either side lacks a
  // drive identity the disk number agrees too. An entry whose folder has no
  // identity file (written before there were any) matches by disk number
  // and by volumeBytes equal to the current total size of the mounted
  // volume of `sourceKey` (0 when unknown); a damaged identity file
  // matches nothing. On a match continuing is set, the current folder
  // becomes its logFolder, the entry is copied out and the result is true.
  // Entries that do not match are left as they are, folders and all: they
  // may be another source's. An entry of that start and count whose folder
  // no longer exists or lies outside the ScanLog folder is dropped (and the
  // registry saved). Not found clears continuing.
  [[nodiscard]] bool FindEntryForPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                           uint16_t sourceKey, const SourceIdentity& current,
                                           DeepScanEntry& entry);
  // The same with the identity read from the drive now.
  [[nodiscard]] bool FindEntryForPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                           uint16_t sourceKey, DeepScanEntry& entry);

  // The same for an image file: an entry whose imagePath is the image's
  // canonical path (or the path as given) and whose folder's identity
  // agrees; without an identity file, the same path, last-write time and
  // length.
  [[nodiscard]] bool FindEntryForImage(const std::string& imagePath, const SourceIdentity& current,
                                       DeepScanEntry& entry);
  [[nodiscard]] bool FindEntryForImage(const std::string& imagePath, DeepScanEntry& entry);

  // Adds or updates the entry of a partition (imagePath empty) or of an
  // image, then saves. The entry of the same log folder gets the new sweep
  // values and the source as named now (disk, start, count, image path);
  // without one a new entry is added, which also gets volumeBytes
  // (partitions) or imageWriteTime (images). A path that does not fit its
  // 259-unit field gives 206 and nothing is stored.
  [[nodiscard]] int32_t RecordDeepScan(uint16_t sourceKey, int32_t diskNumber, uint64_t startSector,
                                       uint64_t sectorCount, const DeepScanSweep& sweep,
                                       const std::string& logFolder, const std::string& imagePath);

  // Drops the first entry of that folder (trailing "/" and ASCII case
  // ignored) and saves when one was dropped, then deletes the folder with
  // everything in it. Only folders inside the ScanLog folder are ever
  // deleted; others give 5 (the entry is still dropped). A folder that a
  // scan holds locked is left alone, entry and all: 170.
  int32_t RemoveLogFolder(const std::string& folder);

  // Writes "config.tmp" (counter and entries), syncs it, renames it over
  // "config" and syncs the folder.
  [[nodiscard]] int32_t SaveRegistry();

  // Reads "config" again (under the file lock): the entries and counter
  // other processes saved since. The current lookup is kept.
  void Reload();

 private:
  // Holds the flock on "config.lock" for one read-modify-write and reads
  // "config" again when it takes it (unless `reload` is false); nested
  // holders share the outermost one and read nothing.
  class FileLock {
   public:
    explicit FileLock(CScanLogRegistry& registry, bool reload = true);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

   private:
    CScanLogRegistry& m_registry;
  };

  void Load();
  [[nodiscard]] int FindByFolder(const std::string& folder) const;
  // Drops the entry at `index` when its folder is not a usable log folder.
  bool DropUnusable(size_t index);
  bool Accept(int index, DeepScanEntry& entry);
  void ReloadEntries();
  // Drops the entry of `folder` when there is one; the save's result.
  int32_t DropEntryOf(const std::string& folder);
  [[nodiscard]] bool IsInsideScanLogFolder(const std::string& folder) const;

  std::string m_scanLogFolder;
  std::vector<DeepScanEntry> m_entries;
  uint64_t m_counter = 0;
  bool m_continuing = false;
  std::string m_continuedFolder;
  int m_lockFd = -1;
  int m_lockDepth = 0;
};

// Total bytes of the mounted volume that carries a source key (0 when it
// is not mounted or the query fails).
[[nodiscard]] uint64_t VolumeTotalBytes(uint16_t key);

// Last-write FILETIME of a file (0 when it cannot be read).
[[nodiscard]] uint64_t FileWriteTime(const std::string& path);

}  // namespace velmira
