#include "agent/platform/InterProcessMutex.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "agent/platform/posix/KernelObjectNames.h"
#include "agent/support/YString.h"

// A named mutex is a flock on a lock file named after it; the kernel drops the flock when its holder
// dies, which is the takeover of an abandoned mutex. A flock belongs to the open file description, not
// to a thread, so each lock file is opened once per process and the entry of that file adds what the
// flock lacks: exclusion between threads, an owning thread and a depth for recursion. The entries live
// until the process ends, like the handles of the mutexes that point to them.

namespace {

// "Global\X" is "/tmp/X.mutex", shared by every user (not $TMPDIR, which differs between users);
// "Local\X" and "X" are "X.mutex" in "/tmp/tallyscope-<uid>".
struct LockFileName {
  explicit LockFileName(const char* name) {
    const KernelObjectName split = splitKernelObjectName(name);
    global = split.global;
    file = split.base;
    file.append(".mutex");
    directory.append(global ? "/tmp" : "/tmp/tallyscope-");
    if (!global) directory.appendLong(int64_t(geteuid()));
    path = directory;
    path.append("/");
    path.append(file);
  }

  bool global;
  YString directory;
  YString file;
  YString path;
};

// Opens `file` in `directory` as "create or open" does: the existing file first, because in a sticky
// world-writable directory the kernel refuses O_CREAT on another user's file; then a new one, which
// gets exactly `mode` whatever the umask; then the existing file again, which another process created
// meanwhile. Never through a symlink, never inherited by programs that children exec, and only a
// regular file: a fifo or device planted under the name is refused without waiting on it.
int openIn(int directory, const char* file, mode_t mode) {
  const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  int fd = openat(directory, file, flags);
  if (fd == -1) {
    fd = openat(directory, file, flags | O_CREAT | O_EXCL, mode);
    if (fd != -1) {
      fchmod(fd, mode);
    } else {
      fd = openat(directory, file, flags);
    }
  }
  struct stat status;
  if (fd != -1 && (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))) {
    close(fd);
    return -1;
  }
  return fd;
}

// The per-user directory is created owner-only when missing (exactly so: a wide umask would lock the
// owner out), and used only when it is a real directory (not a symlink) of the current user that nobody
// else can write into. In sticky /tmp nobody else can replace a directory this user has just made.
int openLockFile(const LockFileName& name) {
  if (name.global) return openIn(AT_FDCWD, name.path.data, 0666);
  if (mkdir(name.directory.data, 0700) == 0) chmod(name.directory.data, 0700);
  const int directory = open(name.directory.data, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (directory == -1) return -1;
  struct stat status;
  int fd = -1;
  if (fstat(directory, &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == geteuid() &&
      (status.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
    fd = openIn(directory, name.file.data, 0600);
  }
  close(directory);
  return fd;
}

// Whether the name still leads to the file that `fd` holds open. A lock file removed meanwhile (by a
// cleaner of /tmp) leaves this process with a file that other processes no longer meet.
bool stillNamed(const LockFileName& name, int fd) {
  struct stat named;
  struct stat opened;
  return lstat(name.path.data, &named) == 0 && fstat(fd, &opened) == 0 && named.st_dev == opened.st_dev &&
         named.st_ino == opened.st_ino;
}

struct LockFile {
  LockFileName name;
  int fd;
  pthread_mutex_t threads;  // recursive and robust: a thread that ends while holding it gives it up
  std::atomic<pthread_t> owner;
  int32_t depth;  // the owner's lock count; `fd` and `depth` change only with `threads` held
  LockFile* next;
};

pthread_mutex_t registryLock = PTHREAD_MUTEX_INITIALIZER;
LockFile* registry = nullptr;

LockFile* findOrOpen(const char* mutexName) {
  LockFileName name(mutexName);
  pthread_mutex_lock(&registryLock);
  LockFile* entry = registry;
  while (entry != nullptr && !entry->name.path.equals(name.path)) entry = entry->next;
  if (entry == nullptr) {
    const int fd = openLockFile(name);
    if (fd != -1) {
      entry = new LockFile{name, fd, {}, {}, 0, registry};
      pthread_mutexattr_t attributes;
      pthread_mutexattr_init(&attributes);
      pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
      pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
      pthread_mutex_init(&entry->threads, &attributes);
      pthread_mutexattr_destroy(&attributes);
      registry = entry;
    }
  }
  pthread_mutex_unlock(&registryLock);
  return entry;
}

// Takes the flock, on the file that the name leads to now. When that file cannot be opened any more,
// the flock on the old one is all there is.
void lockFile(LockFile* entry) {
  for (;;) {
    while (flock(entry->fd, LOCK_EX) == -1 && errno == EINTR) {
    }
    if (stillNamed(entry->name, entry->fd)) return;
    const int current = openLockFile(entry->name);
    if (current == -1) return;
    close(entry->fd);
    entry->fd = current;
  }
}

}  // namespace

InterProcessMutex::InterProcessMutex(const char* name) : handle(nullptr) {
  if (name == nullptr) assertionFailed("assertion failed: value is NULL", "InterProcessMutex", __LINE__);
  handle = findOrOpen(name);
}

void InterProcessMutex::lock() {
  LockFile* entry = static_cast<LockFile*>(handle);
  if (entry == nullptr) return;
  const int result = pthread_mutex_lock(&entry->threads);
  if (result == EOWNERDEAD) {
    // A thread ended while holding it: its flock is still ours (the file description is shared), so
    // taking over means starting the count afresh.
    pthread_mutex_consistent(&entry->threads);
    entry->depth = 0;
  } else if (result != 0) {
    return;
  }
  entry->owner.store(pthread_self(), std::memory_order_relaxed);
  if (entry->depth == 0) lockFile(entry);
  entry->depth++;
}

void InterProcessMutex::unlock() {
  LockFile* entry = static_cast<LockFile*>(handle);
  if (entry == nullptr || !pthread_equal(entry->owner.load(std::memory_order_relaxed), pthread_self())) return;
  if (--entry->depth == 0) {
    entry->owner.store(pthread_t(), std::memory_order_relaxed);
    flock(entry->fd, LOCK_UN);
  }
  pthread_mutex_unlock(&entry->threads);
}
