#include "agent/platform/TempFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

int32_t createPrivateFile(const YString& path, bool& exists) {
  int fd;
  do {
    fd = open(path.data, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  exists = fd < 0 && errno == EEXIST;
  return fd;
}

int32_t openOwnFileForRead(const YString& path) {
  int fd;
  do {
    fd = open(path.data, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != geteuid()) {
    close(fd);
    return -1;
  }
  // Only opening a FIFO could block; a regular file reads as usual.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

bool replaceFile(const YString& from, const YString& to) { return rename(from.data, to.data) == 0; }
