#include "platform/errors.h"

#include <cerrno>

namespace velmira {

int32_t ErrorFromErrno(int err, IoDirection direction) {
  switch (err) {
    case 0:
      return kOk;
    case ENOENT:
      return kErrFileNotFound;
    case ENOTDIR:
      return kErrPathNotFound;
    case ELOOP:
      return kErrPathNotFound;
    case EACCES:
    case EPERM:
      return kErrAccessDenied;
    case EROFS:
      return kErrWriteProtect;
    case ENOMEM:
      return kErrNotEnoughMemory;
    case EIO:
      return direction == IoDirection::kWrite ? kErrWriteFault : kErrReadFault;
    case EEXIST:
      return kErrAlreadyExists;
    case EINVAL:
      return kErrInvalidParameter;
    case ENOSPC:
    case EDQUOT:
      return kErrDiskFull;
    case EBADF:
      return kErrInvalidHandle;
    case EMFILE:
    case ENFILE:
      return kErrTooManyOpenFiles;
    case ENAMETOOLONG:
      return kErrFilenameTooLong;
    case ENOTEMPTY:
      return kErrDirNotEmpty;
    case EBUSY:
      return kErrBusy;
    case ENXIO:
    case ENODEV:
    case ENOMEDIUM:
      return kErrNotReady;
    case ESPIPE:
      return kErrSeek;
    case EISDIR:
      return kErrAccessDenied;
    case EFBIG:
      return kErrDiskFull;
    case EOPNOTSUPP:
      return kErrNotSupported;
    default:
      return kErrGenFailure;
  }
}

int32_t LastError(IoDirection direction) {
  return ErrorFromErrno(errno, direction);
}

std::string ErrorText(int32_t code) {
  switch (code) {
    case kOk:
      return "The operation completed successfully.";
    case kErrInvalidFunction:
      return "Incorrect function.";
    case kErrFileNotFound:
      return "The system cannot find the file specified.";
    case kErrPathNotFound:
      return "The system cannot find the path specified.";
    case kErrTooManyOpenFiles:
      return "The system cannot open the file.";
    case kErrAccessDenied:
      return "Access is denied.";
    case kErrInvalidHandle:
      return "The handle is invalid.";
    case kErrNotEnoughMemory:
      return "Not enough memory resources are available to process this command.";
    case kErrInvalidData:
      return "The data is invalid.";
    case kErrWriteProtect:
      return "The media is write protected.";
    case kErrNotReady:
      return "The device is not ready.";
    case kErrCrc:
      return "Data error (cyclic redundancy check).";
    case kErrSeek:
      return "The drive cannot locate a specific area or track on the disk.";
    case kErrWriteFault:
      return "The system cannot write to the specified device.";
    case kErrReadFault:
      return "The system cannot read from the specified device.";
    case kErrGenFailure:
      return "A device attached to the system is not functioning.";
    case kErrSharingViolation:
      return "The process cannot access the file because it is being used by another process.";
    case kErrHandleEof:
      return "Reached the end of the file.";
    case kErrNotSupported:
      return "The request is not supported.";
    case kErrFileExists:
      return "The file exists.";
    case kErrInvalidParameter:
      return "The parameter is incorrect.";
    case kErrDiskFull:
      return "There is not enough space on the disk.";
    case kErrInsufficientBuffer:
      return "The data area passed to a system call is too small.";
    case kErrInvalidName:
      return "The filename, directory name, or volume label syntax is incorrect.";
    case kErrDirNotEmpty:
      return "The directory is not empty.";
    case kErrBusy:
      return "The requested resource is in use.";
    case kErrAlreadyExists:
      return "Cannot create a file when that file already exists.";
    case kErrFilenameTooLong:
      return "The filename or extension is too long.";
    case kErrMoreData:
      return "More data is available.";
    case kErrNoMoreItems:
      return "No more data is available.";
    case kErrBadFileType:
      return "This is neither a disk nor an image file (not a regular file or block device).";
    case kErrIoDevice:
      return "The request could not be performed because of an I/O device error.";
    case kErrFileCorrupt:
      return "The file is damaged: its cluster chain loops or ends before the file does.";
    case kCancelled:
      return "The operation was canceled by the user.";
    case kErrNotFileRecord:
      return "The file's record is damaged (it is not a file record).";
    case kErrAttributeNotFound:
      return "The file's record holds no data for it.";
    case kErrNoResidentData:
      return "The file's data could not be located.";
    case kErrEncryptedContent:
      return "The file is encrypted (EFS): its bytes were copied as stored and cannot be read without the "
             "owner's key.";
    case kErrContentOverwritten:
      return "Copied, but the file's first cluster now belongs to another file: its content is most likely "
             "overwritten.";
    default:
      return "Unknown error " + std::to_string(code) + ".";
  }
}

}  // namespace velmira
