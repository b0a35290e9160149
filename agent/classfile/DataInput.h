#pragma once

#include <cstdint>

#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// A cursor reading big-endian values from a byte vector that it does not own. Every byte read is checked
// against the vector's size: reading past the end is the vector's fatal range error ("yvector::[]"), never
// an end-of-input result, so a truncated class file can only be abandoned by whoever catches the error.
class DataInput {
 public:
  explicit DataInput(const YVector<uint8_t>& input) : input(input), position(0) {}

  int32_t readUnsignedByte();
  int32_t readUnsignedShort();
  // The four bytes as they stand: FF FF FF FF reads as -1.
  int32_t readInt();
  int64_t readLong();
  // Copies the next n bytes into a buffer of at least n bytes.
  void readFully(void* buffer, int32_t n);
  // The next n bytes as a text, which ends at the first zero byte among them; the position moves by n.
  YString readString(int32_t n);

  int32_t getPosition() const { return position; }

 private:
  const uint8_t* take(int32_t n);

  const YVector<uint8_t>& input;
  int32_t position;
};
