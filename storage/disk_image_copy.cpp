#include "storage/disk_image_copy.h"

#include <libmount/libmount.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <vector>

#include "platform/drives.h"
#include "platform/errors.h"
#include "platform/sysfs.h"

namespace fs = std::filesystem;

namespace velmira {
namespace {

constexpr uint64_t kEstimateEveryMs = 5000;
// While sectors are read one by one, reports come at most this often.
constexpr uint64_t kReportEveryMs = 250;
// A failed read marks this much from the failing sector on for trimming;
// the skipped areas are later read in pieces of this size.
constexpr uint64_t kClusterBytes = 65536;
// The first skip after a failed read; it doubles while the reads keep failing,
// up to a hundredth of the copy (at most 1 GiB).
constexpr uint64_t kMinSkipBytes = 65536;
constexpr uint64_t kMaxSkipBytes = 1ull << 30;
// A map of a copy with millions of bad stretches still fits.
constexpr uint64_t kMapFileLimit = 256ull << 20;
// The largest file FAT32 can hold is one byte short of 4 GiB; FAT12/16
// volumes take no file over 2 GiB.
constexpr uint64_t kFat32FileLimit = 0xFFFFFFFFULL;
constexpr uint64_t kFatFileLimit = 1ULL << 31;
constexpr uint64_t kFat32MinClusters = 65525;

// ---- where a file system's bytes live -----------------------------------

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
    if (ReadSysDevice(dir / "dev", whole)) devno = whole;
  }
  disks.insert(devno);
  const std::string backing = ReadSysLine(dir / "loop" / "backing_file");
  if (!backing.empty()) files.insert(backing);
  for (const auto& slave : fs::directory_iterator(dir / "slaves", ec)) {
    dev_t member = 0;
    if (ReadSysDevice(slave.path() / "dev", member)) CollectBacking(member, depth + 1, disks, files);
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
  if (ReadSysDevice(dir.parent_path() / "dev", whole)) return whole;
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
  job.badSectors = 0;
  job.bytesPerSecond = 0;
  job.mapPath.clear();
  job.map.Reset(0);
}

int32_t FinishOpening(ImageJob& job, const std::string& imagePath, const std::string& sourcePath) {
  if (job.sectorCount == 0 && job.startSector < job.drive.sectorCount)
    job.sectorCount = job.drive.sectorCount - job.startSector;
  if (job.startSector > job.drive.sectorCount || job.sectorCount > job.drive.sectorCount - job.startSector)
    return kErrInvalidParameter;
  if (job.sectorCount == 0) return kErrInvalidParameter;
  if (CheckTargetSafety(sourcePath, imagePath) != ImageTargetProblem::kNone) return kErrAccessDenied;
  const uint64_t bytes = job.sectorCount * job.sectorSize;
  if (job.resume) {
    std::string reason;
    const int32_t err = LoadImageMap(ImageMapPath(imagePath), bytes, job.sectorSize, job.map, reason);
    if (err != kOk) return err;
    job.mapPath = ImageMapPath(imagePath);
    // The bytes copied before are kept.
    return OpenForWriting(imagePath, WriteMode::kOpenExisting, job.image);
  }
  job.map.Reset(bytes);
  job.mapPath = ImageMapPath(imagePath);
  // Truncated, so that an older and longer file cannot leave stale bytes
  // after the new image.
  return OpenForWriting(imagePath, WriteMode::kCreateAlways, job.image);
}

}  // namespace

std::string ImageMapPath(const std::string& imagePath) {
  return imagePath + ".map";
}

int32_t LoadImageMap(const std::string& mapPath, uint64_t bytes, uint32_t sectorSize, RescueMap& map,
                     std::string& reason) {
  std::string text;
  const int32_t err = LoadTextFile(mapPath, text, kMapFileLimit);
  if (err == kErrInvalidData) reason = "the file is too large for a map";
  if (err != kOk) return err;
  RescueMap loaded;
  if (!loaded.Parse(text, reason)) return kErrInvalidData;
  if (loaded.Size() == 0 || (bytes != 0 && loaded.Size() != bytes)) {
    reason = "it covers " + std::to_string(loaded.Size()) + " bytes, the copy " + std::to_string(bytes);
    return kErrInvalidData;
  }
  if (sectorSize != 0) {
    for (const MapBlock& block : loaded.Blocks()) {
      if (block.pos % sectorSize != 0 || block.size % sectorSize != 0) {
        reason = "its block at " + std::to_string(block.pos) + " does not fall on " +
                 std::to_string(sectorSize) + "-byte sectors";
        return kErrInvalidData;
      }
    }
  }
  map = std::move(loaded);
  return kOk;
}

