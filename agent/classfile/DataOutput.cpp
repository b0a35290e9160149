#include "agent/classfile/DataOutput.h"

#include <cstring>
#include <new>

#include "agent/support/FatalError.h"

void DataOutput::grow(int32_t n) {
  // Doubling, as the vector grows when it adds.
  const int64_t needed = int64_t(output.size) + n;
  if (needed > INT32_MAX) throw std::bad_alloc();
  const int32_t doubled = output.capacity > INT32_MAX / 2 ? INT32_MAX : output.capacity * 2;
  output.reserveForWriting(std::max(doubled, int32_t(needed)));
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
  if (n > 0) std::memcpy(room(n), buffer, size_t(n));
}
