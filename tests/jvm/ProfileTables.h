#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "agent/db/CodePointKey.h"
#include "tests/support/RowStreamReader.h"

// What the tests of CPU recording in real JVMs ask of the tables that snapshots and replies carry: the
// profile view of threads, frames, methods and their "cpu_profiling" rows, and the figures the test
// programs print.

namespace profiletables {

constexpr int32_t threadTable = 1;
constexpr int32_t methodTable = 2;
constexpr int32_t threadFrameTable = 3;
constexpr int32_t cpuProfilingTable = 5;
constexpr int32_t frameTable = 7;
constexpr int32_t codePointTable = 16;
constexpr int64_t nsPerMs = 1000000;

using Tables = std::map<int32_t, std::vector<rowstream::Row>>;

// The rows a client holds after reading table records in order, each row as last read: a snapshot's
// tables, or the replies taken so far. Answers what a profile view asks of them.
class ProfileTables {
 public:
  explicit ProfileTables(const std::vector<const Tables*>& records) {
    for (const Tables* tables : records) {
      for (const auto& [table, rows] : *tables) {
        for (const rowstream::Row& row : rows) byTable[table][row.index] = row;
      }
    }
  }

  // The live row, or null.
  const rowstream::Row* row(int32_t table, int64_t index) const {
    const auto rows = byTable.find(table);
    if (rows == byTable.end()) return nullptr;
    const auto found = rows->second.find(int32_t(index));
    return found == rows->second.end() || found->second.stamp < 1 ? nullptr : &found->second;
  }

  std::string text(int64_t id) const {
    const rowstream::Row* string = row(rowstream::stringTable, id);
    return string != nullptr && string->text ? *string->text : "<no string " + std::to_string(id) + ">";
  }

  // The number, or the sequence number, of the one live thread of that name; -1 when there is none or
  // more than one.
  int32_t threadNumber(const std::string& name) const { return threadValue(name, threadNumberField); }
  int32_t threadSequence(const std::string& name) const { return threadValue(name, threadSequenceField); }
  // The name of the live thread with that sequence number.
  std::string threadName(int64_t sequence) const {
    std::string name = "<no thread " + std::to_string(sequence) + ">";
    forEachLive(threadTable, [&](const rowstream::Row& thread) {
      if (thread.values[threadSequenceField] == sequence) name = text(thread.values[threadNameField]);
    });
    return name;
  }

  int32_t parentOf(int32_t frame) const {
    const rowstream::Row* record = row(frameTable, frame);
    return record != nullptr ? int32_t(record->values[0]) : -1;
  }

  // "<class>.<method>" of the frame's method.
  std::string methodOf(int32_t frame) const {
    const rowstream::Row* record = row(frameTable, frame);
    if (record == nullptr) return "<no frame " + std::to_string(frame) + ">";
    const int32_t key = int32_t(record->values[1]);
    int64_t method = key;
    if (isCompactCodePointKey(key)) {
      method = compactCodePointMethod(key);
    } else if (isRowCodePointKey(key)) {
      const rowstream::Row* point = row(codePointTable, codePointRow(key));
      if (point == nullptr) return "<no code point " + std::to_string(codePointRow(key)) + ">";
      method = point->values[0];
    }
    const rowstream::Row* methodRow = row(methodTable, method);
    if (methodRow == nullptr) return "<no method " + std::to_string(method) + ">";
    return text(methodRow->values[2]) + "." + text(methodRow->values[0]);
  }

  // Whether the frame or one of its callers runs the method.
  bool runsIn(int32_t frame, const std::string& method) const {
    for (; frame > 0; frame = parentOf(frame)) {
      if (methodOf(frame) == method) return true;
    }
    return false;
  }

  // The thread's frames, each with the time of its "cpu_profiling" row in `rows` (a table of the
  // records read, or of one of them).
  std::map<int32_t, int64_t> timesOfThread(int32_t threadNumber, const std::vector<rowstream::Row>& rows) const {
    std::map<int32_t, int64_t> times;
    for (const rowstream::Row& cpu : rows) {
      const rowstream::Row* pair = row(threadFrameTable, cpu.index);
      if (cpu.stamp > 0 && pair != nullptr && pair->values[0] == threadNumber) {
        times[int32_t(pair->values[1])] = cpu.values[0];
      }
    }
    return times;
  }
  std::map<int32_t, int64_t> timesOfThread(int32_t threadNumber) const {
    std::vector<rowstream::Row> rows;
    forEachLive(cpuProfilingTable, [&](const rowstream::Row& cpu) { rows.push_back(cpu); });
    return timesOfThread(threadNumber, rows);
  }

