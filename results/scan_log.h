// The scan log: where an engine stores every file and folder it finds, and
// from which every list the user sees is read back.
//
// A log is three files side by side in a log folder:
//   <name>           the FoundRecords (346 bytes each) in record-number order;
//                    record n starts at byte (n - 1) x 346. No header.
//   <name>_Relation  ASCII text, for each directory key in ascending order
//                    " | <key> - [<n>,<n>,...]", e.g.
//                    " | 2 - [1,2,5] | 4294967302 - [3,4]"
//   <name>_DirInfo   DirInfoRecords (268 bytes each) in the order added.
//   <name>_Names     only when a name did not fit a record's 260-byte field:
//                    for each such record, appended as it is written, its
//                    record number (uint32 LE), the byte length of its full
//                    UTF-8 name (uint16 LE) and the name. The record holds
//                    the name's stored form (LongNameStoredForm), which
//                    keeps the start and the extension; opening the log
//                    makes the full names known to RecordName again. Logs
//                    without this file read as before.
//
// Typical use by an engine:
//   CScanLog log(folder);                           // the folder it was handed
//   log.OpenNewLog(ScanLogName(ScanLogKind::kFast, start));
//   FoundRecord* slot = log.AppendRecord();         // zeroed, recordNumber set
//   ... fill *slot (keep slot->recordNumber, or set it to LastRecordNumber()) ...
//   log.AddRelation(MakeDirectoryKey(parentDepth, parentKey), slot->recordNumber,
//                   slot->key, slot->isFolder ? slot->name : nullptr);
//   ...
//   log.FlushLog();                                 // before any list, count or search
//   log.ReadChildRecords(MakeDirectoryKey(0, rootKey), children);
//
// Records are written through a 69,200-byte buffer (200 records), so the main
// file grows in batches of 200. A slot returned by AppendRecord stays valid
// and may still be changed until the next AppendRecord, FlushLog or CloseLog;
// after that its memory is reused, so copy what is still needed (a folder's
// key, its record number) before appending the next record.
//
// Bytes read back from a log are untrusted (a log may be cut short by a
// crash): unreadable or out-of-range records are skipped, the relation text is
// parsed strictly, and a corrupt log yields what could be read.
//
// A CScanLog is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/file_handle.h"
#include "results/found_record.h"
#include "results/progress_callbacks.h"

namespace velmira {

class CScanLogRegistry;

// A directory's place in the relation map: its depth below the file
// system's root (root = 0) in the high 32 bits, its key (FAT: first cluster;
// NTFS: file-record number) in the low 32 bits. Carved files hang under 0.
using DirectoryKey = uint64_t;

[[nodiscard]] constexpr DirectoryKey MakeDirectoryKey(uint32_t depth, uint32_t key) {
  return (DirectoryKey{depth} << 32) | key;
}
[[nodiscard]] constexpr uint32_t DirectoryDepth(DirectoryKey key) {
  return static_cast<uint32_t>(key >> 32);
}
[[nodiscard]] constexpr uint32_t DirectoryId(DirectoryKey key) {
  return static_cast<uint32_t>(key);
}

inline constexpr size_t kScanLogRecordBytes = sizeof(FoundRecord);  // 346
inline constexpr size_t kScanLogBufferRecords = 200;
inline constexpr size_t kScanLogBufferBytes = kScanLogRecordBytes * kScanLogBufferRecords;  // 69200

// One named directory of a log, as stored in "_DirInfo".
#pragma pack(push, 1)
struct DirInfoRecord {
  uint32_t key;                // the folder's own key
  uint32_t recordNumber;       // the folder's FoundRecord
  char name[kFoundNameBytes];  // UTF-8, NUL-terminated
};
#pragma pack(pop)
static_assert(sizeof(DirInfoRecord) == 268);
static_assert(offsetof(DirInfoRecord, key) == 0);
static_assert(offsetof(DirInfoRecord, recordNumber) == 4);
static_assert(offsetof(DirInfoRecord, name) == 8);

// Sorts a result list as every list is shown: files before folders, each
// group by name ignoring ASCII case (ties keep their order).
void SortFoundRecords(std::vector<FoundRecord>& records);

// Joins the names of a BuildPath result from the outermost folder inwards,
// each followed by "/": {c, b, a} gives "a/b/c/".
[[nodiscard]] std::string PathTextFrom(const std::vector<FoundRecord>& ancestors);

// True when a list hides the record: a file whose content check failed
// (contentOk 0) and whose extension (lower-cased, non-empty) occurs in the
// photo list.
[[nodiscard]] bool IsHiddenBrokenPhoto(const FoundRecord& record);

// A write of a scan log or of the scan-log registry that failed: the folder
// it went to (with a trailing "/") and the Win32 code. Every such failure is
// noted process-wide as it happens, so that a front end can say which
// folder could not be written and why, whichever engine met it.
struct ScanLogWriteFailure {
  int32_t error = 0;
  std::string folder;
};
void NoteScanLogWriteFailure(const std::string& folder, int32_t error);
// The first failure noted since the last ClearScanLogWriteFailures (error 0
// when there was none), and how many were noted since the process started.
[[nodiscard]] ScanLogWriteFailure FirstScanLogWriteFailure();
[[nodiscard]] uint64_t ScanLogWriteFailureCount();
void ClearScanLogWriteFailures();
// "cannot write the scan log in FOLDER: There is not enough space on the disk."
[[nodiscard]] std::string ScanLogWriteFailureText(const ScanLogWriteFailure& failure);

class CScanLog {
 public:
  // The log places its files in registry.CurrentLogFolder(); null means the
  // process-wide CScanLogRegistry::Instance().
  explicit CScanLog(CScanLogRegistry* registry = nullptr);
  // The log places its files in `folder` (with a trailing "/"), the folder
  // an engine was handed by whoever runs its scan; empty means as above.
  explicit CScanLog(std::string folder);
  // Closes the log (flushing it).
  ~CScanLog();
  CScanLog(const CScanLog&) = delete;
  CScanLog& operator=(const CScanLog&) = delete;

