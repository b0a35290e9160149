#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

// Reads the row stream of one database table as a client does: the row count, then per row its index,
// its stamp and, for a live row (stamp > 0), the fields of the table's row form. Written from the
// stream's format, not from the writer, so that tests can hold the two against each other. Snapshot
// files and table replies are sequences of "int32 table index, then that table's stream": their readers
// call readTableStream on a cursor and go on from where it stopped.

namespace rowstream {

enum class Endian { big, little };

// Input that does not follow the format: short, or with an impossible count or length.
class FormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A read position over bytes that the caller keeps alive.
class Cursor {
 public:
  Cursor(const void* data, size_t size, Endian endian, size_t position = 0)
      : data(static_cast<const unsigned char*>(data)), size(size), endian(endian), at(position) {
    if (position > size) throw FormatError("cursor starts beyond the end");
  }
  Cursor(const std::string& bytes, Endian endian, size_t position = 0)
      : Cursor(bytes.data(), bytes.size(), endian, position) {}

  size_t position() const { return at; }
  size_t remaining() const { return size - at; }
  bool atEnd() const { return at == size; }

  uint8_t readByte(const char* what) { return uint8_t(readUnsigned(1, what)); }
  int32_t readInt(const char* what) { return int32_t(uint32_t(readUnsigned(4, what))); }
  int64_t readLong(const char* what) { return int64_t(readUnsigned(8, what)); }

  // Int length, then that many bytes; the length -1 alone is a null text.
  std::optional<std::string> readString(const char* what) {
    const int32_t length = readInt(what);
    if (length == -1) return std::nullopt;
    if (length < 0) throw FormatError(std::string(what) + ": negative length " + std::to_string(length));
    need(size_t(length), what);
    std::string text(reinterpret_cast<const char*>(data + at), size_t(length));
    at += size_t(length);
    return text;
  }

 private:
  void need(size_t count, const char* what) const {
    if (count > remaining()) {
      throw FormatError(std::string(what) + ": needs " + std::to_string(count) + " bytes at offset " +
                        std::to_string(at) + ", " + std::to_string(remaining()) + " left");
    }
  }

  uint64_t readUnsigned(int32_t width, const char* what) {
    need(size_t(width), what);
    uint64_t value = 0;
    for (int32_t i = 0; i < width; i++) {
      const int32_t byte = endian == Endian::big ? i : width - 1 - i;
      value = value << 8 | data[at + size_t(byte)];
    }
    at += size_t(width);
    return value;
  }

  const unsigned char* data;
  size_t size;
  Endian endian;
  size_t at;
};

// One sampled thread of a telemetry row.
struct TelemetryItem {
  int32_t sequenceNumber = 0;
  int32_t frameId = 0;
  int32_t jvmtiState = 0;
  int64_t cpuTime = 0;

  bool operator==(const TelemetryItem& o) const {
    return sequenceNumber == o.sequenceNumber && frameId == o.frameId && jvmtiState == o.jvmtiState &&
           cpuTime == o.cpuTime;
  }
};

// One row as it came off the stream. A deleted row has only its index and stamp.
struct Row {
  int32_t index = 0;
  int32_t stamp = 0;
  // Every int and long of a live row in the order written. Telemetry: pair count, item count, the 12
  // fixed values, the pair values (the items are in `items`). Event: table id, row key, slot count and
  // the slots.
  std::vector<int64_t> values;
  std::optional<std::string> text;   // a live "string" row: its body; none for a null body
  std::vector<TelemetryItem> items;  // a live "tele" row with items