bool HasUnfinishedImageMap(const std::string& imagePath) {
  RescueMap map;
  std::string reason;
  return LoadImageMap(ImageMapPath(imagePath), 0, 0, map, reason) == kOk && !map.Complete();
}

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
  int32_t err = DiskDevicePath(diskNumber, sourcePath);
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

namespace {

// Errors that a damaged medium gives for the sectors it cannot read. Others
// (the drive is gone, no medium, no permission) stop the copy instead of
// marking every sector after them bad; it can go on once the drive is back.
bool IsMediumError(int32_t err) {
  return err == kErrReadFault || err == kErrCrc || err == kErrGenFailure || err == kErrIoDevice;
}

// One run of a copy: the reads, the writes, the map and the reports.
class Copier {
 public:
  explicit Copier(ImageJob& job)
      : m_job(job), m_ss(job.sectorSize), m_base(job.startSector * job.sectorSize), m_total(job.map.Size()) {}

  int32_t Run() {
    RescueMap& map = m_job.map;
    const uint64_t readSize = std::max<uint64_t>(m_job.readBytes / m_ss, 1) * m_ss;
    const uint64_t clusterSize = std::max<uint64_t>(kClusterBytes / m_ss, 1) * m_ss;
    // Page-aligned: the kernel copies into it fastest.
    const size_t bufferBytes = (static_cast<size_t>(std::max(readSize, clusterSize)) + 4095) / 4096 * 4096;
    m_buffer.reset(static_cast<uint8_t*>(std::aligned_alloc(4096, bufferBytes)));
    if (m_buffer == nullptr) return kErrNotEnoughMemory;
    m_settled = map.Bytes(kMapFinished) + map.Bytes(kMapBad);
    m_bad = map.Bytes(kMapBad);
    m_startMs = m_lastEstimate = m_lastReport = m_lastSave = m_job.clock();
    m_maxSkip = std::max(kMinSkipBytes, std::min(kMaxSkipBytes, m_total / 100) / m_ss * m_ss);
    Publish();
    // A new map is on disk before the first read.
    int32_t err = SaveMap(false);
    if (err != kOk) return err;

    // Pass 1 goes on from where an interrupted one stopped.
    if (map.currentStatus == kMapNonTried && map.currentPass <= 1) {
      const uint64_t from = std::min(map.currentPos / m_ss * m_ss, m_total);
      err = CopyPass(1, from, readSize, true);
      if (err != kOk) return Stop(err);
    }
    // Pass 2 reads what pass 1 skipped, in smaller pieces; an interrupted one
    // goes on where it stopped and then comes round to the start.
    const uint64_t passTwoFrom = map.currentStatus == kMapNonTried && map.currentPass == 2
                                     ? std::min(map.currentPos / m_ss * m_ss, m_total)
                                     : 0;
    err = CopyPass(2, passTwoFrom, clusterSize, false);
    if (err == kOk && passTwoFrom != 0) err = CopyPass(2, 0, clusterSize, false);
    if (err == kOk) err = Trim();
    if (err == kOk) err = Scrape();
    if (err != kOk) return Stop(err);
    if (!map.Complete()) return Stop(kErrInvalidData);  // a map whose blocks do not fit the sectors

    map.currentStatus = kMapFinished;
    map.currentPass = 1;
    map.currentPos = m_total;
    // The image ends where the copy ends, also when an older file was longer.
    if (::ftruncate(m_job.image.Get(), static_cast<off_t>(m_total)) != 0)
      return Stop(LastError(IoDirection::kWrite));
    err = SaveMap(true);
    if (err != kOk) return err;
    // The last settled sectors are shown; the copy is done, whatever the answer.
    if (m_reportedAt != m_settled) (void)Report(kFinal);  // done: a stop asked now changes nothing
    return kOk;
  }

 private:
  // Saves the map after an error or a cancel, keeping the first error.
  int32_t Stop(int32_t err) {
    const int32_t saveErr = SaveMap(true);
    return err != kOk ? err : saveErr;
  }

  // The image's data reaches the disk before a map that says it is there.
  int32_t SaveMap(bool flushImage) {
    int32_t err = flushImage ? FlushHandle(m_job.image) : kOk;
    if (err != kOk || m_job.mapPath.empty()) return err;
    std::vector<std::string> comments;
    comments.push_back("Mapfile. Created by Velmira (disk image copy)");
    for (const auto& line : m_job.mapComments) comments.push_back(line);
    comments.push_back("Sector size: " + std::to_string(m_ss) + " bytes; positions are offsets in the image");
    comments.push_back(MapPhaseText(m_job.map.currentStatus, m_job.map.currentPass));
    return ReplaceFileContents(m_job.mapPath, m_job.map.Format(comments));
  }

