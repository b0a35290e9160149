#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/support/RowStreamReader.h"

// Reads what the agent sends on the Java side's socket, as the client does: a table reply (little-endian
// table index and row stream pairs, ended by -1) and the progress messages of a capture (16 big-endian
// bytes each). Written from the format, not from the writer; any departure is a FormatError.

namespace tablereply {

using rowstream::FormatError;

constexpr int32_t endMark = -1;

struct Reply {
  std::map<int32_t, std::vector<rowstream::Row>> tables;  // table index to rows, indexes increasing in the reply
};

inline Reply parseTableReply(const std::string& bytes) {
  rowstream::Cursor in(bytes, rowstream::Endian::little);
  Reply reply;
  int32_t previous = -1;
  for (;;) {
    const size_t offset = in.position();
    if (in.atEnd())
      throw FormatError("the reply stops at offset " + std::to_string(offset) + " without its end mark -1");
    const int32_t index = in.readInt("table index");
    if (index == endMark) break;
    if (index < 0 || index >= rowstream::tableCount) {
      throw FormatError("table index " + std::to_string(index) + " at offset " + std::to_string(offset) +
                        " is neither 0 to 19 nor the end mark -1");
    }
    if (index <= previous) {
      throw FormatError("table index " + std::to_string(index) + " at offset " + std::to_string(offset) +
                        " does not follow " + std::to_string(previous) + " in increasing order");
    }
    reply.tables[index] = rowstream::readTableStream(in, index);
    previous = index;
  }
  if (!in.atEnd()) {
    throw FormatError(std::to_string(in.remaining()) + " bytes after the end mark, at offset " +
                      std::to_string(in.position()));
  }
  return reply;
}

constexpr size_t progressMessageSize = 16;
inline constexpr int32_t progressMarks[] = {0, 123456789, 100600};

// The percents of a run of progress messages, in the order sent.
inline std::vector<int32_t> parseProgressMessages(const std::string& bytes) {
  if (bytes.size() % progressMessageSize != 0) {
    throw FormatError(std::to_string(bytes.size()) + " bytes are not a whole number of 16-byte progress messages");
  }
  rowstream::Cursor in(bytes, rowstream::Endian::big);
  std::vector<int32_t> percents;
  while (!in.atEnd()) {
    const size_t offset = in.position();
    for (const int32_t mark : progressMarks) {
      if (in.readInt("progress mark") != mark) {
        throw FormatError("the progress message at offset " + std::to_string(offset) +
                          " does not begin with 0, 123456789, 100600");
      }
    }
    const int32_t percent = in.readInt("progress percent");
    if (percent < 1 || percent > 99) {
      throw FormatError("progress percent " + std::to_string(percent) + " at offset " + std::to_string(offset) +
                        " is outside 1 to 99");
    }
    percents.push_back(percent);
  }
  return percents;
}

}  // namespace tablereply
