// Opening, appending, flushing and closing a scan log, and the in-memory
// relation map and directory list that go with it.
#include "results/scan_log.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <limits>
#include <mutex>
#include <new>
#include <system_error>
#include <utility>

#include "platform/byte_view.h"
#include "platform/errors.h"
#include "platform/folders.h"
#include "platform/text.h"
#include "results/relation_text.h"
#include "results/scan_log_names.h"
#include "results/scan_log_registry.h"

namespace fs = std::filesystem;

namespace velmira {
namespace {

constexpr size_t kLoadPieceBytes = 1u << 20;
constexpr size_t kRelationWritePieceBytes = 1u << 20;
// Record numbers up to this are always kept in the reverse index, whatever
// the log's size, so that filing a record ahead of its write stays cheap.
constexpr uint32_t kAlwaysIndexedRecords = 1u << 20;
constexpr uint32_t kMaxRecordNumber = std::numeric_limits<uint32_t>::max() - 1;
// An entry of "_Names": record number (4 bytes), name length (2), name.
constexpr size_t kNameEntryHeadBytes = 6;
// 255 UTF-16 units take at most 765 bytes of UTF-8; anything longer is damage.
constexpr size_t kMaxStoredNameBytes = 1024;

int32_t TruncateTo(const std::string& path, uint64_t length) {
  std::error_code ec;
  fs::resize_file(path, length, ec);
  return ec ? ErrorFromErrno(ec.value(), IoDirection::kWrite) : kOk;
}

std::mutex g_failureLock;
ScanLogWriteFailure g_firstFailure;
uint64_t g_failureCount = 0;

std::string WithSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder.push_back('/');
  return folder;
}

}  // namespace

void NoteScanLogWriteFailure(const std::string& folder, int32_t error) {
  if (error == kOk) return;
  const std::lock_guard<std::mutex> hold(g_failureLock);
  ++g_failureCount;
  if (g_firstFailure.error == kOk) g_firstFailure = {error, WithSlash(folder)};
}

ScanLogWriteFailure FirstScanLogWriteFailure() {
  const std::lock_guard<std::mutex> hold(g_failureLock);
  return g_firstFailure;
}

uint64_t ScanLogWriteFailureCount() {
  const std::lock_guard<std::mutex> hold(g_failureLock);
  return g_failureCount;
}

void ClearScanLogWriteFailures() {
  const std::lock_guard<std::mutex> hold(g_failureLock);
  g_firstFailure = {};
}

std::string ScanLogWriteFailureText(const ScanLogWriteFailure& failure) {
  return "cannot write the scan log in " + failure.folder + ": " + ErrorText(failure.error);
}

CScanLog::CScanLog(CScanLogRegistry* registry) : m_registry(registry) {}

CScanLog::CScanLog(std::string folder) : m_folder(std::move(folder)) {
  if (!m_folder.empty() && m_folder.back() != '/') m_folder += '/';
}

std::string CScanLog::Folder() const {
  if (!m_folder.empty()) return m_folder;
  const CScanLogRegistry& registry = m_registry != nullptr ? *m_registry : CScanLogRegistry::Instance();
  return registry.CurrentLogFolder();
}

int32_t CScanLog::OpenNewLog(const std::string& name) {
  return OpenLog(FreshLogName(Folder(), name));
}

CScanLog::~CScanLog() {
  CloseLog();
}

void CScanLog::ResetState() {
  m_buffer.reset();
  m_used = 0;
  m_appended = 0;
  m_bytesAppended = 0;
  m_existing = 0;
  m_flushed = 0;
  m_pendingWriteError = kOk;
  m_writeError = kOk;
  m_mainReads = 0;
  m_open = false;
  m_readOnly = false;
  m_mainWrite.Close();
  m_mainRead.Close();
  m_dirInfoFile.Close();
  m_namesFile.Close();
  m_namesPath.clear();
  m_namesBytes = 0;
  m_namesPending.clear();
  m_mainPath.clear();
  m_relationPath.clear();
  m_dirInfoPath.clear();
  m_relations.clear();
  m_keyById.clear();
  m_parentIdOf.clear();
  m_unindexedRelations = false;
  m_relationsDirty = false;
  m_dirInfo.clear();
  m_dirInfoByKey.clear();
  m_dirInfoWritten = 0;
  m_dirInfoRewrite = false;
  m_isFolder.clear();
  m_keys.clear();
  m_foldersByKey.clear();
  m_existingIndexed = true;
}