  // Reads [pos, pos + size) of the copy into the buffer; `good` is the whole
  // sectors read before a failure (or all of them).
  int32_t Read(uint64_t pos, uint64_t size, uint64_t& good) {
    uint64_t got = 0;
    int32_t err = kOk;
    while (got < size) {
      size_t done = 0;
      const uint64_t at = m_base + pos + got;
      const size_t want = static_cast<size_t>(size - got);
      err = m_job.drive.reader != nullptr ? m_job.drive.reader->ReadAt(m_buffer.get() + got, want, at, done)
                                          : ReadAt(m_job.drive.handle, m_buffer.get() + got, want, at, done);
      if (err == kOk && done == 0) err = kErrReadFault;  // the drive ended early
      if (err != kOk) break;
      got += done;
    }
    good = got / m_ss * m_ss;
    return err;
  }

  int32_t Write(const uint8_t* data, uint64_t pos, uint64_t size) {
    uint64_t put = 0;
    while (put < size) {
      size_t done = 0;
      int32_t err = WriteAt(m_job.image, data + put, static_cast<size_t>(size - put), pos + put, done);
      if (err == kOk && done == 0) err = kErrWriteFault;
      if (err != kOk) return err;
      put += done;
    }
    return kOk;
  }

  // The buffer's first `size` bytes are [pos, pos + size) of the copy.
  int32_t Copied(uint64_t pos, uint64_t size) {
    if (size == 0) return kOk;
    const int32_t err = Write(m_buffer.get(), pos, size);
    if (err != kOk) return err;
    m_job.map.Mark(pos, size, kMapFinished);
    m_settled += size;
    m_copiedThisRun += size;
    return kOk;
  }

  // One sector that stays unreadable: zeros in the image.
  int32_t Bad(uint64_t pos) {
    if (m_zeros.size() != m_ss) m_zeros.assign(m_ss, 0);
    const int32_t err = Write(m_zeros.data(), pos, m_ss);
    if (err != kOk) return err;
    m_job.map.Mark(pos, m_ss, kMapBad);
    m_settled += m_ss;
    m_bad += m_ss;
    return kOk;
  }

  // Reads the not-tried blocks from `from` on in reads of `readSize` bytes.
  // A failed read is tried once more; what still fails becomes a block to
  // trim, and with `skipping` the copy jumps ahead of it, further each time
  // the next read fails at once.
  int32_t CopyPass(int pass, uint64_t from, uint64_t readSize, bool skipping) {
    RescueMap& map = m_job.map;
    map.currentStatus = kMapNonTried;
    map.currentPass = pass;
    uint64_t skip = kMinSkipBytes;
    MapBlock block;
    uint64_t pos = from;
    while (map.NextBlock(kMapNonTried, pos, block)) {
      pos = block.pos;
      map.currentPos = pos;
      const uint64_t end = pos + std::min(readSize, block.size);
      uint64_t good = 0;
      int32_t readErr = Read(pos, end - pos, good);
      int32_t err = Copied(pos, good);
      if (err != kOk) return err;
      uint64_t at = pos + good;
      if (readErr != kOk && IsMediumError(readErr)) {
        // Once more, from the failing sector.
        readErr = Read(at, end - at, good);
        err = Copied(at, good);
        if (err != kOk) return err;
        at += good;
      }
      if (readErr != kOk && !IsMediumError(readErr)) return readErr;
      if (readErr == kOk) {
        pos = end;
        skip = kMinSkipBytes;
      } else {
        const uint64_t failedEnd = std::min(at + kClusterBytes, end);
        map.Mark(at, failedEnd - at, kMapNonTrimmed);
        pos = failedEnd;
        if (skipping) {
          // A read that failed at its first sector is one more in a row.
          const bool inARow = at == map.currentPos;
          if (!inARow) skip = kMinSkipBytes;
          pos = std::min(failedEnd + skip, block.end());
          if (inARow) skip = std::min(skip * 2, m_maxSkip);
        }
      }
      err = Report(kEveryRead);
      if (err != kOk) return err;
    }
    map.currentPos = m_total;
    return kOk;
  }

  // One sector at `pos`: copied (true) or bad (false), or an error.
  int32_t TrySector(uint64_t pos, bool& readable) {
    uint64_t good = 0;
    const int32_t readErr = Read(pos, m_ss, good);
    if (readErr != kOk && !IsMediumError(readErr)) return readErr;
    readable = readErr == kOk && good == m_ss;
    const int32_t err = readable ? Copied(pos, m_ss) : Bad(pos);
    if (err != kOk) return err;
    return Report(kNowAndThen);
  }

