#pragma once

#include <cstdint>
#include <vector>

#include <boost/graph/adjacency_list.hpp>
#include <boost/graph/dominator_tree.hpp>

// The reference for the dominators of an object graph: Boost's Lengauer-Tarjan, an implementation that
// shares nothing with ours. lists[u] holds the slots of object u (0 for an empty slot; lists[0] unused),
// `reached` is the object bitset of what the roots reach. The tree grows from a virtual root 0 whose
// successors are the roots, over the edges of the reached objects only: Boost misreads the search
// numbers of unreached sources. Every object's immediate dominator, 0 for the roots, -1 for what the
// roots do not reach.
inline std::vector<int32_t> boostObjectDominators(const std::vector<std::vector<int32_t>>& lists,
                                                  const std::vector<int32_t>& roots,
                                                  const std::vector<int32_t>& reached) {
  using Graph = boost::adjacency_list<boost::vecS, boost::vecS, boost::bidirectionalS>;
  using Vertex = boost::graph_traits<Graph>::vertex_descriptor;
  Graph g(lists.size());
  for (const int32_t r : roots) boost::add_edge(Vertex(0), Vertex(r), g);
  for (size_t u = 1; u < lists.size(); u++) {
    if ((uint32_t(reached[u >> 5]) >> (u & 31) & 1) == 0) continue;
    for (const int32_t t : lists[u]) {
      if (t != 0) boost::add_edge(Vertex(u), Vertex(t), g);
    }
  }
  std::vector<Vertex> dominator(lists.size(), boost::graph_traits<Graph>::null_vertex());
  boost::lengauer_tarjan_dominator_tree(
      g, Vertex(0), boost::make_iterator_property_map(dominator.begin(), boost::get(boost::vertex_index, g)));
  std::vector<int32_t> idom(lists.size(), -1);
  for (size_t v = 1; v < lists.size(); v++) {
    if (dominator[v] != boost::graph_traits<Graph>::null_vertex()) idom[v] = int32_t(dominator[v]);
  }
  return idom;
}
