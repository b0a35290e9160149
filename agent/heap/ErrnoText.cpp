#include "agent/heap/ErrnoText.h"

#include <cerrno>

// Keyed by the constants, not by their numbers: from EDEADLK on, the Windows runtime and Linux number
// them differently (ENOTEMPTY is 41 on one and 39 on the other), and each build must name its own.
YString errnoText(int32_t errorNumber) {
  const char* text = "";
  switch (errorNumber) {
    case EPERM: text = "Operation not permitted"; break;
    case ENOENT: text = "No such file or directory"; break;
    case ESRCH: text = "No such process"; break;
    case EINTR: text = "Interrupted function"; break;
    case EIO: text = "I/O error"; break;
    case ENXIO: text = "No such device or address"; break;
    case E2BIG: text = "Argument list too long"; break;
    case ENOEXEC: text = "Exec format error"; break;
    case EBADF: text = "Bad file descriptor"; break;
    case ECHILD: text = "No child processes"; break;
    case EAGAIN: text = "Resource temporarily unavailable"; break;
    case ENOMEM: text = "Cannot allocate memory"; break;
    case EACCES: text = "Permission denied"; break;
    case EFAULT: text = "Bad address"; break;
    case EBUSY: text = "Device or resource busy"; break;
    case EEXIST: text = "File exists"; break;
    case EXDEV: text = "Invalid cross-device link"; break;
    case ENODEV: text = "No such device"; break;
    case ENOTDIR: text = "Not a directory"; break;
    case EISDIR: text = "Is a directory"; break;
    case EINVAL: text = "Invalid argument"; break;
    case ENFILE: text = "Too many open files in system"; break;
    case EMFILE: text = "Too many open files"; break;
    case ENOTTY: text = "Inappropriate I/O control operation"; break;
    case EFBIG: text = "File too large"; break;
    case ENOSPC: text = "No space left on device"; break;
    case ESPIPE: text = "Invalid seek"; break;
    case EROFS: text = "Read-only file system"; break;
    case EMLINK: text = "Too many links"; break;
    case EPIPE: text = "Broken pipe"; break;
    case EDOM: text = "Numerical argument out of domain"; break;
    case ERANGE: text = "Numerical result out of range"; break;
    case EDEADLK: text = "Resource deadlock avoided"; break;
    case ENAMETOOLONG: text = "File name too long"; break;
    case ENOLCK: text = "No locks available"; break;
    case ENOSYS: text = "Function not supported"; break;
    case ENOTEMPTY: text = "Directory not empty"; break;
    default: break;
  }
  return YString(text);
}
