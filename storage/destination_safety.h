// The checks a recovery destination passes before a scan starts: it must not
// lie on the medium being scanned (every file written there may take the
// place of a deleted file still to be recovered), and it must be writable
// (a scan may take hours; a folder that cannot take the files should be
// found before it). Devices are compared, never path prefixes: a loop
// device's backing file, bind mounts, partitions of the scanned disk and file
// systems with anonymous device numbers (btrfs, FUSE) are all seen through.
#pragma once

#include <cstdint>
#include <string>

namespace velmira {

// The bytes a scan reads: an image file or a block device, from startByte for
// lengthBytes bytes (0: to the end).
struct ScannedArea {
  std::string path;
  uint64_t startByte = 0;
  uint64_t lengthBytes = 0;
};

// True, with a sentence saying why in `reason`, when the file system holding
// `folder` (or, while it does not exist, its nearest existing parent) keeps
// its data inside `area`: it is the scanned device or a partition of it that
// overlaps the scanned bytes, a device built on those (a loop device over the
// scanned image, device-mapper or md over the scanned partition), or a file
// system whose mount source is one of those. A folder on the same file
// system as a scanned image file is fine: only a mount of the image itself
// conflicts. False when the folder's device cannot be examined.
[[nodiscard]] bool DestinationOnScannedArea(const std::string& folder, const ScannedArea& area,
                                            std::string& reason);

// Creates `folder` with its parents, then creates (O_EXCL), writes, flushes
// and removes a small probe file in it. Returns 0 or the Win32 code of the
// failing step (access denied, write protected, disk full, ...).
[[nodiscard]] int32_t CheckDestinationWritable(const std::string& folder);

}  // namespace velmira
