#include "agent/heap/FlatIntArray.h"

#include "agent/support/FatalError.h"
#include "agent/support/YAllocator.h"
#include "agent/support/YString.h"

FlatIntArray::FlatIntArray(const char* name, int32_t size) : data(nullptr), size(size) {
  if (size < 0) assertionFailed("assertion failed", "FlatIntArray", __LINE__);
  YString text("BIA_P=");
  text.append(name);
  text.append(" size=");
  text.appendLong(size);
  text.append(" (");
  text.appendLong((int64_t(4) * size) >> 20);
  text.append(" MB)");
  logWithMemoryUsage(text);
  if (size > 0) data = allocZeroed<int32_t>(size);
  YString done("BIA_P=");
  done.append(name);
  done.append(" done");
  logWithMemoryUsage(done);
}

FlatIntArray::~FlatIntArray() { freeBlock(data); }
