#include "agent/platform/TempFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

int32_t createPrivateFile(const YString& path, bool& exists) {
  int fd;
  do {
    fd = open(path.data, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  exists = fd < 0 && errno == EEXIST;
  return fd;
}
