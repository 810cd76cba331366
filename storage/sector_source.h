// Whole-sector reads from a drive or an image file at 64-bit positions, and
// the small device and volume queries and chunked I/O helpers the engines,
// the image copy and the scan-log store share. Sources are opened read-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/file_handle.h"

namespace velmira {

// Where the bytes of a source come from. The default reads the handle with
// pread; tests put a failing or short-reading device in its place.
class ByteReader {
 public:
  virtual ~ByteReader() = default;
  // One read of up to `size` bytes at `offset`; `done` is 0 at the end.
  [[nodiscard]] virtual int32_t ReadAt(void* buffer, size_t size, uint64_t offset, size_t& done) = 0;
};

struct SectorSource {
  FileHandle handle;
  // Addressable sectors of the whole source, in the units SourceSectorSize
  // gives: the drive's sectors, or an image file's (a trailing partial sector
  // is dropped).
  uint64_t sectorCount = 0;
  // When set, reads go here instead of the handle.
  std::shared_ptr<ByteReader> reader;

  [[nodiscard]] bool IsOpen() const { return handle.IsValid() || reader != nullptr; }
};

// A scan target: a partition of a physical drive, or an image file.
struct PartitionLocator {
  int32_t diskNumber = 0;
  uint64_t startSector = 0;
  uint64_t sectorCount = 0;
  uint16_t sourceKey = 0;   // the source key of the partition
  std::string imagePath;    // non-empty for an image target
  uint16_t imageValue = 0;  // the image key (1001, 1002, ...)

  [[nodiscard]] bool IsImage() const { return !imagePath.empty(); }
};

// Largest byte count one ReadSectors call may move (the count is a 32-bit
// signed value).
inline constexpr uint64_t kMaxReadBytes = 0x7FFFFFFFULL;
// Raw reads and writes go in pieces of at most this size.
inline constexpr size_t kIoPieceBytes = 65536;

// Opens disk N read-only; sectorCount = length / drive sector size,
// or cylinders x 255 x 63 when the length is unknown.
[[nodiscard]] int32_t OpenDiskSource(SectorSource& source, int32_t diskNumber);

// Opens an image file (or any block device path) read-only; sectorCount =
// size / SourceSectorSize.
[[nodiscard]] int32_t OpenImageSource(SectorSource& source, const std::string& path);

// The sector size of an open source: the override (velmira-cli --sector-size)
// when set, else the kernel's for a block device and for an image file the
// one its partition table or boot sector implies (platform/drives.h); 512
// for a test reader or when it cannot be told.
[[nodiscard]] uint32_t SourceSectorSize(const SectorSource& source);

// Reads `count` whole sectors starting at `firstSector`.
// - 87 when the request runs past source.sectorCount (sectorsRead untouched),
//   when bytesPerSector is 0, or when count x bytesPerSector exceeds kMaxReadBytes;
// - otherwise reads in 64 KiB pieces, continuing after short reads; a failed
//   or empty read ends with 30. sectorsRead = whole sectors read, in both cases.
[[nodiscard]] int32_t ReadSectors(uint32_t count, const SectorSource& source, void* buffer,
                                  uint64_t firstSector, uint32_t bytesPerSector, uint32_t& sectorsRead);

// Closes the handle (and drops a test reader); sectorCount becomes 0.
int32_t CloseSource(SectorSource& source);

// The target an engine's OpenImage / OpenPartition names.
[[nodiscard]] PartitionLocator ImageTarget(const std::string& imagePath, uint16_t imageValue);
[[nodiscard]] PartitionLocator PartitionTarget(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                               uint16_t sourceKey);

// What opening a target's source tells an engine.
struct OpenedTarget {
  uint32_t bytesPerSector = 512;  // the source's sector size (SourceSectorSize; 512 when unknown)
  uint64_t startSector = 0;       // 0 for an image
  // The partition's length as given, or to the end of the drive when given
  // as 0; an image's length in its sectors.
  uint64_t sectorCount = 0;
  uint64_t sourceBytes = 0;  // length of the whole drive or image file
  uint16_t sourceKey = 0;    // the records' key: the image value or the partition's key
};

// Opens the image file or the drive of `target` read-only into `source` and
// describes it. Returns the open error or 0.
[[nodiscard]] int32_t OpenTargetSource(const PartitionLocator& target, SectorSource& source,
                                       OpenedTarget& opened);

// True for a drive whose media is removable, or that sits on a USB or SD bus.
[[nodiscard]] bool IsRemovableDisk(int32_t diskNumber);

[[nodiscard]] int32_t GetDiskLength(int32_t diskNumber, uint64_t& length);

// Free bytes and file-system name of the mounted volume that carries a source
// key (see storage/volume_keys.h); kErrPathNotFound when it is not mounted.
[[nodiscard]] int32_t GetVolumeFreeBytes(uint16_t key, uint64_t& bytes);
[[nodiscard]] int32_t GetVolumeFileSystem(uint16_t key, std::string& name);
// The same queries on a mount point.
[[nodiscard]] int32_t GetMountFreeBytes(const std::string& mountPoint, uint64_t& bytes);
[[nodiscard]] int32_t GetMountFileSystem(const std::string& mountPoint, std::string& name);

[[nodiscard]] int32_t GetFileLength(const std::string& path, uint64_t& length);

// Chunked I/O at the handle's current position, in pieces of at most 64 KiB.
// ReadUnits: a failed or empty read stops with 30; unitsRead = bytes / unitSize.
[[nodiscard]] int32_t ReadUnits(uint32_t count, const FileHandle& handle, void* buffer, uint32_t unitSize,
                                uint32_t& unitsRead);
// WriteUnits: a partial write is continued; a failed or zero-byte write returns
// its error (29 for a zero-byte write); unitsWritten = bytes / unitSize.
[[nodiscard]] int32_t WriteUnits(const FileHandle& handle, const void* buffer, uint32_t unitSize,
                                 uint32_t& unitsWritten, uint32_t count);
[[nodiscard]] int32_t ReadBytes(uint32_t n, const FileHandle& handle, void* buffer, uint32_t& bytesRead);

// Pushes a mounted volume's pending writes to the medium (syncfs on its
// mount point); nothing when the key is not mounted.
void FlushVolume(uint16_t key);

}  // namespace velmira
