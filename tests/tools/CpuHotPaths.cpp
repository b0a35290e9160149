#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/SnapshotReader.h"
#include "tests/tools/CpuHotPaths.h"
#include "tests/tools/ToolMain.h"

// Prints where a snapshot's sampled CPU time went: the hottest call paths, the methods and the threads
// that used most of it, each with its time and share of the whole. Shares under 0.1% are left out.

namespace {

void printTime(int64_t ns, int64_t totalNs, const std::string& what) {
  if (ns * 1000 < totalNs) return;
  std::printf("  %7lld ms %5.1f%%  %s\n", static_cast<long long>(ns / 1000000), 100.0 * double(ns) / double(totalNs),
              what.c_str());
}

std::string joined(const std::vector<std::string>& frames) {
  std::string text;
  for (const std::string& frame : frames) text += (text.empty() ? "" : " > ") + frame;
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  return runTool(argc, argv, "SNAPSHOT", [](const std::vector<std::string>& arguments) {
    const snapshotfile::Snapshot snapshot = snapshotfile::readSnapshotFile(arguments[0]);
    const cpuhotpaths::CpuProfile profile = cpuhotpaths::readCpuProfile(profilemodel::ProfileModel(snapshot));
    if (profile.totalNs == 0) {
      std::printf("no CPU time in the snapshot (\"sampling\" records it)\n");
      return;
    }
    std::printf("sampled CPU time: %lld ms in %zu thread%s\n", static_cast<long long>(profile.totalNs / 1000000),
                profile.sampledThreadCount, profile.sampledThreadCount == 1 ? "" : "s");
    std::printf("hottest call paths by own time (outermost frame first, each at its line):\n");
    for (const cpuhotpaths::HotPath& path : profile.paths) printTime(path.ownNs, profile.totalNs, joined(path.frames));
    std::printf("methods by own time:\n");
    for (const cpuhotpaths::NamedTime& method : profile.methods) printTime(method.ns, profile.totalNs, method.name);
    std::printf("threads by sampled time:\n");
    for (const cpuhotpaths::NamedTime& thread : profile.threads) printTime(thread.ns, profile.totalNs, thread.name);
  });
}
