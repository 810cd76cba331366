#include "storage/sector_source.h"

#include <fcntl.h>
#include <libmount/libmount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>

#include "platform/drives.h"
#include "platform/errors.h"
#include "storage/volume_keys.h"

namespace velmira {
namespace {

int32_t ReadPiece(const SectorSource& source, void* buffer, size_t size, uint64_t offset, size_t& done) {
  if (source.reader) return source.reader->ReadAt(buffer, size, offset, done);
  return ReadAt(source.handle, buffer, size, offset, done);
}

int32_t OpenDrive(int32_t diskNumber, FileHandle& handle) {
  std::string path;
  int32_t err = DiskDevicePath(diskNumber, path);
  if (err != kOk) return err;
  return OpenReadOnly(path, handle);
}

}  // namespace

int32_t OpenDiskSource(SectorSource& source, int32_t diskNumber) {
  CloseSource(source);
  int32_t err = OpenDrive(diskNumber, source.handle);
  if (err != kOk) return err;
  DriveGeometry geometry;
  err = QueryDriveGeometry(source.handle, geometry);
  if (err != kOk) return err;
  uint64_t length = 0;
  if (QueryDriveLength(source.handle, length) == kOk) source.sectorCount = length / geometry.bytesPerSector;
  if (source.sectorCount == 0)
    source.sectorCount = geometry.cylinders * geometry.tracksPerCylinder * geometry.sectorsPerTrack;
  return kOk;
}

int32_t OpenImageSource(SectorSource& source, const std::string& path) {
  CloseSource(source);
  int32_t err = OpenReadOnly(path, source.handle);
  if (err != kOk) return err;
  uint64_t length = 0;
  err = HandleLength(source.handle, length);
  if (err != kOk) {
    source.handle.Close();
    return err;
  }
  source.sectorCount = length / SourceSectorSize(source);
  return kOk;
}

uint32_t SourceSectorSize(const SectorSource& source) {
  DriveGeometry geometry;
  if (!source.handle.IsValid() || QueryDriveGeometry(source.handle, geometry) != kOk ||
      geometry.bytesPerSector == 0)
    return 512;
  return geometry.bytesPerSector;
}

int32_t ReadSectors(uint32_t count, const SectorSource& source, void* buffer, uint64_t firstSector,
                    uint32_t bytesPerSector, uint32_t& sectorsRead) {
  // Written so that firstSector + count cannot wrap around.
  if (firstSector > source.sectorCount || count > source.sectorCount - firstSector)
    return kErrInvalidParameter;
  if (bytesPerSector == 0) return kErrInvalidParameter;
  const uint64_t total = uint64_t{count} * bytesPerSector;
  if (total > kMaxReadBytes) return kErrInvalidParameter;
  if (firstSector > UINT64_MAX / bytesPerSector) return kErrInvalidParameter;
  if (!source.IsOpen()) return kErrInvalidHandle;

  const uint64_t offset = firstSector * bytesPerSector;
  auto* out = static_cast<uint8_t*>(buffer);
  uint64_t got = 0;
  int32_t result = kOk;
  while (got < total) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(total - got, kIoPieceBytes));
    size_t done = 0;
    const int32_t err = ReadPiece(source, out + got, want, offset + got, done);
    if (err != kOk || done == 0) {
      result = kErrReadFault;
      break;
    }
    got += done;
  }
  sectorsRead = static_cast<uint32_t>(got / bytesPerSector);
  return result;
}

int32_t CloseSource(SectorSource& source) {
  source.reader.reset();
  source.sectorCount = 0;
  return source.handle.Close();
}

bool IsRemovableDisk(int32_t diskNumber) {
  FileHandle handle;
  if (OpenDrive(diskNumber, handle) != kOk) return false;
  DriveGeometry geometry;
  if (QueryDriveGeometry(handle, geometry) == kOk && geometry.mediaType == kRemovableMedia) return true;
  const BusType bus = QueryBusType(handle);
  return bus == kBusTypeUsb || bus == kBusTypeSd;
}

int32_t GetDiskLength(int32_t diskNumber, uint64_t& length) {
  FileHandle handle;
  int32_t err = OpenDrive(diskNumber, handle);
  if (err != kOk) return err;
  return QueryDriveLength(handle, length);
}

int32_t GetMountFreeBytes(const std::string& mountPoint, uint64_t& bytes) {
  struct statvfs st {};
  if (::statvfs(mountPoint.c_str(), &st) != 0) return LastError();
  bytes = uint64_t{st.f_bavail} * st.f_frsize;
  return kOk;
}

int32_t GetMountFileSystem(const std::string& mountPoint, std::string& name) {
  libmnt_table* table = mnt_new_table_from_file("/proc/self/mountinfo");
  if (table == nullptr) return kErrPathNotFound;
  int32_t result = kErrPathNotFound;
  if (libmnt_fs* fs = mnt_table_find_target(table, mountPoint.c_str(), MNT_ITER_BACKWARD)) {
    if (const char* type = mnt_fs_get_fstype(fs)) {
      name = type;
      result = kOk;
    }
  }
  mnt_unref_table(table);
  return result;
}