  // The time charged to the method in the thread, callees included: the sum over the outermost of its
  // frames.
  int64_t inclusiveTime(int32_t threadNumber, const std::string& method) const {
    int64_t total = 0;
    for (const auto& [frame, time] : timesOfThread(threadNumber)) {
      if (methodOf(frame) == method && !runsIn(parentOf(frame), method)) total += time;
    }
    return total;
  }

  // The methods of the frame and its callers, outermost first, as methodOf names them.
  std::vector<std::string> pathOf(int32_t frame) const {
    std::vector<std::string> path;
    for (; frame > 0; frame = parentOf(frame)) path.insert(path.begin(), methodOf(frame));
    return path;
  }

  // The line of the caller that the frame's key pairs with its method; 0 for a key without one.
  int32_t lineOf(int32_t frame) const {
    const rowstream::Row* record = row(frameTable, frame);
    if (record == nullptr) return -1;
    const int32_t key = int32_t(record->values[1]);
    if (isCompactCodePointKey(key)) return compactCodePointLine(key);
    if (!isRowCodePointKey(key)) return 0;
    const rowstream::Row* point = row(codePointTable, codePointRow(key));
    return point != nullptr ? int32_t(point->values[1]) : -1;
  }

  // The id of the one method of that class and name; -1 when there is none or more than one.
  int64_t methodId(const std::string& className, const std::string& name) const {
    int64_t id = -1;
    int found = 0;
    forEachLive(methodTable, [&](const rowstream::Row& method) {
      if (text(method.values[2]) == className && text(method.values[0]) == name) {
        id = method.index;
        found++;
      }
    });
    return found == 1 ? id : -1;
  }

  // The "cpu_profiling" rows of the thread's frames in `rows` (or in all records read), by frame.
  std::map<int32_t, const rowstream::Row*> cpuRowsOfThread(int32_t threadNumber,
                                                            const std::vector<rowstream::Row>& rows) const {
    std::map<int32_t, const rowstream::Row*> found;
    for (const rowstream::Row& cpu : rows) {
      const rowstream::Row* pair = row(threadFrameTable, cpu.index);
      if (cpu.stamp > 0 && pair != nullptr && pair->values[0] == threadNumber) found[int32_t(pair->values[1])] = &cpu;
    }
    return found;
  }
  std::map<int32_t, const rowstream::Row*> cpuRowsOfThread(int32_t threadNumber) const {
    std::map<int32_t, const rowstream::Row*> found;
    forEachLive(threadFrameTable, [&](const rowstream::Row& pair) {
      const rowstream::Row* cpu = row(cpuProfilingTable, pair.index);
      if (pair.values[0] == threadNumber && cpu != nullptr) found[int32_t(pair.values[1])] = cpu;
    });
    return found;
  }

  // The invocations of the thread's frames of the method, summed over its call paths.
  int64_t invocations(int32_t threadNumber, const std::string& method) const {
    int64_t total = 0;
    for (const auto& [frame, row] : cpuRowsOfThread(threadNumber)) {
      if (methodOf(frame) == method) total += row->values[1];
    }
    return total;
  }

  template <typename Visit>
  void forEachLive(int32_t table, Visit visit) const {
    const auto rows = byTable.find(table);
    if (rows == byTable.end()) return;
    for (const auto& [index, record] : rows->second) {
      if (record.stamp > 0) visit(record);
    }
  }

 private:
  // Fields of a "thread" row.
  static constexpr size_t threadNameField = 0;
  static constexpr size_t threadNumberField = 2;
  static constexpr size_t threadSequenceField = 3;

  int32_t threadValue(const std::string& name, size_t field) const {
    int32_t value = -1;
    int found = 0;
    forEachLive(threadTable, [&](const rowstream::Row& thread) {
      if (text(thread.values[threadNameField]) == name) {
        value = int32_t(thread.values[field]);
        found++;
      }
    });
    return found == 1 ? value : -1;
  }

  std::map<int32_t, std::map<int32_t, rowstream::Row>> byTable;
};

// The number after `label` in a program's output; -1 when the label is missing.
inline int64_t figure(const std::string& output, const std::string& label) {
  const size_t at = output.find(label);
  return at == std::string::npos ? -1 : std::stoll(output.substr(at + label.size()));
}

}  // namespace profiletables
