#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/SnapshotReader.h"
#include "tests/tools/BiggestObjects.h"
#include "tests/tools/HeapGraph.h"
#include "tests/tools/ToolMain.h"

// Prints the biggest objects of a memory snapshot's heap by retained size, from the immediate dominators
// and the reached objects that the host's dominator computation wrote for its heap graph (see
// HeapGraph.cpp): the tops of the dominator tree, each with the biggest objects it keeps alive.

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void print(const biggestobjects::Entry& entry, int depth) {
  std::printf("  %10s %10s  %*s%s (%s)\n", byteSize(int64_t(entry.retained)).c_str(),
              byteSize(int64_t(entry.shallow)).c_str(), 2 * depth, "", entry.label.c_str(), entry.heldBy.c_str());
  for (const biggestobjects::Entry& dominated : entry.dominated) print(dominated, depth + 1);
}

}  // namespace

int main(int argc, char** argv) {
  return runTool(argc, argv, "SNAPSHOT IDOM REACHED", [](const std::vector<std::string>& arguments) {
    const snapshotfile::Snapshot snapshot = snapshotfile::readSnapshotFile(arguments[0]);
    const heapgraph::HeapGraph graph(snapshot);
    const biggestobjects::Heap heap = biggestobjects::readBiggestObjects(
        graph, biggestobjects::littleEndianInts(readFile(arguments[1])),
        biggestobjects::littleEndianInts(readFile(arguments[2])));
    std::printf("reachable heap: %d objects, %s\n", heap.reachedCount, byteSize(int64_t(heap.reachedBytes)).c_str());
    std::printf("    retained    shallow  object (held by)\n");
    for (const biggestobjects::Entry& entry : heap.biggest) print(entry, 0);
  });
}
