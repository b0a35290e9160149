#include "agent/heap/DominatorComputerSnca.h"

#include "agent/heap/DominatorSncaSteps.h"
#include "agent/support/FatalError.h"
#include "agent/support/YAllocator.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

DominatorComputerSnca::DominatorComputerSnca(int32_t n, const int32_t* rootList, int32_t rootCount)
    : da_1("da_1", n), da_2("da_2", n), N(n), roots(rootCount) {
  logStep("_dcc: enter: N=", N);
  for (int32_t k = 0; k < rootCount; k++) roots.add(rootList[k]);
}

// Numbers the nodes in depth-first order from the roots: da_1 maps node to ordinal, da_2 ordinal to the
// parent's ordinal. idom serves as the node stack. Returns the number of numbered nodes, node 0 included.
int32_t DominatorComputerSnca::numberDepthFirst(ObjectRefStorage& refs, FlatIntArray& idom) {
  FlatIntArray edgeIndex("dfsd", N);
  std::unique_ptr<uint32_t[], void (*)(void*)> visited(allocZeroed<uint32_t>(N / 32 + 1), freeBlock);
  logStep("_dcc: dfsd: 1");
  da_1[0] = 0;
  da_2[0] = 0;
  visited[0] |= 1u;
  int32_t next = 1;
  int32_t depth = 0;
  for (int32_t slot = 0; slot < roots.capacity; slot++) {
    if (roots.states[slot] != kSlotUsed) continue;
    const int32_t root = roots.keys[slot];
    if (da_1[root] != 0) continue;
    if (depth != 0) assertionFailed("assertion failed", "DominatorComputerSnca", __LINE__);
    idom[0] = root;
    edgeIndex[0] = 0;
    depth = 1;
    while (depth > 0) {
      const int32_t level = depth - 1;
      const int32_t v = idom[level];
      const int32_t e = edgeIndex[level];
      uint32_t& word = visited[v >> 5];
      const uint32_t bit = 1u << (v & 31);
      if ((word & bit) == 0) {
        da_1[v] = next;
        word |= bit;
        da_2[next] = level > 0 ? da_1[idom[level - 1]] : 0;
        next++;
      }
      if (e < refs.getRefCount(v)) {
        const int32_t t = refs.getRef(v, e);
        if (t != 0 && da_1[t] == 0) {
          idom[depth] = t;
          edgeIndex[depth] = 0;
          depth++;
        }
        edgeIndex[level] = e + 1;
      } else {
        depth--;
      }
    }
  }
  logStep("_dcc: dfsd: 2");
  return next;
}

// The predecessor lists by ordinal. idom serves as the in-degree counters and ends all zero.
std::unique_ptr<ObjectRefStorage> DominatorComputerSnca::buildReverseTable(ObjectRefStorage& refs,
                                                                           FlatIntArray& idom) {
  for (int32_t u = N - 1; u >= 1; u--) {
    for (RefIterator it = refs.getRefIterator(u); it.hasNext();) {
      const int32_t t = it.next();
      if (t != 0) idom[t]--;
    }
  }
  std::unique_ptr<ObjectRefStorage> brt(new ObjectRefStorage("brt", N));
  for (int32_t u = N - 1; u >= 1; u--) {
    const int32_t from = da_1[u];
    for (RefIterator it = refs.getRefIterator(u); it.hasNext();) {
      const int32_t t = it.next();
      if (t == 0) continue;
      int32_t& slots = idom[t];
      if (slots < 0) {
        slots = -slots;
        brt->allocate(da_1[t], slots);
      }
      slots--;
      brt->setRef(da_1[t], from, slots);
    }
  }
  // The virtual root is a root's only predecessor; what else refers to it cannot change a dominator.
  for (int32_t slot = 0; slot < roots.capacity; slot++) {
    if (roots.states[slot] != kSlotUsed) continue;
    const int32_t ordinal = da_1[roots.keys[slot]];
    brt->allocate(ordinal, 1);
    brt->setRef(ordinal, da_1[0], 0);
  }
  return brt;
}

void DominatorComputerSnca::compute(int32_t n, std::unique_ptr<ObjectRefStorage> refs, const int32_t* rootList,
                                    int32_t rootCount, FlatIntArray& idom) {
  DominatorComputerSnca state(n, rootList, rootCount);
  FlatIntArray& da_1 = state.da_1;
  FlatIntArray& da_2 = state.da_2;

  const int32_t numbered = state.numberDepthFirst(*refs, idom);
  logStep("_dcc: 1: n=", numbered);
  if (numbered != n) assertionFailed("assertion failed", "DominatorComputerSnca", __LINE__);

  for (int32_t k = 0; k < n; k++) idom[k] = 0;
  logStep("_dcc: 2");
  std::unique_ptr<ObjectRefStorage> brt = state.buildReverseTable(*refs, idom);

  logStep("_dcc: 3");
  refs.reset();

  // From here on everything is by ordinal: idom holds the parents, da_1 the labels, da_2 the ancestors.
  logStep("_dcc: 4");
  FlatIntArray semi("da_3", n);
  FlatIntArray nodeOf("da_4", n);
  for (int32_t k = 0; k < n; k++) {
    idom[k] = da_2[k];
    nodeOf[da_1[k]] = k;
    da_1[k] = k;
    semi[k] = k;
  }

  // A label holds the smallest semidominator on its node's compressed path. Every semidominator found
  // there is at most w, and the entries of semi below w are still the identity, so semi[label] is the
  // candidate itself.
  logStep("_dcc: 5");
  CompressionStack stack;
  for (int32_t w = n - 1; w >= 1; w--) {
    for (RefIterator it = brt->getRefIterator(w); it.hasNext();) {
      int32_t v = it.next();
      if (v > w) {
        compress(v, w, da_1, da_2, stack);
        v = da_1[v];
      }
      if (semi[v] < semi[w]) semi[w] = semi[v];
    }
    da_1[w] = semi[w];
  }

  logStep("_dcc: 6: stack size (bytes): ", int64_t(stack.capacity) * 4 + 8);
  brt.reset();
  for (int32_t k = 0; k < n; k++) da_1[k] = idom[k];

  findImmediateDominators(da_1, semi, n);

  logStep("_dcc: 8");
  for (int32_t k = 0; k < n; k++) idom[nodeOf[k]] = nodeOf[da_1[k]];
  logStep("_dcc: exit");
}
