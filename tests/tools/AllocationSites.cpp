#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/SnapshotReader.h"
#include "tests/tools/AllocationSites.h"
#include "tests/tools/ToolMain.h"

// Prints where a snapshot's recorded allocations were made: the sites with the most bytes, each with its
// class, objects and bytes.

int main(int argc, char** argv) {
  return runTool(argc, argv, "SNAPSHOT", [](const std::vector<std::string>& arguments) {
    const allocationsites::Allocations allocations =
        allocationsites::readAllocations(profilemodel::ProfileModel(snapshotfile::readSnapshotFile(arguments[0])));
    if (allocations.objects == 0) {
      std::printf("no recorded allocations in the snapshot (\"alloceach=\" records them)\n");
      return;
    }
    std::printf("recorded allocations: %lld objects, %s\n", static_cast<long long>(allocations.objects),
                byteSize(allocations.bytes).c_str());
    std::printf("     objects      bytes  class                 where (allocating method at its line < its caller)\n");
    constexpr size_t shown = 12;
    for (size_t i = 0; i < allocations.sites.size() && i < shown; i++) {
      const allocationsites::Site& site = allocations.sites[i];
      std::printf("  %10lld %10s  %-20s  %s\n", static_cast<long long>(site.objects), byteSize(site.bytes).c_str(),
                  site.className.c_str(), siteText(site.where).c_str());
    }
  });
}
