#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "agent/core/CallbackJar.h"
#include "tests/jvm/AgentRun.h"
#include "tests/jvm/ProfileTables.h"
#include "tests/support/SnapshotReader.h"

// A probe class registered at start-up from a directory of its own and woven into a program's methods as
// they load, under -Xverify:all: its callbacks make an event table and write a row per observed call,
// which the exit's snapshot holds, while the program prints what it prints without the agent.

namespace {

using namespace profiletables;

constexpr char tableDescription[] = "Woven calls\n4\nuptime_ns\n1\nMethod\n2\nArguments\n2\nOutcome\n2\n";
constexpr char programOutput[] = "hello ada\n42\ncaught / by zero\nquiet\n";

// An event row's values: table id, row key, slot count, then the slots: uptime_ns (two), Method,
// Arguments, Outcome.
constexpr size_t methodSlot = 5, argumentsSlot = 6, outcomeSlot = 7;

struct WovenCall {
  std::string method;
  std::string arguments;
  std::string outcome;
  bool operator==(const WovenCall& other) const {
    return method == other.method && arguments == other.arguments && outcome == other.outcome;
  }
};

std::ostream& operator<<(std::ostream& out, const WovenCall& call) {
  return out << call.method << " " << call.arguments << " " << call.outcome;
}

class ProbeWeavingJvmTest : public AgentRunTest {
 protected:
  // The Java side on the boot class path, since "_agent_cp" names the probes' directory in its place.
  std::string javaSideArchive() {
    const fs::path archive = fs::path(work.path()) / "java-side.jar";
    const YVector<unsigned char> jar = assembleCallbackJar();
    writeWhole(archive, std::string(reinterpret_cast<const char*>(jar.data), size_t(jar.size)));
    return archive.string();
  }

  // The rows of the snapshot's "Woven calls" table, in the order the calls made them.
  std::vector<WovenCall> wovenCalls() {
    const snapshotfile::Snapshot snapshot = onlySnapshot();
    int64_t table = -1;
    for (const auto& [id, description] : snapshot.header.eventTables) {
      if (description == tableDescription) table = id;
    }
    EXPECT_GE(table, 32) << "no \"Woven calls\" table";
    std::vector<const Tables*> records;
    for (const snapshotfile::TablesRecord& record : snapshot.tableRecords) records.push_back(&record.tables);
    const ProfileTables tables(records);
    std::vector<std::pair<int64_t, WovenCall>> rows;
    tables.forEachLive(rowstream::eventTable, [&](const rowstream::Row& row) {
      if (row.values[0] != table) return;
      EXPECT_EQ(5, row.values[2]) << row;
      rows.push_back({row.values[1], {tables.text(row.values[methodSlot]), tables.text(row.values[argumentsSlot]),
                                      tables.text(row.values[outcomeSlot])}});
    });
    std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<WovenCall> calls;
    for (const auto& row : rows) calls.push_back(row.second);
    return calls;
  }
};

TEST_F(ProbeWeavingJvmTest, CallbacksWriteRowsWhileTheProgramRunsUnchanged) {
  const ProgramRun plain = runProgram({java, "-Xverify:all", "-cp", programs, "WovenWorkload"}, nextOutputPath());
  ASSERT_EQ(0, plain.exitCode) << plain.output;
  ASSERT_EQ(programOutput, plain.output);

  const ProgramRun run = runUnderAgent(
      {"WovenWorkload"},
      "dir=" + snapshotDir().string() + ",onexit=snapshot,_agent_cp=" + std::string(TALLYSCOPE_JVM_PROBES) +
          ",probe_on=weaving.RowProbe,probe_disable=.*",
      {"-Xverify:all", "-Xbootclasspath/a:" + javaSideArchive()});
  ASSERT_EQ(0, run.exitCode) << run.output;
  EXPECT_EQ(programOutput, run.output);

  const std::string log = logs();
  EXPECT_TRUE(containsInOrder(log, {"Successfully registered probes: 1\n", "  Registered: weaving.RowProbe"}));
  EXPECT_EQ(std::vector<std::string>{}, troubleLines(log));

  // The excluding pattern keeps skipped() unwoven.
  EXPECT_EQ((std::vector<WovenCall>{{"greet", "[ada]", "returned hello ada"},
                                    {"divide", "[84, 2]", "returned 42"},
                                    {"divide", "[1, 0]", "threw java.lang.ArithmeticException: / by zero"}}),
            wovenCalls());
}

}  // namespace
