#pragma once

#include <cstdint>
#include <cstdlib>
#include <new>

#include "agent/support/FatalError.h"

// Zero-filled heap blocks for the Y containers. Running out of memory throws std::bad_alloc, which the
// native entry points answer with "db::oome".
template <class T>
T* allocZeroed(int64_t count) {
  if (count < 1) assertionFailed("assertion failed", "YAllocator", __LINE__);
  void* block = std::calloc(static_cast<size_t>(count), sizeof(T));
  if (block == nullptr) throw std::bad_alloc();
  return static_cast<T*>(block);
}

inline void freeBlock(void* block) { std::free(block); }
