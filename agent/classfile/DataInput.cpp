#include "agent/classfile/DataInput.h"

#include <cstring>

#include "agent/support/FatalError.h"

int32_t DataInput::readUnsignedByte() {
  const int32_t value = input[position];
  position++;
  return value;
}

int32_t DataInput::readUnsignedShort() {
  if (position <= input.size - 2) {
    const int32_t value = input.data[position] << 8 | input.data[position + 1];
    position += 2;
    return value;
  }
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

// The next n bytes, checked at once: a run past the end fails as its first byte beyond the end would.
const uint8_t* DataInput::take(int32_t n) {
  if (n < 0) assertionFailed("assertion failed", "DataInput", __LINE__);
  if (n > input.size - position) yvectorRangeError("yvector::[]", input.size, input.size);
  const uint8_t* bytes = input.data + position;
  position += n;
  return bytes;
}

void DataInput::readFully(void* buffer, int32_t n) {
  if (buffer == nullptr) assertionFailed("assertion failed: value is NULL", "DataInput", __LINE__);
  const uint8_t* bytes = take(n);
  if (n > 0) std::memcpy(buffer, bytes, size_t(n));
}

YString DataInput::readString(int32_t n) {
  const char* text = reinterpret_cast<const char*>(take(n));
  const void* zero = n > 0 ? std::memchr(text, 0, size_t(n)) : nullptr;
  return YString::copyOf(text, zero != nullptr ? int32_t(static_cast<const char*>(zero) - text) : n);
}
