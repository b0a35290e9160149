#pragma once

#include <cstdint>

#include "agent/heap/DominatorGraphFiles.h"
#include "agent/heap/FlatIntArray.h"
#include "agent/support/YString.h"

// The immediate dominators of DominatorComputerSnca with a lower memory peak: the depth-first parents,
// the node-to-ordinal map and the reverse reference table go to temporary files and are read back front
// to back when they are needed. The forward graph goes right after the depth-first search, and the
// reverse table is built from a second reading of the input file, so the two graphs are never in memory
// together and neither is during the semidominator phase.
//
// The temporary files ("_parent.tmp", "_node2ordinal.tmp", "_brt.tmp" after one "bzptmp_" stem) are
// created new and private to the user, and read back through the descriptor that wrote them, so no file
// can be put in their place; each is closed and deleted on every way out, failures included. What is
// read again is checked before use: a value outside its range never becomes an index. A temporary file
// that reads back other than written is a broken invariant.
class DominatorComputerSnca_LowMem {
 public:
  // Fills idom as DominatorComputerSnca::compute does, for the graph that readDominatorGraph has just
  // read from `inputFd`, which stays open for the second reading. Takes over graph.refs and frees it after
  // the search. 0 when computed; when the second reading breaks a rule of the file, its code and log line
  // as readDominatorGraph gives them (4 "bad refCount: ", 5 "bad target: "). A second reading that keeps
  // the rules but differs from the first (the file changed in between), like a root count below 1, a node
  // that no root reaches or a temporary file that cannot be created or written, is a broken invariant; an
  // empty directory stands for the system's temporary one. Running out of memory throws std::bad_alloc.
  static int32_t compute(int32_t inputFd, DominatorGraph& graph, FlatIntArray& idom, const YString& tempDirectory);

  DominatorComputerSnca_LowMem() = delete;
};
