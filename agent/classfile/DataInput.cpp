#include "agent/classfile/DataInput.h"

#include <memory>

#include "agent/support/FatalError.h"

int32_t DataInput::readUnsignedByte() {
  const int32_t value = input[position];
  position++;
  return value;
}

int32_t DataInput::readUnsignedShort() {
  const int32_t high = readUnsignedByte();
  return high << 8 | readUnsignedByte();
}

int32_t DataInput::readInt() {
  uint32_t value = 0;
  for (int32_t i = 0; i < 4; i++) value = value << 8 | uint32_t(readUnsignedByte());
  return int32_t(value);
}

int64_t DataInput::readLong() {
  const uint64_t high = uint32_t(readInt());
  const uint64_t low = uint32_t(readInt());
  return int64_t(high << 32 | low);
}

void DataInput::readFully(void* buffer, int32_t n) {
  if (buffer == nullptr) assertionFailed("assertion failed: value is NULL", "DataInput", __LINE__);
  if (n < 0) assertionFailed("assertion failed", "DataInput", __LINE__);
  uint8_t* bytes = static_cast<uint8_t*>(buffer);
  for (int32_t i = 0; i < n; i++) bytes[i] = uint8_t(readUnsignedByte());
}

YString DataInput::readString(int32_t n) {
  if (n < 0) assertionFailed("assertion failed", "DataInput", __LINE__);
  std::unique_ptr<char[]> buffer(new char[size_t(n) + 1]);
  readFully(buffer.get(), n);
  buffer[n] = 0;
  return YString(buffer.get());
}
