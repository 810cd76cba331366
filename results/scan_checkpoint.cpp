#include "results/scan_checkpoint.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace velmira {
namespace {

constexpr const char* kMagic = "velmira-checkpoint 1";
// A checkpoint is small; a larger file is damage and is not read.
constexpr uint64_t kMaxCheckpointBytes = 64ull << 20;
constexpr size_t kMaxLogs = 64;

std::string InFolder(const std::string& folder, const char* name) {
  std::string path = folder;
  if (path.empty() || path.back() != '/') path.push_back('/');
  return path + name;
}

// Reads an unsigned decimal number; false on anything else.
bool ReadNumber(std::istringstream& in, uint64_t& value) {
  std::string word;
  if (!(in >> word) || word.empty() || word.size() > 20) return false;
  value = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return true;
}

bool ReadFlag(std::istringstream& in, bool& flag) {
  uint64_t value = 0;
  if (!ReadNumber(in, value) || value > 1) return false;
  flag = value == 1;
  return true;
}

}  // namespace

const CheckpointLog* ScanCheckpoint::FindLog(const std::string& name) const {
  for (const CheckpointLog& log : logs)
    if (log.name == name) return &log;
  return nullptr;
}

const CheckpointLog* ScanCheckpoint::LogWithPrefix(const std::string& prefix) const {
  for (const CheckpointLog& log : logs)
    if (log.name.compare(0, prefix.size(), prefix) == 0) return &log;
  return nullptr;
}

int32_t SyncFolderFiles(const std::string& folder) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) return ErrorFromErrno(ec.value(), IoDirection::kRead);
  for (const fs::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) return ErrorFromErrno(ec.value(), IoDirection::kRead);
    std::error_code typeEc;
    if (!it->is_regular_file(typeEc)) continue;
    FileHandle file;
    if (OpenReadOnly(it->path().string(), file) != kOk) continue;  // gone meanwhile (a renamed temporary)
    if (const int32_t err = FlushHandle(file); err != kOk) return err;
  }
  return kOk;
}

uint64_t TestHook(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return 0;
  return std::strtoull(value, nullptr, 10);
}

int32_t WriteScanCheckpoint(const std::string& folder, const ScanCheckpoint& c) {
  std::string text = std::string(kMagic) + "\n";
  char line[256];
  std::snprintf(line, sizeof line, "finished %d\nsaved %" PRId64 "\nfiles %" PRIu64 "\n", c.finished ? 1 : 0,
                c.saved, c.files);
  text += line;
  std::snprintf(line, sizeof line,
                "position %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 "\njournal %" PRIu64 "\n",
                c.position.extentStart, c.position.extentLength, c.position.extentDone,
                c.position.sectorsSwept, c.position.filesFound, c.journalEntries);
  text += line;
  std::snprintf(line, sizeof line, "carver %d %d\n", c.tsStrict ? 1 : 0, c.previousWasMts ? 1 : 0);
  text += line;
  for (const auto& [first, last] : c.streamRanges) {
    std::snprintf(line, sizeof line, "stream %" PRIu64 " %" PRIu64 "\n", first, last);
    text += line;
  }
  for (const CheckpointLog& log : c.logs) {
    if (log.name.find('\n') != std::string::npos || log.name.empty()) return kErrInvalidName;
    std::snprintf(line, sizeof line, "log %" PRIu64 " %" PRIu64 " ", log.base, log.records);
    text += line + log.name + "\n";
  }
  text += "end\n";

  return ReplaceFileContents(InFolder(folder, kCheckpointFileName), text, [] {
    if (const uint64_t killAt = TestHook("VELMIRA_TEST_KILL_IN_CHECKPOINT"); killAt != 0) {
      static uint64_t written = 0;
      if (++written == killAt) ::raise(SIGKILL);  // test hook: everything synced, nothing renamed yet
    }
  });
}

