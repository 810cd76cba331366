#include "engines/output_sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "engines/file_system_table.h"
#include "platform/errors.h"
#include "platform/folders.h"
#include "platform/time_util.h"
#include "results/extension_lists.h"

namespace velmira {
namespace {

thread_local bool t_keepPartial = false;
thread_local WrittenTrace* t_trace = nullptr;

// Free names are looked for this far; beyond, the move fails as taken.
constexpr uint32_t kMaxNameNumber = 100000;

int32_t CreateParentFolders(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (parent.empty()) return kOk;
  const int32_t err = CreateFolderWithParents(parent.string());
  return err == kErrFileExists || err == kErrAlreadyExists ? kOk : err;
}

// Moves `from` to `wanted` or the first free numbered form of it.
int32_t MoveToFreeName(const std::string& from, const std::string& wanted, std::string& finalPath) {
  for (uint32_t n = 0; n <= kMaxNameNumber; ++n) {
    const std::string candidate = NumberedPath(wanted, n);
    const int32_t err = MoveWithoutReplacing(from, candidate);
    if (err == kErrFileExists) continue;
    if (err == kOk) finalPath = candidate;
    return err;
  }
  return kErrFileExists;
}

}  // namespace

bool KeepPartialFiles() {
  return t_keepPartial;
}

KeepPartialScope::KeepPartialScope(bool keep) : m_previous(t_keepPartial) {
  t_keepPartial = keep;
}

KeepPartialScope::~KeepPartialScope() {
  t_keepPartial = m_previous;
}

WrittenTraceScope::WrittenTraceScope(WrittenTrace* trace) : m_previous(t_trace) {
  t_trace = trace;
}

WrittenTraceScope::~WrittenTraceScope() {
  t_trace = m_previous;
}

std::string NumberedPath(const std::string& path, uint32_t n) {
  if (n == 0) return path;
  const size_t slash = path.find_last_of('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot < nameStart) dot = path.size();
  return path.substr(0, dot) + "(" + std::to_string(n) + ")" + path.substr(dot);
}

int32_t MoveWithoutReplacing(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return kOk;
  int e = errno;
  if (e == EEXIST) return kErrFileExists;
  if (e != EINVAL && e != ENOSYS && e != EOPNOTSUPP) return ErrorFromErrno(e, IoDirection::kWrite);
  // The file system does not take the flag: a new link never replaces either.
  if (::link(from.c_str(), to.c_str()) == 0) {
    if (::unlink(from.c_str()) != 0) {
      const int32_t err = LastError(IoDirection::kWrite);
      (void)::unlink(to.c_str());  // undoing the link; the unlink error above is the one reported
      return err;
    }
    return kOk;
  }
  e = errno;
  if (e == EEXIST) return kErrFileExists;
  if (e != EPERM && e != ENOSYS && e != EOPNOTSUPP && e != EMLINK)
    return ErrorFromErrno(e, IoDirection::kWrite);
  // No links either (FAT through FUSE): look, then move.
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) return kErrFileExists;
  if (errno != ENOENT) return LastError();
  if (::rename(from.c_str(), to.c_str()) != 0) return LastError(IoDirection::kWrite);
  return kOk;
}

OutputSink::~OutputSink() {
  if (m_file.IsValid() && !m_wanted.empty()) {
    // Only a recovery that threw gets here: its exception is what reaches
    // the user, and the unfinished file is removed however its close went.
    (void)m_file.Close();
    (void)::unlink(m_path.c_str());  // a temporary name; nothing else to do if it stays
  }
}

int32_t OutputSink::CreateRecovered(const std::string& path) {
  Reset();
  m_times[0] = m_times[1] = timespec{0, UTIME_OMIT};
  m_doubtful = 0;
  int32_t err = CreateParentFolders(path);
  if (err != kOk) return err;
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  const std::string folder = parent.empty() ? std::string(".") : parent.string();
  static std::atomic<uint32_t> counter{0};
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string temp =
        folder + "/.velmira-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".part";
    err = OpenForWriting(temp, WriteMode::kCreateNew, m_file);
    if (err == kErrFileExists) continue;
    if (err != kOk) return err;
    m_path = temp;
    m_wanted = path;
    m_trace = t_trace;
    if (m_trace != nullptr) {
      *m_trace = WrittenTrace{};
      m_trace->begun = true;
    }
    return kOk;
  }
  return err;
}

bool RecoveredFileTimes(const FoundRecord& record, timespec times[2]) {
  times[0] = times[1] = timespec{0, UTIME_OMIT};
  const uint32_t tag = record.engineTag;
  const FileSystemRow* fileSystem = FileSystemOfTag(tag);
  if (fileSystem == nullptr) return false;
  const bool fat = fileSystem->localTimes;
  auto convert = [&](uint64_t fileTime, timespec& out) {
    if (fileTime == 0) return false;
    const auto nanoseconds = static_cast<long>(fileTime % 10000000u) * 100;
    if (!fat) {
      // Before 1970 or after 2200: a damaged record's, not a file's.
      if (fileTime < kFileTimeUnixEpoch || UnixSecondsFromFileTime(fileTime) > 7258118400) return false;
      out = timespec{static_cast<time_t>(UnixSecondsFromFileTime(fileTime)), nanoseconds};
      return true;
    }
    const CivilTime c = CivilFromFileTime(fileTime);
    std::tm tm{};
    tm.tm_year = c.year - 1900;
    tm.tm_mon = c.month - 1;
    tm.tm_mday = c.day;
    tm.tm_hour = c.hour;
    tm.tm_min = c.minute;
    tm.tm_sec = c.second;
    tm.tm_isdst = -1;  // whatever the zone's rules say for that day
    const time_t local = std::mktime(&tm);
    if (local == static_cast<time_t>(-1)) return false;
    out = timespec{local, nanoseconds};
    return true;
  };
  const bool modified = convert(record.modified, times[1]);
  if (!convert(record.accessed, times[0]) && modified) times[0] = times[1];
  return modified || times[0].tv_nsec != UTIME_OMIT;
}

