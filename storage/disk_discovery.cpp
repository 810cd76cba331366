#include "storage/disk_discovery.h"

#include <blkid/blkid.h>
#include <libmount/libmount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>

#include "platform/drives.h"
#include "platform/errors.h"
#include "platform/file_handle.h"
#include "platform/sysfs.h"
#include "platform/text.h"
#include "storage/file_system_names.h"
#include "storage/volume_keys.h"

namespace fs = std::filesystem;

namespace velmira {
namespace {

constexpr int32_t kMaxDrives = 128;
// More entries than any real table holds; a hostile table cannot make the
// listing grow without bound.
constexpr int kMaxPartitionsPerDrive = 256;
// The geometry every drive reports on Linux is 255 heads of 63 sectors. The
// space before the first usable sector and the smallest gap listed as
// unallocated (one cylinder) are kept at their sizes on 512-byte sectors, in
// bytes, so that a drive with 4096-byte sectors does not hide gaps eight
// times as large.
constexpr uint64_t kFirstUsableBytes = 63 * 512;
constexpr uint64_t kMinGapBytes = 255 * 63 * 512;
// What a partition-table entry whose file system is not recognised is called.
constexpr const char* kUnknownFileSystem = "unknown file system";
constexpr const char* kMountInfo = "/proc/self/mountinfo";

// ---- sysfs ---------------------------------------------------------------

// The sysfs folder of a block device number.
bool SysfsBlockDir(dev_t devno, fs::path& dir) {
  std::error_code ec;
  dir = fs::canonical("/sys/dev/block/" + std::to_string(major(devno)) + ":" + std::to_string(minor(devno)),
                      ec);
  return !ec;
}

// Device nodes of the partitions of a block device (given by its sysfs
// folder) that start at `startByte`.
void PartitionsStartingAt(const fs::path& diskDir, uint64_t startByte, std::vector<std::string>& nodes) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(diskDir, ec)) {
    std::error_code e2;
    if (!fs::exists(entry.path() / "partition", e2)) continue;
    uint64_t start = 0;
    if (!ReadSysNumber(entry.path() / "start", start) || start > UINT64_MAX / 512) continue;
    if (start * 512 != startByte) continue;
    const std::string node = "/dev/" + entry.path().filename().string();
    struct stat st {};
    if (::stat(node.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) nodes.push_back(node);
  }
}

// The block devices that carry a volume: the partition's own node on a
// drive that is a block device, or the loop devices set up over an image
// file (with the volume's offset, or over the whole file with partitions).
std::vector<std::string> VolumeNodes(const std::string& drivePath, uint64_t startByte, bool wholeDrive) {
  std::vector<std::string> nodes;
  struct stat st {};
  if (::stat(drivePath.c_str(), &st) != 0) return nodes;
  if (S_ISBLK(st.st_mode)) {
    if (wholeDrive) {
      nodes.push_back(drivePath);
      return nodes;
    }
    fs::path dir;
    if (SysfsBlockDir(st.st_rdev, dir)) PartitionsStartingAt(dir, startByte, nodes);
    return nodes;
  }
  if (!S_ISREG(st.st_mode)) return nodes;
  std::error_code ec;
  const fs::path image = fs::canonical(drivePath, ec);
  if (ec) return nodes;
  for (const auto& entry : fs::directory_iterator("/sys/block", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("loop", 0) != 0) continue;
    if (ReadSysLine(entry.path() / "loop" / "backing_file") != image.string()) continue;
    uint64_t offset = 0;
    if (!ReadSysNumber(entry.path() / "loop" / "offset", offset)) continue;
    if (offset == startByte) {
      nodes.push_back("/dev/" + name);
    } else if (offset == 0) {
      PartitionsStartingAt(entry.path(), startByte, nodes);
    }
  }
  return nodes;
}

// ---- libblkid ------------------------------------------------------------

struct FileSystemProbe {
  bool found = false;
  std::string type;     // libblkid's name: "vfat", "ntfs", "ext4", ...
  std::string version;  // "FAT32", "FAT16", ...
  std::string label;
};

class BlkidProbe {
 public:
  BlkidProbe() : m_probe(blkid_new_probe()) {}
  ~BlkidProbe() {
    if (m_probe != nullptr) blkid_free_probe(m_probe);
  }
  BlkidProbe(const BlkidProbe&) = delete;
  BlkidProbe& operator=(const BlkidProbe&) = delete;
  [[nodiscard]] blkid_probe get() const { return m_probe; }

