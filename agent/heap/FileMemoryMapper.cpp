#include "agent/heap/FileMemoryMapper.h"

#include <algorithm>

#include "agent/core/Options.h"
#include "agent/platform/Files.h"
#include "agent/support/FatalError.h"
#include "agent/support/Log.h"

namespace {

constexpr int64_t defaultPageSize = 65536;
constexpr int32_t defaultPageCount = 16;
constexpr int64_t megabyte = 1048576;

void appendBytes(YString& text, const char* name, int64_t bytes) {
  text.append(name);
  text.appendLong(bytes);
  text.append(" (");
  text.appendLong(bytes / megabyte);
  text.append(" MB)");
}

int64_t roundDown(int64_t value, int64_t unit) { return value / unit * unit; }
int64_t roundUp(int64_t value, int64_t unit) { return (value + unit - 1) / unit * unit; }

}  // namespace

void* FileMemoryMapper::mapFileView(MappedFile& file, int64_t offset, int64_t size) {
  return file.mapView(offset, size);
}

FileMemoryMapper::FileMemoryMapper(const YString& path, int64_t start, int64_t end, ViewMapper mapView)
    : path_(path), mapView_(mapView) {
  fileSize_ = getFileSize(path);
  if (fileSize_ <= 0) {
    YString text("FileMemoryMapper: error: ");
    text.append(path);
    text.append("\n invalid length=");
    text.appendLong(fileSize_);
    logMessage(text);
    return;
  }

  const int64_t granularity = mappingGranularity();
  // The option is in KB; a size not above the granularity becomes one granule.
  const int64_t requestedPage = int64_t(globalOptions().getIntOption("_page_size", 0)) * 1024;
  pageSize_ = requestedPage < 1 ? defaultPageSize : requestedPage;
  pageSize_ = pageSize_ <= granularity ? granularity : roundDown(pageSize_, granularity);
  pageCountLimit_ = globalOptions().getIntOption("_page_count", defaultPageCount);
  if (pageCountLimit_ < 1) pageCountLimit_ = defaultPageCount;

  start_ = start;
  startAligned_ = roundDown(start, granularity);
  end_ = end == -1 ? fileSize_ : end;
  endAligned_ = roundUp(end_, granularity);
  const int64_t regionSize = endAligned_ - startAligned_;

  YString text("FileMemoryMapper: ");
  text.append(path);
  appendBytes(text, " length=", fileSize_);
  appendBytes(text, " start=", start_);
  appendBytes(text, " startAligned=", startAligned_);
  appendBytes(text, " end=", end_);
  appendBytes(text, " endAligned=", endAligned_);
  appendBytes(text, " regionSize=", regionSize);
  appendBytes(text, " osPageSize=", granularity);
  appendBytes(text, " page=", pageSize_);
  text.append(" pageCount=");
  text.appendLong(pageCountLimit_);
  logMessage(text);

  if (start_ < 0 || start_ >= end_) fatalError("FileMemoryMapper: start is not before end", "FileMemoryMapper", 1);
  if (end_ > fileSize_) fatalError("FileMemoryMapper: end is beyond the file's end", "FileMemoryMapper", 2);

  if (!file_.open(path)) {
    logMessage(YString("FileMemoryMapper: file open failed"));
    return;
  }
  // The last granule is mapped whole, so the file must reach its end while mapped.
  mappedFileSize_ = roundUp(fileSize_, granularity);
  if (mappedFileSize_ != fileSize_ && !file_.setLength(mappedFileSize_)) {
    logMessage(YString("FileMemoryMapper: error: file extension failed"));
    file_.setLength(fileSize_);
    file_.close();
    return;
  }
  if (!file_.createMapping()) {
    // Nothing may be left of the extension: the file keeps the size it came with.
    if (mappedFileSize_ != fileSize_) file_.setLength(fileSize_);
    file_.close();
    logMessage(YString("FileMemoryMapper: error: file mapping failed"));
    return;
  }
  mapped_ = true;

  const int64_t regionLimitMb = globalOptions().getIntOption("_region_limit_mb", 0);
  bool wholeRegion = true;
  if (regionLimitMb != 0) {
    YString limitText("FileMemoryMapper: region limit=");
    limitText.appendLong(regionLimitMb);
    limitText.append(" MB");
    logMessage(limitText);
    wholeRegion = regionSize <= regionLimitMb * megabyte;
  }
  if (wholeRegion) wholeView_ = static_cast<uint8_t*>(mapView_(file_, startAligned_, regionSize));
  if (wholeView_ == nullptr) logMessage(YString("FileMemoryMapper: using pages"));
}