int32_t CScanLog::OpenLog(const std::string& name) {
  CloseLog();
  ResetState();
  if (name.empty()) return kErrInvalidParameter;

  std::string folder;
  std::string path;
  if (name[0] == '/') {
    path = name;
    folder = fs::path(name).parent_path().string();
  } else {
    if (name.find('/') != std::string::npos) return kErrInvalidName;
    folder = Folder();
    path = folder + name;
  }
  int32_t err = CreateFolderWithParents(folder);
  if (err != kOk && err != kErrFileExists && err != kErrAlreadyExists) {
    NoteScanLogWriteFailure(folder, err);
    return err;
  }

  m_mainPath = path;
  m_relationPath = path + "_Relation";
  m_dirInfoPath = path + "_DirInfo";
  m_namesPath = path + "_Names";

  uint64_t mainBytes = 0;
  FileHandle relationFile;  // created here; the text is replaced whole on flush
  if ((err = OpenForWriting(m_mainPath, WriteMode::kOpenAlways, m_mainWrite)) != kOk ||
      (err = OpenForWriting(m_relationPath, WriteMode::kOpenAlways, relationFile)) != kOk ||
      (err = relationFile.Close()) != kOk || (err = OpenReadOnly(m_mainPath, m_mainRead)) != kOk ||
      (err = HandleLength(m_mainRead, mainBytes)) != kOk) {
    NoteScanLogWriteFailure(folder, err);
    ResetState();
    return err;
  }
  // New records go after the whole records already there; a partial record
  // left by a crash is overwritten.
  m_existing = static_cast<uint32_t>(std::min<uint64_t>(mainBytes / kScanLogRecordBytes, kMaxRecordNumber));
  m_flushed = m_existing;
  m_existingIndexed = m_existing == 0;
  m_isFolder.assign(m_existing, 2);
  m_keys.assign(m_existing, 0);

  if ((err = LoadRelations(m_relationPath)) != kOk) {
    ResetState();
    return err;
  }

  m_buffer.reset(new (std::nothrow) uint8_t[kScanLogBufferBytes]);
  if (!m_buffer) {
    ResetState();
    return kErrNotEnoughMemory;
  }

  if ((err = OpenForWriting(m_dirInfoPath, WriteMode::kOpenAlways, m_dirInfoFile)) != kOk ||
      (err = LoadDirInfo(m_dirInfoPath)) != kOk || (err = LoadNames(m_namesPath)) != kOk) {
    NoteScanLogWriteFailure(folder, err);
    ResetState();
    return err;
  }
  m_open = true;
  return kOk;
}

int32_t CScanLog::OpenLogReadOnly(const std::string& path) {
  CloseLog();
  ResetState();
  if (path.empty() || path[0] != '/') return kErrInvalidName;
  m_mainPath = path;
  m_relationPath = path + "_Relation";
  m_dirInfoPath = path + "_DirInfo";
  m_namesPath = path + "_Names";
  m_readOnly = true;
  uint64_t mainBytes = 0;
  int32_t err = OpenReadOnly(m_mainPath, m_mainRead);
  if (err == kOk) err = HandleLength(m_mainRead, mainBytes);
  if (err != kOk) {
    ResetState();
    return err;
  }
  m_existing = static_cast<uint32_t>(std::min<uint64_t>(mainBytes / kScanLogRecordBytes, kMaxRecordNumber));
  m_flushed = m_existing;
  m_existingIndexed = m_existing == 0;
  m_isFolder.assign(m_existing, 2);
  m_keys.assign(m_existing, 0);
  if ((err = LoadRelations(m_relationPath)) != kOk || (err = LoadDirInfo(m_dirInfoPath)) != kOk ||
      (err = LoadNames(m_namesPath)) != kOk) {
    ResetState();
    return err;
  }
  m_relationsDirty = false;  // nothing is ever written back
  m_dirInfoRewrite = false;
  m_open = true;
  return kOk;
}

