#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/jvm/AgentRun.h"
#include "tests/jvm/ExitRuns.h"
#include "tests/jvm/ProfileTables.h"
#include "tests/support/SnapshotReader.h"
#include "tests/support/TableReplyReader.h"

// Monitor recording in real JVMs: contended enters and timed waits as "monitor" rows keyed by waiter, frame,
// owner and class, read back from snapshots and table replies; the hidden switches; the start and stop
// natives; and exits while threads throw and contend.

namespace {

using profiletables::ProfileTables;

constexpr int32_t monitorTable = 4;
constexpr int64_t msNs = 1000000;
// Fields of a "thread" row.
constexpr size_t threadName = 0;
constexpr size_t threadSequence = 3;

// A "monitor" row with its keys named.
struct MonitorRow {
  std::string thread;
  int32_t frame;
  std::string owner;
  int64_t ownerSequence;
  std::string className;
  int64_t total;
  int64_t count;
};

std::string threadNameOf(const ProfileTables& tables, int64_t sequence) {
  std::string name = "<no thread " + std::to_string(sequence) + ">";
  tables.forEachLive(profiletables::threadTable, [&](const rowstream::Row& row) {
    if (row.values[threadSequence] == sequence) name = tables.text(row.values[threadName]);
  });
  return name;
}

// The live rows of monitors of the test program's Lock class.
std::vector<MonitorRow> lockRows(const ProfileTables& tables) {
  std::vector<MonitorRow> rows;
  tables.forEachLive(monitorTable, [&](const rowstream::Row& row) {
    const std::string className = tables.text(row.values[3]);
    if (className != "LMonitors$Lock;") return;
    rows.push_back({threadNameOf(tables, row.values[0]), int32_t(row.values[1]), threadNameOf(tables, row.values[2]),
                    row.values[2], className, row.values[4], row.values[5]});
  });
  return rows;
}

std::string describe(const ProfileTables& tables, const std::vector<MonitorRow>& rows) {
  std::ostringstream out;
  for (const MonitorRow& row : rows) {
    out << row.thread << " frame " << row.frame << " (" << tables.methodOf(row.frame) << ") owner " << row.owner << " "
        << row.className << ": " << row.count << " waits, " << row.total / msNs << " ms\n";
  }
  return out.str();
}

std::vector<MonitorRow> rowsIn(const std::vector<MonitorRow>& rows, const ProfileTables& tables, const std::string& method) {
  std::vector<MonitorRow> found;
  for (const MonitorRow& row : rows) {
    if (tables.runsIn(row.frame, method)) found.push_back(row);
  }
  return found;
}

class MonitorTest : public AgentRunTest {
 protected:
  std::string snapshotOptions(const std::string& extra) const {
    return "dir=" + snapshotDir().string() + ",onexit=snapshot" + (extra.empty() ? "" : "," + extra);
  }

  ProgramRun runSteps(const std::vector<std::string>& steps, const std::string& options) {
    fs::remove_all(snapshotDir());
    std::vector<std::string> program{"Monitors", "steps"};
    program.insert(program.end(), steps.begin(), steps.end());
    return runUnderAgent(program, snapshotOptions(options), openSocketInternals);
  }

  fs::path replyFile(const std::string& name) const { return fs::path(work.path()) / name; }

  ProfileTables replyTables(const fs::path& file, tablereply::Reply& reply) const {
    reply = tablereply::parseTableReply(readWhole(file));
    return ProfileTables({&reply.tables});
  }

