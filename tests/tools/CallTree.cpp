#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/SnapshotReader.h"
#include "tests/tools/CallTree.h"
#include "tests/tools/ToolMain.h"

// Prints the call tree that CPU tracing recorded in a snapshot, all threads merged: each call path with
// its exact number of calls, its time with and without its callees. Paths under 1% of the time are left
// out.

namespace {

void print(const calltree::Node& node, int64_t totalNs, int depth, bool& excluded) {
  if (node.ns * 100 < totalNs) return;
  const std::string at = node.line > 0 ? ", called at line " + std::to_string(node.line) : "";
  excluded = excluded || node.excluded;
  std::printf("  %10lld%s %8lld %8lld  %*s%s%s\n", static_cast<long long>(node.calls), node.excluded ? "*" : " ",
              static_cast<long long>(node.ns / 1000000), static_cast<long long>(node.ownNs / 1000000), 2 * depth, "",
              node.method.c_str(), at.c_str());
  for (const calltree::Node& child : node.children) print(child, totalNs, depth + 1, excluded);
}

}  // namespace

int main(int argc, char** argv) {
  return runTool(argc, argv, "SNAPSHOT", [](const std::vector<std::string>& arguments) {
    const snapshotfile::Snapshot snapshot = snapshotfile::readSnapshotFile(arguments[0]);
    const calltree::CallTree tree = calltree::readCallTree(profilemodel::ProfileModel(snapshot));
    if (tree.calls == 0) {
      std::printf("no traced calls in the snapshot (\"tracing\" records them)\n");
      return;
    }
    std::printf("traced: %lld calls, %lld ms\n", static_cast<long long>(tree.calls), milliseconds(tree.totalNs));
    std::printf("       calls     total      own  call tree, all threads merged (ms; paths under 1%% left out)\n");
    bool excluded = false;
    for (const calltree::Node& root : tree.roots) print(root, tree.totalNs, 0, excluded);
    if (excluded) std::printf("  * the adaptive filter stopped tracing the method, whose calls are counted up to then\n");
  });
}
