#pragma once

#include <cstdint>

#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// A cursor reading big-endian values from bytes that it does not own. Every byte read is checked
// against the input's size: reading past the end is the vector's fatal range error ("yvector::[]"), never
// an end-of-input result, so a truncated class file can only be abandoned by whoever catches the error.
class DataInput {
 public:
  explicit DataInput(const YVector<uint8_t>& input) : DataInput(input.data, input.size) {}
  DataInput(const uint8_t* bytes, int32_t size) : bytes(bytes), size(size), position(0) {}

  int32_t readUnsignedByte() {
    if (position >= size) outOfRange();
    return bytes[position++];
  }
  int32_t readUnsignedShort() {
    if (position > size - 2) outOfRange();
    const int32_t value = bytes[position] << 8 | bytes[position + 1];
    position += 2;
    return value;
  }
  // The four bytes as they stand: FF FF FF FF reads as -1.
  int32_t readInt() {
    if (position > size - 4) outOfRange();
    const uint8_t* at = bytes + position;
    position += 4;
    return int32_t(uint32_t(at[0]) << 24 | uint32_t(at[1]) << 16 | uint32_t(at[2]) << 8 | uint32_t(at[3]));
  }
  int64_t readLong();
  // Copies the next n bytes into a buffer of at least n bytes.
  void readFully(void* buffer, int32_t n);
  // The next n bytes as a text, which ends at the first zero byte among them; the position moves by n.
  YString readString(int32_t n);
  // The next n bytes where they stand in the input; the position moves by n.
  const uint8_t* readBytes(int32_t n);

  int32_t getPosition() const { return position; }

 private:
  // A read that runs past the end fails as its first byte beyond the end would.
  [[noreturn]] void outOfRange() const { yvectorRangeError("yvector::[]", size, size); }

  const uint8_t* const bytes;
  const int32_t size;
  int32_t position;
};
