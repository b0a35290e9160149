#pragma once

#include <cstdint>

#include "agent/support/YVector.h"

// A large array of 32-bit values in chunks of `chunkSize` elements, made on demand, so that tables of
// many millions of values never need one huge block. Element i lives in chunk i / chunkSize at position
// i % chunkSize. The array owns its chunks.
class YChunkedArray {
 public:
  static constexpr int32_t chunkSize = 1048576;

  YVector<int32_t*, 10> chunks;  // null for a chunk not made yet
  int32_t fillValue;             // the value every element of a new chunk starts with

  explicit YChunkedArray(int32_t fillValue = 0);
  ~YChunkedArray();
  YChunkedArray(const YChunkedArray&) = delete;
  YChunkedArray& operator=(const YChunkedArray&) = delete;

  // The chunk that holds element `index`. A missing chunk is made when `create` is set; otherwise the
  // answer is null. The chunk table is extended with null entries up to the chunk asked for either way.
  int32_t* get(int32_t index, bool create);
};
