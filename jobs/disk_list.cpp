#include "jobs/disk_list.h"

#include <algorithm>
#include <climits>

#include "platform/drives.h"
#include "platform/errors.h"
#include "platform/file_handle.h"
#include "platform/message_format.h"
#include "storage/sector_source.h"

namespace velmira {
namespace {

const std::vector<PartitionRecord> kNoRegions;

FactTexts EmptyFacts() {
  return FactTexts(kFactLabels);
}

std::string Joined(const std::string& label, const std::string& value) {
  if (label.empty()) return value;
  if (value.empty()) return label;
  return label + " " + value;
}

}  // namespace

std::string TextOf(const TextSection& section, const std::string& key) {
  const auto it = section.find(key);
  return it == section.end() ? std::string() : it->second;
}

const DriveInfo* DiskSnapshot::Drive(int32_t diskNumber) const {
  if (diskNumber < 0 || static_cast<size_t>(diskNumber) >= drives.size()) return nullptr;
  return &drives[static_cast<size_t>(diskNumber)];
}

std::string DiskSnapshot::DrivePath(int32_t diskNumber) const {
  const DriveInfo* drive = Drive(diskNumber);
  return drive == nullptr ? std::string() : drive->path;
}

std::vector<int32_t> DiskSnapshot::DiskNumbers() const {
  std::set<int32_t> numbers;
  for (const auto& [disk, list] : map.disks)
    if (!list.empty()) numbers.insert(disk);
  // A drive the user may not read is shown too, so that the list says why
  // it is empty.
  for (const DriveInfo& d : drives)
    if (d.openError == kErrAccessDenied) numbers.insert(d.diskNumber);
  return {numbers.begin(), numbers.end()};
}

const std::vector<PartitionRecord>& DiskSnapshot::Regions(int32_t diskNumber) const {
  const auto it = map.disks.find(diskNumber);
  return it == map.disks.end() ? kNoRegions : it->second;
}

const PartitionRecord* DiskSnapshot::FindRegion(const std::string& drivePath, uint64_t startSector) const {
  for (const DriveInfo& d : drives) {
    if (d.path != drivePath) continue;
    for (const PartitionRecord& r : Regions(d.diskNumber))
      if (r.startSector == startSector) return &r;
  }
  return nullptr;
}

DiskSnapshot TakeDiskSnapshot() {
  DiskSnapshot snapshot;
  snapshot.listed = EnumeratePartitions(snapshot.map);
  const std::vector<std::string> paths = ListDiskDevices();
  for (size_t i = 0; i < paths.size() && i < 128; ++i) {
    DriveInfo info;
    info.diskNumber = static_cast<int32_t>(i);
    info.path = paths[i];
    FileHandle handle;
    info.openError = OpenReadOnly(paths[i], handle);
    if (info.openError == kOk) {
      if (QueryDriveLength(handle, info.length) != kOk) info.length = 0;
      handle = FileHandle();
      info.removable = IsRemovableDisk(info.diskNumber);
    }
    snapshot.drives.push_back(std::move(info));
  }
  return snapshot;
}

std::vector<int32_t> ArrivedDisks(const std::set<std::string>& listedPaths, const DiskSnapshot& fresh) {
  std::vector<int32_t> added;
  for (const int32_t disk : fresh.DiskNumbers())
    if (listedPaths.count(fresh.DrivePath(disk)) == 0) added.push_back(disk);
  return added;
}

std::set<std::string> DisksWithLostRegions(const DiskSnapshot& kept, const DiskSnapshot& fresh) {
  std::set<std::string> freshPaths;
  for (const DriveInfo& d : fresh.drives) freshPaths.insert(d.path);
  std::set<std::string> lost;
  for (const int32_t disk : kept.DiskNumbers()) {
    const std::string path = kept.DrivePath(disk);
    if (freshPaths.count(path) == 0) {
      lost.insert(path);
      continue;
    }
    for (const PartitionRecord& r : kept.Regions(disk)) {
      if (fresh.FindRegion(path, r.startSector) == nullptr) {
        lost.insert(path);
        break;
      }
    }
  }
  return lost;
}

std::string SizeText(uint64_t bytes) {
  return FormatSize(static_cast<int64_t>(std::min<uint64_t>(bytes, INT64_MAX)));
}

std::string FileNameOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DeviceText(const PartitionRecord& record, const std::string& drivePath) {
  if (record.kind != RegionKind::kVolume) return drivePath;
  if (!record.rootPath.empty() && record.rootPath != drivePath) return record.rootPath;
  // A volume inside an image file has no device node of its own.
  if (record.partitionNumber > 0)
    return FileNameOf(drivePath) + " #" + std::to_string(record.partitionNumber);
  return drivePath;
}

RowTexts DiskRowTexts(const DriveInfo& drive, const TextSection& messages, const TextSection& window) {
  RowTexts row;
  const std::string title = TextOf(messages, drive.removable ? "MSG0202" : "MSG0201");
  row.name = FormatText("%s %d", {title, drive.diskNumber + 1}) + "  " + drive.path;
  if (drive.openError != kOk) {
    row.type = TextOf(window, kTextNoAccess);
  } else if (drive.length != 0) {
    row.size = SizeText(drive.length);
  }
  return row;
}

RowTexts PartitionRowTexts(const PartitionRecord& record, const std::string& drivePath,
                           const TextSection& window) {
  RowTexts row;
  std::string what;
  switch (record.kind) {
    case RegionKind::kVolume:
      what = DeviceText(record, drivePath);
      if (!record.volumeLabel.empty()) what += "  " + record.volumeLabel;
      break;
    case RegionKind::kUnallocated:
      what = TextOf(window, kTextUnallocated);
      break;
    case RegionKind::kWholeDrive:
      what = TextOf(window, kTextWholeDrive);
      break;
  }
  row.name = FormatText("%d:  %s", {unsigned{record.letterOrNumber}, what});
  row.type = record.fileSystemName;
  row.size = SizeText(record.totalBytes);
  row.mount = record.mountPoint;
  return row;
}

RowTexts ImageRowTexts(const std::string& path, uint64_t size) {
  RowTexts row;
  row.name = path;
  row.size = SizeText(size);
  return row;
}

FactTexts PartitionFacts(const PartitionRecord& record, const std::string& drivePath,
                         const TextSection& messages, const TextSection& window) {
  FactTexts facts = EmptyFacts();
  facts[0] = Joined(TextOf(messages, "MSG0203"), std::to_string(record.letterOrNumber));
  facts[1] = Joined(TextOf(messages, "MSG0204"), record.volumeLabel);
  std::string fs = record.fileSystemName;
  if (record.kind == RegionKind::kUnallocated) fs = TextOf(window, kTextUnallocated);
  if (record.kind == RegionKind::kWholeDrive) fs = TextOf(window, kTextWholeDrive);
  facts[2] = Joined(TextOf(messages, "MSG0205"), fs);
  // An unmounted volume's free space is not known; discovery counts it full.
  const bool known = record.kind != RegionKind::kVolume || !record.mountPoint.empty();
  facts[3] = Joined(TextOf(messages, "MSG0206"), SizeText(record.totalBytes));
  facts[4] = Joined(TextOf(messages, "MSG0207"), known ? SizeText(record.usedBytes) : "-");
  facts[5] = Joined(TextOf(messages, "MSG0208"), known ? SizeText(record.freeBytes) : "-");
  facts[6] = Joined(TextOf(window, kTextDevice), DeviceText(record, drivePath));
  if (record.kind == RegionKind::kVolume) {
    facts[7] = Joined(TextOf(window, kTextMountedOn),
                      record.mountPoint.empty() ? TextOf(window, kTextNotMounted) : record.mountPoint);
  }
  return facts;
}

FactTexts ImageFacts(const std::string& path, uint64_t size, const TextSection& messages) {
  FactTexts facts = EmptyFacts();
  facts[0] = Joined(TextOf(messages, "MSG0209"), path);
  facts[1] = Joined(TextOf(messages, "MSG0210"), SizeText(size));
  return facts;
}

FactTexts DiskFacts(const DriveInfo& drive, const TextSection& messages, const TextSection& window) {
  FactTexts facts = EmptyFacts();
  facts[0] =
      FormatText("%s %d", {TextOf(messages, drive.removable ? "MSG0202" : "MSG0201"), drive.diskNumber + 1});
  if (drive.openError != kOk) {
    facts[2] = TextOf(window, kTextNoAccess);
  } else {
    facts[3] = Joined(TextOf(messages, "MSG0206"), SizeText(drive.length));
  }
  facts[6] = Joined(TextOf(window, kTextDevice), drive.path);
  return facts;
}

}  // namespace velmira
