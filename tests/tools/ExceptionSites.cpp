#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/SnapshotReader.h"
#include "tests/tools/ExceptionSites.h"
#include "tests/tools/ToolMain.h"

// Prints where a snapshot's recorded exceptions were thrown and caught: the sites with the most
// exceptions, each with its class, throw site and catch site.

int main(int argc, char** argv) {
  return runTool(argc, argv, "SNAPSHOT", [](const std::vector<std::string>& arguments) {
    const exceptionsites::Exceptions exceptions =
        exceptionsites::readExceptions(profilemodel::ProfileModel(snapshotfile::readSnapshotFile(arguments[0])));
    if (exceptions.count == 0) {
      std::printf("no exceptions in the snapshot (\"exceptions=on\" records them)\n");
      return;
    }
    std::printf("exceptions: %lld\n", static_cast<long long>(exceptions.count));
    constexpr size_t shown = 10;
    for (size_t i = 0; i < exceptions.sites.size() && i < shown; i++) {
      const exceptionsites::Site& site = exceptions.sites[i];
      std::printf("  %6lld  %s\n          thrown at %s\n          %s\n", static_cast<long long>(site.count),
                  site.className.c_str(), siteText(site.thrownAt).c_str(),
                  site.caughtAt.empty() ? "not caught" : ("caught at " + siteText(site.caughtAt)).c_str());
    }
  });
}