  // Opens or creates the log `name` in the registry's current log folder
  // (created with its parents when missing), or at `name` itself when it is
  // an absolute path. Reloads the relation map and directory list of an
  // existing log; new records are appended after the whole records already
  // in the main file. A name holding "/" that is not absolute gives 123.
  // An open log is closed first. Returns 0 or the Win32 code.
  [[nodiscard]] int32_t OpenLog(const std::string& name);

  // The folder a log opened by a plain name goes in, with a trailing "/".
  [[nodiscard]] std::string Folder() const;

  // Opens a new log: `name` (a ScanLogName) in Folder(), or the FreshLogName
  // beside it when a log of that name is already there, so that a new scan
  // never appends to another's. Returns OpenLog's result.
  [[nodiscard]] int32_t OpenNewLog(const std::string& name);

  // Opens an existing log at the absolute path `path` for looking only:
  // nothing is created, opened for writing or written, also not by
  // FlushLog and CloseLog; appending does nothing (AppendRecord hands out
  // scratch space). A missing "_Relation" or "_DirInfo" reads as empty.
  [[nodiscard]] int32_t OpenLogReadOnly(const std::string& path);
  [[nodiscard]] bool IsReadOnly() const { return m_readOnly; }

  // Brings a log that was just opened (nothing appended yet) back to its
  // first `records` records: the main file is cut there, and relations and
  // named folders of later records are dropped; the companions are written
  // anew and everything is synced to the disk. A log holding fewer records
  // gives 13 (it lost records it was said to hold). Returns 0 or the error.
  [[nodiscard]] int32_t RollBackTo(uint32_t records);

  // FlushLog, then forces the three files to the disk (fsync), so that
  // what was flushed survives a power cut. Returns 0 or the first error.
  [[nodiscard]] int32_t SyncLog();

  // The next 346-byte slot, zero-filled, with recordNumber already set to
  // its position in the main file (LastRecordNumber()). Never null: when the
  // log is not open the slot is scratch space that is never stored.
  [[nodiscard]] FoundRecord* AppendRecord();

  // Files `recordNumber` under the directory `parent`. With a name (folders
  // only; read up to its NUL or 260 bytes) also adds the DirInfoRecord
  // {ownKey, recordNumber, name}. Ignored when the log is not open or the
  // record number is 0.
  void AddRelation(DirectoryKey parent, uint32_t recordNumber, uint32_t ownKey, const char* name);

  // Writes the buffered records and brings both companions up to date. The
  // relation text is replaced whole through a temporary file, so that a
  // crash leaves either the old or the new text, never a mix.
  // Returns 0, else the first failure of the main file (including a failed
  // batch write during AppendRecord), the relation text or the directory file.
  [[nodiscard]] int32_t FlushLog();

