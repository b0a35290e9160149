#pragma once

#include <cstdint>

#include "agent/support/YChunkedArray.h"

// A column of int32 values for millions of objects that costs memory only where it was written: chunks of
// 2^20 entries are made by the first write into their range and start out holding the column's default.
// An entry whose chunk was never made reads as the default.
class BigIntArrayPaged {
 public:
  static constexpr int32_t chunkSize = YChunkedArray::chunkSize;

  explicit BigIntArrayPaged(int32_t defaultValue) : chunks(defaultValue) {}

  int32_t defaultValue() const { return chunks.fillValue; }

  // A negative index is a range error.
  int32_t get(int32_t index) {
    const int32_t* chunk = chunks.get(index, false);
    return chunk == nullptr ? chunks.fillValue : chunk[index % chunkSize];
  }
  // A negative index is a broken invariant.
  void set(int32_t index, int32_t value);

  // The chunk holding `index`, or null when none was made; never makes one.
  const int32_t* findChunk(int32_t index) { return chunks.get(index, false); }
  // The number of chunks made so far.
  int32_t chunkCount() const;

 private:
  YChunkedArray chunks;
};

// A column of int64 values kept as two int32 columns, low half and high half, both defaulting to 0.
class BigLongArrayPaged {
 public:
  BigLongArrayPaged() : low(0), high(0) {}

  int64_t get(int32_t index) {
    return int64_t(uint64_t(uint32_t(high.get(index))) << 32 | uint64_t(uint32_t(low.get(index))));
  }
  void set(int32_t index, int64_t value) {
    low.set(index, int32_t(uint32_t(uint64_t(value))));
    high.set(index, int32_t(value >> 32));
  }

  BigIntArrayPaged low;
  BigIntArrayPaged high;
};
