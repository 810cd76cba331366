// Win32-style result codes used throughout Velmira, the errno mapping onto
// them, and the one table of their English texts.
#pragma once

#include <cstdint>
#include <string>

namespace velmira {

// 0 is success; every other value is a failure. Engines pass kCancelled back
// unchanged so callers can tell a user's cancel from a fault.
enum : int32_t {
  kOk = 0,
  kErrInvalidFunction = 1,
  kErrFileNotFound = 2,
  kErrPathNotFound = 3,
  kErrTooManyOpenFiles = 4,
  kErrAccessDenied = 5,
  kErrInvalidHandle = 6,
  kErrNotEnoughMemory = 8,
  kErrInvalidData = 13,
  kErrWriteProtect = 19,
  kErrNotReady = 21,
  kErrCrc = 23,
  kErrSeek = 25,
  kErrWriteFault = 29,
  kErrReadFault = 30,
  kErrGenFailure = 31,
  kErrSharingViolation = 32,
  kErrHandleEof = 38,
  kErrNotSupported = 50,
  kErrFileExists = 80,
  kErrInvalidParameter = 87,
  kErrDiskFull = 112,
  kErrInsufficientBuffer = 122,
  kErrInvalidName = 123,
  kErrDirNotEmpty = 145,
  kErrBusy = 170,
  kErrAlreadyExists = 183,
  kErrFilenameTooLong = 206,
  kErrBadFileType = 222,  // a source that is neither a regular file nor a block device
  kErrMoreData = 234,
  kErrNoMoreItems = 259,
  kErrIoDevice = 1117,
  kErrFileCorrupt = 1392,  // a file's allocation chain loops or ends before its size
  kCancelled = -9527,
  // The NTFS record decoder's own results, which can reach a user through a
  // failed copy.
  kErrNotFileRecord = -1,        // the record does not start with "FILE"
  kErrAttributeNotFound = -100,  // no attribute of the wanted type
  kErrNoResidentData = -101,     // $DATA is not resident (its runs are used)
  kErrEncryptedContent = -102,   // copied, but as stored: encrypted (EFS) data
  // A copy made whole whose data is likely another file's (a deleted file's
  // first cluster belongs to a file now): the copy is kept, not called a success.
  kErrContentOverwritten = -110,
};

// Whether the failed call was reading or writing: EIO maps to 30 for reads
// and 29 for writes.
enum class IoDirection { kRead, kWrite, kOther };

// Maps an errno value onto the Win32 code. Unknown values give
// kErrGenFailure (31), "A device attached to the system is not functioning."
[[nodiscard]] int32_t ErrorFromErrno(int err, IoDirection direction = IoDirection::kOther);

// ErrorFromErrno(errno, direction) for the calling thread's errno.
[[nodiscard]] int32_t LastError(IoDirection direction = IoDirection::kOther);

// The English text of a code, as the recovery window's status column shows it.
// Every code above has words; a code from nowhere gives "Unknown error N.".
[[nodiscard]] std::string ErrorText(int32_t code);

}  // namespace velmira
