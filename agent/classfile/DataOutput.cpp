#include "agent/classfile/DataOutput.h"

#include "agent/support/FatalError.h"

void DataOutput::writeByte(int32_t v) { output.add(uint8_t(v)); }

void DataOutput::writeShort(int32_t v) {
  writeByte(v >> 8);
  writeByte(v);
}

void DataOutput::writeInt(int32_t v) {
  writeShort(v >> 16);
  writeShort(v);
}

void DataOutput::writeIntLE(int32_t v) {
  for (int32_t shift = 0; shift < 32; shift += 8) writeByte(v >> shift);
}

void DataOutput::writeLong(int64_t v) {
  writeInt(int32_t(v >> 32));
  writeInt(int32_t(v));
}

void DataOutput::write(const void* buffer, int32_t n) {
  if (buffer == nullptr) assertionFailed("assertion failed: value is NULL", "DataOutput", __LINE__);
  if (n < 0) assertionFailed("assertion failed", "DataOutput", __LINE__);
  output.addRange(static_cast<const uint8_t*>(buffer), n);
}