  // Each failed block is read sector by sector from its leading edge until a
  // sector fails, then from its trailing edge back until one fails; what lies
  // between is left for scraping. An edge next to a bad sector is not read.
  int32_t Trim() {
    RescueMap& map = m_job.map;
    map.currentStatus = kMapNonTrimmed;
    map.currentPass = 1;
    MapBlock block;
    while (map.NextBlock(kMapNonTrimmed, 0, block)) {
      uint64_t lo = block.pos, hi = block.end();
      bool readable = true;
      int32_t err = kOk;
      if (lo == 0 || map.BlockAt(lo - 1).status != kMapBad) {
        while (lo < hi && readable) {
          map.currentPos = lo;
          err = TrySector(lo, readable);
          if (err != kOk) return err;
          lo += m_ss;
        }
      }
      readable = true;
      if (hi == m_total || map.BlockAt(hi).status != kMapBad) {
        while (hi > lo && readable) {
          hi -= m_ss;
          map.currentPos = hi;
          err = TrySector(hi, readable);
          if (err != kOk) return err;
        }
      }
      if (lo < hi) map.Mark(lo, hi - lo, kMapNonScraped);
    }
    return kOk;
  }

  // What trimming left is read sector by sector, front to back.
  int32_t Scrape() {
    RescueMap& map = m_job.map;
    map.currentStatus = kMapNonScraped;
    map.currentPass = 1;
    MapBlock block;
    while (map.NextBlock(kMapNonScraped, 0, block)) {
      for (uint64_t pos = block.pos; pos < block.end(); pos += m_ss) {
        map.currentPos = pos;
        bool readable = false;
        const int32_t err = TrySector(pos, readable);
        if (err != kOk) return err;
      }
    }
    return kOk;
  }

  void Publish() {
    m_job.sectorsDone = m_settled / m_ss;
    m_job.badSectors = m_bad / m_ss;
  }

  // Tells the caller how far the copy is, saves the map now and then, and
  // passes on the caller's answer. Called after every read; one look at the
  // clock each time.
  enum ReportKind { kEveryRead, kNowAndThen, kFinal };
  int32_t Report(ReportKind kind) {
    Publish();
    const uint64_t now = m_job.clock();
    if (now - m_lastEstimate >= kEstimateEveryMs) {
      const uint64_t elapsedMs = now - m_startMs;
      const uint64_t elapsed = elapsedMs / 1000;
      uint64_t speed = elapsed != 0 ? m_copiedThisRun / elapsed : 1;
      if (speed == 0) speed = 1;
      m_job.bytesPerSecond = elapsedMs != 0 ? m_copiedThisRun * 1000 / elapsedMs : 0;
      m_secondsLeft = static_cast<int32_t>(std::min<uint64_t>((m_total - m_settled) / speed, INT32_MAX));
      m_lastEstimate = now;
    }
    if (kind != kFinal && now - m_lastSave >= m_job.mapEveryMs) {
      const int32_t err = SaveMap(true);
      if (err != kOk) return err;
      m_lastSave = now;
    }
    // Large reads report each time; sector-sized ones now and then.
    const bool due = kind != kNowAndThen || m_settled - m_reportedAt >= kClusterBytes ||
                     now - m_lastReport >= kReportEveryMs;
    if (m_job.progress == nullptr || !due) return kOk;
    m_reportedAt = m_settled;
    m_lastReport = now;
    const auto percent = static_cast<int32_t>(static_cast<unsigned __int128>(m_settled) * 100 /
                                              std::max<uint64_t>(m_total, 1));
    return m_job.progress(m_job.userData, percent, m_settled / m_ss, m_total / m_ss, m_secondsLeft);
  }

  ImageJob& m_job;
  const uint64_t m_ss;
  const uint64_t m_base;
  const uint64_t m_total;
  struct FreeBuffer {
    void operator()(uint8_t* p) const { std::free(p); }
  };
  std::unique_ptr<uint8_t, FreeBuffer> m_buffer;
  std::vector<uint8_t> m_zeros;
  uint64_t m_settled = 0, m_bad = 0, m_copiedThisRun = 0, m_reportedAt = 0;
  uint64_t m_startMs = 0, m_lastEstimate = 0, m_lastReport = 0, m_lastSave = 0;
  uint64_t m_maxSkip = kMinSkipBytes;
  int32_t m_secondsLeft = -1;
};

}  // namespace

int32_t RunImageJob(ImageJob& job) {
  if (!job.drive.IsOpen() || !job.image.IsValid()) return kErrInvalidHandle;
  if (job.sectorSize == 0 || job.sectorCount == 0) return kErrInvalidParameter;
  if (job.sectorCount > UINT64_MAX / job.sectorSize) return kErrInvalidParameter;
  const uint64_t total = job.sectorCount * job.sectorSize;
  if (job.map.Size() != total) job.map.Reset(total);
  Copier copier(job);
  return copier.Run();
}

int32_t CloseImageJob(ImageJob& job) {
  (void)CloseSource(job.drive);  // read-only: its close cannot lose data; the image's close is the result
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