 private:
  blkid_probe m_probe;
};

std::string ProbeValue(blkid_probe probe, const char* name) {
  const char* data = nullptr;
  size_t len = 0;
  if (blkid_probe_lookup_value(probe, name, &data, &len) != 0 || data == nullptr) return {};
  std::string value(data, len);
  const size_t nul = value.find('\0');
  if (nul != std::string::npos) value.resize(nul);
  return value;
}

FileSystemProbe ProbeFileSystem(int fd, uint64_t offset, uint64_t length, uint32_t sectorSize) {
  FileSystemProbe result;
  if (length == 0 || offset > static_cast<uint64_t>(INT64_MAX) || length > static_cast<uint64_t>(INT64_MAX))
    return result;
  BlkidProbe probe;
  blkid_probe pr = probe.get();
  if (pr == nullptr) return result;
  if (blkid_probe_set_device(pr, fd, static_cast<blkid_loff_t>(offset), static_cast<blkid_loff_t>(length)) !=
      0)
    return result;
  // A probe that cannot be set up as asked would answer other questions.
  if (blkid_probe_set_sectorsize(pr, sectorSize) != 0 || blkid_probe_enable_partitions(pr, 0) != 0 ||
      blkid_probe_enable_superblocks(pr, 1) != 0 ||
      blkid_probe_set_superblocks_flags(
          pr, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION | BLKID_SUBLKS_USAGE) != 0 ||
      blkid_probe_filter_superblocks_usage(pr, BLKID_FLTR_ONLYIN, BLKID_USAGE_FILESYSTEM) != 0)
    return result;
  int rc = blkid_do_safeprobe(pr);
  if (rc == -2) {
    // Two file systems claim the volume (one left over from an earlier
    // format): name the first one found rather than hide the volume.
    blkid_reset_probe(pr);
    rc = blkid_do_probe(pr);
  }
  if (rc != 0) return result;
  result.type = ProbeValue(pr, "TYPE");
  result.found = !result.type.empty();
  result.version = ProbeValue(pr, "VERSION");
  result.label = ProbeValue(pr, "LABEL");
  return result;
}

// Valid UTF-8 without control characters, so that a hostile label cannot
// reach a terminal or a widget as anything but text.
std::string CleanLabel(const std::string& raw) {
  const std::u16string wide = Utf8ToUtf16(raw);
  std::u16string clean;
  for (char16_t c : wide) clean.push_back((c < 0x20 || c == 0x7F) ? u'\uFFFD' : c);
  if (clean.size() > 127) clean.resize(127);
  if (!clean.empty() && clean.back() >= 0xD800 && clean.back() <= 0xDBFF) clean.pop_back();
  return Utf16ToUtf8(clean);
}

void NameFileSystem(const FileSystemProbe& probe, PartitionRecord& record) {
  NameVolumeFileSystem(probe.type, probe.version, CleanLabel(probe.type), record.fileSystemName,
                       record.partitionType);
}

// The candidate volumes of one open drive: the entries of its partition
// table (extended containers and nested tables left out), or, when it has
// no table, the drive itself.
std::vector<VolumeLocation> ListDriveVolumes(const FileHandle& drive, const std::string& drivePath,
                                             int32_t diskNumber, uint32_t sectorSize, uint64_t driveBytes) {
  std::vector<VolumeLocation> volumes;
  VolumeLocation base;
  base.diskNumber = diskNumber;
  base.drivePath = drivePath;
  base.sectorSize = sectorSize;
  if (driveBytes == 0) return volumes;

  BlkidProbe probe;
  blkid_probe pr = probe.get();
  if (pr == nullptr) return volumes;
  if (blkid_probe_set_device(pr, drive.Get(), 0, 0) != 0) return volumes;
  if (blkid_probe_set_sectorsize(pr, sectorSize) != 0 || blkid_probe_enable_superblocks(pr, 0) != 0 ||
      blkid_probe_enable_partitions(pr, 1) != 0)
    return volumes;
  blkid_partlist list = blkid_probe_get_partitions(pr);
  blkid_parttable root = list != nullptr ? blkid_partlist_get_table(list) : nullptr;
  if (root == nullptr) {
    VolumeLocation whole = base;
    whole.startByte = 0;
    whole.lengthBytes = driveBytes;
    whole.partitionNumber = 0;
    volumes.push_back(whole);
  } else {
    const bool isDos =
        std::string(blkid_parttable_get_type(root) ? blkid_parttable_get_type(root) : "") == "dos";
    const int count = std::min(blkid_partlist_numof_partitions(list), kMaxPartitionsPerDrive);
    for (int i = 0; i < count; ++i) {
      blkid_partition part = blkid_partlist_get_partition(list, i);
      if (part == nullptr || blkid_partition_is_extended(part)) continue;
      blkid_parttable table = blkid_partition_get_table(part);
      if (table != nullptr && blkid_parttable_get_parent(table) != nullptr) continue;
      const blkid_loff_t start = blkid_partition_get_start(part);
      const blkid_loff_t size = blkid_partition_get_size(part);
      if (start < 0 || size <= 0) continue;
      const uint64_t ustart = static_cast<uint64_t>(start), usize = static_cast<uint64_t>(size);
      if (ustart > UINT64_MAX / 512 || usize > UINT64_MAX / 512) continue;
      VolumeLocation v = base;
      v.startByte = ustart * 512;
      if (v.startByte >= driveBytes) continue;  // an entry beyond the end of the drive
      // An entry running past the end keeps the part that exists.
      v.lengthBytes = std::min(usize * 512, driveBytes - v.startByte);
      if (v.lengthBytes < sectorSize) continue;
      v.partitionNumber = blkid_partition_get_partno(part);
      v.tableType = isDos ? static_cast<uint8_t>(blkid_partition_get_type(part) & 0xFF) : 0;
      volumes.push_back(v);
    }
  }

  for (auto& v : volumes) {
    const std::vector<std::string> nodes = VolumeNodes(drivePath, v.startByte, root == nullptr);
    for (const auto& node : nodes) {
      std::string mountPoint;
      if (FindDriveLetter(node, mountPoint)) {
        v.devicePath = node;
        break;
      }
    }
    if (v.devicePath.empty() && !nodes.empty()) v.devicePath = nodes.front();
  }
  return volumes;
}

// ---- source keys ---------------------------------------------------------

std::mutex& BoundKeysLock() {
  static std::mutex m;
  return m;
}

std::set<uint16_t>& BoundKeys() {
  static std::set<uint16_t> keys;
  return keys;
}

void RebindKeys(const DiskMap& map, const std::vector<std::string>& drives) {
  std::lock_guard<std::mutex> guard(BoundKeysLock());
  for (uint16_t key : BoundKeys()) UnbindVolumeKey(key);
  BoundKeys().clear();
  for (const auto& [disk, list] : map.disks) {
    for (const auto& record : list) {
      if (record.letterOrNumber == 0) continue;
      VolumeBinding binding;
      binding.devicePath = record.rootPath;
      if (binding.devicePath.empty() && disk >= 0 && static_cast<size_t>(disk) < drives.size())
        binding.devicePath = drives[static_cast<size_t>(disk)];
      binding.mountPoint = record.mountPoint;
      BindVolumeKey(record.letterOrNumber, binding);
      BoundKeys().insert(record.letterOrNumber);
    }
  }
}

void SortByStart(std::vector<PartitionRecord>& list) {
  std::stable_sort(list.begin(), list.end(), [](const PartitionRecord& a, const PartitionRecord& b) {
    return a.startSector < b.startSector;
  });
}

struct DriveFacts {
  bool usable = false;  // opened and its geometry read
  uint32_t sectorSize = 512;
  uint64_t sectors = 0;
};

}  // namespace

