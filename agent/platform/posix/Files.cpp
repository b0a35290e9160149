#include "agent/platform/Files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Descriptors are never inherited by the programs the JVM starts. A directory is refused as Windows
// refuses it, so that reading one never looks like reading an empty file.
int32_t openWith(const YString& path, int flags) {
  int fd;
  do {
    fd = open(path.data, flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat status;
  if (fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
    close(fd);
    return -1;
  }
  return fd;
}

// Flags of a C library mode text: "r", "w" or "a", then any of "+", "b" and "t"; -1 for anything else.
int flagsOfMode(const char* mode) {
  if (mode == nullptr) return -1;
  int flags;
  switch (mode[0]) {
    case 'r': flags = O_RDONLY; break;
    case 'w': flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW; break;
    case 'a': flags = O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW; break;
    default: return -1;
  }
  for (const char* c = mode + 1; *c != 0; c++) {
    if (*c == '+') {
      flags = (flags & ~(O_WRONLY | O_RDONLY)) | O_RDWR;
    } else if (*c != 'b' && *c != 't') {
      return -1;
    }
  }
  return flags;
}

}  // namespace

int32_t openFileForWrite(const YString& path) { return openWith(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW); }

int32_t openFileCreateNew(const YString& path) { return openWith(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW); }

int32_t openFileReadWrite(const YString& path) { return openWith(path, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW); }

int32_t openExistingFileForWrite(const YString& path) { return openWith(path, O_WRONLY | O_NOFOLLOW); }

int32_t openFileForRead(const YString& path) { return openWith(path, O_RDONLY); }

FILE* openFileStream(const YString& path, const char* mode) {
  const int flags = flagsOfMode(mode);
  if (flags < 0) return nullptr;
  const int32_t fd = openWith(path, flags);
  if (fd < 0) return nullptr;
  FILE* stream = fdopen(fd, mode);
  if (stream == nullptr) close(fd);
  return stream;
}

bool deleteFile(const YString& path) { return unlink(path.data) == 0; }

int32_t readFile(int32_t fd, void* buffer, int32_t count) {
  if (count < 0) return -1;
  ssize_t n;
  do {
    n = read(fd, buffer, size_t(count));
  } while (n < 0 && errno == EINTR);
  return int32_t(n);
}

bool writeFile(int32_t fd, const void* data, int32_t count) {
  if (count < 0) return false;
  const char* next = static_cast<const char*>(data);
  for (size_t left = size_t(count); left > 0;) {
    const ssize_t n = write(fd, next, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    next += n;
    left -= size_t(n);
  }
  return true;
}

int64_t seekFile(int32_t fd, int64_t offset) { return lseek(fd, off_t(offset), SEEK_SET); }

void closeFile(int32_t fd) { close(fd); }

FileHandle fileHandleOf(int32_t fd) { return fd; }

bool isRegularFile(int32_t fd) {
  struct stat status;
  return fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

bool setFileLength(FileHandle file, int64_t length) {
  const int fd = int(file);
  if (lseek(fd, off_t(length), SEEK_SET) < 0) return false;
  int result;
  do {
    result = ftruncate(fd, off_t(length));
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

int64_t getFileSize(const YString& path) {
  struct stat status;
  if (stat(path.data, &status) != 0 || S_ISDIR(status.st_mode)) return -1;
  return int64_t(status.st_size);
}

bool isDirectory(const YString& path) {
  struct stat status;
  return stat(path.data, &status) == 0 && S_ISDIR(status.st_mode);
}

bool createDirectory(const YString& path) { return mkdir(path.data, 0777) == 0; }

// "." and ".." come first, as the Windows search gives them, whatever order the file system keeps.
void listDirectory(const YString& directory, YVector<YString>& names) {
  DIR* stream = opendir(directory.data);
  if (stream == nullptr) return;
  names.add(YString("."));
  names.add(YString(".."));
  while (const dirent* entry = readdir(stream)) {
    const YString name(entry->d_name);
    if (!name.equals(".") && !name.equals("..")) names.add(name);
  }
  closedir(stream);
}

// Works on a descriptor opened without following a symlink, so a link put in the file's place cannot
// make another of our files readable. Nobody gets the execute bit: these are log files.
void grantFileAccessToEveryone(const YWideString& path) {
  const int fd = open(toUtf8String(path).data, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat status;
  if (fstat(fd, &status) == 0) fchmod(fd, (status.st_mode & 07777) | S_IRGRP | S_IROTH);
  close(fd);
}

// Resolved by text alone, like the Windows service: the path need not exist and links stay as they are.
YString getFullPath(const YString& path) {
  YString absolute;
  if (path.length == 0 || path.data[0] != '/') {
    char current[4096];
    if (getcwd(current, sizeof(current)) == nullptr) return path;
    absolute.append(current);
    absolute.append('/');
  }
  absolute.append(path);

  YVector<YString> parts;
  int32_t start = 0;
  for (int32_t i = 0; i <= absolute.length; i++) {
    if (i < absolute.length && absolute.data[i] != '/') continue;
    const YString part = absolute.substring(start, i);
    start = i + 1;
    if (part.length == 0 || part.equals(".")) continue;
    if (part.equals("..")) {
      if (parts.size > 0) parts.pop();
    } else {
      parts.add(part);
    }
  }
  YString full;
  for (int32_t i = 0; i < parts.size; i++) {
    full.append('/');
    full.append(parts[i]);
  }
  if (full.length == 0) full.append('/');
  return full;
}
