#include "storage/disk_image_copy.h"

#include <libmount/libmount.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <set>
#include <vector>

#include "platform/drives.h"
#include "platform/errors.h"

namespace fs = std::filesystem;

namespace velmira {
namespace {

constexpr uint32_t kChunkBytes = 65536;
constexpr uint64_t kEstimateEveryMs = 5000;
// The largest file FAT32 can hold is one byte short of 4 GiB; FAT12/16
// volumes take no file over 2 GiB.
constexpr uint64_t kFat32FileLimit = 0xFFFFFFFFULL;
constexpr uint64_t kFatFileLimit = 1ULL << 31;
constexpr uint64_t kFat32MinClusters = 65525;

// ---- where a file system's bytes live -----------------------------------

std::string ReadSysLine(const fs::path& path) {
  std::ifstream in(path);
  std::string text;
  std::getline(in, text);
  return text;
}

bool ParseDevNumber(const std::string& text, dev_t& devno) {
  unsigned maj = 0, min = 0;
  char extra = 0;
  if (std::sscanf(text.c_str(), "%u:%u%c", &maj, &min, &extra) != 2) return false;
  devno = makedev(maj, min);
  return true;
}

// The whole disks and image files that hold the bytes of block device
// `devno`: a partition's disk, the members of a device-mapper or RAID
// device, the backing file of a loop device.
void CollectBacking(dev_t devno, int depth, std::set<dev_t>& disks, std::set<std::string>& files) {
  if (depth > 8) return;
  std::error_code ec;
  fs::path dir = fs::canonical(
      "/sys/dev/block/" + std::to_string(major(devno)) + ":" + std::to_string(minor(devno)), ec);
  if (ec) return;
  if (fs::exists(dir / "partition", ec)) {
    dir = dir.parent_path();
    dev_t whole = 0;
    if (ParseDevNumber(ReadSysLine(dir / "dev"), whole)) devno = whole;
  }
  disks.insert(devno);
  const std::string backing = ReadSysLine(dir / "loop" / "backing_file");
  if (!backing.empty()) files.insert(backing);
  for (const auto& slave : fs::directory_iterator(dir / "slaves", ec)) {
    dev_t member = 0;
    if (ParseDevNumber(ReadSysLine(slave.path() / "dev"), member))
      CollectBacking(member, depth + 1, disks, files);
  }
}

// The block device of the file system holding `path`. Some file systems
// (btrfs) report an anonymous st_dev; the mount table names their device.
bool FileSystemDevice(const std::string& path, dev_t& devno) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  if (major(st.st_dev) != 0) {
    devno = st.st_dev;
    return true;
  }
  libmnt_table* table = mnt_new_table_from_file("/proc/self/mountinfo");
  if (table == nullptr) return false;
  bool found = false;
  std::error_code ec;
  const std::string real = fs::canonical(path, ec).string();
  if (!ec) {
    if (libmnt_fs* entry = mnt_table_find_mountpoint(table, real.c_str(), MNT_ITER_BACKWARD)) {
      struct stat src {};
      const char* source = mnt_fs_get_srcpath(entry);
      if (source != nullptr && ::stat(source, &src) == 0 && S_ISBLK(src.st_mode)) {
        devno = src.st_rdev;
        found = true;
      }
    }
  }
  mnt_unref_table(table);
  return found;
}

dev_t WholeDiskOf(dev_t devno) {
  std::error_code ec;
  fs::path dir = fs::canonical(
      "/sys/dev/block/" + std::to_string(major(devno)) + ":" + std::to_string(minor(devno)), ec);
  if (ec || !fs::exists(dir / "partition", ec)) return devno;
  dev_t whole = devno;
  if (ParseDevNumber(ReadSysLine(dir.parent_path() / "dev"), whole)) return whole;
  return devno;
}

std::string TargetFolder(const std::string& imagePath) {
  fs::path parent = fs::path(imagePath).parent_path();
  return parent.empty() ? std::string(".") : parent.string();
}

// The refusals OpenImageJob enforces.
ImageTargetProblem CheckTargetSafety(const std::string& sourcePath, const std::string& imagePath) {
  struct stat source {};
  if (::stat(sourcePath.c_str(), &source) != 0) return ImageTargetProblem::kNone;
  struct stat target {};
  std::string onPath = TargetFolder(imagePath);
  if (::stat(imagePath.c_str(), &target) == 0) {
    if (!S_ISREG(target.st_mode)) return ImageTargetProblem::kNotAFile;
    if (target.st_dev == source.st_dev && target.st_ino == source.st_ino)
      return ImageTargetProblem::kIsSource;
    onPath = imagePath;
  }
  dev_t fsDevice = 0;
  if (!FileSystemDevice(onPath, fsDevice)) return ImageTargetProblem::kNone;
  std::set<dev_t> disks;
  std::set<std::string> files;
  CollectBacking(fsDevice, 0, disks, files);
  if (S_ISBLK(source.st_mode)) {
    if (disks.count(WholeDiskOf(source.st_rdev)) != 0 || disks.count(source.st_rdev) != 0)
      return ImageTargetProblem::kOnSource;
  } else if (S_ISREG(source.st_mode)) {
    std::error_code ec;
    const std::string real = fs::canonical(sourcePath, ec).string();
    if (!ec && files.count(real) != 0) return ImageTargetProblem::kOnSource;
  }
  return ImageTargetProblem::kNone;
}

int32_t OpenSource(ImageJob& job, const std::string& sourcePath) {
  int32_t err = OpenReadOnly(sourcePath, job.drive.handle);
  if (err != kOk) return err;
  DriveGeometry geometry;
  err = QueryDriveGeometry(job.drive.handle, geometry);
  if (err != kOk) return err;
  if (geometry.bytesPerSector == 0) return kErrInvalidParameter;
  job.sectorSize = geometry.bytesPerSector;
  uint64_t length = 0;
  if (QueryDriveLength(job.drive.handle, length) == kOk) job.drive.sectorCount = length / job.sectorSize;
  if (job.drive.sectorCount == 0)
    job.drive.sectorCount = geometry.cylinders * geometry.tracksPerCylinder * geometry.sectorsPerTrack;
  return kOk;
}

void ResetJob(ImageJob& job, uint64_t startSector, uint64_t sectorCount, void* userData) {
  CloseImageJob(job);
  job.sectorSize = 512;
  job.startSector = startSector;
  job.sectorCount = sectorCount;
  job.userData = userData;
  job.sectorsDone = 0;
}

int32_t FinishOpening(ImageJob& job, const std::string& imagePath, const std::string& sourcePath) {
  if (job.sectorCount == 0 && job.startSector < job.drive.sectorCount)
    job.sectorCount = job.drive.sectorCount - job.startSector;
  if (job.startSector > job.drive.sectorCount || job.sectorCount > job.drive.sectorCount - job.startSector)
    return kErrInvalidParameter;
  if (job.sectorCount == 0) return kErrInvalidParameter;
  if (CheckTargetSafety(sourcePath, imagePath) != ImageTargetProblem::kNone) return kErrAccessDenied;
  // Truncated, so that an older and longer file cannot leave stale bytes
  // after the new image.
  return OpenForWriting(imagePath, WriteMode::kCreateAlways, job.image);
}

}  // namespace