std::string FormatDuration(int64_t seconds, const DurationUnits& units) {
  const auto n = [](int64_t value) { return std::to_string(value); };
  if (seconds >= 3600)
    return n(seconds / 3600) + " " + units.hour + " " + n((seconds % 3600) / 60) + " " + units.minute;
  if (seconds >= 60) return n(seconds / 60) + " " + units.minute + " " + n(seconds % 60) + " " + units.second;
  return n(seconds) + " " + units.second;
}

std::string FormatSize(int64_t bytes) {
  constexpr int64_t kKB = 1024, kMB = kKB << 10, kGB = kMB << 10, kTB = kGB << 10;
  char buf[64];
  const double value = static_cast<double>(bytes);
  if (bytes >= kTB) {
    std::snprintf(buf, sizeof buf, "%.2f TB", value / static_cast<double>(kTB));
  } else if (bytes >= kGB) {
    std::snprintf(buf, sizeof buf, "%.2f GB", value / static_cast<double>(kGB));
  } else if (bytes >= kMB) {
    std::snprintf(buf, sizeof buf, "%.2f MB", value / static_cast<double>(kMB));
  } else if (bytes >= kKB) {
    std::snprintf(buf, sizeof buf, "%.2f KB", value / static_cast<double>(kKB));
  } else {
    std::snprintf(buf, sizeof buf, "%" PRId64 " Bytes", bytes);
  }
  return buf;
}