  ProfileTables snapshotTables(snapshotfile::Snapshot& snapshot) const {
    snapshot = onlySnapshot();
    std::vector<const profiletables::Tables*> records;
    for (const snapshotfile::TablesRecord& record : snapshot.tableRecords) records.push_back(&record.tables);
    return ProfileTables(records);
  }
};

// Five rounds of a contended enter held 100 ms by a fresh "holder" each, then a wait of 150 ms that nobody
// ends: the same rows in the table reply taken after them and in the exit's snapshot.
TEST_F(MonitorTest, ContendedEntersAndTimedWaitsHaveOneRowPerOwnerWithTheirTimes) {
  constexpr int rounds = 5;
  constexpr int64_t holdMs = 100;
  constexpr int64_t waitMs = 150;
  const fs::path reply = replyFile("reply.bin");
  const ProgramRun run = runSteps({"contend:5:100", "wait:150", "reply:" + reply.string()}, "monitors");
  ASSERT_EQ(0, run.exitCode) << run.output;
  ASSERT_NE(std::string::npos, run.output.find("steps done")) << run.output;

  tablereply::Reply parsed;
  snapshotfile::Snapshot snapshot;
  const ProfileTables fromReply = replyTables(reply, parsed);
  const ProfileTables fromSnapshot = snapshotTables(snapshot);
  for (const ProfileTables* tables : {&fromReply, &fromSnapshot}) {
    SCOPED_TRACE(tables == &fromReply ? "table reply" : "snapshot");
    const std::vector<MonitorRow> rows = lockRows(*tables);
    const std::string seen = describe(*tables, rows);

    const std::vector<MonitorRow> entered = rowsIn(rows, *tables, "Monitors.enterContended");
    ASSERT_EQ(size_t(rounds), entered.size()) << seen;
    std::set<int64_t> owners;
    for (const MonitorRow& row : entered) {
      EXPECT_EQ("main", row.thread) << seen;
      EXPECT_EQ("holder", row.owner) << seen;
      EXPECT_EQ(1, row.count) << seen;
      // The holder lets go `holdMs` after it saw the waiter blocked; the slack is for a slow machine.
      EXPECT_GE(row.total, (holdMs - 5) * msNs) << seen;
      EXPECT_LE(row.total, (holdMs + 3000) * msNs) << seen;
      owners.insert(row.ownerSequence);
    }
    EXPECT_EQ(size_t(rounds), owners.size()) << "each round's holder is an owner of its own\n" << seen;
    // All enters of the one site share one frame.
    for (const MonitorRow& row : entered) EXPECT_EQ(entered[0].frame, row.frame) << seen;

    // The waiter owns the monitor when its wait begins.
    const std::vector<MonitorRow> waited = rowsIn(rows, *tables, "Monitors.timedWait");
    ASSERT_EQ(1u, waited.size()) << seen;
    EXPECT_EQ("main", waited[0].thread);
    EXPECT_EQ("main", waited[0].owner);
    EXPECT_EQ(1, waited[0].count);
    EXPECT_GE(waited[0].total, (waitMs - 5) * msNs) << seen;
    EXPECT_LE(waited[0].total, (waitMs + 3000) * msNs) << seen;
    EXPECT_EQ(size_t(rounds + 1), rows.size()) << seen;
  }
}

// What each hidden switch leaves of the same work: the statistics, the frame their rows point at, and the
// event tables "Thread wait" and "Thread block".
TEST_F(MonitorTest, TheHiddenSwitchesShapeWhatIsRecorded) {
  const struct {
    const char* name;
    const char* options;
    bool statistics;
    bool noStack;
    bool eventTables;
  } cases[] = {
      {"no stack", "_monitors_no_stack", true, true, false},
      {"legacy disabled", "_monitors_legacy_disable", false, false, false},
      {"empty callback", "_monitors_empty_callback,_monitors_probe_enable", false, false, false},
      {"probe rows too", "_monitors_probe_enable", true, false, true},
      {"probe rows only", "_monitors_probe_enable,_monitors_legacy_disable", false, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(logDir());
    fs::create_directories(logDir());
    const ProgramRun run = runSteps({"contend:2:50", "wait:50"}, std::string("monitors,") + c.options);
    ASSERT_EQ(0, run.exitCode) << run.output;
    snapshotfile::Snapshot snapshot;
    const ProfileTables tables = snapshotTables(snapshot);
    const std::vector<MonitorRow> rows = lockRows(tables);
    const std::string seen = describe(tables, rows);
    EXPECT_EQ(c.statistics ? 3u : 0u, rows.size()) << seen;
    for (const MonitorRow& row : rows) {
      if (c.noStack) {
        // A pseudo frame of its own below the root, never a frame of a real stack.
        EXPECT_EQ(".<Stack not recorded>", tables.methodOf(row.frame)) << seen;
        EXPECT_EQ(0, tables.parentOf(row.frame)) << seen;
      } else {
        EXPECT_TRUE(tables.runsIn(row.frame, "Monitors.enterContended") || tables.runsIn(row.frame, "Monitors.timedWait"))
            << seen;
      }
    }
    const std::string log = logs();
    for (const char* table : {"Thread block", "Thread wait"}) {
      const std::string created = std::string("table created in native code: \"") + table + "\" -> ";
      EXPECT_EQ(c.eventTables, log.find(created) != std::string::npos) << table << "\n" << log;
    }
  }
}

// The natives' answers and messages, and records still buffered at the stop: the reply after the stop holds
// only what was replayed before it.
TEST_F(MonitorTest, StartStopAndTheRecordsBufferedAtTheStop) {
  const fs::path before = replyFile("before.bin");
  const fs::path after = replyFile("after.bin");
  const ProgramRun run = runSteps(
      {"start", "start", "contend:2:50", "reply:" + before.string(), "contend:2:50", "stop", "stop", "reply:" + after.string()},
      "");
  ASSERT_EQ(0, run.exitCode) << run.output;
  EXPECT_TRUE(containsInOrder(run.output, {"start -> null\n", "start -> Cannot start monitor profiling: Already started\n",
                                           "stop\n", "stop\n", "steps done"}));
  const std::string log = logs();
  EXPECT_TRUE(containsInOrder(log, {"Monitor profiling started", "Cannot start monitor profiling: Already started",
                                    "Monitor profiling stopped"}))
      << log;
  EXPECT_EQ(log.find("Monitor profiling stopped"), log.rfind("Monitor profiling stopped")) << "a second stop is silent";

  tablereply::Reply first;
  tablereply::Reply second;
  const ProfileTables beforeStop = replyTables(before, first);
  const ProfileTables afterStop = replyTables(after, second);
  const std::vector<MonitorRow> rowsBefore = rowsIn(lockRows(beforeStop), beforeStop, "Monitors.enterContended");
  ASSERT_EQ(2u, rowsBefore.size()) << describe(beforeStop, lockRows(beforeStop));
  // The second reply carries every row changed since stamp 0: still the two, with their one wait each.
  const std::vector<MonitorRow> rowsAfter = rowsIn(lockRows(afterStop), afterStop, "Monitors.enterContended");
  ASSERT_EQ(2u, rowsAfter.size()) << describe(afterStop, lockRows(afterStop));
  for (const MonitorRow& row : rowsAfter) EXPECT_EQ(1, row.count) << describe(afterStop, rowsAfter);
}

// The exit's snapshot and the JVM's end while eight threads throw and contend under exception and monitor
// profiling.
TEST_F(MonitorTest, ExitWhileEightThreadsThrowAndContendEndsCleanlyEveryTime) {
  constexpr int runsWanted = 100;
  constexpr int parallel = 8;
  const std::vector<std::string> failures = exitRunFailures(
      runsWanted, parallel,
      [&](int i, const fs::path& dir) {
        std::vector<std::string> command{java};
        command.push_back("-agentpath:" + library + "=" +
                          optionsWith("monitors,exceptions=on,onexit=snapshot,dir=" + dir.string()));
        for (const char* part : {"-cp", programs.c_str(), "Monitors", "exitWhileContending"}) command.push_back(part);
        command.push_back(i % 2 == 0 ? "exit" : "return");
        return runProgram(command, (fs::path(work.path()) / ("contending" + std::to_string(i) + ".txt")).string());
      },
      snapshotDir());
  for (int i = 0; i < runsWanted; i++) EXPECT_EQ("", failures[size_t(i)]) << "run " << i;
  EXPECT_EQ(std::string::npos, logs().find("error")) << "an error was logged";
}

}  // namespace