ImageTargetProblem CheckImageTarget(const std::string& sourcePath, const std::string& imagePath,
                                    uint64_t bytes) {
  const ImageTargetProblem safety = CheckTargetSafety(sourcePath, imagePath);
  if (safety != ImageTargetProblem::kNone) return safety;
  struct stat target {};
  const bool exists = ::stat(imagePath.c_str(), &target) == 0;
  const std::string folder = exists ? imagePath : TargetFolder(imagePath);
  struct statfs sfs {};
  if (::statfs(folder.c_str(), &sfs) == 0 && sfs.f_type == MSDOS_SUPER_MAGIC) {
    const ImageTargetProblem fat = CheckFatTarget(uint64_t{sfs.f_blocks}, bytes);
    if (fat != ImageTargetProblem::kNone) return fat;
  }
  struct statvfs vfs {};
  if (::statvfs(folder.c_str(), &vfs) == 0) {
    // An existing target is replaced, so its blocks count as free.
    uint64_t available = uint64_t{vfs.f_bavail} * vfs.f_frsize;
    if (exists) available += static_cast<uint64_t>(target.st_blocks) * 512;
    if (available < bytes) return ImageTargetProblem::kNoSpace;
  }
  return ImageTargetProblem::kNone;
}

ImageTargetProblem CheckFatTarget(uint64_t clusterCount, uint64_t bytes) {
  const bool fat32 = clusterCount >= kFat32MinClusters;
  if (fat32 && bytes > kFat32FileLimit) return ImageTargetProblem::kTooLargeForFat32;
  if (!fat32 && bytes > kFatFileLimit) return ImageTargetProblem::kTooLargeForFat;
  return ImageTargetProblem::kNone;
}

