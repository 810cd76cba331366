#include "storage/destination_safety.h"

#include <fcntl.h>
#include <libmount/libmount.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/file_handle.h"
#include "platform/folders.h"
#include "platform/sysfs.h"

namespace velmira {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kToTheEnd = UINT64_MAX;
// Deeper stacks than this (a loop over a file on a loop over ...) are not
// followed further.
constexpr int kMaxDepth = 8;

// A stretch of bytes some data lives in: of a whole block device, or of a
// regular file (the backing file of a loop device, or a scanned image).
struct Extent {
  bool isFile = false;
  dev_t device = 0;  // the block device, or the device of the file's file system
  ino_t inode = 0;   // files only
  uint64_t start = 0;
  uint64_t length = kToTheEnd;
};

uint64_t EndOf(const Extent& e) {
  return e.length > kToTheEnd - e.start ? kToTheEnd : e.start + e.length;
}

bool Overlap(const Extent& a, const Extent& b) {
  if (a.isFile != b.isFile || a.device != b.device) return false;
  if (a.isFile && a.inode != b.inode) return false;
  return a.start < EndOf(b) && b.start < EndOf(a);
}

bool SysfsDirOf(dev_t device, fs::path& dir) {
  std::error_code ec;
  dir = fs::canonical("/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device)),
                      ec);
  return !ec;
}

std::string DeviceName(dev_t device) {
  fs::path dir;
  if (SysfsDirOf(device, dir)) return "/dev/" + dir.filename().string();
  return "device " + std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

// Where a path's file system keeps its data: block devices, or image files a
// FUSE driver reads directly. A device number with major 0 is anonymous
// (btrfs, FUSE, network and memory file systems): the mount table's source
// stands for it then, found by the device number or else by the mount the
// path lies under. Sources that are neither (tmpfs, a server) hold nothing.
struct Storage {
  std::vector<dev_t> devices;
  std::vector<std::string> files;
};

Storage StorageOfPath(const std::string& path) {
  Storage storage;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return storage;
  if (major(st.st_dev) != 0) {
    storage.devices.push_back(st.st_dev);
    return storage;
  }
  libmnt_table* table = mnt_new_table_from_file("/proc/self/mountinfo");
  if (table == nullptr) return storage;
  auto addSource = [&](libmnt_fs* entry) {
    struct stat source {};
    const char* name = mnt_fs_get_srcpath(entry);
    if (name == nullptr || name[0] != '/' || ::stat(name, &source) != 0) return;
    if (S_ISBLK(source.st_mode)) storage.devices.push_back(source.st_rdev);
    if (S_ISREG(source.st_mode)) storage.files.emplace_back(name);
  };
  libmnt_iter* iter = mnt_new_iter(MNT_ITER_FORWARD);
  libmnt_fs* entry = nullptr;
  bool listed = false;
  while (iter != nullptr && mnt_table_next_fs(table, iter, &entry) == 0) {
    if (mnt_fs_get_devno(entry) != st.st_dev) continue;
    listed = true;
    addSource(entry);
  }
  mnt_free_iter(iter);
  if (!listed) {
    // A nested btrfs subvolume has a device number of its own that no mount
    // shows: the mount the path lies under answers for it.
    std::error_code ec;
    const std::string real = fs::canonical(path, ec).string();
    if (!ec) {
      if (libmnt_fs* mount = mnt_table_find_mountpoint(table, real.c_str(), MNT_ITER_BACKWARD))
        addSource(mount);
    }
  }
  mnt_unref_table(table);
  return storage;
}

// The backing file of a loop device (its sysfs folder given), with the
// stretch of it the device shows. False when the device has no file.
bool LoopBacking(const fs::path& dir, Extent& file, std::string& backingPath) {
  uint64_t offset = 0;
  uint64_t sizeLimit = 0;
  (void)ReadSysNumber(dir / "loop" / "offset", offset);        // absent on old kernels: 0, the whole file
  (void)ReadSysNumber(dir / "loop" / "sizelimit", sizeLimit);  // absent or 0: up to the end of the file
  file = Extent{};
  file.isFile = true;
  backingPath = ReadSysLine(dir / "loop" / "backing_file");
  struct stat st {};
  if (!backingPath.empty() && ::stat(backingPath.c_str(), &st) == 0) {
    file.device = st.st_dev;
    file.inode = st.st_ino;
  } else {
    // The name may be one of another mount namespace, or deleted: the
    // device itself knows the file's device and inode numbers.
    const int fd = ::open(("/dev/" + dir.filename().string()).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    loop_info64 info{};
    const int rc = ::ioctl(fd, LOOP_GET_STATUS64, &info);
    ::close(fd);
    if (rc != 0) return false;
    file.device = static_cast<dev_t>(info.lo_device);
    file.inode = static_cast<ino_t>(info.lo_inode);
    offset = info.lo_offset;
    sizeLimit = info.lo_sizelimit;
    backingPath.clear();
  }
  file.start = offset;
  file.length = sizeLimit != 0 ? sizeLimit : kToTheEnd;
  return true;
}

void CollectPath(const std::string& path, int depth, std::set<dev_t>& seen, std::vector<Extent>& out);

// Every stretch of storage that `length` bytes from `start` of block device
// `device` live in, the device's own stretch first. Partitions lead to their
// disk, loop devices to their backing file. With `downward`, also what a
// write there could change beneath: the file system holding a loop device's
// backing file, and the members of device-mapper and md devices. A scanned
// source is followed without it (a folder beside an image file is fine, and
// a sibling volume of one group is not the scanned one); a destination with it.
void Collect(dev_t device, uint64_t start, uint64_t length, bool downward, int depth, std::set<dev_t>& seen,
             std::vector<Extent>& out) {
  out.push_back(Extent{false, device, 0, start, length});
  if (depth >= kMaxDepth) return;
  fs::path dir;
  if (!SysfsDirOf(device, dir)) return;
  std::error_code ec;
  if (fs::exists(dir / "partition", ec)) {
    uint64_t first = 0;
    uint64_t sectors = 0;
    dev_t disk = 0;
    if (!ReadSysNumber(dir / "start", first) || !ReadSysNumber(dir / "size", sectors) ||
        !ReadSysDevice(dir.parent_path() / "dev", disk) || first > kToTheEnd / 512 ||
        sectors > kToTheEnd / 512)
      return;
    // sysfs counts partitions in 512-byte units whatever the sector size.
    const uint64_t size = sectors * 512;
    if (start >= size) return;
    const uint64_t inside = std::min(length, size - start);
    const uint64_t at = first * 512;
    Collect(disk, at > kToTheEnd - start ? kToTheEnd : at + start, inside, downward, depth + 1, seen, out);
    return;
  }
  if (fs::exists(dir / "loop", ec)) {
    Extent file;
    std::string backingPath;
    if (!LoopBacking(dir, file, backingPath)) return;
    if (start >= file.length) return;
    file.length = std::min(length, file.length - start);
    file.start = file.start > kToTheEnd - start ? kToTheEnd : file.start + start;
    out.push_back(file);
    if (!downward) return;
    // Writing into the backing file writes into its file system.
    if (!backingPath.empty()) {
      CollectPath(backingPath, depth + 1, seen, out);
    } else if (major(file.device) != 0 && seen.insert(file.device).second) {
      Collect(file.device, 0, kToTheEnd, downward, depth + 1, seen, out);
    }
    return;
  }
  if (!downward) return;
  for (const auto& entry : fs::directory_iterator(dir / "slaves", ec)) {
    dev_t member = 0;
    if (ReadSysDevice(entry.path() / "dev", member) && seen.insert(member).second)
      Collect(member, 0, kToTheEnd, downward, depth + 1, seen, out);
  }
}

// What writing into the file system of `path` may change: the storage it
// lies on, followed downward as in Collect.
void CollectPath(const std::string& path, int depth, std::set<dev_t>& seen, std::vector<Extent>& out) {
  if (depth >= kMaxDepth) return;
  const Storage storage = StorageOfPath(path);
  for (dev_t device : storage.devices)
    if (seen.insert(device).second) Collect(device, 0, kToTheEnd, true, depth, seen, out);
  for (const std::string& file : storage.files) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) continue;
    out.push_back(Extent{true, st.st_dev, st.st_ino, 0, kToTheEnd});
    CollectPath(file, depth + 1, seen, out);
  }
}

// The nearest existing folder at or above `folder`.
std::string ExistingAncestor(const std::string& folder) {
  std::error_code ec;
  fs::path p = fs::absolute(folder, ec);
  if (ec) return {};
  p = p.lexically_normal();
  while (!p.empty()) {
    if (fs::exists(p, ec)) return p.string();
    if (p == p.root_path() || !p.has_parent_path()) break;
    p = p.parent_path();
  }
  return {};
}

}  // namespace

