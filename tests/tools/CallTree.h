#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "tests/tools/ProfileModel.h"

// The call tree that CPU tracing recorded, all threads merged: every call path with its exact number of
// calls and its time. A "cpu_profiling" row of tracing holds the inclusive time and the invocations of one
// (thread, frame) pair; the frames form one tree for all threads, so merging is summing per frame.

namespace calltree {

constexpr int32_t cpuProfilingTable = 5;
constexpr int32_t adaptiveExcludedFlag = 0x200;  // of a method record: the adaptive filter stopped tracing it

struct Node {
  std::string method;  // as the profile model labels it
  int32_t line = 0;    // the line of the caller from which it was called, 0 when unknown
  int64_t calls = 0;
  int64_t ns = 0;      // with its callees
  int64_t ownNs = 0;   // without them
  bool excluded = false;  // the adaptive filter stopped tracing the method: its calls stop there
  std::vector<Node> children;  // by decreasing time
};

struct CallTree {
  int64_t totalNs = 0;
  int64_t calls = 0;  // of every node
  std::vector<Node> roots;  // the outermost methods of the threads, by decreasing time
};

namespace detail {

struct Totals {
  int64_t calls = 0;
  int64_t ns = 0;
};

inline void sortByTime(std::vector<Node>& nodes) {
  std::sort(nodes.begin(), nodes.end(), [](const Node& a, const Node& b) {
    return a.ns != b.ns ? a.ns > b.ns : a.method < b.method;
  });
}

inline Node nodeOf(const profilemodel::ProfileModel& model, int32_t frame, const Totals& totals,
                   const std::unordered_map<int32_t, std::vector<int32_t>>& children,
                   const std::unordered_map<int32_t, Totals>& byFrame) {
  const profilemodel::Frame& record = model.frames.at(frame);
  Node node{model.methodLabel(record.method), record.line, totals.calls, totals.ns, totals.ns,
            (model.methodFlags(record.method) & adaptiveExcludedFlag) != 0, {}};
  const auto below = children.find(frame);
  if (below == children.end()) return node;
  for (const int32_t child : below->second) {
    Node callee = nodeOf(model, child, byFrame.at(child), children, byFrame);
    node.ownNs -= callee.ns;
    node.children.push_back(std::move(callee));
  }
  node.ownNs = std::max<int64_t>(node.ownNs, 0);
  sortByTime(node.children);
  return node;
}

}  // namespace detail

inline CallTree readCallTree(const profilemodel::ProfileModel& model) {
  std::unordered_map<int32_t, detail::Totals> byFrame;
  for (const auto& [index, pair] : model.rows(profilemodel::threadFrameTable)) {
    const rowstream::Row* row = model.row(cpuProfilingTable, index);
    if (row == nullptr) continue;
    const int32_t frame = int32_t(pair.values[1]);
    const profilemodel::Frame* record = model.frame(frame);
    if (record == nullptr) throw rowstream::FormatError("thread_frame " + std::to_string(index) + " names a missing frame");
    if (record->method < 0 || model.isLineFrame(*record)) continue;
    byFrame[frame].ns += row->values[0];
    byFrame[frame].calls += row->values[1];
  }
  std::unordered_map<int32_t, std::vector<int32_t>> children;
  std::vector<int32_t> outermost;
  for (const auto& [frame, totals] : byFrame) {
    const int32_t parent = model.frames.at(frame).parent;
    (byFrame.count(parent) != 0 ? children[parent] : outermost).push_back(frame);
  }
  CallTree tree;
  for (const int32_t frame : outermost) {
    tree.roots.push_back(detail::nodeOf(model, frame, byFrame.at(frame), children, byFrame));
    tree.totalNs += tree.roots.back().ns;
  }
  for (const auto& [frame, totals] : byFrame) tree.calls += totals.calls;
  detail::sortByTime(tree.roots);
  return tree;
}

// The calls of every node whose path ends in the methods given, outermost first, summed: a method called
// along several paths from the first one counts once per path.
inline int64_t callsAlong(const std::vector<Node>& nodes, const std::vector<std::string>& methods, size_t from = 0) {
  int64_t calls = 0;
  for (const Node& node : nodes) {
    if (node.method == methods[from]) {
      calls += from + 1 == methods.size() ? node.calls : callsAlong(node.children, methods, from + 1);
    } else if (from == 0) {
      calls += callsAlong(node.children, methods, 0);
    }
  }
  return calls;
}

}  // namespace calltree
