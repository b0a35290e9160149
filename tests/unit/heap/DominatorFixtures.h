#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Dominator graph files as int32 values, and their little-endian bytes.
inline std::string littleEndianBytes(const std::vector<int32_t>& values) {
  std::string bytes;
  for (const int32_t value : values) {
    for (int32_t k = 0; k < 4; k++) bytes.push_back(char(uint32_t(value) >> (8 * k) & 0xff));
  }
  return bytes;
}

inline std::vector<int32_t> littleEndianValues(const std::string& bytes) {
  std::vector<int32_t> values;
  for (size_t at = 0; at + 4 <= bytes.size(); at += 4) {
    uint32_t value = 0;
    for (int32_t k = 0; k < 4; k++) value |= uint32_t(uint8_t(bytes[at + k])) << (8 * k);
    values.push_back(int32_t(value));
  }
  return values;
}
