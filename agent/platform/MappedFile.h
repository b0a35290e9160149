#pragma once

#include <cstdint>

#include "agent/support/YString.h"

// A file opened for reading and writing through read-write views of the OS's file mapping. Views start
// at multiples of mappingGranularity() and must end within the file as it was when the mapping was
// made: on Linux a view past the file's end faults on access (SIGBUS), on Windows it cannot be made.

// The alignment of a view's file offset: the allocation granularity on Windows (64 KB), the page size
// on Linux.
int64_t mappingGranularity();

class MappedFile {
 public:
  MappedFile() = default;
  // Closes the mapping and the file if still open; views are their mapper's to unmap first.
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Opens the file for reading and writing, sharing reads, creating it when missing. False on failure.
  bool open(const YString& path);
  bool isOpen() const;
  // Sets the file's end at `length`; the mapping must be closed on Windows. False on failure.
  bool setLength(int64_t length);
  // Makes the read-write mapping of the whole file as long as it is now. False on failure.
  bool createMapping();
  void closeMapping();
  void close();

  // A read-write view of `size` bytes at `offset`; null on failure.
  void* mapView(int64_t offset, int64_t size);
  // False when the OS refused to unmap it.
  bool unmapView(void* view, int64_t size);

 private:
  intptr_t file_ = -1;    // descriptor on Linux, HANDLE on Windows; -1 when closed
  intptr_t mapping_ = 0;  // the mapping HANDLE on Windows; on Linux 1 while the mapping "exists"
};