  // The first write of this log that failed since OpenLog (a batch during
  // AppendRecord, a flush, the companions), 0 when none did. It stays set:
  // a log that lost records is not complete, whatever later writes do.
  [[nodiscard]] int32_t WriteError() const { return m_writeError; }

  // FlushLog, then closes the three files and frees the lists. Returns the
  // flush result. Closing a log that is not open returns 0.
  int32_t CloseLog();

  // Appends the records filed directly under `key` (0: the smallest key of
  // the map), leaving out hidden broken photos, then sorts `out` whole with
  // SortFoundRecords. A key without children adds nothing (and is not added
  // to the map). Record numbers outside the log and records never written
  // (a failed batch) are skipped; a failed read returns its code.
  [[nodiscard]] int32_t ReadChildRecords(DirectoryKey key, std::vector<FoundRecord>& out);

  // The number of file records below `key` at every depth (0: the smallest
  // key of the map); a folder record filed under key (d, k) leads on to
  // (d + 1, its key), and each key is counted once. Broken photos count.
  [[nodiscard]] int32_t CountFilesBelow(DirectoryKey key, uint32_t& count);

  // Appends every file record whose lower-cased extension occurs as a
  // substring of `filter` (a "*.jpg|*.png|" pattern text, at most 4096 bytes
  // used); files without extension only when the filter holds "*.|", and
  // every file when it holds "*.*" (kNoExtensionPattern, kEveryFilePattern);
  // hidden broken photos are left out. Flushes
  // first. The search callback, when set, gets (userData, percent, 0) after
  // each piece of 200 records; a non-zero answer ends the sweep and is
  // returned, with what was collected so far. `out` is then sorted whole.
  [[nodiscard]] int32_t FindByExtension(const std::string& filter, std::vector<FoundRecord>& out);
  // The same sweep, handing each matching record to `visit` in the order of
  // the main file instead of keeping them: memory stays bounded however many
  // records match. A non-zero answer of `visit` ends the sweep and is
  // returned.
  [[nodiscard]] int32_t VisitByExtension(const std::string& filter,
                                         const std::function<int32_t(const FoundRecord&)>& visit);
  void SetSearchCallback(SearchProgressCallback callback, void* userData);

  // Appends the ancestor folders of a record, nearest first, up to (not
  // including) the root folder (the smallest key of the map). Each entry
  // carries the folder's recordNumber, key, name and isFolder 1 (and every
  // field when read from the main file). Join with PathTextFrom. Returns 0.
  [[nodiscard]] int32_t BuildPath(const FoundRecord& record, std::vector<FoundRecord>& out);

  // Record `recordNumber` as stored (buffered records included); 87 for a
  // number outside the log, 38 when the main file ends before it.
  [[nodiscard]] int32_t ReadRecord(uint32_t recordNumber, FoundRecord& out);

  // The first folder record whose key is `key`; 87 when there is none.
  [[nodiscard]] int32_t FindDirectoryRecord(uint32_t key, FoundRecord& out);

  // Records appended since OpenLog: the engine's found-file count.
  [[nodiscard]] uint64_t RecordCount() const { return m_appended; }
  // The record number of the slot last handed out by AppendRecord (its
  // 1-based position in the main file). Equals RecordCount() for a log that
  // was empty when opened; after reopening a log that holds records it is
  // larger, and it is the number to store and file.
  [[nodiscard]] uint32_t LastRecordNumber() const {
    return m_flushed + static_cast<uint32_t>(m_used / kScanLogRecordBytes);
  }
  // Whole records in the main file plus those still buffered.
  [[nodiscard]] uint64_t TotalRecords() const;

  [[nodiscard]] bool IsOpen() const { return m_open; }
  // Read requests made on the main file since OpenLog (each reads one
  // record or one run of up to 200): lists, counts and paths are answered
  // from memory, and this shows it.
  [[nodiscard]] uint64_t MainFileReads() const { return m_mainReads; }
  // Full path of the main file (empty before OpenLog).
  [[nodiscard]] const std::string& MainPath() const { return m_mainPath; }

  // The relation map and directory list as they stand (for inspection).
  [[nodiscard]] std::map<DirectoryKey, std::vector<uint32_t>> Relations() const;
  [[nodiscard]] const std::vector<DirInfoRecord>& Directories() const { return m_dirInfo; }

 private:
  struct Children {
    uint32_t id = 0;  // dense index of the key, for the reverse lookup
    std::vector<uint32_t> records;
  };
  struct Meta {
    bool known = false;
    bool isFolder = false;
    uint32_t key = 0;
  };