void OutputSink::SetTimes(const FoundRecord& record) {
  if (!RecoveredFileTimes(record, m_times)) m_times[0] = m_times[1] = timespec{0, UTIME_OMIT};
}

int32_t OutputSink::FinishRecovered(bool complete, bool keepPartial, std::string& finalPath) {
  finalPath = m_wanted;
  if (!m_file.IsValid() || m_wanted.empty()) return kErrInvalidHandle;
  // The found file's own times, set once nothing is written any more.
  int32_t err = kOk;
  if (complete && (m_times[0].tv_nsec != UTIME_OMIT || m_times[1].tv_nsec != UTIME_OMIT) &&
      ::futimens(m_file.Get(), m_times) != 0)
    err = LastError(IoDirection::kWrite);
  // Written through to the medium before it takes its name: after a crash
  // the name never stands on a file that is only partly there.
  if (complete && err == kOk) err = FlushHandle(m_file);
  const int32_t closed = m_file.Close();
  if (err == kOk) err = closed;
  const std::string temp = m_path;
  const std::string wanted = m_wanted;
  m_wanted.clear();
  if (complete && err == kOk) {
    err = MoveToFreeName(temp, wanted, finalPath);
    if (err == kOk) return kOk;
  }
  if (keepPartial && MoveToFreeName(temp, wanted + ".partial", finalPath) == kOk) return err;
  // err already says the file failed; a leftover is only a hidden temporary name.
  (void)::unlink(temp.c_str());
  finalPath = wanted;
  return err;
}

int32_t OutputSink::OpenFile(const std::string& path) {
  Reset();
  int32_t err = CreateParentFolders(path);
  if (err != kOk) return err;
  err = OpenForWriting(path, WriteMode::kCreateAlways, m_file);
  if (err != kOk) return err;
  m_path = path;
  return kOk;
}

void OutputSink::UseMemory(uint8_t* memory, uint32_t capacity) {
  Reset();
  m_memory = memory;
  m_capacity = memory ? capacity : 0;
  m_memoryUsed = 0;
}

int32_t OutputSink::WriteFrom(const uint8_t* data, size_t size, uint64_t sourceOffset) {
  const int32_t err = Write(data, size);
  if (err == kOk && m_trace != nullptr && size != 0) {
    m_trace->unplacedBytes -= size;  // Write counted them as unplaced
    std::vector<ByteRun>& runs = m_trace->runs;
    if (!runs.empty() && runs.back().offset + runs.back().length == sourceOffset)
      runs.back().length += size;
    else
      runs.push_back({sourceOffset, size});
  }
  return err;
}

int32_t OutputSink::Write(const uint8_t* data, size_t size) {
  if (m_file.IsValid()) {
    size_t put = 0;
    while (put < size) {
      size_t done = 0;
      const int32_t err = WriteHere(m_file, data + put, size - put, done);
      if (err != kOk) return err;
      if (done == 0) return kErrWriteFault;
      put += done;
    }
    if (m_trace != nullptr) {
      m_trace->digest.Update(data, size);
      m_trace->bytes += size;
      m_trace->unplacedBytes += size;
    }
    return kOk;
  }
  const size_t room = m_capacity - m_memoryUsed;
  const size_t n = size < room ? size : room;
  if (n > 0) std::memcpy(m_memory + m_memoryUsed, data, n);
  m_memoryUsed += static_cast<uint32_t>(n);
  return kOk;
}

void OutputSink::Reset() {
  // A file still open here was left unfinished by its writer, which has
  // already seen that it failed: only the handle and a temporary name go.
  (void)Close();
}

int32_t OutputSink::Close(bool discard) {
  int32_t closed = kOk;
  if (m_file.IsValid()) {
    closed = m_file.Close();
    // A recovered file's temporary name never outlives it.
    if (discard || !m_wanted.empty() || closed != kOk) ::unlink(m_path.c_str());
  }
  m_wanted.clear();
  m_trace = nullptr;
  return closed;
}

std::string ScanLogFolder() {
  return CompanyDataFolder() + "/ScanLog";
}

int32_t OpenPreviewSink(const std::string& recordName, OutputSink& sink, std::string& outPath,
                        uint8_t* memory, uint32_t capacity) {
  const PreviewTarget target = PreviewTargetOf(recordName);
  if (target == PreviewTarget::kMemory) {
    sink.UseMemory(memory, capacity);
    return kOk;
  }
  const std::string path = ScanLogFolder() + "/" + PreviewTempFileName(target);
  outPath = path;
  ::unlink(path.c_str());
  return sink.OpenFile(path);
}

}  // namespace velmira
