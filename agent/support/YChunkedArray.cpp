#include "agent/support/YChunkedArray.h"

#include <algorithm>

#include "agent/support/YAllocator.h"

YChunkedArray::YChunkedArray(int32_t fillValue) : fillValue(fillValue) {}

YChunkedArray::~YChunkedArray() {
  for (int32_t i = 0; i < chunks.size; i++) freeBlock(chunks.data[i]);
}

int32_t* YChunkedArray::get(int32_t index, bool create) {
  // Rounded down, so that every negative index (not only those below -chunkSize) is out of range.
  const int32_t chunkNumber = index >= 0 ? index / chunkSize : -1 - (-1 - index) / chunkSize;
  while (chunks.size <= chunkNumber) chunks.add(nullptr);
  if (chunkNumber < 0) yvectorRangeError("yvector::get", chunkNumber, chunks.size);
  int32_t* chunk = chunks.get(chunkNumber);
  if (chunk != nullptr || !create) return chunk;
  chunk = allocZeroed<int32_t>(chunkSize);
  if (fillValue != 0) std::fill(chunk, chunk + chunkSize, fillValue);
  chunks.set(chunkNumber, chunk);
  return chunk;
}