int32_t CScanLog::RollBackTo(uint32_t records) {
  if (!m_open || m_readOnly || m_used != 0 || m_flushed != m_existing) return kErrInvalidHandle;
  if (records > m_existing) return kErrInvalidData;
  const std::string path = m_mainPath;
  if (records < m_existing) {
    // Reopened over the shorter main file, the relation text drops the
    // numbers beyond it on loading.
    ResetState();
    if (const int32_t err = TruncateTo(path, uint64_t{records} * kScanLogRecordBytes); err != kOk) return err;
    if (const int32_t err = OpenLog(path); err != kOk) return err;
  }
  const auto beyond = std::remove_if(m_dirInfo.begin(), m_dirInfo.end(), [&](const DirInfoRecord& d) {
    return d.recordNumber == 0 || d.recordNumber > records;
  });
  if (beyond != m_dirInfo.end()) {
    m_dirInfo.erase(beyond, m_dirInfo.end());
    m_dirInfoByKey.clear();
    for (size_t i = 0; i < m_dirInfo.size(); ++i)
      m_dirInfoByKey[uint32_t{m_dirInfo[i].key}].push_back(static_cast<uint32_t>(i));
  }
  // Both companions are written anew: whatever a crash left behind in them
  // is replaced by what the kept records say.
  m_dirInfoRewrite = true;
  m_relationsDirty = true;
  return SyncLog();
}

int32_t CScanLog::SyncLog() {
  if (!m_open || m_readOnly) return kOk;
  int32_t err = Flush(true);
  if (err == kOk) err = FlushHandle(m_mainWrite);
  if (err == kOk) err = FlushHandle(m_dirInfoFile);
  if (err == kOk && m_namesFile.IsValid()) err = FlushHandle(m_namesFile);
  return err;
}

int32_t CScanLog::LoadRelations(const std::string& path) {
  FileHandle in;
  int32_t err = OpenReadOnly(path, in);
  if (err == kErrFileNotFound && m_readOnly) return kOk;
  if (err != kOk) return err;
  uint64_t length = 0;
  if ((err = HandleLength(in, length)) != kOk) return err;
  if (length == 0) return kOk;

  // A sound log names each record about once; far more numbers than
  // records means damage, and the parse stops there.
  const uint64_t maxNumbers = uint64_t{m_existing} * 4 + 4096;
  uint64_t kept = 0;
  bool dropped = false;
  RelationTextParser parser([&](uint64_t key, std::vector<uint32_t>&& records) {
    // A key seen again replaces its list.
    if (auto it = m_relations.find(key); it != m_relations.end()) {
      kept -= it->second.records.size();
      it->second.records.clear();
      dropped = true;
    }
    std::vector<uint32_t> valid;
    valid.reserve(records.size());
    for (uint32_t n : records) {
      // Numbers that do not name a record of the main file cannot be read.
      if (n == 0 || n > m_existing || kept >= maxNumbers) {
        dropped = true;
        continue;
      }
      valid.push_back(n);
      ++kept;
    }
    auto [it, inserted] = m_relations.try_emplace(key);
    if (inserted) {
      it->second.id = static_cast<uint32_t>(m_keyById.size());
      m_keyById.push_back(key);
    }
    it->second.records = std::move(valid);
    return kept < maxNumbers;
  });

  std::vector<char> piece(static_cast<size_t>(std::min<uint64_t>(length, kLoadPieceBytes)));
  uint64_t offset = 0;
  while (offset < length && !parser.Stopped()) {
    size_t done = 0;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(length - offset, piece.size()));
    if ((err = ReadAt(in, piece.data(), want, offset, done)) != kOk) return err;
    if (done == 0) break;
    parser.Feed(piece.data(), done);
    offset += done;
  }
  parser.Finish();

  // Reverse index: each record's parent is the smallest key that lists it.
  for (const auto& [key, children] : m_relations) {
    for (uint32_t n : children.records) {
      if (m_parentIdOf.size() <= n) m_parentIdOf.resize(size_t{m_existing} + 1, 0);
      if (m_parentIdOf[n] == 0) m_parentIdOf[n] = children.id + 1;
    }
  }
  m_relationsDirty = dropped || !parser.Clean() || parser.Stopped();
  return kOk;
}

