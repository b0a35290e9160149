#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tests/unit/heap/DominatorComputerSncaTestGraph.h"
#include "tests/unit/heap/DominatorFixtures.h"

struct Shape {
  int32_t n;
  int32_t roots;
  double meanDegree;
  int32_t reach;  // a node's first reference comes from one of the `reach` nodes placed before it
};

// Every node is reachable: it is a root or referred to by a node placed before it. The rest is random:
// cycles, self-references, duplicates, empty slots, references to roots, and the first two roots refer to
// each other, so the later one in the search is first reached through the other's tree.
inline TestGraph randomGraph(const Shape& shape, std::mt19937& random) {
  const int32_t n = shape.n;
  std::vector<int32_t> order(n - 1);
  for (int32_t k = 0; k < n - 1; k++) order[k] = k + 1;
  std::shuffle(order.begin(), order.end(), random);
  auto below = [&random](int32_t bound) { return std::uniform_int_distribution<int32_t>(0, bound - 1)(random); };

  TestGraph graph;
  graph.references.resize(n);
  graph.roots.assign(order.begin(), order.begin() + shape.roots);
  for (int32_t k = shape.roots; k < n - 1; k++) {
    const int32_t from = k - 1 - below(std::min(k, shape.reach));
    graph.references[order[from]].push_back(order[k]);
  }
  if (shape.roots >= 2) {
    graph.references[graph.roots[0]].insert(graph.references[graph.roots[0]].begin(), graph.roots[1]);
    graph.references[graph.roots[1]].insert(graph.references[graph.roots[1]].begin(), graph.roots[0]);
  }
  const int64_t extra = int64_t(shape.meanDegree * (n - 1)) - (n - 1);
  for (int64_t e = 0; e < extra; e++) {
    const int32_t k = below(n - 1);
    std::vector<int32_t>& list = graph.references[order[k]];
    switch (below(16)) {
      case 0: list.push_back(order[k]); break;
      case 1: list.push_back(0); break;
      case 2: list.push_back(graph.roots[below(shape.roots)]); break;
      case 3: if (!list.empty()) list.push_back(list[below(int32_t(list.size()))]); break;
      // Mostly near targets, so that the dominator tree is deep and not only the virtual root's fan.
      default: list.push_back(order[below(4) == 0 ? below(n - 1) : std::min(n - 2, k + below(shape.reach))]);
    }
    if (!list.empty()) std::swap(list[below(int32_t(list.size()))], list.back());
  }
  for (int32_t k = 0; k < shape.roots / 4; k++) graph.roots.push_back(graph.roots[below(shape.roots)]);
  return graph;
}

// The graph as an input graph file: N, the lists without their empty slots (no file holds a 0 target),
// the root count and the roots.
inline std::string graphFileBytes(const TestGraph& graph) {
  std::vector<int32_t> values{graph.size()};
  for (int32_t u = 1; u < graph.size(); u++) {
    const std::vector<int32_t>& list = graph.references[u];
    values.push_back(int32_t(std::count_if(list.begin(), list.end(), [](int32_t t) { return t != 0; })));
    for (const int32_t t : list) {
      if (t != 0) values.push_back(t);
    }
  }
  values.push_back(int32_t(graph.roots.size()));
  values.insert(values.end(), graph.roots.begin(), graph.roots.end());
  return littleEndianBytes(values);
}
