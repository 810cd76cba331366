// Disk N: the numbered list of whole-disk block devices,
// and the geometry, length and bus queries the storage layer asks of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_handle.h"

namespace velmira {

enum MediaType : uint32_t { kRemovableMedia = 11, kFixedMedia = 12 };
enum BusType : uint32_t { kBusTypeUnknown = 0, kBusTypeUsb = 7, kBusTypeSd = 12 };

struct DriveGeometry {
  uint64_t cylinders = 0;
  uint32_t mediaType = kFixedMedia;
  uint32_t tracksPerCylinder = 255;
  uint32_t sectorsPerTrack = 63;
  uint32_t bytesPerSector = 512;
};

// The device paths that disk 0, 1, ... stand for. VELMIRA_DRIVES
// (paths separated by ':') replaces the list when it is set and not empty;
// otherwise the whole disks under /sys/block in natural name order.
[[nodiscard]] std::vector<std::string> ListDiskDevices();

// The same list read from a sysfs "block" folder (tests pass a fake tree).
[[nodiscard]] std::vector<std::string> ListDiskDevicesIn(const std::string& sysBlockDir);

// Orders names as people count them: sda < sdb < sdz < sdaa, nvme0n1 < nvme0n2 < nvme1n1.
void SortNaturally(std::vector<std::string>& names);

// Path of disk N; kErrFileNotFound when there is no such drive.
[[nodiscard]] int32_t DiskDevicePath(int32_t diskNumber, std::string& path);

// What a drive says it is, lasting across renumbering and reboots: "wwid:"
// its World Wide Name, "cid:" an SD card's own card ID, "serial:" the serial
// of the disk or of the USB device it hangs on, or "file:" and the
// canonical path of a drive that is a file (a loop device: its backing
// file, with "@offset" when it has one). Empty when the device tells none.
[[nodiscard]] std::string DriveIdentity(const std::string& devicePath);

// Geometry of an open drive or image: the sector size is the override when
// one is set, else BLKSSZGET for a block device and ImageSectorSize for a
// regular file; 255 heads, 63 sectors per track, cylinders from the length,
// and RemovableMedia when sysfs says the disk is removable.
[[nodiscard]] int32_t QueryDriveGeometry(const FileHandle& handle, DriveGeometry& geometry);

// The sector size an image file's own bytes imply: a GPT header ("EFI PART")
// at byte 512 or 4096; a FAT, NTFS or exFAT boot sector at its start (its
// bytes-per-sector field); an MBR whose entries, counted in 4096-byte
// sectors, lead to more recognisable volumes than counted in 512-byte ones.
// 512 otherwise, and when the file cannot be read.
[[nodiscard]] uint32_t ImageSectorSize(const FileHandle& handle);
// The same test on the first bytes of an image (at least 8,192 for the GPT
// test at 4096) and a way to read a few bytes further in (for the MBR test);
// `readAt` may be empty.
[[nodiscard]] uint32_t SectorSizeFromHead(const uint8_t* head, size_t size, uint64_t fileBytes,
                                          bool (*readAt)(void* context, uint64_t offset, uint8_t* out,
                                                         size_t n),
                                          void* context);

// A sector size that replaces what the kernel or an image's contents say,
// for every drive and image this process opens (velmira-cli --sector-size);
// 0 removes it. True when `bytes` is 0 or a power of two from 512 to 65,536.
bool SetSectorSizeOverride(uint32_t bytes);
[[nodiscard]] uint32_t SectorSizeOverride();

// Length in bytes of an open drive or image file.
[[nodiscard]] int32_t QueryDriveLength(const FileHandle& handle, uint64_t& length);

// USB when the device's sysfs path runs through a USB bus, SD for mmcblk
// devices, else unknown. Regular files are unknown.
[[nodiscard]] BusType QueryBusType(const FileHandle& handle);

}  // namespace velmira