bool ReadScanCheckpoint(const std::string& folder, ScanCheckpoint& c) {
  c = ScanCheckpoint{};
  FileHandle in;
  if (OpenReadOnly(InFolder(folder, kCheckpointFileName), in) != kOk) return false;
  uint64_t length = 0;
  if (HandleLength(in, length) != kOk || length > kMaxCheckpointBytes) return false;
  std::string text(static_cast<size_t>(length), '\0');
  size_t done = 0;
  if (length != 0 && (ReadAt(in, text.data(), text.size(), 0, done) != kOk || done != text.size()))
    return false;

  std::istringstream lines(text);
  std::string line;
  if (!std::getline(lines, line) || line != kMagic) return false;
  bool ended = false;
  bool sawPosition = false;
  while (std::getline(lines, line)) {
    std::istringstream in(line);
    std::string word;
    if (!(in >> word)) return false;
    bool ok = true;
    if (word == "end") {
      ended = true;
      break;
    } else if (word == "finished") {
      ok = ReadFlag(in, c.finished);
    } else if (word == "saved") {
      uint64_t saved = 0;
      ok = ReadNumber(in, saved) && saved <= static_cast<uint64_t>(INT64_MAX);
      c.saved = static_cast<int64_t>(saved);
    } else if (word == "files") {
      ok = ReadNumber(in, c.files);
    } else if (word == "position") {
      DeepScanSweep& p = c.position;
      ok = ReadNumber(in, p.extentStart) && ReadNumber(in, p.extentLength) && ReadNumber(in, p.extentDone) &&
           ReadNumber(in, p.sectorsSwept) && ReadNumber(in, p.filesFound);
      sawPosition = ok;
    } else if (word == "journal") {
      ok = ReadNumber(in, c.journalEntries);
    } else if (word == "carver") {
      ok = ReadFlag(in, c.tsStrict) && ReadFlag(in, c.previousWasMts);
    } else if (word == "stream") {
      uint64_t first = 0;
      uint64_t last = 0;
      ok = ReadNumber(in, first) && ReadNumber(in, last);
      if (ok) c.streamRanges.emplace_back(first, last);
    } else if (word == "log") {
      CheckpointLog log;
      ok = c.logs.size() < kMaxLogs && ReadNumber(in, log.base) && ReadNumber(in, log.records) &&
           log.base <= log.records && log.records <= UINT32_MAX;
      if (ok) {
        in.get();  // the blank before the name
        std::getline(in, log.name);
        ok = !log.name.empty() && log.name.find('/') == std::string::npos && log.name[0] != '.';
      }
      if (ok) c.logs.push_back(std::move(log));
    } else {
      return false;
    }
    if (!ok) return false;
  }
  return ended && sawPosition;
}

// ---- Sweep journal -------------------------------------------------------

int32_t SweepJournal::Open(const std::string& folder, uint64_t entries) {
  Close();
  const std::string path = InFolder(folder, kSweepJournalFileName);
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return LastError(IoDirection::kWrite);
  FileHandle file(fd);
  uint64_t length = 0;
  if (const int32_t err = HandleLength(file, length); err != kOk) return err;
  // Entries that were never counted by a checkpoint are not the sweep's.
  if (length / sizeof(uint64_t) < entries) return kErrInvalidData;
  if (length != entries * sizeof(uint64_t) &&
      ::ftruncate(fd, static_cast<off_t>(entries * sizeof(uint64_t))) != 0)
    return LastError(IoDirection::kWrite);
  m_file = std::move(file);
  m_entries = entries;
  return kOk;
}

void SweepJournal::Close() {
  (void)m_file.Close();  // what counts was synced by Sync; unsynced entries are dropped by design
  m_entries = 0;
  m_pending.clear();
}

int32_t SweepJournal::ReadWords(uint64_t first, size_t count, std::vector<uint64_t>& words) {
  words.assign(count, 0);
  size_t got = 0;
  const size_t bytes = count * sizeof(uint64_t);
  while (got < bytes) {
    size_t done = 0;
    const int32_t err = ReadAt(m_file, reinterpret_cast<uint8_t*>(words.data()) + got, bytes - got,
                               first * sizeof(uint64_t) + got, done);
    if (err != kOk) return err;
    if (done == 0) return kErrHandleEof;
    got += done;
  }
  return kOk;
}

int32_t SweepJournal::Sync() {
  if (!m_file.IsValid()) return kOk;
  if (!m_pending.empty()) {
    const size_t bytes = m_pending.size() * sizeof(uint64_t);
    size_t written = 0;
    while (written < bytes) {
      size_t done = 0;
      const int32_t err = WriteAt(m_file, reinterpret_cast<const uint8_t*>(m_pending.data()) + written,
                                  bytes - written, m_entries * sizeof(uint64_t) + written, done);
      if (err != kOk) return err;
      if (done == 0) return kErrWriteFault;
      written += done;
    }
  }
  if (const int32_t err = FlushHandle(m_file); err != kOk) return err;
  m_entries += m_pending.size();
  m_pending.clear();
  return kOk;
}

// ---- Folder lock ---------------------------------------------------------

int32_t ScanFolderLock::Acquire(const std::string& folder) {
  Release();
  const std::string path = InFolder(folder, kFolderLockFileName);
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return LastError(IoDirection::kOther);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd);
    return err == EWOULDBLOCK ? kErrBusy : ErrorFromErrno(err);
  }
  m_fd = fd;
  m_folder = folder;
  return kOk;
}

void ScanFolderLock::Release() {
  if (m_fd >= 0) ::close(m_fd);  // closing the descriptor ends the lock
  m_fd = -1;
  m_folder.clear();
}

bool ScanFolderLock::IsLocked(const std::string& folder) {
  const std::string path = InFolder(folder, kFolderLockFileName);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;  // no lock file: nobody ever locked it
  const bool locked = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return locked;
}

}  // namespace velmira
