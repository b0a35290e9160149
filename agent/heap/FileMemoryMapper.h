#pragma once

#include <cstdint>

#include "agent/platform/MappedFile.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// Writes big-endian values at known offsets of an existing file through the OS's file mapping: the
// snapshot's field values are filled in this way long after the buffered writer wrote the bytes around
// them. The region [start, end) is mapped in one view when it can be (and "_region_limit_mb" allows),
// else in at most "_page_count" views of "_page_size" KB, the least recently used one replaced on demand.
// The file's size is restored when the mapper goes, undoing the rounding up that mapping needs.
class FileMemoryMapper {
 public:
  // Maps a view of the file; null on failure. Tests inject failures through it.
  using ViewMapper = void* (*)(MappedFile& file, int64_t offset, int64_t size);

  struct Page {
    uint64_t fileOffset;
    void* view;
    int64_t size;  // pages at the file's end are shorter: no view reaches past the end
  };

  // `end` -1 means the end of the file.
  FileMemoryMapper(const YString& path, int64_t start, int64_t end, ViewMapper mapView = mapFileView);
  // Unmaps every view and sets the file back to the size found at construction.
  ~FileMemoryMapper();
  FileMemoryMapper(const FileMemoryMapper&) = delete;
  FileMemoryMapper& operator=(const FileMemoryMapper&) = delete;

  // True when the file is open and mapped: the constructor succeeded.
  bool isMapped() const;
  // Stores the low `byteCount` (1 to 8) bytes of `value` at `offset`, most significant first. Does
  // nothing once failed(); bytes outside [start, end) are a fatal error.
  void write(int64_t offset, uint64_t value, int32_t byteCount);
  // Set when a write found no view to map; later writes do nothing. Callers check it after each write.
  bool failed() const { return failed_; }

  // The view size that pages get (a multiple of the granularity) and whether the region is paged.
  int64_t pageSize() const { return pageSize_; }
  bool usesPages() const { return wholeView_ == nullptr; }

  static void* mapFileView(MappedFile& file, int64_t offset, int64_t size);

 private:
  Page* pageFor(int64_t offset);
  void unmapLastPage();

  MappedFile file_;
  bool mapped_ = false;
  YString path_;
  int64_t fileSize_ = 0;
  int64_t mappedFileSize_ = 0;  // the size while mapped: rounded up to the granularity
  int64_t start_ = 0;
  int64_t startAligned_ = 0;
  int64_t end_ = 0;
  int64_t endAligned_ = 0;
  uint8_t* wholeView_ = nullptr;
  int64_t pageSize_ = 0;
  YVector<Page, 16> pages_;  // most recently used first
  int32_t pageCountLimit_ = 16;
  bool failed_ = false;
  int32_t unmappedViews_ = 0;
  ViewMapper mapView_;
};
