#pragma once

#include <cstdint>

#include "agent/support/YVector.h"

// Hands out row ids: the last released id first, otherwise the next fresh one.
class IdAllocator {
 public:
  explicit IdAllocator(int32_t firstId) : next(firstId), start(firstId) {}

  int32_t allocate() {
    if (released.size > 0) return released.pop();
    return next++;
  }

  // The id that allocate would return, changing nothing.
  int32_t peek() const { return released.size > 0 ? released.data[released.size - 1] : next; }

  void release(int32_t id) { released.add(id); }

  // Back to the first id with nothing released.
  void reset() {
    next = start;
    released.size = 0;
  }

  YVector<int32_t> released;  // a stack
  int32_t next;
  int32_t start;
};
