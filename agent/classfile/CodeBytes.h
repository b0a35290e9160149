#pragma once

#include <cstdint>

// Big-endian operands inside a method's code, read where the caller has already made sure that the bytes
// lie inside it.

inline int32_t codeU2(const uint8_t* bytes) { return bytes[0] << 8 | bytes[1]; }

inline int32_t codeS2(const uint8_t* bytes) { return int16_t(uint16_t(codeU2(bytes))); }

inline int32_t codeS4(const uint8_t* bytes) {
  return int32_t(uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | uint32_t(bytes[3]));
}
