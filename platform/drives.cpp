#include "platform/drives.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/errors.h"

namespace fs = std::filesystem;

namespace velmira {
namespace {

bool NaturalLess(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const bool da = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
    const bool db = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
    if (da && db) {
      size_t ei = i, ej = j;
      while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
      while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
      std::string na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
      na.erase(0, std::min(na.find_first_not_of('0'), na.size()));
      nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size()));
      if (na.size() != nb.size()) return na.size() < nb.size();
      if (na != nb) return na < nb;
      i = ei;
      j = ej;
      continue;
    }
    // Same letter prefix: shorter runs of letters first (sdz before sdaa).
    if (!da && !db) {
      size_t ei = i, ej = j;
      while (ei < a.size() && !std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
      while (ej < b.size() && !std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
      std::string wa = a.substr(i, ei - i), wb = b.substr(j, ej - j);
      if (wa != wb) {
        // Compare the common leading letters that name the device family
        // (sd, vd, nvme, mmcblk) before the drive letters.
        size_t common = 0;
        while (common < wa.size() && common < wb.size() && wa[common] == wb[common]) ++common;
        if (common > 0 && wa.size() != wb.size() && (common >= 2)) return wa.size() < wb.size();
        return wa < wb;
      }
      i = ei;
      j = ej;
      continue;
    }
    return da;  // digits before letters
  }
  return a.size() - i < b.size() - j;
}

std::string ReadSysText(const fs::path& path) {
  std::ifstream in(path);
  std::string text;
  std::getline(in, text);
  return text;
}

bool SysfsDirOf(const FileHandle& handle, fs::path& dir) {
  struct stat st {};
  if (::fstat(handle.Get(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
  fs::path link =
      "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
  std::error_code ec;
  fs::path real = fs::canonical(link, ec);
  if (ec) return false;
  // A partition's folder has a "partition" file; its disk is the parent.
  if (fs::exists(real / "partition", ec)) real = real.parent_path();
  dir = real;
  return true;
}

// The first line of a sysfs attribute without surrounding blanks; empty
// when it is missing or holds nothing printable.
std::string SysAttribute(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return {};
  std::string text = ReadSysText(path);
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(" \t\r\0");
  text = text.substr(first, last - first + 1);
  return text.size() > 256 ? text.substr(0, 256) : text;
}

std::string FileIdentity(const std::string& path) {
  std::error_code ec;
  const fs::path real = fs::canonical(path, ec);
  return ec ? std::string() : "file:" + real.string();
}

}  // namespace

std::string DriveIdentity(const std::string& devicePath) {
  struct stat st {};
  if (::stat(devicePath.c_str(), &st) != 0) return {};
  if (S_ISREG(st.st_mode)) return FileIdentity(devicePath);
  if (!S_ISBLK(st.st_mode)) return {};
  std::error_code ec;
  fs::path dir = fs::canonical(
      "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)), ec);
  if (ec) return {};
  if (fs::exists(dir / "partition", ec)) dir = dir.parent_path();
  if (const std::string backing = SysAttribute(dir / "loop" / "backing_file"); !backing.empty()) {
    std::string id = "file:" + backing;
    const std::string offset = SysAttribute(dir / "loop" / "offset");
    if (!offset.empty() && offset != "0") id += "@" + offset;
    return id;
  }
  for (const char* attribute : {"wwid", "device/wwid"})
    if (const std::string text = SysAttribute(dir / attribute); !text.empty())
      return std::string("wwid:") + text;
  if (const std::string cid = SysAttribute(dir / "device" / "cid"); !cid.empty()) return "cid:" + cid;
  for (const char* attribute : {"serial", "device/serial"})
    if (const std::string text = SysAttribute(dir / attribute); !text.empty()) return "serial:" + text;
  // A USB disk or card reader: the USB device above it carries the serial.
  fs::path up = fs::canonical(dir / "device", ec);
  for (int level = 0; !ec && level < 8 && up.has_parent_path() && up != up.parent_path(); ++level) {
    // Stop below the root hub: its "serial" names the bus, not the device.
    if (up.string().find("/usb") == std::string::npos || up.filename().string().rfind("usb", 0) == 0) break;
    if (const std::string text = SysAttribute(up / "serial"); !text.empty()) return "serial:" + text;
    up = up.parent_path();
  }
  return {};
}

void SortNaturally(std::vector<std::string>& names) {
  std::stable_sort(names.begin(), names.end(), NaturalLess);
}

std::vector<std::string> ListDiskDevicesIn(const std::string& sysBlockDir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(sysBlockDir, ec)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("ram", 0) == 0 || name.rfind("zram", 0) == 0) continue;
    if (name.rfind("loop", 0) == 0) {
      std::error_code e2;
      if (!fs::exists(entry.path() / "loop" / "backing_file", e2)) continue;
    }
    names.push_back(name);
  }
  SortNaturally(names);
  std::vector<std::string> paths;
  paths.reserve(names.size());
  for (const auto& n : names) paths.push_back("/dev/" + n);
  return paths;
}

std::vector<std::string> ListDiskDevices() {
  const char* env = std::getenv("VELMIRA_DRIVES");
  if (env != nullptr && *env != '\0') {
    std::vector<std::string> paths;
    std::string all(env);
    size_t start = 0;
    while (start <= all.size()) {
      size_t end = all.find(':', start);
      if (end == std::string::npos) end = all.size();
      if (end > start) paths.push_back(all.substr(start, end - start));
      start = end + 1;
    }
    return paths;
  }
  return ListDiskDevicesIn("/sys/block");
}

int32_t DiskDevicePath(int32_t diskNumber, std::string& path) {
  if (diskNumber < 0) return kErrFileNotFound;
  std::vector<std::string> drives = ListDiskDevices();
  if (static_cast<size_t>(diskNumber) >= drives.size()) return kErrFileNotFound;
  path = drives[static_cast<size_t>(diskNumber)];
  return kOk;
}

int32_t QueryDriveLength(const FileHandle& handle, uint64_t& length) {
  return HandleLength(handle, length);
}

namespace {

std::atomic<uint32_t> g_sectorSizeOverride{0};

bool IsSectorSize(uint32_t v) {
  return v >= 512 && v <= 65536 && (v & (v - 1)) == 0;
}

uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

bool HasBootSignature(const uint8_t* sector) {
  return sector[510] == 0x55 && sector[511] == 0xAA;
}

// The bytes-per-sector a volume boot sector states, or 0 when `s` (512
// bytes) is none of FAT, NTFS, exFAT.
uint32_t BootSectorSize(const uint8_t* s) {
  if (!HasBootSignature(s)) return 0;
  if (std::memcmp(s + 3, "EXFAT   ", 8) == 0) {
    const uint32_t shift = s[108];
    return shift >= 9 && shift <= 12 ? 1u << shift : 0;
  }
  const uint32_t bps = Le16(s + 11);
  if (!IsSectorSize(bps) || bps > 4096) return 0;
  if (std::memcmp(s + 3, "NTFS    ", 8) == 0) return bps;
  // FAT: a jump, a power-of-two cluster, reserved sectors, one or two tables
  // and a media byte; an MBR's boot code rarely passes all of them.
  const bool jump = (s[0] == 0xEB && s[2] == 0x90) || s[0] == 0xE9;
  const uint32_t spc = s[13];
  const bool fat = jump && spc != 0 && (spc & (spc - 1)) == 0 && Le16(s + 14) != 0 &&
                   (s[16] == 1 || s[16] == 2) && (s[21] == 0xF0 || s[21] >= 0xF8);
  return fat ? bps : 0;
}

// True when the bytes at a partition's start look like a volume: a boot
// sector, or an ext superblock's magic at byte 1,080.
bool LooksLikeVolume(uint64_t offset, bool (*readAt)(void*, uint64_t, uint8_t*, size_t), void* context) {
  std::array<uint8_t, 1084> bytes{};
  if (!readAt(context, offset, bytes.data(), bytes.size())) return false;
  if (BootSectorSize(bytes.data()) != 0) return true;
  return Le16(bytes.data() + 1080) == 0xEF53;
}

bool ReadHandleAt(void* context, uint64_t offset, uint8_t* out, size_t n) {
  size_t done = 0;
  return ReadAt(*static_cast<const FileHandle*>(context), out, n, offset, done) == kOk && done == n;
}

}  // namespace

bool SetSectorSizeOverride(uint32_t bytes) {
  if (bytes != 0 && !IsSectorSize(bytes)) return false;
  g_sectorSizeOverride = bytes;
  return true;
}

uint32_t SectorSizeOverride() {
  return g_sectorSizeOverride;
}

uint32_t SectorSizeFromHead(const uint8_t* head, size_t size, uint64_t fileBytes,
                            bool (*readAt)(void*, uint64_t, uint8_t*, size_t), void* context) {
  for (const uint32_t candidate : {512u, 4096u})
    if (size >= candidate + 8 && std::memcmp(head + candidate, "EFI PART", 8) == 0) return candidate;
  if (size < 512 || !HasBootSignature(head)) return 512;
  if (const uint32_t bps = BootSectorSize(head); bps != 0) return bps;
  if (readAt == nullptr) return 512;
  // An MBR: the unit in which more of its entries lead to a volume.
  int bestScore = 0;
  uint32_t best = 512;
  for (const uint32_t unit : {512u, 4096u}) {
    int score = 0;
    for (int i = 0; i < 4; ++i) {
      const uint8_t* entry = head + 446 + 16 * i;
      const uint32_t start = Le32(entry + 8);
      if (entry[4] == 0 || start == 0) continue;
      const uint64_t offset = uint64_t{start} * unit;
      if (offset + 1084 <= fileBytes && LooksLikeVolume(offset, readAt, context)) ++score;
    }
    if (score > bestScore) {
      bestScore = score;
      best = unit;
    }
  }
  return best;
}

uint32_t ImageSectorSize(const FileHandle& handle) {
  uint64_t length = 0;
  if (HandleLength(handle, length) != kOk) return 512;
  std::array<uint8_t, 4096 + 512> head{};
  size_t done = 0;
  if (ReadAt(handle, head.data(), static_cast<size_t>(std::min<uint64_t>(head.size(), length)), 0, done) !=
      kOk)
    return 512;
  return SectorSizeFromHead(head.data(), done, length, &ReadHandleAt,
                            const_cast<void*>(static_cast<const void*>(&handle)));
}

int32_t QueryDriveGeometry(const FileHandle& handle, DriveGeometry& geometry) {
  geometry = DriveGeometry{};
  struct stat st {};
  if (::fstat(handle.Get(), &st) != 0) return LastError();
  if (S_ISBLK(st.st_mode)) {
    int size = 0;
    if (::ioctl(handle.Get(), BLKSSZGET, &size) != 0) return LastError();
    if (size > 0) geometry.bytesPerSector = static_cast<uint32_t>(size);
    fs::path dir;
    if (SysfsDirOf(handle, dir) && ReadSysText(dir / "removable") == "1")
      geometry.mediaType = kRemovableMedia;
  } else if (S_ISREG(st.st_mode)) {
    geometry.bytesPerSector = ImageSectorSize(handle);
  } else {
    return kErrInvalidFunction;
  }
  if (const uint32_t forced = SectorSizeOverride(); forced != 0) geometry.bytesPerSector = forced;
  uint64_t length = 0;
  int32_t err = HandleLength(handle, length);
  if (err != kOk) return err;
  const uint64_t perCylinder = uint64_t{255} * 63 * geometry.bytesPerSector;
  geometry.cylinders = length / perCylinder;
  return kOk;
}

BusType QueryBusType(const FileHandle& handle) {
  fs::path dir;
  if (!SysfsDirOf(handle, dir)) return kBusTypeUnknown;
  if (dir.filename().string().rfind("mmcblk", 0) == 0) return kBusTypeSd;
  if (dir.string().find("/usb") != std::string::npos) return kBusTypeUsb;
  return kBusTypeUnknown;
}

}  // namespace velmira
