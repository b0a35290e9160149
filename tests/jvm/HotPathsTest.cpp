#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/jvm/AgentRun.h"
#include "tests/support/SnapshotReader.h"
#include "tests/tools/CpuHotPaths.h"

// The hot-path tool over a snapshot that "sampling" recorded in a real JVM: a program that spends ten
// times as much CPU in one method as in another.

namespace {

class HotPathsTest : public AgentRunTest {
 protected:
  cpuhotpaths::CpuProfile profileOfOnlySnapshot() const {
    const snapshotfile::Snapshot snapshot = onlySnapshot();
    if (snapshot.tableRecords.empty()) throw std::runtime_error("the snapshot has no tables");
    return cpuhotpaths::readCpuProfile(snapshot.tableRecords.back());
  }
};

// The methods and threads with their times, for a failure's message.
std::string describe(const cpuhotpaths::CpuProfile& profile) {
  std::string text = "total " + std::to_string(profile.totalNs) + " ns\nmethods:";
  for (const cpuhotpaths::NamedTime& method : profile.methods) text += " " + method.name + "=" + std::to_string(method.ns);
  text += "\nthreads:";
  for (const cpuhotpaths::NamedTime& thread : profile.threads) text += " " + thread.name + "=" + std::to_string(thread.ns);
  return text;
}

}  // namespace

TEST_F(HotPathsTest, HottestPathEndsInTheMethodThatSpentMostCpuAtALineOfIt) {
  const ProgramRun run = runUnderAgent({"HotLoop"}, "sampling,onexit=snapshot,dir=" + snapshotDir().string());
  ASSERT_EQ(0, run.exitCode) << run.output;
  ASSERT_NE(std::string::npos, run.output.find("HotLoop done")) << run.output;

  const cpuhotpaths::CpuProfile profile = profileOfOnlySnapshot();
  ASSERT_FALSE(profile.paths.empty()) << logs();
  // main at the line that calls hot, hot at the line of its inner loop, where the samples stop it.
  const std::vector<std::string> hottest{"HotLoop.main:15", "HotLoop.hot:32"};
  EXPECT_EQ(hottest, profile.paths[0].frames);

  int64_t hotNs = 0;
  int64_t warmNs = 0;
  for (const cpuhotpaths::NamedTime& method : profile.methods) {
    if (method.name == "HotLoop.hot") hotNs = method.ns;
    if (method.name == "HotLoop.warm") warmNs = method.ns;
  }
  ASSERT_FALSE(profile.methods.empty());
  SCOPED_TRACE(describe(profile));
  EXPECT_EQ("HotLoop.hot", profile.methods[0].name);
  // A second of CPU beside a tenth of one: generous bounds, for a loaded machine.
  EXPECT_GT(hotNs, 500000000);
  EXPECT_GT(hotNs, 3 * warmNs);
  EXPECT_GT(2 * hotNs, profile.totalNs);
  ASSERT_FALSE(profile.threads.empty());
  EXPECT_EQ("main", profile.threads[0].name);
}