  bool operator==(const Row& o) const {
    return index == o.index && stamp == o.stamp && values == o.values && text == o.text && items == o.items;
  }
};

inline std::ostream& operator<<(std::ostream& out, const Row& row) {
  out << "{index " << row.index << ", stamp " << row.stamp << ", values [";
  for (size_t i = 0; i < row.values.size(); i++) out << (i == 0 ? "" : " ") << row.values[i];
  out << "]";
  if (row.text) out << ", text \"" << *row.text << "\"";
  for (const TelemetryItem& item : row.items) {
    out << ", item {" << item.sequenceNumber << " " << item.frameId << " " << item.jvmtiState << " "
        << item.cpuTime << "}";
  }
  return out << "}";
}

constexpr int32_t tableCount = 20;
constexpr int32_t stringTable = 0;
constexpr int32_t telemetryTable = 13;
constexpr int32_t eventTable = 15;

inline const char* tableName(int32_t table) {
  static const char* const names[tableCount] = {
      "string",     "thread",     "method",     "thread_frame",     "monitor",
      "cpu_profiling", "instance_count", "frame", "table_generation", "snapshot",
      "alloc_info", "generation", "properties", "tele",             "exception",
      "event",      "code_point", "call_count", "alloc_point",      "alloc_object_count"};
  return table >= 0 && table < tableCount ? names[table] : "?";
}

// The fixed row forms: 'i' an int, 'l' a long. "string", "tele" and "event" rows are read apart.
inline const char* fixedRowForm(int32_t table) {
  static const char* const forms[tableCount] = {
      "",         // string
      "iiiilill", // thread: name, second name, number, sequence, key, flag, start, end
      "iiiiii",   // method: five name parts, flags
      "ii",       // thread_frame
      "iiiill",   // monitor: key, total time, count
      "ll",       // cpu_profiling
      "iil",      // instance_count
      "iiii",     // frame
      "",         // table_generation
      "il",       // snapshot
      "lll",      // alloc_info
      "il",       // generation
      "ii",       // properties
      "",         // tele
      "iiiil",    // exception: key, count
      "",         // event
      "ii",       // code_point
      "l",        // call_count: count - base
      "ii",       // alloc_point
      "l",        // alloc_object_count
  };
  return forms[table];
}

inline void readLiveFields(Cursor& in, int32_t table, Row& row) {
  if (table == stringTable) {
    row.text = in.readString("string body");
    return;
  }
  if (table == eventTable) {
    row.values.push_back(in.readInt("event table id"));
    row.values.push_back(in.readInt("event row key"));
    const int32_t slots = in.readInt("event slot count");
    if (slots < 0) throw FormatError("event slot count " + std::to_string(slots));
    row.values.push_back(slots);
    for (int32_t i = 0; i < slots; i++) row.values.push_back(in.readInt("event slot"));
    return;
  }
  if (table == telemetryTable) {
    const int32_t pairs = in.readInt("telemetry pair count");
    const int32_t items = in.readInt("telemetry item count");
    if (pairs < 0) throw FormatError("telemetry pair count " + std::to_string(pairs));
    if (items < -1) throw FormatError("telemetry item count " + std::to_string(items));
    row.values.push_back(pairs);
    row.values.push_back(items);
    for (int64_t i = 0; i < 12 + 2 * int64_t(pairs); i++) row.values.push_back(in.readInt("telemetry value"));
    for (int32_t i = 0; i < items; i++) {
      TelemetryItem item;
      item.sequenceNumber = in.readInt("telemetry item");
      item.frameId = in.readInt("telemetry item");
      item.jvmtiState = in.readInt("telemetry item");
      item.cpuTime = in.readLong("telemetry item");
      row.items.push_back(item);
    }
    return;
  }
  for (const char* field = fixedRowForm(table); *field != '\0'; field++) {
    row.values.push_back(*field == 'l' ? in.readLong(tableName(table)) : in.readInt(tableName(table)));
  }
}

// Reads one table's stream at the cursor and leaves the cursor just after it.
inline std::vector<Row> readTableStream(Cursor& in, int32_t table) {
  if (table < 0 || table >= tableCount) throw FormatError("no table " + std::to_string(table));
  const int32_t count = in.readInt("row count");
  if (count < 0) throw FormatError("row count " + std::to_string(count));
  std::vector<Row> rows;
  for (int32_t i = 0; i < count; i++) {
    Row row;
    row.index = in.readInt("row index");
    row.stamp = in.readInt("row stamp");
    if (row.stamp == 0) throw FormatError("row " + std::to_string(row.index) + " has stamp 0");
    if (row.stamp > 0) readLiveFields(in, table, row);
    rows.push_back(std::move(row));
  }
  return rows;
}

// The stream of one table that fills `bytes` exactly.
inline std::vector<Row> parseTableStream(const std::string& bytes, Endian endian, int32_t table) {
  Cursor in(bytes, endian);
  std::vector<Row> rows = readTableStream(in, table);
  if (!in.atEnd()) throw FormatError(std::to_string(in.remaining()) + " bytes after the table's stream");
  return rows;
}

}  // namespace rowstream
