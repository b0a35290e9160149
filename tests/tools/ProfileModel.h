#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "agent/db/CodePointKey.h"
#include "tests/support/SnapshotReader.h"

// What the snapshot tools share: the rows of a snapshot's tables records, each row as the last record
// that has it left it (a memory snapshot's later record holds only the rows changed since the first),
// with the methods, threads and frames named the way a profiler user reads them. A frame's path is its
// methods from the outermost, each at the line it is at; the line pseudo-method's frame, last on a stack,
// carries the leaf's own line and is folded into its parent.

namespace profilemodel {

constexpr int32_t stringTable = 0;
constexpr int32_t threadTable = 1;
constexpr int32_t methodTable = 2;
constexpr int32_t threadFrameTable = 3;
constexpr int32_t frameTable = 7;
constexpr int32_t codePointTable = 16;

struct Frame {
  int32_t parent = -1;
  int32_t method = -1;  // -1 for no method (the root)
  int32_t line = 0;     // the line in the parent from which this frame was called
};

inline std::vector<const snapshotfile::TablesRecord*> tableRecordsOf(const snapshotfile::Snapshot& snapshot) {
  std::vector<const snapshotfile::TablesRecord*> records;
  for (const snapshotfile::TablesRecord& record : snapshot.tableRecords) records.push_back(&record);
  return records;
}

// "Ljava/util/HashMap;" as "java.util.HashMap", "[J" as "long[]"; a name that is no signature stays.
inline std::string classNameOfSignature(const std::string& signature) {
  size_t dimensions = 0;
  while (dimensions < signature.size() && signature[dimensions] == '[') dimensions++;
  const std::string element = signature.substr(dimensions);
  std::string name;
  if (element.size() > 2 && element.front() == 'L' && element.back() == ';') {
    name = element.substr(1, element.size() - 2);
    std::replace(name.begin(), name.end(), '/', '.');
  } else if (element.size() == 1 && dimensions > 0) {
    static const std::map<char, const char*> primitives{{'Z', "boolean"}, {'B', "byte"},  {'C', "char"},
                                                        {'S', "short"},   {'I', "int"},   {'J', "long"},
                                                        {'F', "float"},   {'D', "double"}};
    const auto found = primitives.find(element[0]);
    name = found != primitives.end() ? found->second : element;
  } else if (dimensions == 0) {
    return signature;
  } else {
    name = element;
  }
  for (size_t i = 0; i < dimensions; i++) name += "[]";
  return name;
}

// A class name without its package; a hidden class (a lambda's) also loses its address, ".0x…" after its
// own name.
inline std::string simpleClassName(std::string className) {
  const size_t last = className.rfind('.');
  if (last != std::string::npos && className.compare(last + 1, 2, "0x") == 0) className.erase(last);
  const size_t dot = className.rfind('.');
  return dot == std::string::npos ? className : className.substr(dot + 1);
}

class ProfileModel {
 public:
  explicit ProfileModel(const std::vector<const snapshotfile::TablesRecord*>& records) {
    for (const snapshotfile::TablesRecord* record : records) {
      for (const auto& [table, rows] : record->tables) {
        for (const rowstream::Row& row : rows) byTable[table][row.index] = row;
      }
    }
    for (auto& [table, rows] : byTable) {
      for (auto row = rows.begin(); row != rows.end();) row = row->second.stamp > 0 ? std::next(row) : rows.erase(row);
    }
    for (const auto& [index, row] : rows(methodTable)) {
      methods[index] = {text(field(row, 2)), text(field(row, 0)), text(field(row, 1)), int32_t(field(row, 5))};
    }
    for (const auto& [index, row] : rows(threadTable)) {
      const int32_t number = int32_t(field(row, 2));
      if (number > 0) threadNamesByNumber[number] = text(field(row, 0));
      threadNamesBySequence[int32_t(field(row, 3))] = text(field(row, 0));
    }
    readFrames();
    labelMethods();
  }

