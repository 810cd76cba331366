// What a deep scan's log folder was made of. Drive and region numbers
// change when drives come and go, and the desktop numbers images in the
// order they are loaded, so a folder names its source by what lasts: the
// drive's own identity with the region's start and length, or the image's
// canonical path, size and last-write time; and for both the length and a
// hash of the first 64 KiB, which tells one card from another in the same
// slot. The scan's own logs are listed too, since the folder may also hold
// logs of other sources.
//
// It is kept in the file "source" of the log folder, text of "key=value"
// lines (values %XX-escaped), replaced through "source.tmp" (written,
// fsync'ed, renamed).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmira {

inline constexpr size_t kSourceHeadBytes = 65536;

struct SourceIdentity {
  enum class Kind { kNone, kPartition, kImage };
  Kind kind = Kind::kNone;
  // DriveIdentity of the drive (empty when it tells none; for an image,
  // set only when the "image" is a block device), and for partitions the
  // region in the drive's sectors.
  std::string drive;
  uint64_t startSector = 0;
  uint64_t sectorCount = 0;
  // Images: canonical absolute path and last-write FILETIME (0 for a block
  // device).
  std::string imagePath;
  uint64_t imageWriteTime = 0;
  // Both: the length in bytes, and FNV-1a (64 bits) of the first headBytes
  // bytes (up to 64 KiB; fewer when the source is shorter or a read failed).
  uint64_t bytes = 0;
  uint64_t headBytes = 0;
  uint64_t headHash = 0;
  // The scan's main log names in its folder.
  std::vector<std::string> logs;
};

// The identity of a region of disk diskNumber (sectorCount 0: to
// the end of the drive), read from the drive now. Kind kNone when the drive
// cannot be opened.
[[nodiscard]] SourceIdentity PartitionSourceIdentity(int32_t diskNumber, uint64_t startSector,
                                                     uint64_t sectorCount);
// The identity of an image file as it is now. Kind kNone when it cannot be
// opened.
[[nodiscard]] SourceIdentity ImageSourceIdentity(const std::string& path);

// True when `stored` and `current` describe the same source (the log lists
// are not compared). Two partitions of which one has no drive identity agree
// on the drive; the caller compares drive numbers then.
[[nodiscard]] bool SameSource(const SourceIdentity& stored, const SourceIdentity& current);

// The log of `identity` whose name starts with `prefix`, or empty.
[[nodiscard]] std::string LoggedName(const SourceIdentity& identity, std::string_view prefix);

// Writes `folder`/source (folder with or without trailing "/") through a
// temporary file. Returns 0 or the Win32 code.
[[nodiscard]] int32_t WriteSourceIdentity(const std::string& folder, const SourceIdentity& identity);

// Reads `folder`/source. False when it is missing, too long or damaged.
[[nodiscard]] bool ReadSourceIdentity(const std::string& folder, SourceIdentity& identity);

// True when `folder` holds a "source" file, readable or not: a folder
// written since identities exist.
[[nodiscard]] bool HasSourceIdentity(const std::string& folder);

}  // namespace velmira
