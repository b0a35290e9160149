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
