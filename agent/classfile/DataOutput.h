#pragma once

#include <algorithm>
#include <cstdint>

#include "agent/support/YVector.h"

// Appends big-endian values to a byte vector that it does not own, after whatever the vector already
// holds. Values are never range-checked: each write keeps the low bits that fit its width.
class DataOutput {
 public:
  explicit DataOutput(YVector<uint8_t>& output) : output(output) {}

  void writeByte(int32_t v) { output.add(uint8_t(v)); }
  void writeShort(int32_t v) {
    uint8_t* at = room(2);
    at[0] = uint8_t(v >> 8);
    at[1] = uint8_t(v);
  }
  void writeInt(int32_t v) {
    uint8_t* at = room(4);
    at[0] = uint8_t(v >> 24);
    at[1] = uint8_t(v >> 16);
    at[2] = uint8_t(v >> 8);
    at[3] = uint8_t(v);
  }
  // The one little-endian write.
  void writeIntLE(int32_t v);
  void writeLong(int64_t v);
  void write(const void* buffer, int32_t n);

  // What the vector holds, and a way back to an earlier size for a write given up part-way.
  int32_t size() const { return output.size; }
  void truncate(int32_t size) { output.removeRange(size, output.size); }
  // Room for `count` more bytes without growing again.
  void reserve(int32_t count) {
    if (count > output.capacity - output.size) {
      output.reserveForWriting(int32_t(std::min<int64_t>(int64_t(output.size) + count, INT32_MAX)));
    }
  }

 private:
  // `n` new bytes at the end of the vector, to be filled by the caller.
  uint8_t* room(int32_t n) {
    if (n > output.capacity - output.size) grow(n);
    uint8_t* at = output.data + output.size;
    output.size += n;
    return at;
  }
  void grow(int32_t n);

  YVector<uint8_t>& output;
};
