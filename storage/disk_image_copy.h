// Copies a whole drive, or a stretch of its sectors, into an image file that
// can be scanned instead of the medium. The source is opened read-only; the
// image is written only to a regular file that does not lie on the source.
// A read error stops the copy at once: a failing card is read once, front to
// back, and the image keeps every sector read before the fault.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file_handle.h"
#include "platform/time_util.h"
#include "storage/sector_source.h"

namespace velmira {

// Called after every 64 KiB piece: percent (0..100), sectors copied, sectors
// in total, and the estimated seconds left (-1 until the first estimate,
// which comes after five seconds). A non-zero return stops the copy, which
// returns that value (kCancelled when the user cancels).
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
  // Sectors written to the image so far; after a read or write error, the
  // exact number the partial image holds.
  uint64_t sectorsDone = 0;
  // Milliseconds of a monotonic clock; tests step it by hand.
  uint64_t (*clock)() = &TickCountMs;
};

// Why an image target is refused. Only the first problem found is given.
enum class ImageTargetProblem {
  kNone,
  kNotAFile,        // an existing target that is a folder or a device
  kIsSource,        // the target is the source itself
  kOnSource,        // the target lies on a file system stored on the source drive
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

// Opens PhysicalDrive N read-only, reads its sector size, works out a zero
// sectorCount, checks that the stretch lies on the drive (87 otherwise) and
// that the target is not the source (5), and creates or truncates the image.
// progress is kept as the caller set it. Returns 0 or the failing call's code.
[[nodiscard]] int32_t OpenImageJob(ImageJob& job, const std::string& imagePath, int32_t diskNumber,
                                   uint64_t startSector, uint64_t sectorCount, void* userData);
// The same for a source given by its path (a block device or an image file).
[[nodiscard]] int32_t OpenImageJobOnPath(ImageJob& job, const std::string& imagePath,
                                         const std::string& sourcePath, uint64_t startSector,
                                         uint64_t sectorCount, void* userData);

// Copies the open job's sectors in 64 KiB pieces, reporting after each, and
// flushes the image. Returns 0, the first read (30) or write error, or the
// callback's non-zero answer. Nothing is retried, skipped or zero-filled.
[[nodiscard]] int32_t RunImageJob(ImageJob& job);

// Closes the drive and the image; returns the image's close error, if any.
int32_t CloseImageJob(ImageJob& job);

// OpenImageJob + RunImageJob + CloseImageJob. The image is left as far as it
// was written after an error or a cancel.
[[nodiscard]] int32_t CopyToImage(ImageJob& job, int32_t diskNumber, uint64_t startSector,
                                  uint64_t sectorCount, const std::string& imagePath, void* userData);
[[nodiscard]] int32_t CopyPathToImage(ImageJob& job, const std::string& sourcePath, uint64_t startSector,
                                      uint64_t sectorCount, const std::string& imagePath, void* userData);

}  // namespace velmira
