#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/SnapshotReader.h"
#include "tests/tools/HeapGraph.h"
#include "tests/tools/ToolMain.h"

// Writes the heap of a memory snapshot as the graph file that the host's object storage is filled from
// (tests/jvm/host/DominatorRequests.java reads it), and says how big it is.

int main(int argc, char** argv) {
  return runTool(argc, argv, "SNAPSHOT GRAPH", [](const std::vector<std::string>& arguments) {
    const snapshotfile::Snapshot snapshot = snapshotfile::readSnapshotFile(arguments[0]);
    const heapgraph::HeapGraph graph(snapshot);
    if (graph.count() == 0) throw rowstream::FormatError("no heap in the snapshot (a memory snapshot has one)");
    std::ofstream out(arguments[1], std::ios::binary | std::ios::trunc);
    out << graph.graphFile();
    out.close();
    if (!out) throw std::runtime_error("cannot write " + arguments[1]);
    std::printf("heap: %d objects, %zu roots\n", graph.count(), graph.roots.size());
  });
}
