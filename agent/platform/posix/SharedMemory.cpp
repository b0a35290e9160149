#include "agent/platform/SharedMemory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "agent/platform/posix/KernelObjectNames.h"
#include "agent/support/YString.h"

// An area is a POSIX shared memory object. "Global\X" is "/X", readable and writable by everyone;
// "Local\X" and "X" are "/X.<uid>", for their owner alone.

namespace {

struct ObjectName {
  explicit ObjectName(const char* name) {
    const KernelObjectName split = splitKernelObjectName(name);
    global = split.global;
    path.append('/');
    path.append(split.base);
    if (!global) {
      path.append('.');
      path.appendLong(int64_t(geteuid()));
    }
  }

  bool global;
  YString path;
};

// "Create or open" as the lock files do it: the existing object first, since in the sticky /dev/shm
// the kernel may refuse O_CREAT on another user's object; then a new one, which gets exactly `mode`
// whatever the umask; then the existing one again, made by another process meanwhile.
int openObject(const ObjectName& name, bool& created) {
  const mode_t mode = name.global ? 0666 : 0600;
  created = false;
  int fd = shm_open(name.path.data, O_RDWR, 0);
  if (fd == -1) {
    fd = shm_open(name.path.data, O_RDWR | O_CREAT | O_EXCL, mode);
    if (fd != -1) {
      created = true;
      fchmod(fd, mode);
    } else {
      fd = shm_open(name.path.data, O_RDWR, 0);
    }
  }
  if (fd == -1) return -1;
  // A per-user area that another user owns, or can write, is not this user's.
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
      (!name.global && (status.st_uid != geteuid() || (status.st_mode & 077) != 0))) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

SharedMemoryArea openSharedMemory(const char* name, int32_t size) {
  SharedMemoryArea area{nullptr, false, SharedMemoryFailure::noMapping};
  if (name == nullptr || size <= 0) return area;
  const ObjectName objectName(name);
  const int fd = openObject(objectName, area.isFirst);
  if (fd == -1) return area;
  // Growing is idempotent, so every opener may do it; a fresh object's pages read as zeros.
  struct stat status;
  if (fstat(fd, &status) != 0 || (status.st_size < size && ftruncate(fd, size) != 0)) {
    close(fd);
    return area;
  }
  void* view = mmap(nullptr, size_t(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (view == MAP_FAILED) {
    area.failure = SharedMemoryFailure::noView;
    return area;
  }
  area.view = view;
  area.failure = SharedMemoryFailure::none;
  return area;
}