int32_t CScanLog::LoadDirInfo(const std::string& path) {
  FileHandle in;
  int32_t err = OpenReadOnly(path, in);
  if (err == kErrFileNotFound && m_readOnly) return kOk;
  if (err != kOk) return err;
  uint64_t length = 0;
  if ((err = HandleLength(in, length)) != kOk) return err;
  if (length == 0) return kOk;

  // Every named directory has a folder record in the main file.
  const uint64_t maxRecords = uint64_t{m_existing} + 1024;
  const uint64_t whole = std::min<uint64_t>(length / sizeof(DirInfoRecord), maxRecords);
  m_dirInfo.reserve(static_cast<size_t>(whole));
  constexpr size_t kPieceRecords = kLoadPieceBytes / sizeof(DirInfoRecord);
  std::vector<DirInfoRecord> piece(kPieceRecords);
  uint64_t readRecords = 0;
  while (readRecords < whole) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(whole - readRecords, kPieceRecords));
    size_t done = 0;
    if ((err = ReadAt(in, piece.data(), want * sizeof(DirInfoRecord), readRecords * sizeof(DirInfoRecord),
                      done)) != kOk)
      return err;
    const size_t got = done / sizeof(DirInfoRecord);
    if (got == 0) break;
    for (size_t i = 0; i < got; ++i) {
      DirInfoRecord record = piece[i];
      if (std::memchr(record.name, 0, kFoundNameBytes) == nullptr) {
        record.name[kFoundNameBytes - 1] = '\0';  // names are always terminated
        m_dirInfoRewrite = true;
      }
      m_dirInfoByKey[uint32_t{record.key}].push_back(static_cast<uint32_t>(m_dirInfo.size()));
      m_dirInfo.push_back(record);
    }
    readRecords += got;
  }
  m_dirInfoWritten = m_dirInfo.size();
  // A cut record, records beyond the limit or an unterminated name: the next
  // flush writes the file anew.
  if (length != uint64_t{m_dirInfo.size()} * sizeof(DirInfoRecord)) m_dirInfoRewrite = true;
  return kOk;
}

int32_t CScanLog::LoadNames(const std::string& path) {
  FileHandle in;
  int32_t err = OpenReadOnly(path, in);
  if (err == kErrFileNotFound) return kOk;  // no name was too long, or an older log
  if (err != kOk) return err;
  uint64_t length = 0;
  if ((err = HandleLength(in, length)) != kOk) return err;
  // Every entry names a record of the main file once.
  const uint64_t maxBytes = (uint64_t{m_existing} + 1024) * (kNameEntryHeadBytes + kMaxStoredNameBytes);
  const size_t want = static_cast<size_t>(std::min(length, maxBytes));
  std::string bytes(want, '\0');
  size_t got = 0;
  if (want > 0 && (err = ReadAt(in, bytes.data(), want, 0, got)) != kOk) return err;
  bytes.resize(got);
  size_t at = 0;
  while (bytes.size() - at >= kNameEntryHeadBytes) {
    const ByteView head(reinterpret_cast<const uint8_t*>(bytes.data()) + at, kNameEntryHeadBytes);
    const uint32_t number = head.U32At(0);
    const uint16_t nameBytes = head.U16At(4);
    // A cut or damaged entry ends what can be trusted.
    if (nameBytes == 0 || nameBytes > kMaxStoredNameBytes ||
        bytes.size() - at - kNameEntryHeadBytes < nameBytes)
      break;
    if (number != 0 && number <= m_existing)
      // Only the interning counts here: the name's stored form is in the main file already.
      (void)RememberLongName(std::string_view(bytes).substr(at + kNameEntryHeadBytes, nameBytes));
    at += kNameEntryHeadBytes + nameBytes;
  }
  // New entries go after the last whole one.
  m_namesBytes = at;
  return kOk;
}

void CScanLog::NoteLongName(const FoundRecord& record, uint32_t recordNumber) {
  // Stored forms fill the field; most names are far shorter.
  const size_t stored = strnlen(record.name, kFoundNameBytes);
  if (stored + 4 < kFoundNameBytes - 1) return;
  std::string full;
  if (!FindLongName(std::string_view(record.name, stored), full)) return;
  if (full.size() > kMaxStoredNameBytes) full.resize(Utf8BoundaryAtOrBefore(full, kMaxStoredNameBytes));
  char head[kNameEntryHeadBytes];
  for (size_t i = 0; i < 4; ++i) head[i] = static_cast<char>(recordNumber >> (8 * i));
  head[4] = static_cast<char>(full.size() & 0xFF);
  head[5] = static_cast<char>(full.size() >> 8);
  m_namesPending.append(head, sizeof head);
  m_namesPending += full;
}

