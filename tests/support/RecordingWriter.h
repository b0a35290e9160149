#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "agent/db/AbstractWriter.h"

// A writer that keeps every block flushed to it in memory, so that a test sees both the bytes and where
// the buffer was cut.
class RecordingWriter : public AbstractWriter {
 public:
  explicit RecordingWriter(int32_t byteOrder, int32_t capacity = 64, bool idsAre4Bytes = true)
      : AbstractWriter(capacity, idsAre4Bytes, byteOrder) {}

  void flush() override {
    if (position < 1) return;
    blocks.emplace_back(reinterpret_cast<const char*>(buffer), size_t(position));
    position = 0;
  }

  // Everything written so far, flushed or not.
  std::string bytes() {
    flush();
    std::string all;
    for (const std::string& block : blocks) all += block;
    return all;
  }

  std::vector<std::string> blocks;
};

// The bytes as upper-case hexadecimal pairs separated by blanks ("00 07 5B"), for comparisons that read
// well when they fail.
inline std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (const char c : bytes) {
    if (!text.empty()) text += ' ';
    text += digits[uint8_t(c) >> 4];
    text += digits[uint8_t(c) & 0xF];
  }
  return text;
}
