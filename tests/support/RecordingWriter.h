#pragma once

#include <cstdint>
#include <string>

#include "agent/db/AbstractWriter.h"

// A writer that keeps everything flushed to it in memory, for tests of what the database writes.
class RecordingWriter : public AbstractWriter {
 public:
  explicit RecordingWriter(int32_t byteOrder, int32_t capacity = 64, bool idsAre4Bytes = true)
      : AbstractWriter(capacity, idsAre4Bytes, byteOrder) {}

  void flush() override {
    kept.append(reinterpret_cast<const char*>(buffer), size_t(position));
    position = 0;
  }

  // Everything written so far, flushed or not.
  const std::string& bytes() {
    flush();
    return kept;
  }

 private:
  std::string kept;
};