bool DestinationOnScannedArea(const std::string& folder, const ScannedArea& area, std::string& reason) {
  reason.clear();
  const std::string existing = ExistingAncestor(folder);
  if (existing.empty() || area.path.empty()) return false;
  struct stat source {};
  if (::stat(area.path.c_str(), &source) != 0) return false;
  const uint64_t length = area.lengthBytes != 0 ? area.lengthBytes : kToTheEnd;

  std::vector<Extent> scanned;
  std::set<dev_t> seen;
  if (S_ISREG(source.st_mode)) {
    scanned.push_back(Extent{true, source.st_dev, source.st_ino, area.startByte, length});
  } else if (S_ISBLK(source.st_mode)) {
    Collect(source.st_rdev, area.startByte, length, false, 0, seen, scanned);
  } else {
    return false;
  }

  std::vector<Extent> written;
  seen.clear();
  CollectPath(existing, 0, seen, written);
  for (const Extent& w : written) {
    for (const Extent& s : scanned) {
      if (!Overlap(w, s)) continue;
      const Storage storage = StorageOfPath(existing);
      const std::string on = !storage.devices.empty() ? DeviceName(storage.devices.front())
                             : !storage.files.empty() ? storage.files.front()
                                                      : std::string("its file system");
      reason = folder + " is on " + on + ", which is stored on the source being scanned (" + area.path +
               "): saving there would overwrite the files still to be recovered";
      return true;
    }
  }
  return false;
}

int32_t CheckDestinationWritable(const std::string& folder) {
  int32_t err = CreateFolderWithParents(folder);
  if (err != kOk) return err;
  // A few KiB really written and flushed: a full disk answers only then.
  static std::atomic<uint32_t> counter{0};
  std::string probe;
  FileHandle file;
  for (int attempt = 0;; ++attempt) {
    probe = folder + "/.velmira-probe-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    err = OpenForWriting(probe, WriteMode::kCreateNew, file);
    if (err != kErrFileExists || attempt >= 100) break;
  }
  if (err != kOk) return err;
  std::vector<uint8_t> block(4096, 0);
  size_t done = 0;
  err = WriteHere(file, block.data(), block.size(), done);
  if (err == kOk && done != block.size()) err = kErrDiskFull;
  if (err == kOk) err = FlushHandle(file);
  const int32_t closed = file.Close();
  if (err == kOk) err = closed;
  if (::unlink(probe.c_str()) != 0 && err == kOk) err = LastError();
  return err;
}

}  // namespace velmira
