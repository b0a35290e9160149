#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "agent/db/CodePointKey.h"
#include "tests/support/SnapshotReader.h"

// Where a snapshot's CPU time went: the call paths, methods and threads that used most of it. A
// "cpu_profiling" row holds the inclusive time of one (thread, frame) pair, so a frame's own time is its
// time less its children's. The line pseudo-method's frame, last on a stack, carries the leaf's own line:
// it is folded into its parent, so a path ends at the line its leaf was sampled at.

namespace cpuhotpaths {

constexpr int32_t stringTable = 0;
constexpr int32_t threadTable = 1;
constexpr int32_t methodTable = 2;
constexpr int32_t threadFrameTable = 3;
constexpr int32_t cpuProfilingTable = 5;
constexpr int32_t frameTable = 7;
constexpr int32_t codePointTable = 16;

struct HotPath {
  std::vector<std::string> frames;  // "class.method:line", outermost first
  int64_t ownNs = 0;
};

struct NamedTime {
  std::string name;
  int64_t ns = 0;
};

struct Limits {
  size_t paths = 10;
  size_t methods = 10;
  size_t threads = 5;
};

// Each list is sorted by decreasing time, holds only entries with time, and is cut at its limit.
struct CpuProfile {
  int64_t totalNs = 0;           // every sampled thread's time
  size_t sampledThreadCount = 0;  // threads with time, also those past the limit
  std::vector<HotPath> paths;
  std::vector<NamedTime> methods;  // by own time
  std::vector<NamedTime> threads;  // by sampled time
};

namespace detail {

struct Method {
  std::string className;
  std::string name;
  std::string parameters;
};

struct Frame {
  int32_t parent = -1;
  int32_t method = -1;  // -1 for no method (the root)
  int32_t line = 0;     // the line in the parent from which this frame was called
  int64_t timeNs = 0;   // inclusive, summed over threads
};

inline const std::vector<rowstream::Row>& rowsOf(const snapshotfile::TablesRecord& tables, int32_t table) {
  static const std::vector<rowstream::Row> none;
  const auto found = tables.tables.find(table);
  return found != tables.tables.end() ? found->second : none;
}

// The live rows of a table by row index; the reader gave each the fields of the table's row form.
inline std::unordered_map<int32_t, const rowstream::Row*> liveRows(const snapshotfile::TablesRecord& tables,
                                                                   int32_t table) {
  std::unordered_map<int32_t, const rowstream::Row*> rows;
  for (const rowstream::Row& row : rowsOf(tables, table)) {
    if (row.stamp > 0) rows[row.index] = &row;
  }
  return rows;
}

inline int32_t intValue(const rowstream::Row& row, size_t field) { return int32_t(row.values[field]); }

// Reads the tables once and answers what the rankings ask of them.
class Model {
 public:
  explicit Model(const snapshotfile::TablesRecord& tables) {
    for (const rowstream::Row& row : rowsOf(tables, stringTable)) {
      if (row.stamp > 0 && row.text) strings[row.index] = *row.text;
    }
    for (const auto& [index, row] : liveRows(tables, methodTable)) {
      methods[index] = {text(intValue(*row, 2)), text(intValue(*row, 0)), text(intValue(*row, 1))};
    }
    readFrames(tables);
    readTimes(tables);
    labelMethods();
  }

  std::unordered_map<int32_t, Frame> frames;
  std::map<int32_t, int64_t> threadTimes;  // by thread number
  std::unordered_map<int32_t, std::string> threadNames;
  int32_t lineMethod = -1;  // the line pseudo-method, -1 when the snapshot has none

  bool isLineFrame(const Frame& frame) const { return lineMethod >= 0 && frame.method == lineMethod; }

  // Each frame's time less its children's, by frame id.
  std::unordered_map<int32_t, int64_t> ownTimes() const {
    std::unordered_map<int32_t, int64_t> own;
    for (const auto& [id, frame] : frames) own[id] += frame.timeNs;
    for (const auto& [id, frame] : frames) {
      if (frame.method >= 0 && frames.count(frame.parent) != 0) own[frame.parent] -= frame.timeNs;
    }
    for (auto& [id, ns] : own) ns = std::max<int64_t>(ns, 0);
    return own;
  }

  // The frame's path from the root, each frame with the line it is at: the line from which its child
  // was called, or for the leaf the line its line frame carries.
  std::vector<std::string> path(int32_t frameId) const {
    std::vector<int32_t> chain;
    for (int32_t id = frameId; id >= 0;) {
      const auto found = frames.find(id);
      if (found == frames.end() || found->second.method < 0) break;
      if (chain.size() > frames.size()) {
        throw rowstream::FormatError("frame " + std::to_string(frameId) + " has a cycle among its parents");
      }
      chain.push_back(id);
      id = found->second.parent;
    }
    std::reverse(chain.begin(), chain.end());
    std::vector<std::string> labels;
    for (size_t i = 0; i < chain.size(); i++) {
      const Frame& frame = frames.at(chain[i]);
      if (isLineFrame(frame)) continue;
      std::string label = methodLabel(frame.method);
      const int32_t line = i + 1 < chain.size() ? frames.at(chain[i + 1]).line : 0;
      if (line > 0) label += ":" + std::to_string(line);
      labels.push_back(std::move(label));
    }
    return labels;
  }

  // The method whose own time a frame's own time is: a line frame's is its parent's.
  int32_t ownerMethod(const Frame& frame) const {
    if (!isLineFrame(frame)) return frame.method;
    const auto parent = frames.find(frame.parent);
    return parent != frames.end() ? parent->second.method : frame.method;
  }

