#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "tests/support/LogCapture.h"
#include "tests/unit/heap/DominatorComputerSncaTestGraph.h"

namespace {

// The virtual root's successors are the roots; everyone else's are its references, empty slots left out.
std::vector<std::vector<int32_t>> successors(const TestGraph& graph) {
  std::vector<std::vector<int32_t>> next(graph.size());
  next[0] = graph.roots;
  for (int32_t u = 1; u < graph.size(); u++) {
    for (int32_t t : graph.references[u]) {
      if (t != 0) next[u].push_back(t);
    }
  }
  return next;
}

// Cooper, Harvey and Kennedy's iterative dominators: intersect the predecessors' dominators in reverse
// postorder until nothing changes.
std::vector<int32_t> iterativeDominators(const TestGraph& graph) {
  const int32_t n = graph.size();
  const std::vector<std::vector<int32_t>> next = successors(graph);
  std::vector<std::vector<int32_t>> previous(n);
  for (int32_t u = 0; u < n; u++) {
    for (int32_t t : next[u]) previous[t].push_back(u);
  }

  std::vector<int32_t> postorder(n, -1);
  std::vector<int32_t> byPostorder;
  std::vector<bool> seen(n, false);
  std::vector<std::pair<int32_t, size_t>> stack{{0, 0}};
  seen[0] = true;
  while (!stack.empty()) {
    auto& [u, edge] = stack.back();
    if (edge < next[u].size()) {
      const int32_t t = next[u][edge++];
      if (!seen[t]) {
        seen[t] = true;
        stack.push_back({t, 0});
      }
    } else {
      postorder[u] = int32_t(byPostorder.size());
      byPostorder.push_back(u);
      stack.pop_back();
    }
  }

  std::vector<int32_t> idom(n, -1);
  idom[0] = 0;
  for (bool changed = true; changed;) {
    changed = false;
    for (auto it = byPostorder.rbegin() + 1; it != byPostorder.rend(); ++it) {
      const int32_t v = *it;
      int32_t candidate = -1;
      for (int32_t p : previous[v]) {
        if (idom[p] < 0) continue;
        if (candidate < 0) {
          candidate = p;
          continue;
        }
        int32_t a = p;
        while (a != candidate) {
          while (postorder[a] < postorder[candidate]) a = idom[a];
          while (postorder[candidate] < postorder[a]) candidate = idom[candidate];
        }
      }
      if (idom[v] != candidate) {
        idom[v] = candidate;
        changed = true;
      }
    }
  }
  return idom;
}

// Straight from the definition: d dominates v when v cannot be reached once d is taken away. The
// immediate dominator is the strict dominator that has the most dominators itself.
std::vector<int32_t> definitionDominators(const TestGraph& graph) {
  const int32_t n = graph.size();
  const std::vector<std::vector<int32_t>> next = successors(graph);
  std::vector<std::vector<bool>> dominates(n, std::vector<bool>(n, false));
  for (int32_t d = 1; d < n; d++) {
    std::vector<bool> reached(n, false);
    std::vector<int32_t> queue{0};
    reached[0] = true;
    while (!queue.empty()) {
      const int32_t u = queue.back();
      queue.pop_back();
      for (int32_t t : next[u]) {
        if (t != d && !reached[t]) {
          reached[t] = true;
          queue.push_back(t);
        }
      }
    }
    for (int32_t v = 1; v < n; v++) dominates[d][v] = v != d && !reached[v];
  }
  std::vector<int32_t> depth(n, 0);
  for (int32_t v = 0; v < n; v++) {
    for (int32_t d = 1; d < n; d++) depth[v] += dominates[d][v] ? 1 : 0;
  }
  std::vector<int32_t> idom(n, 0);
  for (int32_t v = 1; v < n; v++) {
    int32_t deepest = -1;
    for (int32_t d = 1; d < n; d++) {
      if (dominates[d][v] && depth[d] > deepest) {
        idom[v] = d;
        deepest = depth[d];
      }
    }
  }
  return idom;
}

struct Shape {
  int32_t n;
  int32_t roots;
  double meanDegree;
  int32_t reach;  // a node's first reference comes from one of the `reach` nodes placed before it
};

// Every node is reachable: it is a root or referred to by a node placed before it. The rest is random:
// cycles, self-references, duplicates, empty slots, references to roots, and the first two roots refer to
// each other, so the later one in the search is first reached through the other's tree.
TestGraph randomGraph(const Shape& shape, std::mt19937& random) {
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

}  // namespace

TEST(DominatorComputerSncaDifferential, SmallGraphsMatchTheDefinition) {
  std::mt19937 random(17);
  int32_t nonTrivial = 0;
  for (int32_t round = 0; round < 60; round++) {
    const Shape shape{2 + int32_t(random() % 120), 1 + int32_t(random() % 4), 1.0 + (random() % 30) / 10.0,
                      1 + int32_t(random() % 6)};
    const Shape fitted{shape.n, std::min(shape.roots, shape.n - 1), shape.meanDegree, shape.reach};
    const TestGraph graph = randomGraph(fitted, random);
    LogCapture quiet;
    const std::vector<int32_t> expected = definitionDominators(graph);
    ASSERT_EQ(iterativeDominators(graph), expected) << "round " << round;
    ASSERT_EQ(sncaDominators(graph), expected) << "round " << round;
    nonTrivial += std::count_if(expected.begin(), expected.end(), [](int32_t d) { return d > 1; }) > 0 ? 1 : 0;
  }
  EXPECT_GT(nonTrivial, 30);
}

TEST(DominatorComputerSncaDifferential, LargeGraphsMatchTheIterativeAlgorithm) {
  std::mt19937 random(4711);
  const std::vector<Shape> shapes{{1000, 1, 2.0, 3},     {1000, 20, 4.0, 50},  {10000, 5, 1.5, 2},
                                  {10000, 200, 3.0, 10}, {100000, 1000, 4.0, 1000}, {100000, 3, 1.2, 4}};
  for (const Shape& shape : shapes) {
    const TestGraph graph = randomGraph(shape, random);
    LogCapture quiet;
    const std::vector<int32_t> expected = iterativeDominators(graph);
    const std::vector<int32_t> actual = sncaDominators(graph);
    int32_t differences = 0;
    for (int32_t v = 0; v < shape.n; v++) differences += actual[v] == expected[v] ? 0 : 1;
    EXPECT_EQ(differences, 0) << "n=" << shape.n << " roots=" << shape.roots;
  }
}
