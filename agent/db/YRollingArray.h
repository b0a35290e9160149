#pragma once

#include <cstdint>

#include "agent/support/FatalError.h"

// A fixed ring of values. Indices grow without end and are never reused, also across a clear; index i,
// for oldest <= i < next, lives in slot i mod capacity. Once the ring is full, each append drops the
// oldest value.
template <class T>
class YRollingArray {
 public:
  explicit YRollingArray(int32_t capacity) : capacity(capacity) {
    if (capacity < 1) assertionFailed("assertion failed", "YRollingArray", 17);
    slots = new T[size_t(capacity)]();
  }

  YRollingArray(const YRollingArray&) = delete;
  YRollingArray& operator=(const YRollingArray&) = delete;

  ~YRollingArray() { delete[] slots; }

  // The slot of index `next`, kept as the previous value left it; the caller refills it.
  T& append() {
    T& slot = slots[next % capacity];
    next++;
    if (next - oldest > capacity) oldest++;
    return slot;
  }

  // The value of index `index` while it is held, else null.
  T* find(int64_t index) const {
    if (index < oldest || index >= next) return nullptr;
    return &slots[index % capacity];
  }

  // Empties the window; the next append gets the index that would have come anyway.
  void clear() { oldest = next; }

  T* slots;
  int32_t capacity;
  int64_t oldest = 0;
  int64_t next = 0;
};
