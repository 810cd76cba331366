// Copies a whole drive, or a stretch of its sectors, into an image file that
// can be scanned instead of the medium. The source is opened read-only; the
// image is written only to a regular file that does not lie on the source.
//
// A failing medium is copied the way rescue tools copy it: the healthy parts
// first, in large sequential reads; a read that fails is tried once more, and
// then the copy skips ahead (the step doubling while the reads keep failing),
// so that the good data past a damaged area is safe before any time goes
// into the damage. Afterwards the skipped areas are read in small pieces, and
// the failed blocks are trimmed from their edges and scraped sector by
// sector. A sector that stays unreadable holds zeros in the image. The map
// beside the image (IMAGE.map, in GNU ddrescue's mapfile format, positions
// being offsets in the image) records what is copied, left and bad, so that
// an interrupted copy can go on where it stopped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_handle.h"
#include "platform/time_util.h"
#include "storage/rescue_map.h"
#include "storage/sector_source.h"

namespace velmira {

// Called after every large read, and at least every quarter second while
// sectors are read one by one: percent (0..100), sectors settled (copied or
// found unreadable), sectors in total, and the estimated seconds left (-1
// until the first estimate, which comes after five seconds). The job's
// badSectors and bytesPerSecond tell the rest. A non-zero return stops the
// copy, which returns that value (kCancelled when the user cancels); the map
// is saved first.
using ImageProgressCallback = int32_t (*)(void* userData, int32_t percent, uint64_t sectorsDone,
                                          uint64_t sectorsTotal, int32_t secondsLeft);

// One copy in progress.
struct ImageJob {
  uint32_t sectorSize = 512;  // the drive's bytes per sector
  uint64_t startSector = 0;   // first sector copied
  uint64_t sectorCount = 0;   // sectors to copy; 0 asks for the rest of the drive
  SectorSource drive;         // the source, read-only
  FileHandle image;           // the image file
  ImageProgressCallback progress = nullptr;
  void* userData = nullptr;
  // Sectors settled so far: copied, or given up as unreadable.
  uint64_t sectorsDone = 0;
  // Sectors that could not be read; they hold zeros in the image.
  uint64_t badSectors = 0;
  // Bytes copied per second in this run, from the first estimate on (0 before).
  uint64_t bytesPerSecond = 0;
  // Bytes one read asks for on a healthy stretch. Kept by Open...
  uint32_t readBytes = 1u << 20;
  // Continue the copy that the map beside the image records, instead of
  // starting a new one. Set before Open...; kept by it.
  bool resume = false;
  // Where the map goes (set by Open... to IMAGE.map; empty keeps none), how
  // often it is saved while the copy runs, and the map itself.
  std::string mapPath;
  uint64_t mapEveryMs = 5000;
  RescueMap map;
  // Lines for the map's heading comments (the source, the command).
  std::vector<std::string> mapComments;
  // Milliseconds of a monotonic clock; tests step it by hand.
  uint64_t (*clock)() = &TickCountMs;
};

// IMAGE.map: where the map of a copy into `imagePath` goes.
[[nodiscard]] std::string ImageMapPath(const std::string& imagePath);

// Reads the map of an earlier copy. 0 and the map; kErrFileNotFound when
// there is none; kErrInvalidData with a reason when it is not a map, does not
// cover `bytes` bytes (0: any size) or has blocks that do not fall on
// `sectorSize`-byte sectors (0: not checked).
[[nodiscard]] int32_t LoadImageMap(const std::string& mapPath, uint64_t bytes, uint32_t sectorSize,
                                   RescueMap& map, std::string& reason);

// True when a map beside `imagePath` records a copy that is not finished.
[[nodiscard]] bool HasUnfinishedImageMap(const std::string& imagePath);

// Why an image target is refused. Only the first problem found is given.
enum class ImageTargetProblem {
  kNone,
  kNotAFile,          // an existing target that is a folder or a device
  kIsSource,          // the target is the source itself
  kOnSource,          // the target lies on a file system stored on the source drive
  kTooLargeForFat32,  // the target is on FAT32 and the copy is 4 GiB or larger
  kTooLargeForFat,    // the target is on FAT12/16 and the copy is larger than 2 GiB
  kNoSpace,           // the target's file system has less free space than the copy needs
};

// Checks a target before a copy of `bytes` bytes from `sourcePath` (a drive
// or image file), in the order of the list above. The first three problems
// are also enforced by OpenImageJob; the others are advice a front end gives
// before it starts. A FAT file system counts as FAT32 when it has 65,525
// clusters or more (statfs reports its clusters as blocks).
[[nodiscard]] ImageTargetProblem CheckImageTarget(const std::string& sourcePath, const std::string& imagePath,
                                                  uint64_t bytes);
// The FAT part of that check for a target file system of `clusterCount`
// clusters: kTooLargeForFat32, kTooLargeForFat or kNone.
[[nodiscard]] ImageTargetProblem CheckFatTarget(uint64_t clusterCount, uint64_t bytes);

// Opens disk N read-only, reads its sector size, works out a zero
// sectorCount, checks that the stretch lies on the drive (87 otherwise) and
// that the target is not the source (5), and creates or truncates the image
// and starts a new map. With job.resume the image must exist (2 otherwise)
// and the map is read instead (2 when missing, 13 when it is not the map of
// this stretch). progress, readBytes, resume, mapEveryMs and mapComments are
// kept as the caller set them. Returns 0 or the failing call's code.
[[nodiscard]] int32_t OpenImageJob(ImageJob& job, const std::string& imagePath, int32_t diskNumber,
                                   uint64_t startSector, uint64_t sectorCount, void* userData);
// The same for a source given by its path (a block device or an image file).
[[nodiscard]] int32_t OpenImageJobOnPath(ImageJob& job, const std::string& imagePath,
                                         const std::string& sourcePath, uint64_t startSector,
                                         uint64_t sectorCount, void* userData);

// Copies what the map says is left (all of it for a new job), reporting as it
// goes, and flushes the image and saves the map. Read errors do not stop the
// copy: it returns 0 when every sector is settled, with job.badSectors
// counting those that could not be read. Otherwise the first write error or
// map-saving error, a read error that is not the medium's (the drive gone:
// 21), or the callback's non-zero answer. A job opened by hand
// without a map of its size starts a new one.
[[nodiscard]] int32_t RunImageJob(ImageJob& job);

// Closes the drive and the image; returns the image's close error, if any.
int32_t CloseImageJob(ImageJob& job);

// OpenImageJob + RunImageJob + CloseImageJob. The image is left as far as it
// was written after an error or a cancel, and the map says how far that is.
[[nodiscard]] int32_t CopyToImage(ImageJob& job, int32_t diskNumber, uint64_t startSector,
                                  uint64_t sectorCount, const std::string& imagePath, void* userData);
[[nodiscard]] int32_t CopyPathToImage(ImageJob& job, const std::string& sourcePath, uint64_t startSector,
                                      uint64_t sectorCount, const std::string& imagePath, void* userData);

}  // namespace velmira
