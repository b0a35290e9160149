#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/RowStreamReader.h"
#include "tests/tools/HeapGraph.h"

// The biggest objects of a heap by retained size: what each object keeps alive alone, its own size and
// that of every object it dominates, from the immediate dominators (0: the virtual root above the roots)
// and the reached objects that the host's dominator computation gives for the heap graph. The biggest
// objects are the tops of the dominator tree: objects, not classes or class loaders, that nothing but
// classes, class loaders and the roots dominate; each comes with the biggest objects it dominates.

namespace biggestobjects {

struct Entry {
  int32_t object = 0;
  uint64_t retained = 0;
  uint64_t shallow = 0;
  std::string label;
  std::string heldBy;  // how its dominator, or for a top the class or root, refers to it
  std::vector<Entry> dominated;  // the biggest objects it dominates, by decreasing retained size
};

struct Heap {
  int32_t reachedCount = 0;
  uint64_t reachedBytes = 0;
  std::vector<Entry> biggest;  // by decreasing retained size
};

struct Limits {
  size_t tops = 5;
  size_t dominated = 3;  // per level
  int depth = 2;
  double share = 0.01;  // of the reached bytes, below which an object is left out
};

// The little-endian int32 values of a file the host wrote.
inline std::vector<int32_t> littleEndianInts(const std::string& bytes) {
  if (bytes.size() % 4 != 0) throw rowstream::FormatError(std::to_string(bytes.size()) + " bytes are no int32 values");
  std::vector<int32_t> values(bytes.size() / 4);
  for (size_t i = 0; i < values.size(); i++) {
    uint32_t value = 0;
    for (int b = 3; b >= 0; b--) value = value << 8 | uint8_t(bytes[4 * i + size_t(b)]);
    values[i] = int32_t(value);
  }
  return values;
}

inline Heap readBiggestObjects(const heapgraph::HeapGraph& graph, const std::vector<int32_t>& dominators,
                               const std::vector<int32_t>& reachedBits, const Limits& limits = {}) {
  const int32_t count = graph.count();
  if (dominators.size() != size_t(count) + 1 || reachedBits.size() != size_t(count) / 32 + 1) {
    throw rowstream::FormatError("dominators for " + std::to_string(dominators.size()) + " objects and reached bits for " +
                                 std::to_string(reachedBits.size() * 32) + " where the heap has " + std::to_string(count));
  }
  const auto reached = [&](int32_t o) { return (uint32_t(reachedBits[size_t(o) >> 5]) >> (o & 31) & 1) != 0; };
  // The dominator tree's children, and an order with every object after its dominator.
  std::vector<std::vector<int32_t>> children(size_t(count) + 1);
  Heap heap;
  for (int32_t o = 1; o <= count; o++) {
    if (!reached(o)) continue;
    const int32_t d = dominators[size_t(o)];
    if (d < 0 || d > count || (d != 0 && !reached(d))) {
      throw rowstream::FormatError("object " + std::to_string(o) + " has the dominator " + std::to_string(d));
    }
    children[size_t(d)].push_back(o);
    heap.reachedCount++;
    heap.reachedBytes += graph.objects[size_t(o)].size;
  }
  std::vector<int32_t> order{0};
  for (size_t i = 0; i < order.size(); i++) {
    for (const int32_t child : children[size_t(order[i])]) order.push_back(child);
  }
  if (order.size() != size_t(heap.reachedCount) + 1) throw rowstream::FormatError("the dominators form no tree");
  std::vector<uint64_t> retained(size_t(count) + 1, 0);
  for (size_t i = order.size(); i-- > 1;) {
    const int32_t o = order[i];
    retained[size_t(o)] += graph.objects[size_t(o)].size;
    retained[size_t(dominators[size_t(o)])] += retained[size_t(o)];
  }

  const uint64_t least = uint64_t(limits.share * double(heap.reachedBytes));
  const auto bySize = [&](std::vector<int32_t> objects, size_t limit) {
    std::sort(objects.begin(), objects.end(), [&](int32_t a, int32_t b) {
      return retained[size_t(a)] != retained[size_t(b)] ? retained[size_t(a)] > retained[size_t(b)] : a < b;
    });
    std::vector<int32_t> kept;
    for (const int32_t o : objects) {
      if (kept.size() < limit && retained[size_t(o)] >= least) kept.push_back(o);
    }
    return kept;
  };
  const auto entry = [&](int32_t o, std::string heldBy) {
    return Entry{o, retained[size_t(o)], graph.objects[size_t(o)].size, graph.label(o), std::move(heldBy), {}};
  };
  const auto addDominated = [&](Entry& parent, int depth, const auto& self) -> void {
    if (depth >= limits.depth) return;
    for (const int32_t child : bySize(children[size_t(parent.object)], limits.dominated)) {
      std::string heldBy = graph.referenceName(parent.object, child);
      parent.dominated.push_back(entry(child, heldBy.empty() ? "through others" : heldBy));
      self(parent.dominated.back(), depth + 1, self);
    }
  };

  // The tops, found below the classes and class loaders that dominate them.
  std::vector<int32_t> tops;
  std::vector<int32_t> containers{0};
  while (!containers.empty()) {
    const int32_t container = containers.back();
    containers.pop_back();
    for (const int32_t child : children[size_t(container)]) {
      (graph.isClassOrLoader(child) ? containers : tops).push_back(child);
    }
  }
  for (const int32_t top : bySize(tops, limits.tops)) {
    const int32_t d = dominators[size_t(top)];
    std::string heldBy = d == 0 ? graph.rootName(top) : graph.referenceName(d, top);
    if (d != 0) heldBy = graph.label(d) + (heldBy.empty() ? "" : ", " + heldBy);
    heap.biggest.push_back(entry(top, heldBy));
    addDominated(heap.biggest.back(), 0, addDominated);
  }
  return heap;
}

}  // namespace biggestobjects