bool FindMountPointIn(const std::string& mountInfoPath, uint64_t deviceNumber, std::string& mountPoint) {
  libmnt_table* table = mnt_new_table_from_file(mountInfoPath.c_str());
  if (table == nullptr) return false;
  bool found = false;
  if (libmnt_fs* entry = mnt_table_find_devno(table, static_cast<dev_t>(deviceNumber), MNT_ITER_FORWARD)) {
    if (const char* target = mnt_fs_get_target(entry)) {
      mountPoint = target;
      found = true;
    }
  }
  mnt_unref_table(table);
  return found;
}

bool FindDriveLetter(const std::string& deviceName, std::string& mountPoint) {
  struct stat st {};
  if (::stat(deviceName.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
  if (FindMountPointIn(kMountInfo, st.st_rdev, mountPoint)) return true;
  // Some file systems (btrfs) show an anonymous device number in the mount
  // table; find those by their source device instead.
  libmnt_table* table = mnt_new_table_from_file(kMountInfo);
  if (table == nullptr) return false;
  bool found = false;
  if (libmnt_fs* entry = mnt_table_find_srcpath(table, deviceName.c_str(), MNT_ITER_FORWARD)) {
    if (const char* target = mnt_fs_get_target(entry)) {
      mountPoint = target;
      found = true;
    }
  }
  mnt_unref_table(table);
  return found;
}

bool QueryVolume(PartitionRecord& record, const VolumeLocation& volume) {
  record = PartitionRecord{};
  FileHandle drive;
  if (OpenReadOnly(volume.drivePath, drive) != kOk) return false;
  const uint32_t sectorSize = volume.sectorSize != 0 ? volume.sectorSize : 512;
  record.kind = RegionKind::kVolume;
  record.diskNumber = volume.diskNumber;
  record.partitionNumber = volume.partitionNumber;
  record.startSector = volume.startByte / sectorSize;
  record.sectorCount = volume.lengthBytes / sectorSize;
  record.partitionType = volume.tableType;
  record.rootPath = volume.devicePath.empty() ? volume.drivePath : volume.devicePath;

  const FileSystemProbe probe =
      ProbeFileSystem(drive.Get(), volume.startByte, volume.lengthBytes, sectorSize);
  if (probe.found) {
    NameFileSystem(probe, record);
    record.volumeLabel = CleanLabel(probe.label);
  } else {
    // A damaged or unknown file system: the entry keeps its table's type
    // byte (0 on GPT), and a deep scan can still be run on it.
    record.fileSystemName = kUnknownFileSystem;
  }

  // A volume that is not mounted has no mount point (and no free space shown).
  if (!volume.devicePath.empty()) (void)FindDriveLetter(volume.devicePath, record.mountPoint);
  struct statvfs st {};
  if (!record.mountPoint.empty() && ::statvfs(record.mountPoint.c_str(), &st) == 0) {
    record.totalBytes = uint64_t{st.f_blocks} * st.f_frsize;
    record.freeBytes = std::min<uint64_t>(uint64_t{st.f_bfree} * st.f_frsize, record.totalBytes);
  } else {
    record.totalBytes = volume.lengthBytes;
    record.freeBytes = 0;
  }
  record.usedBytes = record.totalBytes - record.freeBytes;
  return true;
}

void AddUnallocatedRegions(std::vector<PartitionRecord>& list, int32_t diskNumber, uint64_t firstUsable,
                           uint64_t cylinderSectors, uint64_t diskSectors, uint32_t sectorSize) {
  std::vector<PartitionRecord> regions;
  auto addRegion = [&](uint64_t start, uint64_t count) {
    PartitionRecord r;
    r.kind = RegionKind::kUnallocated;
    r.diskNumber = diskNumber;
    r.startSector = start;
    r.sectorCount = count;
    r.totalBytes = r.freeBytes = count * sectorSize;
    regions.push_back(r);
  };
  uint64_t position = firstUsable;
  for (const auto& record : list) {
    if (record.startSector > position && record.startSector - position > cylinderSectors)
      addRegion(position, record.startSector - position);
    const uint64_t end = record.sectorCount > UINT64_MAX - record.startSector
                             ? UINT64_MAX
                             : record.startSector + record.sectorCount;
    // A record inside an earlier one never moves the position back.
    position = std::max(position, end);
  }
  if (diskSectors > position && diskSectors - position > cylinderSectors)
    addRegion(position, diskSectors - position);
  list.insert(list.end(), regions.begin(), regions.end());
}

void NumberPartitionRecords(DiskMap& map) {
  uint32_t counter = 1;
  for (auto& [disk, list] : map.disks) {
    for (auto& record : list) {
      record.letterOrNumber = static_cast<uint16_t>(counter);
      ++counter;
    }
  }
}

bool EnumeratePartitions(DiskMap& map) {
  map.disks.clear();
  {
    // The mount table stands in for the mount-point manager.
    libmnt_table* table = mnt_new_table_from_file(kMountInfo);
    if (table == nullptr) {
      RebindKeys(map, {});
      return false;
    }
    mnt_unref_table(table);
  }

  const std::vector<std::string> drives = ListDiskDevices();
  const int32_t driveCount = static_cast<int32_t>(std::min<size_t>(drives.size(), kMaxDrives));
  std::vector<DriveFacts> facts(static_cast<size_t>(driveCount));

  for (int32_t disk = 0; disk < driveCount; ++disk) {
    const std::string& path = drives[static_cast<size_t>(disk)];
    DriveFacts& fact = facts[static_cast<size_t>(disk)];
    FileHandle drive;
    if (OpenReadOnly(path, drive) != kOk) continue;
    DriveGeometry geometry;
    if (QueryDriveGeometry(drive, geometry) == kOk && geometry.bytesPerSector != 0) {
      fact.usable = true;
      map.sectorSize = geometry.bytesPerSector;
    }
    fact.sectorSize = map.sectorSize;
    uint64_t length = 0;
    if (QueryDriveLength(drive, length) == kOk && length >= fact.sectorSize) {
      fact.sectors = length / fact.sectorSize;
    } else if (fact.usable) {
      fact.sectors = geometry.cylinders * geometry.tracksPerCylinder * geometry.sectorsPerTrack;
    }
    const auto volumes = ListDriveVolumes(drive, path, disk, fact.sectorSize, fact.sectors * fact.sectorSize);
    for (const auto& volume : volumes) {
      PartitionRecord record;
      // Every entry of a partition table is listed; a table-less drive only
      // when a file system fills it (otherwise it is listed whole below).
      const bool tableEntry = volume.partitionNumber > 0;
      if (QueryVolume(record, volume) && record.diskNumber >= 0 &&
          (tableEntry || record.fileSystemName != kUnknownFileSystem))
        map.disks[disk].push_back(record);
    }
  }

  for (auto& [disk, list] : map.disks) {
    SortByStart(list);
    const DriveFacts& fact = facts[static_cast<size_t>(disk)];
    const uint64_t sectorSize = std::max<uint32_t>(fact.sectorSize, 1);
    AddUnallocatedRegions(list, disk, (kFirstUsableBytes + sectorSize - 1) / sectorSize,
                          kMinGapBytes / sectorSize, fact.usable ? fact.sectors : 0, fact.sectorSize);
  }
  for (int32_t disk = 0; disk < driveCount; ++disk) {
    const DriveFacts& fact = facts[static_cast<size_t>(disk)];
    if (map.disks.count(disk) != 0 || !fact.usable || fact.sectors == 0) continue;
    PartitionRecord whole;
    whole.kind = RegionKind::kWholeDrive;
    whole.diskNumber = disk;
    whole.startSector = 0;
    whole.sectorCount = fact.sectors;
    whole.totalBytes = whole.freeBytes = fact.sectors * fact.sectorSize;
    map.disks[disk].push_back(whole);
  }
  for (auto& [disk, list] : map.disks) SortByStart(list);
  NumberPartitionRecords(map);
  RebindKeys(map, drives);
  return true;
}

bool NextPartitionRecord(const DiskMap& map, PartitionCursor& cursor, PartitionRecord& record) {
  for (auto it = map.disks.lower_bound(cursor.diskNumber); it != map.disks.end(); ++it) {
    if (it->first != cursor.diskNumber) {
      cursor.diskNumber = it->first;
      cursor.index = 0;
    }
    if (cursor.index < it->second.size()) {
      record = it->second[cursor.index++];
      return true;
    }
  }
  return false;
}

}  // namespace velmira
