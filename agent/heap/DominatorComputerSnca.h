#pragma once

#include <cstdint>
#include <memory>

#include "agent/heap/FlatIntArray.h"
#include "agent/heap/ObjectRefStorage.h"
#include "agent/support/YSet.h"

// Immediate dominators of a reference graph held in memory, by semi-NCA. Node 0 is a virtual root, the
// only predecessor of every root; nodes 1 to N - 1 have their reference lists in the forward storage.
// Everything per node is an int32 array of N entries, and nothing recurses, so chains of millions of
// objects are safe. Each phase starts with a memory-usage line ("_dcc: ...").
class DominatorComputerSnca {
 public:
  // Fills idom[v], v = 0 to n - 1, with the node that immediately dominates v: 0 for node 0 and for every
  // root. Takes over `refs` and frees it as soon as the reverse table exists. A root count below 1, or a
  // node that no root reaches, is a broken invariant; running out of memory throws std::bad_alloc.
  static void compute(int32_t n, std::unique_ptr<ObjectRefStorage> refs, const int32_t* rootList,
                      int32_t rootCount, FlatIntArray& idom);

  DominatorComputerSnca(const DominatorComputerSnca&) = delete;
  DominatorComputerSnca& operator=(const DominatorComputerSnca&) = delete;

 private:
  DominatorComputerSnca(int32_t n, const int32_t* rootList, int32_t rootCount);

  int32_t numberDepthFirst(ObjectRefStorage& refs, FlatIntArray& idom);
  std::unique_ptr<ObjectRefStorage> buildReverseTable(ObjectRefStorage& refs, FlatIntArray& idom);

  FlatIntArray da_1;
  FlatIntArray da_2;
  int32_t N;
  YSet<int> roots;
};
