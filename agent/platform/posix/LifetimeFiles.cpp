#include "agent/platform/LifetimeFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <errno.h>

int64_t createProcessLifetimeFile(const YString& path) {
  // The name holds this process's identifier, so a file there is a leftover of an ended process that had
  // it before. Exclusive creation then never follows a link planted under the name.
  unlink(path.data);
  const int fd = open(path.data, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd == -1) return -1;
  fchmod(fd, 0644);
  return fd;
}

bool replaceLifetimeFileContent(int64_t file, const YString& text) {
  const int fd = int(file);
  if (ftruncate(fd, 0) != 0) return false;
  off_t offset = 0;
  while (offset < text.length) {
    const ssize_t written = pwrite(fd, text.data + offset, size_t(text.length - offset), offset);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    offset += written;
  }
  return true;
}

bool readSharedFile(const YString& path, int32_t limit, YString& text) {
  text = YString();
  const int fd = open(path.data, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd == -1) return false;
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    return false;
  }
  char buffer[4096];
  while (text.length < limit) {
    const ssize_t count = read(fd, buffer, sizeof(buffer));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    text.append(YString::copyOf(buffer, int32_t(count < limit - text.length ? count : limit - text.length)));
  }
  close(fd);
  return true;
}