  std::string methodLabel(int32_t method) const {
    const auto found = methodLabels.find(method);
    return found != methodLabels.end() ? found->second : "<method " + std::to_string(method) + ">";
  }

  std::string threadName(int32_t threadNumber) const {
    const auto found = threadNames.find(threadNumber);
    return found != threadNames.end() ? found->second : "<thread " + std::to_string(threadNumber) + ">";
  }

 private:
  std::unordered_map<int32_t, std::string> strings;
  std::unordered_map<int32_t, Method> methods;
  std::unordered_map<int32_t, std::string> methodLabels;

  std::string text(int32_t id) const {
    const auto found = strings.find(id);
    return found != strings.end() ? found->second : std::string();
  }

  void readFrames(const snapshotfile::TablesRecord& tables) {
    const auto codePoints = liveRows(tables, codePointTable);
    for (const auto& [index, row] : liveRows(tables, frameTable)) {
      Frame frame;
      frame.parent = intValue(*row, 0);
      const int32_t key = intValue(*row, 1);
      if (frame.parent >= 0) {
        if (isCompactCodePointKey(key)) {
          frame.method = compactCodePointMethod(key);
          frame.line = compactCodePointLine(key);
        } else if (isRowCodePointKey(key)) {
          const auto point = codePoints.find(codePointRow(key));
          if (point == codePoints.end()) {
            throw rowstream::FormatError("frame " + std::to_string(index) + " names a missing code point");
          }
          frame.method = intValue(*point->second, 0);
          frame.line = intValue(*point->second, 1);
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

  void readTimes(const snapshotfile::TablesRecord& tables) {
    const auto times = liveRows(tables, cpuProfilingTable);
    for (const auto& [index, row] : liveRows(tables, threadFrameTable)) {
      const auto time = times.find(index);
      if (time == times.end()) continue;
      const int32_t threadNumber = intValue(*row, 0);
      const auto frame = frames.find(intValue(*row, 1));
      if (frame == frames.end()) {
        throw rowstream::FormatError("thread_frame " + std::to_string(index) + " names a missing frame");
      }
      frame->second.timeNs += time->second->values[0];
      // A thread's time is that of its outermost frames.
      if (frame->second.parent == 0) threadTimes[threadNumber] += time->second->values[0];
    }
    for (const auto& [index, row] : liveRows(tables, threadTable)) {
      const int32_t number = intValue(*row, 2);
      if (number > 0) threadNames[number] = text(intValue(*row, 0));
    }
  }

  // "Class.method", with the package left out where no other class has the same simple name, and the
  // parameters added where the class has more than one method of that name.
  void labelMethods() {
    // A hidden class (a lambda's) also loses its address, ".0x…" after its own name.
    const auto simpleName = [](std::string className) {
      const size_t last = className.rfind('.');
      if (last != std::string::npos && className.compare(last + 1, 2, "0x") == 0) className.erase(last);
      const size_t dot = className.rfind('.');
      return dot == std::string::npos ? className : className.substr(dot + 1);
    };
    std::map<std::string, std::set<std::string>> classesBySimpleName;
    std::map<std::pair<std::string, std::string>, std::set<std::string>> overloads;
    for (const auto& [index, method] : methods) {
      classesBySimpleName[simpleName(method.className)].insert(method.className);
      overloads[{method.className, method.name}].insert(method.parameters);
    }
    for (const auto& [index, method] : methods) {
      const std::string simple = simpleName(method.className);
      std::string label = classesBySimpleName[simple].size() == 1 ? simple : method.className;
      label += "." + method.name;
      if (overloads[{method.className, method.name}].size() > 1) label += method.parameters;
      methodLabels[index] = std::move(label);
    }
  }
};

template <class Key>
std::vector<std::pair<Key, int64_t>> topByTime(const std::unordered_map<Key, int64_t>& times, size_t limit) {
  std::vector<std::pair<Key, int64_t>> ranked;
  for (const auto& entry : times) {
    if (entry.second > 0) ranked.push_back(entry);
  }
  std::sort(ranked.begin(), ranked.end(),
            [](const auto& a, const auto& b) { return std::tie(b.second, a.first) < std::tie(a.second, b.first); });
  if (ranked.size() > limit) ranked.resize(limit);
  return ranked;
}

}  // namespace detail

inline CpuProfile readCpuProfile(const snapshotfile::TablesRecord& tables, const Limits& limits = {}) {
  const detail::Model model(tables);
  CpuProfile profile;

  const std::unordered_map<int32_t, int64_t> own = model.ownTimes();
  std::unordered_map<int32_t, int64_t> byMethod;
  for (const auto& [id, ns] : own) {
    profile.totalNs += ns;
    const detail::Frame& frame = model.frames.at(id);
    if (frame.method >= 0) byMethod[model.ownerMethod(frame)] += ns;
  }
  for (const auto& [id, ns] : detail::topByTime(own, limits.paths)) profile.paths.push_back({model.path(id), ns});
  for (const auto& [method, ns] : detail::topByTime(byMethod, limits.methods)) {
    profile.methods.push_back({model.methodLabel(method), ns});
  }

  const std::unordered_map<int32_t, int64_t> threads(model.threadTimes.begin(), model.threadTimes.end());
  for (const auto& [number, ns] : threads) profile.sampledThreadCount += ns > 0 ? 1 : 0;
  for (const auto& [number, ns] : detail::topByTime(threads, limits.threads)) {
    profile.threads.push_back({model.threadName(number), ns});
  }
  return profile;
}

}  // namespace cpuhotpaths