  explicit ProfileModel(const snapshotfile::Snapshot& snapshot) : ProfileModel(tableRecordsOf(snapshot)) {}

  // The live rows of a table by row index.
  const std::map<int32_t, rowstream::Row>& rows(int32_t table) const {
    static const std::map<int32_t, rowstream::Row> none;
    const auto found = byTable.find(table);
    return found != byTable.end() ? found->second : none;
  }

  const rowstream::Row* row(int32_t table, int64_t index) const {
    const std::map<int32_t, rowstream::Row>& live = rows(table);
    const auto found = live.find(int32_t(index));
    return found != live.end() ? &found->second : nullptr;
  }

  std::string text(int64_t id) const {
    const rowstream::Row* string = row(stringTable, id);
    return string != nullptr && string->text ? *string->text : std::string();
  }

  std::unordered_map<int32_t, Frame> frames;
  int32_t lineMethod = -1;  // the line pseudo-method, -1 when the snapshot has none

  const Frame* frame(int32_t id) const {
    const auto found = frames.find(id);
    return found != frames.end() ? &found->second : nullptr;
  }

  bool isLineFrame(const Frame& frame) const { return lineMethod >= 0 && frame.method == lineMethod; }

  // The frame's path from the root, each frame with the line it is at: the line from which its child
  // was called, or for the leaf the line its line frame carries.
  std::vector<std::string> path(int32_t frameId) const {
    std::vector<std::string> labels;
    for (auto& [method, label] : labeledPath(frameId)) labels.push_back(std::move(label));
    return labels;
  }

  // Where a stack stands, as a user looks for it: its innermost method at its line, then the nearest
  // caller of the program's own code when the innermost method is the JDK's, else its direct caller. With
  // `belowLeaf` the innermost frame is left out (an allocated class's pseudo-method).
  std::vector<std::string> site(int32_t frameId, bool belowLeaf = false) const {
    std::vector<std::pair<int32_t, std::string>> labeled = labeledPath(frameId);
    if (belowLeaf && !labeled.empty()) labeled.pop_back();
    std::vector<std::string> labels;
    for (size_t i = labeled.size(); i-- > 0;) {
      if (labels.size() == 1 && isJdkMethod(labeled.back().first) && isJdkMethod(labeled[i].first) && i > 0) continue;
      labels.push_back(labeled[i].second);
      if (labels.size() == 2) break;
    }
    return labels;
  }

