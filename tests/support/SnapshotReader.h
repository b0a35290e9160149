#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/RowStreamReader.h"

// Reads a snapshot file as the host does: the fixed head, then big-endian tagged records to the end of
// the file. Written from the file format, not from the writer, so that tests can hold the two against
// each other. Whatever the format fixes (magic, time fields, header keys, sub-record kinds and order,
// record lengths) is checked here; any departure is a FormatError that names the file offset. What the
// writer chooses (kind, times, header values, rows) is handed back for the tests to judge.

namespace snapshotfile {

using rowstream::FormatError;

inline constexpr char magic[] = "BRANTEL_FILE_60000";  // written with its terminating zero
constexpr size_t headSize = sizeof magic + 4 + 8;
constexpr uint32_t idSize = 4;

constexpr uint8_t agentTag = 37;
constexpr uint8_t nameTextTag = 1;
constexpr uint8_t classLoadTag = 2;
constexpr uint8_t heapSegmentTag = 28;
constexpr uint8_t heapEndTag = 44;

constexpr uint8_t headerKind = 1;
constexpr uint8_t tableKind = 2;
constexpr uint8_t eventTableKind = 3;

// The header's named values in the order written; "oid_count" follows them.
inline constexpr const char* headerKeys[] = {
    "header",     "snapshot_version", "created_by_version", "agent_version",    "platform",
    "session_id", "session_name",     "snapshot_flags",     "creation_time_ms", "sizeof_pointer"};
constexpr int32_t headerKeyCount = int32_t(sizeof headerKeys / sizeof headerKeys[0]);
inline constexpr char oidCountKey[] = "oid_count";
constexpr size_t oidCountWidth = 10;

constexpr int32_t firstEventTableId = 32;
constexpr int32_t lastEventTableId = 127;

// One top-level record. Its time field is always 0 and is checked, not kept.
struct Record {
  uint8_t tag = 0;
  uint32_t length = 0;
  size_t contentOffset = 0;
};

struct Header {
  std::vector<std::pair<std::string, std::string>> values;  // the ten named values, in order
  std::string oidCount;                                     // the 10 characters, right-aligned
  size_t oidCountLengthOffset = 0;  // the int32 length of the object count: the heap writer patches from here
  std::vector<std::pair<int32_t, std::string>> eventTables;  // id and description, ids increasing

