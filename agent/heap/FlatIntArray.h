#pragma once

#include <cstdint>

// A named block of int32 entries, zeroed when made. Making one logs its name and size with the process's
// memory use, because these blocks are the big allocations of a heap analysis. Access is unchecked:
// callers keep indices in [0, size).
class FlatIntArray {
 public:
  // A negative size is a broken invariant; running out of memory throws std::bad_alloc.
  FlatIntArray(const char* name, int32_t size);
  ~FlatIntArray();
  FlatIntArray(const FlatIntArray&) = delete;
  FlatIntArray& operator=(const FlatIntArray&) = delete;

  int32_t& operator[](int32_t index) { return data[index]; }
  int32_t operator[](int32_t index) const { return data[index]; }
  bool isValidIndex(int64_t index) const { return index >= 0 && index < size; }

  int32_t* data;  // null for a size of 0
  int32_t size;
};
