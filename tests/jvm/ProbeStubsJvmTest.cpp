#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "agent/core/CallbackJar.h"
#include "tests/jvm/AgentRun.h"
#include "tests/jvm/ProfileTables.h"
#include "tests/support/SnapshotReader.h"

// A probe registered at start-up and woven into a program's methods under -Xverify:all, whose callbacks
// change the program's results and exceptions. Off, or Auto while no CPU recording runs, its class gets
// stub callbacks as it loads: the program prints what it prints without the agent and the probe writes
// no rows. On, or Auto while sampling runs, its callbacks show.

namespace {

using namespace profiletables;

constexpr char tableDescription[] = "Changed calls\n2\nuptime_ns\n1\nOutcome\n2\n";
constexpr char programOutput[] = "hello ada\n42\ncaught / by zero\n";
constexpr char changedOutput[] = "HELLO ADA\n1042\n-1\n";
// An event row's values: table id, row key, slot count, uptime_ns (two slots), Outcome.
constexpr size_t outcomeSlot = 5;

struct ProbedRun {
  std::string output;
  std::vector<std::string> outcomes;  // the probe's rows, in the order the calls made them
  std::string log;
};

class ProbeStubsJvmTest : public AgentRunTest {
 protected:
  // The Java side on the boot class path, since "_agent_cp" names the probes' directory in its place.
  std::string javaSideArchive() {
    const fs::path archive = fs::path(work.path()) / "java-side.jar";
    if (!fs::exists(archive)) {
      const YVector<unsigned char> jar = assembleCallbackJar();
      writeWhole(archive, std::string(reinterpret_cast<const char*>(jar.data), size_t(jar.size)));
    }
    return archive.string();
  }

  std::vector<std::string> probeRows() {
    const snapshotfile::Snapshot snapshot = onlySnapshot();
    int64_t table = -1;
    for (const auto& [id, description] : snapshot.header.eventTables) {
      if (description == tableDescription) table = id;
    }
    std::vector<const Tables*> records;
    for (const snapshotfile::TablesRecord& record : snapshot.tableRecords) records.push_back(&record.tables);
    const ProfileTables tables(records);
    std::vector<std::pair<int64_t, std::string>> rows;
    tables.forEachLive(rowstream::eventTable, [&](const rowstream::Row& row) {
      if (row.values[0] == table) rows.push_back({row.values[1], tables.text(row.values[outcomeSlot])});
    });
    std::sort(rows.begin(), rows.end());
    std::vector<std::string> outcomes;
    for (const auto& row : rows) outcomes.push_back(row.second);
    return outcomes;
  }

  // One run of the program with the probe in the mode that `probeOptions` give, in fresh log and
  // snapshot directories. The bci debug category reports each woven method.
  ProbedRun runWithProbe(const std::string& probeOptions) {
    fs::remove_all(logDir());
    fs::create_directories(logDir());
    fs::remove_all(snapshotDir());
    const ProgramRun run = runUnderAgent(
        {"StubbedWorkload"},
        "dir=" + snapshotDir().string() + ",onexit=snapshot,debug=bci,_agent_cp=" +
            std::string(TALLYSCOPE_JVM_PROBES) + "," + probeOptions + ",probe_disable=.*",
        {"-Xverify:all", "-Xbootclasspath/a:" + javaSideArchive()});
    EXPECT_EQ(0, run.exitCode) << probeOptions << "\n" << run.output;
    ProbedRun probed{run.output, probeRows(), logs()};
    EXPECT_TRUE(containsInOrder(
        probed.log,
        {"Successfully registered probes: 1\n", "class: stubs.ChangingProbe$Greeting\n", "class: stubs.ChangingProbe\n",
         "instrumented by probe: stubs.ChangingProbe$Greeting -> StubbedWorkload greet",
         "instrumented by probe: stubs.ChangingProbe -> StubbedWorkload compute",
         "instrumented by probe: stubs.ChangingProbe -> StubbedWorkload divide"}))
        << probeOptions;
    EXPECT_EQ(std::string::npos, probed.log.find("VerifyError")) << probeOptions;
    return probed;
  }
};

TEST_F(ProbeStubsJvmTest, AnInactiveProbeLeavesTheProgramAsItIsWithoutTheAgent) {
  const ProgramRun plain = runProgram({java, "-Xverify:all", "-cp", programs, "StubbedWorkload"}, nextOutputPath());
  ASSERT_EQ(0, plain.exitCode) << plain.output;
  ASSERT_EQ(programOutput, plain.output);

  for (const char* options : {"probe_off=stubs.ChangingProbe", "probe_auto=stubs.ChangingProbe"}) {
    const ProbedRun run = runWithProbe(options);
    EXPECT_EQ(programOutput, run.output) << options;
    EXPECT_EQ(std::vector<std::string>{}, run.outcomes) << options;
  }
}

TEST_F(ProbeStubsJvmTest, AnActiveProbeChangesResultsAndWritesRows) {
  // "sampling" starts CPU sampling before the first woven call loads the probe class.
  for (const char* options : {"probe_on=stubs.ChangingProbe", "probe_auto=stubs.ChangingProbe,sampling"}) {
    const ProbedRun run = runWithProbe(options);
    EXPECT_EQ(changedOutput, run.output) << options;
    EXPECT_EQ((std::vector<std::string>{"returned 42", "threw java.lang.ArithmeticException: / by zero"}),
              run.outcomes)
        << options;
  }
}

}  // namespace