  bool isJdkMethod(int32_t method) const {
    const std::string className = methodName(method).first;
    for (const char* prefix : {"java.", "javax.", "jdk.", "sun.", "com.sun."}) {
      if (className.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }

  // The frames from the outermost to `frameId`, the root left out.
  std::vector<int32_t> chainOf(int32_t frameId) const {
    std::vector<int32_t> chain;
    for (int32_t id = frameId; id >= 0;) {
      const Frame* found = frame(id);
      if (found == nullptr || found->method < 0) break;
      if (chain.size() > frames.size()) {
        throw rowstream::FormatError("frame " + std::to_string(frameId) + " has a cycle among its parents");
      }
      chain.push_back(id);
      id = found->parent;
    }
    std::reverse(chain.begin(), chain.end());
    return chain;
  }

  // The method whose own time a frame's own time is: a line frame's is its parent's.
  int32_t ownerMethod(const Frame& frame) const {
    if (!isLineFrame(frame)) return frame.method;
    const Frame* parent = this->frame(frame.parent);
    return parent != nullptr ? parent->method : frame.method;
  }

  // "Class.method", with the package left out where no other class has the same simple name, and the
  // parameters added where the class has more than one method of that name.
  std::string methodLabel(int32_t method) const {
    const auto found = methodLabels.find(method);
    return found != methodLabels.end() ? found->second : "<method " + std::to_string(method) + ">";
  }

  // The class and the name of a method as the method table has them.
  std::pair<std::string, std::string> methodName(int32_t method) const {
    const auto found = methods.find(method);
    return found != methods.end() ? std::make_pair(found->second.className, found->second.name)
                                  : std::make_pair(std::string(), std::string());
  }

  // The method record's flag word; 0 for a method the snapshot does not have.
  int32_t methodFlags(int32_t method) const {
    const auto found = methods.find(method);
    return found != methods.end() ? found->second.flags : 0;
  }

  std::string threadName(int32_t threadNumber) const { return nameIn(threadNamesByNumber, threadNumber); }
  std::string threadNameBySequence(int32_t sequence) const { return nameIn(threadNamesBySequence, sequence); }

 private:
  struct Method {
    std::string className;
    std::string name;
    std::string parameters;
    int32_t flags;
  };

  std::map<int32_t, std::map<int32_t, rowstream::Row>> byTable;
  std::unordered_map<int32_t, Method> methods;
  std::unordered_map<int32_t, std::string> methodLabels;
  std::unordered_map<int32_t, std::string> threadNamesByNumber;
  std::unordered_map<int32_t, std::string> threadNamesBySequence;

  // The methods of the frame's path with their labels, outermost first.
  std::vector<std::pair<int32_t, std::string>> labeledPath(int32_t frameId) const {
    const std::vector<int32_t> chain = chainOf(frameId);
    std::vector<std::pair<int32_t, std::string>> labeled;
    for (size_t i = 0; i < chain.size(); i++) {
      const Frame& frame = frames.at(chain[i]);
      if (isLineFrame(frame)) continue;
      std::string label = methodLabel(frame.method);
      const int32_t line = i + 1 < chain.size() ? frames.at(chain[i + 1]).line : 0;
      if (line > 0) label += ":" + std::to_string(line);
      labeled.emplace_back(frame.method, std::move(label));
    }
    return labeled;
  }

  // A value of the row; 0 past its end.
  static int64_t field(const rowstream::Row& row, size_t index) {
    return index < row.values.size() ? row.values[index] : 0;
  }

  static std::string nameIn(const std::unordered_map<int32_t, std::string>& names, int32_t key) {
    const auto found = names.find(key);
    return found != names.end() ? found->second : "<thread " + std::to_string(key) + ">";
  }

  void readFrames() {
    for (const auto& [index, record] : rows(frameTable)) {
      Frame frame;
      frame.parent = int32_t(record.values[0]);
      const int32_t key = int32_t(record.values[1]);
      if (frame.parent >= 0) {
        if (isCompactCodePointKey(key)) {
          frame.method = compactCodePointMethod(key);
          frame.line = compactCodePointLine(key);
        } else if (isRowCodePointKey(key)) {
          const rowstream::Row* point = row(codePointTable, codePointRow(key));
          if (point == nullptr) throw rowstream::FormatError("frame " + std::to_string(index) + " names a missing code point");
          frame.method = int32_t(point->values[0]);
          frame.line = int32_t(point->values[1]);
        } else {
          frame.method = key;
        }
      }
      frames[index] = frame;
    }
    for (const auto& [index, method] : methods) {
      if (method.className == "own" && method.name == "<<own>>") lineMethod = index;
    }
  }

  void labelMethods() {
    std::map<std::string, std::set<std::string>> classesBySimpleName;
    std::map<std::pair<std::string, std::string>, std::set<std::string>> overloads;
    for (const auto& [index, method] : methods) {
      classesBySimpleName[simpleClassName(method.className)].insert(method.className);
      overloads[{method.className, method.name}].insert(method.parameters);
    }
    for (const auto& [index, method] : methods) {
      const std::string simple = simpleClassName(method.className);
      std::string label = classesBySimpleName[simple].size() == 1 ? simple : method.className;
      label += "." + method.name;
      if (overloads[{method.className, method.name}].size() > 1) label += method.parameters;
      methodLabels[index] = std::move(label);
    }
  }
};

}  // namespace profilemodel