int32_t OpenImageJob(ImageJob& job, const std::string& imagePath, int32_t diskNumber, uint64_t startSector,
                     uint64_t sectorCount, void* userData) {
  ResetJob(job, startSector, sectorCount, userData);
  std::string sourcePath;
  int32_t err = PhysicalDrivePath(diskNumber, sourcePath);
  if (err != kOk) return err;
  err = OpenSource(job, sourcePath);
  if (err != kOk) return err;
  return FinishOpening(job, imagePath, sourcePath);
}

int32_t OpenImageJobOnPath(ImageJob& job, const std::string& imagePath, const std::string& sourcePath,
                           uint64_t startSector, uint64_t sectorCount, void* userData) {
  ResetJob(job, startSector, sectorCount, userData);
  const int32_t err = OpenSource(job, sourcePath);
  if (err != kOk) return err;
  return FinishOpening(job, imagePath, sourcePath);
}

int32_t RunImageJob(ImageJob& job) {
  if (!job.drive.IsOpen() || !job.image.IsValid()) return kErrInvalidHandle;
  const uint32_t sectorSize = job.sectorSize;
  if (sectorSize == 0) return kErrInvalidParameter;
  uint32_t chunk = std::max<uint32_t>(kChunkBytes / sectorSize, 1) * sectorSize;
  std::vector<uint8_t> buffer(chunk);

  const uint64_t startMs = job.clock();
  uint64_t lastEstimate = startMs;
  int32_t secondsLeft = -1;
  const uint64_t totalSectors = job.sectorCount;
  const uint64_t total = totalSectors * sectorSize;
  uint64_t done = 0;
  job.sectorsDone = 0;

  while (done < total) {
    if (total - done < chunk) chunk = static_cast<uint32_t>(total - done);
    uint32_t sectorsRead = 0;
    const int32_t readErr = ReadSectors(chunk / sectorSize, job.drive, buffer.data(),
                                        job.startSector + done / sectorSize, sectorSize, sectorsRead);
    // Whole sectors read before a fault still go into the image.
    if (sectorsRead > 0) {
      uint32_t written = 0;
      const int32_t writeErr = WriteUnits(job.image, buffer.data(), sectorSize, written, sectorsRead);
      job.sectorsDone += written;
      if (writeErr != kOk) return writeErr;
      done += uint64_t{sectorsRead} * sectorSize;
    }
    if (readErr != kOk) return readErr;

    const uint64_t now = job.clock();
    if (now - lastEstimate >= kEstimateEveryMs) {
      const uint64_t elapsed = (now - startMs) / 1000;
      uint64_t speed = elapsed != 0 ? done / elapsed : 1;
      if (speed == 0) speed = 1;
      secondsLeft = static_cast<int32_t>(std::min<uint64_t>((total - done) / speed, INT32_MAX));
      lastEstimate = now;
    }
    if (job.progress != nullptr) {
      const auto percent = static_cast<int32_t>(static_cast<unsigned __int128>(done) * 100 / total);
      const int32_t answer =
          job.progress(job.userData, percent, done / sectorSize, totalSectors, secondsLeft);
      if (answer != 0) return answer;
    }
  }
  // The copy is only done once the bytes are on the target's medium.
  return FlushHandle(job.image);
}

int32_t CloseImageJob(ImageJob& job) {
  (void)CloseSource(job.drive);
  return job.image.Close();
}

int32_t CopyToImage(ImageJob& job, int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                    const std::string& imagePath, void* userData) {
  int32_t result = OpenImageJob(job, imagePath, diskNumber, startSector, sectorCount, userData);
  if (result == kOk) result = RunImageJob(job);
  const int32_t closeErr = CloseImageJob(job);
  return result != kOk ? result : closeErr;
}

int32_t CopyPathToImage(ImageJob& job, const std::string& sourcePath, uint64_t startSector,
                        uint64_t sectorCount, const std::string& imagePath, void* userData) {
  int32_t result = OpenImageJobOnPath(job, imagePath, sourcePath, startSector, sectorCount, userData);
  if (result == kOk) result = RunImageJob(job);
  const int32_t closeErr = CloseImageJob(job);
  return result != kOk ? result : closeErr;
}

}  // namespace velmira