  const std::string* value(const std::string& key) const {
    for (const auto& [k, v] : values) {
      if (k == key) return &v;
    }
    return nullptr;
  }
};

// An agent record after the header: table index to rows, indexes increasing in the file.
struct TablesRecord {
  std::map<int32_t, std::vector<rowstream::Row>> tables;
};

struct Snapshot {
  int32_t kind = 0;
  int64_t creationTimeMs = 0;
  std::vector<Record> records;  // every top-level record, the header first
  Header header;
  std::vector<TablesRecord> tableRecords;  // the agent records after the header, in file order
};

namespace detail {

inline std::string at(size_t offset) { return " at offset " + std::to_string(offset); }

// Where a record's leftover bytes do not form a sub-record, how many there were.
inline std::string beforeEnd(const rowstream::Cursor& afterKind) {
  return ", " + std::to_string(afterKind.remaining() + 1) + " bytes before the record's end,";
}

// An int32 length, then the bytes; unlike a text, a byte vector has no null form.
inline std::string readByteVector(rowstream::Cursor& in, const char* what) {
  const size_t start = in.position();
  std::optional<std::string> bytes = in.readString(what);
  if (!bytes) throw FormatError(std::string(what) + at(start) + " has length -1; a byte vector is never null");
  return *bytes;
}

inline void readOidCount(rowstream::Cursor& in, Header& header) {
  const size_t keyOffset = in.position();
  if (readByteVector(in, "\"oid_count\" key") != oidCountKey) {
    throw FormatError(std::string("\"oid_count\" key expected") + at(keyOffset));
  }
  header.oidCountLengthOffset = in.position();
  header.oidCount = readByteVector(in, "\"oid_count\" value");
  const std::string& count = header.oidCount;
  const size_t firstDigit = count.find_first_not_of(' ');
  const bool decimal =
      firstDigit != std::string::npos && count.find_first_not_of("0123456789", firstDigit) == std::string::npos;
  if (count.size() != oidCountWidth || !decimal) {
    throw FormatError("\"oid_count\" value \"" + count + "\"" + at(header.oidCountLengthOffset) +
                      " is not a number right-aligned in 10 characters");
  }
}

inline void readHeader(rowstream::Cursor& in, Header& header) {
  const size_t kindOffset = in.position();
  if (in.readByte("header kind") != headerKind) {
    throw FormatError("the header record does not open with kind byte 1" + at(kindOffset));
  }
  const size_t countOffset = in.position();
  const int32_t count = in.readInt("header count");
  if (count != headerKeyCount + 1) {
    throw FormatError("header count " + std::to_string(count) + at(countOffset) + ": " +
                      std::to_string(headerKeyCount) + " named values and \"oid_count\" make " +
                      std::to_string(headerKeyCount + 1));
  }
  for (const char* expected : headerKeys) {
    const size_t keyOffset = in.position();
    std::string key = readByteVector(in, "header key");
    if (key != expected) {
      throw FormatError("header key \"" + key + "\"" + at(keyOffset) + " where \"" + expected + "\" belongs");
    }
    header.values.emplace_back(std::move(key), readByteVector(in, "header value"));
  }
  readOidCount(in, header);
  while (!in.atEnd()) {
    const size_t subOffset = in.position();
    const uint8_t kind = in.readByte("sub-record kind");
    if (kind != eventTableKind) {
      throw FormatError("sub-record kind " + std::to_string(kind) + at(subOffset) + beforeEnd(in) +
                        " in the header record, where only event-table descriptions (kind 3) follow \"oid_count\"");
    }
    const size_t idOffset = in.position();
    const int32_t id = in.readInt("event-table id");
    if (id < firstEventTableId || id > lastEventTableId) {
      throw FormatError("event-table id " + std::to_string(id) + at(idOffset) + " is outside 32 to 127");
    }
    if (!header.eventTables.empty() && id <= header.eventTables.back().first) {
      throw FormatError("event-table id " + std::to_string(id) + at(idOffset) + " does not follow " +
                        std::to_string(header.eventTables.back().first) + " in increasing order");
    }
    header.eventTables.emplace_back(id, readByteVector(in, "event-table description"));
  }
}

inline TablesRecord readTables(rowstream::Cursor& in) {
  TablesRecord record;
  int32_t previous = -1;
  while (!in.atEnd()) {
    const size_t subOffset = in.position();
    const uint8_t kind = in.readByte("sub-record kind");
    if (kind == 8 || kind == 9) {
      throw FormatError("sub-record kind " + std::to_string(kind) + at(subOffset) +
                        ": object records of a memory snapshot, whose layout this reader does not know");
    }
    if (kind != tableKind) {
      throw FormatError("sub-record kind " + std::to_string(kind) + at(subOffset) + beforeEnd(in) +
                        " in an agent record after the header, where tables (kind 2) belong");
    }
    const size_t indexOffset = in.position();
    const int32_t index = in.readInt("table index");
    if (index < 0 || index >= rowstream::tableCount) {
      throw FormatError("table index " + std::to_string(index) + at(indexOffset) + " is outside 0 to 19");
    }
    if (index <= previous) {
      throw FormatError("table index " + std::to_string(index) + at(indexOffset) + " does not follow " +
                        std::to_string(previous) + " in increasing order");
    }
    record.tables[index] = rowstream::readTableStream(in, index);
    previous = index;
  }
  return record;
}

inline void expectLength(const Record& record, bool fits, const char* expected) {
  if (!fits) {
    throw FormatError("length " + std::to_string(record.length) + " of a tag-" + std::to_string(record.tag) +
                      " record, which is " + expected);
  }
}

// The content of one record: `in` ends where the record does, so a sub-record cannot run over it, and
// the callers read sub-records until that end, so none can stop short of it.
inline void readContent(rowstream::Cursor& in, const Record& record, Snapshot& snapshot) {
  const bool first = snapshot.records.empty();
  if (first && record.tag != agentTag) {
    throw FormatError("a snapshot opens with its header record (tag 37), not tag " + std::to_string(record.tag));
  }
  switch (record.tag) {
    case agentTag:
      if (first) {
        readHeader(in, snapshot.header);
      } else {
        snapshot.tableRecords.push_back(readTables(in));
      }
      return;
    case nameTextTag:
      expectLength(record, record.length >= idSize, "an id and a text");
      return;
    case classLoadTag:
      expectLength(record, record.length == 2 * idSize + 8, "16: two ids and two int32");
      return;
    case heapSegmentTag:
      return;
    case heapEndTag:
      expectLength(record, record.length == 0, "empty");
      return;
    default:
      throw FormatError("unknown record tag " + std::to_string(record.tag));
  }
}

}  // namespace detail

inline Snapshot parseSnapshot(const std::string& bytes) {
  if (bytes.size() < headSize) {
    throw FormatError("the file has " + std::to_string(bytes.size()) + " bytes, fewer than its fixed head of " +
                      std::to_string(headSize));
  }
  if (bytes.compare(0, sizeof magic, magic, sizeof magic) != 0) {
    throw FormatError("the file does not begin with \"BRANTEL_FILE_60000\" and a zero byte");
  }
  Snapshot snapshot;
  rowstream::Cursor head(bytes, rowstream::Endian::big, sizeof magic);
  snapshot.kind = head.readInt("kind");
  snapshot.creationTimeMs = head.readLong("creation time");

  size_t offset = headSize;
  while (offset < bytes.size()) {
    try {
      rowstream::Cursor frame(bytes, rowstream::Endian::big, offset);
      Record record;
      record.tag = frame.readByte("record tag");
      const int32_t time = frame.readInt("record time");
      record.length = uint32_t(frame.readInt("record length"));
      record.contentOffset = frame.position();
      if (time != 0) throw FormatError("time field " + std::to_string(time) + ", which is always 0");
      if (record.length > bytes.size() - record.contentOffset) {
        throw FormatError("length " + std::to_string(record.length) + " runs past the end of the file, " +
                          std::to_string(bytes.size() - record.contentOffset) + " bytes after the record's head");
      }
      const size_t end = record.contentOffset + record.length;
      rowstream::Cursor content(bytes.data(), end, rowstream::Endian::big, record.contentOffset);
      detail::readContent(content, record, snapshot);
      snapshot.records.push_back(record);
      offset = end;
    } catch (const FormatError& error) {
      throw FormatError("record " + std::to_string(snapshot.records.size()) + detail::at(offset) + ": " + error.what());
    }
  }
  if (snapshot.records.empty()) throw FormatError("no header record after the fixed head");
  return snapshot;
}

// A file that cannot be read is a FormatError naming the path, like one that breaks the format.
inline Snapshot readSnapshotFile(const std::string& path) {
  std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
  if (!file) throw FormatError("cannot open snapshot file " + path);
  const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  if (file.bad()) throw FormatError("cannot read snapshot file " + path);
  try {
    return parseSnapshot(bytes);
  } catch (const FormatError& error) {
    throw FormatError(path + ": " + error.what());
  }
}

}  // namespace snapshotfile