FileMemoryMapper::~FileMemoryMapper() {
  if (!mapped_) return;
  // No fatal error here: a destructor cannot unwind, so a refused unmap is logged and the rest released.
  bool refused = false;
  for (int32_t i = 0; i < pages_.size; i++) {
    const Page& page = pages_.data[i];
    if (page.view == nullptr || !file_.unmapView(page.view, page.size)) refused = true;
    unmappedViews_++;
  }
  pages_.size = 0;
  if (wholeView_ != nullptr) {
    if (!file_.unmapView(wholeView_, endAligned_ - startAligned_)) refused = true;
    unmappedViews_++;
  }
  if (refused) logMessage(YString("FileMemoryMapper: error: a view could not be unmapped"));
  file_.closeMapping();
  if (mappedFileSize_ != fileSize_ && !file_.setLength(fileSize_)) {
    logMessage(YString("FileMemoryMapper: error: file length not restored"));
  }
  file_.close();
  YString text("~FileMemoryMapper: ");
  text.appendLong(unmappedViews_);
  logMessage(text);
}

bool FileMemoryMapper::isMapped() const { return mapped_; }

void FileMemoryMapper::write(int64_t offset, uint64_t value, int32_t byteCount) {
  if (failed_) return;
  if (!mapped_ || byteCount < 1 || byteCount > 8 || offset < start_ || offset > end_ - byteCount) {
    YString text("FileMemoryMapper: bad offset ");
    text.appendLong(offset);
    text.append(" dataSize=");
    text.appendLong(byteCount);
    fatalError(text.data, "FileMemoryMapper", 3);
  }
  if (wholeView_ != nullptr) {
    uint8_t* target = wholeView_ + (offset - startAligned_);
    for (int32_t i = byteCount - 1; i >= 0; i--) {
      target[i] = uint8_t(value);
      value >>= 8;
    }
    return;
  }
  // Byte i of the value (most significant first) goes to offset + i, whichever page holds it; a value
  // that crosses a boundary puts its leading part into the earlier page.
  int32_t done = 0;
  while (done < byteCount) {
    const int64_t at = offset + done;
    Page* page = pageFor(at);
    if (page == nullptr) {
      failed_ = true;
      return;
    }
    uint8_t* base = static_cast<uint8_t*>(page->view);
    const int64_t inPage = std::min<int64_t>(byteCount - done, int64_t(page->fileOffset) + page->size - at);
    for (int64_t i = 0; i < inPage; i++) {
      base[at - int64_t(page->fileOffset) + i] = uint8_t(value >> (8 * (byteCount - 1 - done - i)));
    }
    done += int32_t(inPage);
  }
}

FileMemoryMapper::Page* FileMemoryMapper::pageFor(int64_t offset) {
  for (int32_t i = 0; i < pages_.size; i++) {
    const Page page = pages_.data[i];
    if (offset >= int64_t(page.fileOffset) && offset - int64_t(page.fileOffset) < page.size) {
      if (i > 0) {
        std::copy_backward(pages_.data, pages_.data + i, pages_.data + i + 1);
        pages_.data[0] = page;
      }
      return &pages_.data[0];
    }
  }
  if (pages_.size >= pageCountLimit_) unmapLastPage();
  // No view reaches past the file's end: on Linux touching such a page would raise SIGBUS.
  const int64_t pageOffset = roundDown(offset, pageSize_);
  const int64_t viewSize = std::min(pageSize_, mappedFileSize_ - pageOffset);
  void* view = mapView_(file_, pageOffset, viewSize);
  while (view == nullptr && pages_.size > 0) {
    unmapLastPage();
    view = mapView_(file_, pageOffset, viewSize);
  }
  if (view == nullptr) return nullptr;
  pages_.add(Page{uint64_t(pageOffset), view, viewSize});
  std::copy_backward(pages_.data, pages_.data + pages_.size - 1, pages_.data + pages_.size);
  pages_.data[0] = Page{uint64_t(pageOffset), view, viewSize};
  return &pages_.data[0];
}

void FileMemoryMapper::unmapLastPage() {
  const Page page = pages_.pop();
  if (page.view == nullptr) fatalError("FileMemoryMapper: null view in the page list", "FileMemoryMapper", 4);
  unmappedViews_++;
  if (!file_.unmapView(page.view, page.size)) fatalError("FileMemoryMapper: unmap failed", "FileMemoryMapper", 5);
}
