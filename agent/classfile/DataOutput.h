#pragma once

#include <cstdint>

#include "agent/support/YVector.h"

// Appends big-endian values to a byte vector that it does not own, after whatever the vector already
// holds. Values are never range-checked: each write keeps the low bits that fit its width.
class DataOutput {
 public:
  explicit DataOutput(YVector<uint8_t>& output) : output(output) {}

  void writeByte(int32_t v);
  void writeShort(int32_t v);
  void writeInt(int32_t v);
  // The one little-endian write.
  void writeIntLE(int32_t v);
  void writeLong(int64_t v);
  void write(const void* buffer, int32_t n);

 private:
  YVector<uint8_t>& output;
};
