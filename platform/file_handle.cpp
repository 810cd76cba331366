#include "platform/file_handle.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errors.h"

namespace velmira {

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    Close();
    m_fd = other.Release();
  }
  return *this;
}

int FileHandle::Release() {
  int fd = m_fd;
  m_fd = -1;
  return fd;
}

int32_t FileHandle::Close() {
  if (m_fd < 0) return kOk;
  int rc = ::close(m_fd);
  m_fd = -1;
  return rc == 0 ? kOk : LastError();
}

int32_t OpenReadOnly(const std::string& path, FileHandle& out) {
  out.Close();
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer
  // for ever. It is cleared again once the file is known to be a file or a
  // block device.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return errno == EISDIR ? kErrBadFileType : LastError();
  FileHandle handle(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return LastError();
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) return kErrBadFileType;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return LastError();
  out = std::move(handle);
  return kOk;
}

std::string FileKindText(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  if (S_ISREG(st.st_mode)) return "a file";
  if (S_ISBLK(st.st_mode)) return "a block device";
  if (S_ISDIR(st.st_mode)) return "a folder";
  if (S_ISFIFO(st.st_mode)) return "a FIFO (named pipe)";
  if (S_ISCHR(st.st_mode)) return "a character device";
  if (S_ISSOCK(st.st_mode)) return "a socket";
  return "not a file";
}

int32_t OpenForWriting(const std::string& path, WriteMode mode, FileHandle& out) {
  out.Close();
  int flags = O_WRONLY | O_CLOEXEC;
  switch (mode) {
    case WriteMode::kCreateAlways:
      flags |= O_CREAT | O_TRUNC;
      break;
    case WriteMode::kCreateNew:
      flags |= O_CREAT | O_EXCL;
      break;
    case WriteMode::kOpenExisting:
      break;
    case WriteMode::kOpenAlways:
      flags |= O_CREAT;
      break;
  }
  int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) {
    if (errno == EEXIST) return kErrFileExists;
    return LastError(IoDirection::kWrite);
  }
  out = FileHandle(fd);
  return kOk;
}

int32_t HandleLength(const FileHandle& handle, uint64_t& length) {
  struct stat st {};
  if (::fstat(handle.Get(), &st) != 0) return LastError();
  if (S_ISBLK(st.st_mode)) {
    uint64_t bytes = 0;
    if (::ioctl(handle.Get(), BLKGETSIZE64, &bytes) != 0) return LastError();
    length = bytes;
    return kOk;
  }
  length = static_cast<uint64_t>(st.st_size);
  return kOk;
}

int32_t ReadAt(const FileHandle& handle, void* buffer, size_t size, uint64_t offset, size_t& done) {
  done = 0;
  for (;;) {
    ssize_t n = ::pread(handle.Get(), buffer, size, static_cast<off_t>(offset));
    if (n >= 0) {
      done = static_cast<size_t>(n);
      return kOk;
    }
    if (errno != EINTR) return LastError(IoDirection::kRead);
  }
}

int32_t WriteAt(const FileHandle& handle, const void* buffer, size_t size, uint64_t offset, size_t& done) {
  done = 0;
  for (;;) {
    ssize_t n = ::pwrite(handle.Get(), buffer, size, static_cast<off_t>(offset));
    if (n >= 0) {
      done = static_cast<size_t>(n);
      return kOk;
    }
    if (errno != EINTR) return LastError(IoDirection::kWrite);
  }
}

int32_t ReadHere(const FileHandle& handle, void* buffer, size_t size, size_t& done) {
  done = 0;
  for (;;) {
    ssize_t n = ::read(handle.Get(), buffer, size);
    if (n >= 0) {
      done = static_cast<size_t>(n);
      return kOk;
    }
    if (errno != EINTR) return LastError(IoDirection::kRead);
  }
}

int32_t WriteHere(const FileHandle& handle, const void* buffer, size_t size, size_t& done) {
  done = 0;
  for (;;) {
    ssize_t n = ::write(handle.Get(), buffer, size);
    if (n >= 0) {
      done = static_cast<size_t>(n);
      return kOk;
    }
    if (errno != EINTR) return LastError(IoDirection::kWrite);
  }
}

int32_t SeekTo(const FileHandle& handle, uint64_t offset) {
  if (::lseek(handle.Get(), static_cast<off_t>(offset), SEEK_SET) < 0) return LastError();
  return kOk;
}

int32_t FlushHandle(const FileHandle& handle) {
  if (::fsync(handle.Get()) != 0) return LastError(IoDirection::kWrite);
  return kOk;
}

int32_t WriteAllAt(const FileHandle& handle, const void* data, size_t size, uint64_t offset) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t written = 0;
  while (written < size) {
    size_t done = 0;
    const int32_t err = WriteAt(handle, bytes + written, size - written, offset + written, done);
    if (err != kOk) return err;
    if (done == 0) return kErrWriteFault;
    written += done;
  }
  return kOk;
}

int32_t SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return LastError(IoDirection::kWrite);
  FileHandle handle(fd);
  if (const int32_t err = FlushHandle(handle); err != kOk) return err;
  return handle.Close();
}

int32_t ReplaceFileContents(const std::string& path, std::string_view bytes,
                            const std::function<void()>& beforeRename) {
  const std::string temporary = path + ".tmp";
  int32_t err = kOk;
  {
    FileHandle out;
    if ((err = OpenForWriting(temporary, WriteMode::kCreateAlways, out)) != kOk) return err;
    err = WriteAllAt(out, bytes.data(), bytes.size(), 0);
    if (err == kOk) err = FlushHandle(out);
    const int32_t closed = out.Close();
    if (err == kOk) err = closed;
  }
  if (err == kOk && beforeRename) beforeRename();
  if (err == kOk && ::rename(temporary.c_str(), path.c_str()) != 0) err = LastError(IoDirection::kWrite);
  if (err != kOk) {
    ::unlink(temporary.c_str());
    return err;
  }
  const size_t slash = path.rfind('/');
  return SyncFolder(slash == std::string::npos ? std::string(".")
                    : slash == 0               ? std::string("/")
                                               : path.substr(0, slash));
}

int32_t FileLengthOf(const std::string& path, uint64_t& length) {
  FileHandle h;
  int32_t err = OpenReadOnly(path, h);
  if (err != kOk) return err;
  return HandleLength(h, length);
}

}  // namespace velmira