  int32_t LoadRelations(const std::string& path);
  int32_t LoadDirInfo(const std::string& path);
  void AddToRelations(DirectoryKey parent, uint32_t recordNumber);
  void AddDirInfo(uint32_t ownKey, uint32_t recordNumber, const char* name, size_t nameBytes);
  int32_t WriteBuffer();
  int32_t Flush(bool durable);
  // Keeps the first write failure and notes it with the log's folder;
  // returns `error`.
  int32_t WriteFailed(int32_t error);
  int32_t WriteRelations(bool durable);
  int32_t WriteDirInfo();
  int32_t LoadNames(const std::string& path);
  void NoteLongName(const FoundRecord& record, uint32_t recordNumber);
  int32_t WriteNames();
  void NoteRetired(const FoundRecord& record, uint32_t recordNumber);
  int32_t EnsureIndexed();
  Meta MetaOf(uint32_t recordNumber);
  const FoundRecord* BufferedRecord(uint32_t recordNumber) const;
  // Reads up to `size` bytes at `offset`, continuing after short reads;
  // `got` stops short only at the end of the file.
  int32_t ReadMain(void* buffer, size_t size, uint64_t offset, size_t& got);
  // Reads the given records (ascending runs in one request) and hands each
  // whole one to sink; numbers outside the log and never-written records
  // (recordNumber 0: a batch whose write failed) are skipped.
  template <typename Sink>
  int32_t ReadRecords(const std::vector<uint32_t>& numbers, Sink&& sink);
  const Children* ListFor(DirectoryKey key, DirectoryKey* resolved) const;
  bool FindParentKey(uint32_t recordNumber, DirectoryKey& parent) const;
  void FolderNumbersWithKey(uint32_t key, std::vector<uint32_t>& numbers);
  bool ParentFolderOf(DirectoryKey parent, uint32_t& number, const DirInfoRecord*& named);
  void ResetState();

  CScanLogRegistry* m_registry = nullptr;
  std::string m_folder;  // when given: the log folder, else the registry's

  // Write buffer.
  std::unique_ptr<uint8_t[]> m_buffer;
  size_t m_used = 0;
  FoundRecord m_scratch{};

  // Counts. Records 1..m_flushed are on disk (or their write failed);
  // m_existing of them were there when the log was opened.
  uint64_t m_appended = 0;
  uint64_t m_bytesAppended = 0;
  uint32_t m_existing = 0;
  uint32_t m_flushed = 0;
  int32_t m_pendingWriteError = 0;
  int32_t m_writeError = 0;
  uint64_t m_mainReads = 0;

  bool m_open = false;
  bool m_readOnly = false;
  FileHandle m_mainWrite;
  FileHandle m_mainRead;
  FileHandle m_dirInfoFile;
  std::string m_mainPath;
  std::string m_relationPath;
  std::string m_dirInfoPath;
  std::string m_namesPath;
  // The "_Names" file, opened when the first long name is written, and the
  // entries waiting for the next flush.
  FileHandle m_namesFile;
  uint64_t m_namesBytes = 0;
  std::string m_namesPending;

  SearchProgressCallback m_searchCallback = nullptr;
  void* m_searchUserData = nullptr;

  // Relation map and its reverse index.
  std::map<DirectoryKey, Children> m_relations;
  std::vector<DirectoryKey> m_keyById;
  std::vector<uint32_t> m_parentIdOf;  // by record number: key id + 1, 0 = none
  bool m_unindexedRelations = false;   // some record numbers are beyond m_parentIdOf
  bool m_relationsDirty = false;

  // Directory list.
  std::vector<DirInfoRecord> m_dirInfo;
  std::unordered_map<uint32_t, std::vector<uint32_t>> m_dirInfoByKey;  // key -> indices, in order
  size_t m_dirInfoWritten = 0;
  bool m_dirInfoRewrite = false;

  // Per-record index of the flushed records: folder flag and key, and the
  // folder records of each key. Records present at open are indexed by
  // one sweep of the main file on first need.
  std::vector<uint8_t> m_isFolder;  // by record number - 1; 0 file, 1 folder, 2 not yet known
  std::vector<uint32_t> m_keys;
  std::unordered_map<uint32_t, std::vector<uint32_t>> m_foldersByKey;  // ascending record numbers
  bool m_existingIndexed = true;
};

}  // namespace velmira