int32_t CScanLog::WriteNames() {
  if (m_namesPending.empty()) return kOk;
  if (!m_namesFile.IsValid()) {
    if (const int32_t err = OpenForWriting(m_namesPath, WriteMode::kOpenAlways, m_namesFile); err != kOk)
      return err;
  }
  if (const int32_t err = WriteAllAt(m_namesFile, m_namesPending.data(), m_namesPending.size(), m_namesBytes);
      err != kOk)
    return err;
  m_namesBytes += m_namesPending.size();
  m_namesPending.clear();
  return kOk;
}

uint64_t CScanLog::TotalRecords() const {
  return LastRecordNumber();
}

FoundRecord* CScanLog::AppendRecord() {
  if (!m_open || m_readOnly || LastRecordNumber() >= kMaxRecordNumber) {
    m_scratch = MakeFoundRecord();
    return &m_scratch;
  }
  if (m_used + kScanLogRecordBytes > kScanLogBufferBytes) {
    const int32_t err = WriteBuffer();
    if (err != kOk && m_pendingWriteError == kOk) m_pendingWriteError = WriteFailed(err);
  }
  auto* slot = reinterpret_cast<FoundRecord*>(m_buffer.get() + m_used);
  std::memset(slot, 0, kScanLogRecordBytes);
  m_used += kScanLogRecordBytes;
  slot->recordNumber = LastRecordNumber();
  ++m_appended;
  m_bytesAppended += kScanLogRecordBytes;
  return slot;
}

void CScanLog::NoteRetired(const FoundRecord& record, uint32_t recordNumber) {
  const bool folder = record.isFolder != 0;
  const uint32_t key = record.key;
  m_isFolder.push_back(folder ? 1 : 0);
  m_keys.push_back(key);
  if (folder) m_foldersByKey[key].push_back(recordNumber);
}

int32_t CScanLog::WriteBuffer() {
  if (m_used == 0) return kOk;
  const size_t count = m_used / kScanLogRecordBytes;
  for (size_t i = 0; i < count; ++i) {
    FoundRecord record;
    std::memcpy(&record, m_buffer.get() + i * kScanLogRecordBytes, kScanLogRecordBytes);
    NoteRetired(record, m_flushed + static_cast<uint32_t>(i) + 1);
    NoteLongName(record, m_flushed + static_cast<uint32_t>(i) + 1);
  }
  // Records are written at their own position, so a failed batch leaves a
  // hole instead of shifting every later record.
  const int32_t err =
      WriteAllAt(m_mainWrite, m_buffer.get(), m_used, uint64_t{m_flushed} * kScanLogRecordBytes);
  m_flushed += static_cast<uint32_t>(count);
  m_used = 0;
  return err;
}

void CScanLog::AddRelation(DirectoryKey parent, uint32_t recordNumber, uint32_t ownKey, const char* name) {
  if (!m_open || m_readOnly || recordNumber == 0) return;
  AddToRelations(parent, recordNumber);
  if (name != nullptr) AddDirInfo(ownKey, recordNumber, name, strnlen(name, kFoundNameBytes));
}

void CScanLog::AddToRelations(DirectoryKey parent, uint32_t recordNumber) {
  auto [it, inserted] = m_relations.try_emplace(parent);
  if (inserted) {
    it->second.id = static_cast<uint32_t>(m_keyById.size());
    m_keyById.push_back(parent);
  }
  it->second.records.push_back(recordNumber);
  m_relationsDirty = true;

  const uint64_t limit = std::max<uint64_t>(TotalRecords(), kAlwaysIndexedRecords);
  if (recordNumber > limit) {
    m_unindexedRelations = true;
    return;
  }
  if (m_parentIdOf.size() <= recordNumber)
    m_parentIdOf.resize(std::max<size_t>(size_t{recordNumber} + 1, m_parentIdOf.size() * 2), 0);
  uint32_t& slot = m_parentIdOf[recordNumber];
  if (slot == 0 || m_keyById[slot - 1] > parent) slot = it->second.id + 1;
}

