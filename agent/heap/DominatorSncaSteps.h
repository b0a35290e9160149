#pragma once

#include <cstdint>

#include "agent/heap/FlatIntArray.h"
#include "agent/support/FatalError.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// The steps that the two semi-NCA computations, in memory and with files, share.

// A "_dcc: " phase line with the memory in use.
inline void logStep(const char* text) { logWithMemoryUsage(YString(text)); }

inline void logStep(const char* text, int64_t value) {
  YString line(text);
  line.appendLong(value);
  logWithMemoryUsage(line);
}

// Nodes waiting for compression, innermost last; a chain of millions of nodes stays off the thread's stack.
using CompressionStack = YVector<int32_t, 1024>;

// Shortens the ancestor path of v to its topmost member above w, carrying the smallest label down the path.
inline void compress(int32_t v, int32_t w, FlatIntArray& label, FlatIntArray& ancestor, CompressionStack& stack) {
  int32_t a = ancestor[v];
  if (a <= w) return;
  stack.add(v);
  while (a > w) {
    stack.add(a);
    a = ancestor[a];
  }
  int32_t x = stack.pop();
  while (stack.size > 0) {
    const int32_t u = stack.pop();
    if (label[u] > label[x]) label[u] = label[x];
    ancestor[u] = ancestor[x];
    x = u;
  }
}

// Phase 7: dominator[k] holds the depth-first parent of each ordinal k on entry and its immediate dominator
// on return. Climbing from the parent through the dominators found so far stops at the nearest one that is
// at or above the semidominator.
inline void findImmediateDominators(FlatIntArray& dominator, const FlatIntArray& semi, int32_t n) {
  logStep("_dcc: 7");
  constexpr int32_t progressStep = 1 << 20;
  for (int32_t k = 1; k < n; k++) {
    if (k % progressStep == 0) {
      YString line("_dcc: 7: i=");
      line.appendLong(k);
      line.append(" (");
      line.appendLong(int64_t(100) * k / n);
      line.append("%)");
      logWithMemoryUsage(line);
    }
    int32_t c = dominator[k];
    while (c > semi[k]) c = dominator[c];
    dominator[k] = c;
  }
}
