#include "agent/classfile/DataInput.h"

#include <cstring>

#include "agent/support/FatalError.h"

int64_t DataInput::readLong() {
  const uint64_t high = uint32_t(readInt());
  const uint64_t low = uint32_t(readInt());
  return int64_t(high << 32 | low);
}

// The next n bytes, checked at once: a run past the end fails as its first byte beyond the end would.
const uint8_t* DataInput::readBytes(int32_t n) {
  if (n < 0) assertionFailed("assertion failed", "DataInput", __LINE__);
  if (n > size - position) outOfRange();
  const uint8_t* taken = bytes + position;
  position += n;
  return taken;
}

void DataInput::readFully(void* buffer, int32_t n) {
  if (buffer == nullptr) assertionFailed("assertion failed: value is NULL", "DataInput", __LINE__);
  const uint8_t* taken = readBytes(n);
  if (n > 0) std::memcpy(buffer, taken, size_t(n));
}

YString DataInput::readString(int32_t n) {
  const char* text = reinterpret_cast<const char*>(readBytes(n));
  const void* zero = n > 0 ? std::memchr(text, 0, size_t(n)) : nullptr;
  return YString::copyOf(text, zero != nullptr ? int32_t(static_cast<const char*>(zero) - text) : n);
}
