#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"
#include "tests/unit/heap/DominatorComputerSncaTestGraph.h"
#include "tests/unit/heap/DominatorDriverRun.h"
#include "tests/unit/heap/DominatorFixtures.h"
#include "tests/unit/heap/DominatorRandomGraph.h"

#ifdef TALLYSCOPE_BOOST_GRAPH
#include <boost/graph/adjacency_list.hpp>
#include <boost/graph/dominator_tree.hpp>
#endif

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

#ifdef TALLYSCOPE_BOOST_GRAPH
// Boost's Lengauer-Tarjan from the virtual root, whose successors are the roots: an implementation that
// shares nothing with ours.
std::vector<int32_t> boostDominators(const TestGraph& graph) {
  using Graph = boost::adjacency_list<boost::vecS, boost::vecS, boost::bidirectionalS>;
  using Vertex = boost::graph_traits<Graph>::vertex_descriptor;
  const std::vector<std::vector<int32_t>> next = successors(graph);
  Graph g(graph.size());
  for (int32_t u = 0; u < graph.size(); u++) {
    for (int32_t t : next[u]) boost::add_edge(Vertex(u), Vertex(t), g);
  }
  std::vector<Vertex> dominator(graph.size(), boost::graph_traits<Graph>::null_vertex());
  boost::lengauer_tarjan_dominator_tree(
      g, Vertex(0), boost::make_iterator_property_map(dominator.begin(), boost::get(boost::vertex_index, g)));
  std::vector<int32_t> idom(graph.size(), 0);
  for (int32_t v = 1; v < graph.size(); v++) {
    idom[v] = dominator[v] == boost::graph_traits<Graph>::null_vertex() ? -1 : int32_t(dominator[v]);
  }
  return idom;
}
#endif

int32_t differences(const std::vector<int32_t>& a, const std::vector<int32_t>& b) {
  if (a.size() != b.size()) return int32_t(std::max(a.size(), b.size()));
  int32_t count = 0;
  for (size_t v = 0; v < a.size(); v++) count += a[v] == b[v] ? 0 : 1;
  return count;
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

// Every shape against the iterative algorithm and Boost's Lengauer-Tarjan, in memory, and through the
// driver on files, where "low_mem" must write the very bytes that "snca" writes.
TEST(DominatorComputerSncaDifferential, LargeGraphsMatchTheIterativeAlgorithmAndBoost) {
#ifdef TALLYSCOPE_BOOST_GRAPH_MISSING
  FAIL() << "these comparisons need Boost's graph headers (Debian libboost-graph-dev)";
#endif
  std::mt19937 random(4711);
  const std::vector<Shape> shapes{{1000, 1, 2.0, 3},     {1000, 20, 4.0, 50},       {10000, 5, 1.5, 2},
                                  {10000, 200, 3.0, 10}, {100000, 1000, 4.0, 1000}, {100000, 3, 1.2, 4}};
  TempDir work;
  for (const Shape& shape : shapes) {
    SCOPED_TRACE("n=" + std::to_string(shape.n) + " roots=" + std::to_string(shape.roots));
    const TestGraph graph = randomGraph(shape, random);
    LogCapture quiet;
    const std::vector<int32_t> expected = iterativeDominators(graph);
#ifdef TALLYSCOPE_BOOST_GRAPH
    EXPECT_EQ(differences(boostDominators(graph), expected), 0) << "Boost";
#endif
    EXPECT_EQ(differences(sncaDominators(graph), expected), 0) << "snca in memory";

    const std::string input = work.write("graph.bin", graphFileBytes(graph));
    const DriverRun snca = runDriver(input, work.pathOf("snca.bin"), "snca", work.path());
    const DriverRun lowMem = runDriver(input, work.pathOf("low_mem.bin"), "low_mem", work.path());
    ASSERT_EQ(snca.code, 0);
    ASSERT_EQ(lowMem.code, 0);
    std::vector<int32_t> written = littleEndianValues(snca.output);
    written.insert(written.begin(), 0);
    EXPECT_EQ(differences(written, expected), 0) << "snca through the driver";
    EXPECT_TRUE(lowMem.output == snca.output) << "low_mem's output differs from snca's";
  }
}