int32_t GetVolumeFreeBytes(uint16_t key, uint64_t& bytes) {
  auto binding = FindVolumeKey(key);
  if (!binding || binding->mountPoint.empty()) return kErrPathNotFound;
  return GetMountFreeBytes(binding->mountPoint, bytes);
}

int32_t GetVolumeFileSystem(uint16_t key, std::string& name) {
  auto binding = FindVolumeKey(key);
  if (!binding || binding->mountPoint.empty()) return kErrPathNotFound;
  return GetMountFileSystem(binding->mountPoint, name);
}

int32_t GetFileLength(const std::string& path, uint64_t& length) {
  return FileLengthOf(path, length);
}

int32_t ReadUnits(uint32_t count, const FileHandle& handle, void* buffer, uint32_t unitSize,
                  uint32_t& unitsRead) {
  unitsRead = 0;
  if (unitSize == 0) return kErrInvalidParameter;
  const uint64_t total = uint64_t{count} * unitSize;
  auto* out = static_cast<uint8_t*>(buffer);
  uint64_t got = 0;
  int32_t result = kOk;
  while (got < total) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(total - got, kIoPieceBytes));
    size_t done = 0;
    const int32_t err = ReadHere(handle, out + got, want, done);
    if (err != kOk || done == 0) {
      result = kErrReadFault;
      break;
    }
    got += done;
  }
  unitsRead = static_cast<uint32_t>(got / unitSize);
  return result;
}

int32_t WriteUnits(const FileHandle& handle, const void* buffer, uint32_t unitSize, uint32_t& unitsWritten,
                   uint32_t count) {
  unitsWritten = 0;
  if (unitSize == 0) return kErrInvalidParameter;
  const uint64_t total = uint64_t{count} * unitSize;
  const auto* in = static_cast<const uint8_t*>(buffer);
  uint64_t put = 0;
  int32_t result = kOk;
  while (put < total) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(total - put, kIoPieceBytes));
    size_t done = 0;
    const int32_t err = WriteHere(handle, in + put, want, done);
    if (err != kOk) {
      result = err;
      break;
    }
    if (done == 0) {
      result = kErrWriteFault;
      break;
    }
    put += done;
  }
  unitsWritten = static_cast<uint32_t>(put / unitSize);
  return result;
}

int32_t ReadBytes(uint32_t n, const FileHandle& handle, void* buffer, uint32_t& bytesRead) {
  bytesRead = 0;
  if (n == 0) return kOk;
  return ReadUnits(n, handle, buffer, 1, bytesRead);
}

void FlushVolume(uint16_t key) {
  auto binding = FindVolumeKey(key);
  if (!binding || binding->mountPoint.empty()) return;
  const int fd = ::open(binding->mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::syncfs(fd);  // a courtesy before a raw read: a volume that cannot flush is still read as it stands
  ::close(fd);
}

PartitionLocator ImageTarget(const std::string& imagePath, uint16_t imageValue) {
  PartitionLocator target;
  target.imagePath = imagePath;
  target.imageValue = imageValue;
  return target;
}

PartitionLocator PartitionTarget(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                 uint16_t sourceKey) {
  PartitionLocator target;
  target.diskNumber = diskNumber;
  target.startSector = startSector;
  target.sectorCount = sectorCount;
  target.sourceKey = sourceKey;
  return target;
}

int32_t OpenTargetSource(const PartitionLocator& target, SectorSource& source, OpenedTarget& opened) {
  opened = OpenedTarget{};
  const int32_t err = target.IsImage() ? OpenImageSource(source, target.imagePath)
                                       : OpenDiskSource(source, target.diskNumber);
  if (err != kOk) return err;
  // Engines place the volume inside the source by its length: without it
  // there is nothing to scan.
  if (const int32_t lengthError = HandleLength(source.handle, opened.sourceBytes); lengthError != kOk) {
    CloseSource(source);
    return lengthError;
  }
  if (target.IsImage()) {
    opened.bytesPerSector = SourceSectorSize(source);
    opened.sectorCount = source.sectorCount;
    opened.sourceKey = target.imageValue;
    return kOk;
  }
  DriveGeometry geometry;
  if (QueryDriveGeometry(source.handle, geometry) == kOk && geometry.bytesPerSector != 0)
    opened.bytesPerSector = geometry.bytesPerSector;
  opened.startSector = target.startSector;
  opened.sectorCount = target.sectorCount;
  if (opened.sectorCount == 0 && source.sectorCount > target.startSector)
    opened.sectorCount = source.sectorCount - target.startSector;
  opened.sourceKey = target.sourceKey;
  return kOk;
}

}  // namespace velmira
