#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "tests/support/SnapshotReader.h"
#include "tests/tools/MonitorSites.h"
#include "tests/tools/ToolMain.h"

// Prints where a snapshot's recorded monitor waits happened: the sites with the most waiting time, each
// with its monitor class, whether threads were blocked on a contended enter or waited in Object.wait, the
// waits and their time, and the threads that held the monitor meanwhile.

namespace {

std::string names(const std::set<std::string>& threads) {
  std::string text;
  for (const std::string& thread : threads) text += (text.empty() ? "" : ", ") + thread;
  return text.empty() ? "-" : text;
}

}  // namespace

int main(int argc, char** argv) {
  return runTool(argc, argv, "SNAPSHOT", [](const std::vector<std::string>& arguments) {
    const monitorsites::Monitors monitors =
        monitorsites::readMonitors(profilemodel::ProfileModel(snapshotfile::readSnapshotFile(arguments[0])));
    if (monitors.count == 0) {
      std::printf("no monitor waits in the snapshot (\"monitors\" records them)\n");
      return;
    }
    std::printf("monitor waits: %lld, %lld ms\n", static_cast<long long>(monitors.count), milliseconds(monitors.ns));
    std::printf("   waits  waited ms  monitor class     kind     where (waiting method at its line < its caller); "
                "held by\n");
    constexpr size_t shown = 10;
    for (size_t i = 0; i < monitors.sites.size() && i < shown; i++) {
      const monitorsites::Site& site = monitors.sites[i];
      std::printf("  %6lld %10lld  %-16s  %-7s  %s; %s\n", static_cast<long long>(site.count), milliseconds(site.ns),
                  site.className.c_str(), site.waited ? "wait" : "blocked", siteText(site.where).c_str(),
                  site.waited ? "(the waiter)" : names(site.owners).c_str());
    }
  });
}
