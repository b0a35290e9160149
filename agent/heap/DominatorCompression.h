#pragma once

#include <cstdint>

#include "agent/heap/FlatIntArray.h"
#include "agent/support/YVector.h"

// The path compression that both semi-NCA computations share.

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
