#pragma once

#include <cstdint>
#include <cstring>

// The bit patterns of floating-point values, as a heap dump stores them.
inline uint64_t floatBits(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, 4);
  return bits;
}

inline uint64_t doubleBits(double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, 8);
  return bits;
}
