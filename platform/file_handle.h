// An owned POSIX file descriptor and the few calls the rest of the system
// makes on it. Sources (drives, partitions, image files) are only ever opened
// through OpenReadOnly; OpenForWriting is for files Velmira creates itself
// (recovered files, images, scan logs).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace velmira {

class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(int fd) : m_fd(fd) {}
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  FileHandle(FileHandle&& other) noexcept : m_fd(other.Release()) {}
  FileHandle& operator=(FileHandle&& other) noexcept;

  [[nodiscard]] bool IsValid() const { return m_fd >= 0; }
  [[nodiscard]] int Get() const { return m_fd; }
  int Release();
  // Closes the descriptor; returns 0 or the Win32 code of the failure.
  int32_t Close();

 private:
  int m_fd = -1;
};

// Opens a drive, partition or image file for reading only (O_RDONLY |
// O_CLOEXEC). Anything but a regular file or a block device (a folder, a
// FIFO, /dev/zero) is refused with kErrBadFileType, without waiting on it.
[[nodiscard]] int32_t OpenReadOnly(const std::string& path, FileHandle& out);

// What the path is, for messages: "a folder", "a FIFO (named pipe)", "a
// character device", ...; empty when it cannot be looked at.
[[nodiscard]] std::string FileKindText(const std::string& path);

enum class WriteMode {
  kCreateAlways,  // create or truncate
  kCreateNew,     // fail with 80 when the file exists
  kOpenExisting,  // open for writing, keep contents
  kOpenAlways,    // open or create, keep contents
};

// Opens or creates a file Velmira writes itself (mode 0644).
[[nodiscard]] int32_t OpenForWriting(const std::string& path, WriteMode mode, FileHandle& out);

// Size in bytes of an open file or block device.
[[nodiscard]] int32_t HandleLength(const FileHandle& handle, uint64_t& length);

// One pread/pwrite at an absolute offset, retried on EINTR. `done` receives
// the bytes transferred (0 at end of file). Returns 0 or the Win32 code.
[[nodiscard]] int32_t ReadAt(const FileHandle& handle, void* buffer, size_t size, uint64_t offset,
                             size_t& done);
[[nodiscard]] int32_t WriteAt(const FileHandle& handle, const void* buffer, size_t size, uint64_t offset,
                              size_t& done);

// One read/write at the handle's current position, retried on EINTR.
[[nodiscard]] int32_t ReadHere(const FileHandle& handle, void* buffer, size_t size, size_t& done);
[[nodiscard]] int32_t WriteHere(const FileHandle& handle, const void* buffer, size_t size, size_t& done);

// Moves the current position to an absolute byte offset.
[[nodiscard]] int32_t SeekTo(const FileHandle& handle, uint64_t offset);

// Pushes written data to the medium.
[[nodiscard]] int32_t FlushHandle(const FileHandle& handle);

// Writes all `size` bytes at `offset`, repeating partial writes; a write
// that makes no progress gives 29.
[[nodiscard]] int32_t WriteAllAt(const FileHandle& handle, const void* data, size_t size, uint64_t offset);

// Pushes a folder's entries (a new name, a rename) to the medium.
[[nodiscard]] int32_t SyncFolder(const std::string& folder);

// Replaces the file at `path` whole, so that a crash leaves either the old
// or the new contents: `bytes` go into "<path>.tmp", which is synced, closed
// and renamed over `path`, and then the folder is synced. The temporary is
// removed after a failure. `beforeRename` (a test hook) runs once the
// temporary is complete.
[[nodiscard]] int32_t ReplaceFileContents(const std::string& path, std::string_view bytes,
                                          const std::function<void()>& beforeRename = {});

// Size of a file or device by path, opened read-only.
[[nodiscard]] int32_t FileLengthOf(const std::string& path, uint64_t& length);

}  // namespace velmira
