#include "agent/platform/MappedFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "agent/platform/Files.h"

// POSIX needs no mapping object: views are mapped from the descriptor itself, so the "mapping" is only
// the state that allows views.

int64_t mappingGranularity() {
  const long size = sysconf(_SC_PAGESIZE);
  return size > 0 ? int64_t(size) : 4096;
}

MappedFile::~MappedFile() { close(); }

bool MappedFile::open(const YString& path) {
  close();
  int fd;
  do {
    fd = ::open(path.data, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  } while (fd == -1 && errno == EINTR);
  file_ = fd;
  return fd != -1;
}

bool MappedFile::isOpen() const { return file_ != -1; }

bool MappedFile::setLength(int64_t length) { return isOpen() && setFileLength(FileHandle(file_), length); }

bool MappedFile::createMapping() {
  if (!isOpen()) return false;
  mapping_ = 1;
  return true;
}

void MappedFile::closeMapping() { mapping_ = 0; }

void MappedFile::close() {
  closeMapping();
  if (file_ != -1) ::close(int(file_));
  file_ = -1;
}

void* MappedFile::mapView(int64_t offset, int64_t size) {
  if (mapping_ == 0 || size <= 0) return nullptr;
  void* view = mmap(nullptr, size_t(size), PROT_READ | PROT_WRITE, MAP_SHARED, int(file_), off_t(offset));
  return view == MAP_FAILED ? nullptr : view;
}

bool MappedFile::unmapView(void* view, int64_t size) { return munmap(view, size_t(size)) == 0; }
