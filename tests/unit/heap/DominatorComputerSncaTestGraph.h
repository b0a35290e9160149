#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "agent/heap/DominatorComputerSnca.h"
#include "agent/heap/FlatIntArray.h"
#include "agent/heap/ObjectRefStorage.h"

// A reference graph for the dominator tests: references[u] lists node u's targets (entry 0 is unused,
// node 0 being the virtual root).
struct TestGraph {
  std::vector<std::vector<int32_t>> references;
  std::vector<int32_t> roots;

  int32_t size() const { return int32_t(references.size()); }

  std::unique_ptr<ObjectRefStorage> storage() const {
    auto refs = std::make_unique<ObjectRefStorage>("r", size());
    for (int32_t u = 1; u < size(); u++) {
      const std::vector<int32_t>& targets = references[u];
      refs->allocate(u, int32_t(targets.size()));
      for (int32_t j = 0; j < int32_t(targets.size()); j++) refs->setRef(u, targets[j], j);
    }
    return refs;
  }
};

inline std::vector<int32_t> sncaDominators(const TestGraph& graph) {
  FlatIntArray idom("i", graph.size());
  DominatorComputerSnca::compute(graph.size(), graph.storage(), graph.roots.data(), int32_t(graph.roots.size()),
                                 idom);
  return std::vector<int32_t>(idom.data, idom.data + idom.size);
}