void CScanLog::AddDirInfo(uint32_t ownKey, uint32_t recordNumber, const char* name, size_t nameBytes) {
  DirInfoRecord record;
  std::memset(&record, 0, sizeof record);
  record.key = ownKey;
  record.recordNumber = recordNumber;
  CopyToNameField(record.name, sizeof record.name, std::string_view(name, nameBytes));
  m_dirInfoByKey[ownKey].push_back(static_cast<uint32_t>(m_dirInfo.size()));
  m_dirInfo.push_back(record);
}

int32_t CScanLog::WriteRelations(bool durable) {
  if (!m_relationsDirty) return kOk;
  // Written beside the log under a name no log lookup takes (leading "."),
  // then renamed over the text: a crash never leaves a half-written text.
  const fs::path target(m_relationPath);
  const std::string temporary = (target.parent_path() / ("." + target.filename().string() + ".tmp")).string();
  FileHandle out;
  if (const int32_t err = OpenForWriting(temporary, WriteMode::kCreateAlways, out); err != kOk) return err;
  std::string text;
  text.reserve(kRelationWritePieceBytes + 4096);
  uint64_t offset = 0;
  int32_t err = kOk;
  for (const auto& [key, children] : m_relations) {
    AppendRelationText(text, key, children.records);
    if (text.size() >= kRelationWritePieceBytes) {
      if ((err = WriteAllAt(out, text.data(), text.size(), offset)) != kOk) break;
      offset += text.size();
      text.clear();
    }
  }
  if (err == kOk && !text.empty()) err = WriteAllAt(out, text.data(), text.size(), offset);
  if (err == kOk && durable) err = FlushHandle(out);
  const int32_t closed = out.Close();
  if (err == kOk) err = closed;
  if (err == kOk) {
    std::error_code ec;
    fs::rename(temporary, m_relationPath, ec);
    if (ec) err = ErrorFromErrno(ec.value(), IoDirection::kWrite);
  }
  if (err != kOk) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return err;
  }
  m_relationsDirty = false;
  return kOk;
}

int32_t CScanLog::WriteDirInfo() {
  size_t from = m_dirInfoRewrite ? 0 : m_dirInfoWritten;
  if (from < m_dirInfo.size()) {
    const int32_t err =
        WriteAllAt(m_dirInfoFile, m_dirInfo.data() + from, (m_dirInfo.size() - from) * sizeof(DirInfoRecord),
                   uint64_t{from} * sizeof(DirInfoRecord));
    if (err != kOk) return err;
  }
  if (m_dirInfoRewrite) {
    if (const int32_t err = TruncateTo(m_dirInfoPath, uint64_t{m_dirInfo.size()} * sizeof(DirInfoRecord));
        err != kOk)
      return err;
    m_dirInfoRewrite = false;
  }
  m_dirInfoWritten = m_dirInfo.size();
  return kOk;
}

int32_t CScanLog::WriteFailed(int32_t error) {
  if (error == kOk) return kOk;
  if (m_writeError == kOk) m_writeError = error;
  NoteScanLogWriteFailure(fs::path(m_mainPath).parent_path().string(), error);
  return error;
}

int32_t CScanLog::FlushLog() {
  return Flush(false);
}

int32_t CScanLog::Flush(bool durable) {
  if (!m_open || m_readOnly) return kOk;
  int32_t result = WriteBuffer();
  if (result != kOk) {
    WriteFailed(result);
  } else {
    result = m_pendingWriteError;  // already noted
  }
  m_pendingWriteError = kOk;
  if (result != kOk) return result;
  const int32_t namesResult = WriteNames();
  const int32_t relationResult = WriteRelations(durable);
  const int32_t dirInfoResult = WriteDirInfo();
  return WriteFailed(namesResult != kOk      ? namesResult
                     : relationResult != kOk ? relationResult
                                             : dirInfoResult);
}

int32_t CScanLog::CloseLog() {
  if (!m_open) return kOk;
  const int32_t result = FlushLog();
  ResetState();
  return result;
}

std::map<DirectoryKey, std::vector<uint32_t>> CScanLog::Relations() const {
  std::map<DirectoryKey, std::vector<uint32_t>> copy;
  for (const auto& [key, children] : m_relations) copy.emplace(key, children.records);
  return copy;
}

void CScanLog::SetSearchCallback(SearchProgressCallback callback, void* userData) {
  m_searchCallback = callback;
  m_searchUserData = userData;
}

}  // namespace velmira
