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
// owner and class, read back from snapshots and table replies; the hidden switches and the event-table rows
// they add; the start and stop natives; and exits while threads throw and contend.

namespace {

using profiletables::ProfileTables;

constexpr int32_t monitorTable = 4;
constexpr int64_t msNs = 1000000;

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

// The live rows of monitors of the test program's Lock class.
std::vector<MonitorRow> lockRows(const ProfileTables& tables) {
  std::vector<MonitorRow> rows;
  tables.forEachLive(monitorTable, [&](const rowstream::Row& row) {
    const std::string className = tables.text(row.values[3]);
    if (className != "LMonitors$Lock;") return;
    rows.push_back({tables.threadName(row.values[0]), int32_t(row.values[1]), tables.threadName(row.values[2]),
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

// A row of "Thread wait" or "Thread block": its slots are uptime_ns and uptime_ns.end (two each, low half
// first), thread and frame.
struct WaitEventRow {
  int64_t thread;
  int32_t frame;
  int64_t startNs;
  int64_t endNs;
};

const char* const threadBlockDescription = "Thread block\n4\nuptime_ns\n1\nuptime_ns.end\n1\nthread\n0\nframe\n0\n";
const char* const threadWaitDescription = "Thread wait\n4\nuptime_ns\n1\nuptime_ns.end\n1\nthread\n0\nframe\n0\n";

// The id of the snapshot's event table of that name; -1 when it has none.
int64_t eventTableNamed(const snapshotfile::Snapshot& snapshot, const std::string& name) {
  for (const auto& [id, description] : snapshot.header.eventTables) {
    if (description.rfind(name + "\n", 0) == 0) return id;
  }
  return -1;
}

int64_t wide(int64_t low, int64_t high) { return int64_t(uint64_t(uint32_t(low)) | (uint64_t(uint32_t(high)) << 32)); }

std::vector<WaitEventRow> waitEventRows(const ProfileTables& tables, int64_t tableId) {
  std::vector<WaitEventRow> rows;
  tables.forEachLive(rowstream::eventTable, [&](const rowstream::Row& row) {
    if (row.values[0] != tableId) return;
    const std::vector<int64_t>& v = row.values;
    if (v[2] != 6 || v.size() != 9) {
      ADD_FAILURE() << "a wait row of " << v[2] << " slots: " << row;
      return;
    }
    rows.push_back({v[7], int32_t(v[8]), wide(v[3], v[4]), wide(v[5], v[6])});
  });
  return rows;
}

// The innermost frame of the test program's own code on the frame's stack, as methodOf names it.
std::string programMethodOf(const ProfileTables& tables, int32_t frame) {
  for (; frame > 0; frame = tables.parentOf(frame)) {
    const std::string method = tables.methodOf(frame);
    if (method.rfind("Monitors.", 0) == 0) return method;
  }
  return "<no program frame>";
}

std::string describe(const ProfileTables& tables, const std::vector<WaitEventRow>& rows) {
  std::ostringstream out;
  for (const WaitEventRow& row : rows) {
    out << tables.threadName(row.thread) << " frame " << row.frame << " (" << tables.methodOf(row.frame) << " in "
        << programMethodOf(tables, row.frame) << ") from " << row.startNs / msNs << " ms to " << row.endNs / msNs
        << " ms\n";
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
// event tables "Thread wait" and "Thread block" with a closed row per contended enter and per wait of the
// waiter, at its own frame.
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
  constexpr size_t rounds = 2;
  constexpr int64_t holdMs = 50;
  constexpr int64_t waitMs = 50;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(logDir());
    fs::create_directories(logDir());
    const ProgramRun run =
        runSteps({"contend:" + std::to_string(rounds) + ":" + std::to_string(holdMs), "wait:" + std::to_string(waitMs)},
                 std::string("monitors,") + c.options);
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

    const struct {
      const char* table;
      const char* description;
      const char* site;  // the waiter's method
      size_t rows;
      int64_t leastMs;
    } waits[] = {
        {"Thread block", threadBlockDescription, "Monitors.enterContended", rounds, holdMs},
        {"Thread wait", threadWaitDescription, "Monitors.timedWait", 1, waitMs},
    };
    for (const auto& w : waits) {
      SCOPED_TRACE(w.table);
      const int64_t tableId = eventTableNamed(snapshot, w.table);
      ASSERT_EQ(c.eventTables, tableId >= 0);
      if (tableId < 0) {
        // No table, and no event row of a table the snapshot does not describe.
        tables.forEachLive(rowstream::eventTable, [&](const rowstream::Row& row) {
          bool described = false;
          for (const auto& table : snapshot.header.eventTables) described = described || table.first == row.values[0];
          EXPECT_TRUE(described) << row;
        });
        continue;
      }
      for (const auto& [id, description] : snapshot.header.eventTables) {
        if (id == tableId) {
          EXPECT_EQ(w.description, description);
        }
      }
      // The waiter's thread row, which its handlers named.
      const int32_t mainSequence = tables.threadSequence("main");
      ASSERT_GT(mainSequence, 0);
      const std::vector<WaitEventRow> all = waitEventRows(tables, tableId);
      const std::string seenRows = describe(tables, all);
      std::vector<WaitEventRow> atSite;
      for (const WaitEventRow& row : all) {
        if (programMethodOf(tables, row.frame) == w.site) atSite.push_back(row);
      }
      ASSERT_EQ(w.rows, atSite.size()) << seenRows;
      for (const WaitEventRow& row : atSite) {
        EXPECT_EQ(mainSequence, row.thread) << seenRows;
        EXPECT_GT(row.startNs, 0) << seenRows;
        // A block row opens a little after the waiter shows as blocked, when the holder's hold begins.
        EXPECT_GE(row.endNs - row.startNs, (w.leastMs - 15) * msNs) << seenRows;
        EXPECT_LE(row.endNs - row.startNs, (w.leastMs + 3000) * msNs) << seenRows;
      }
      // The program's other waits (its hand-overs and joins, and the holders' enters) are closed as well.
      for (const WaitEventRow& row : all) {
        const std::string thread = tables.threadName(row.thread);
        if (thread == "main" || thread == "holder") {
          EXPECT_GT(row.startNs, 0) << seenRows;
          EXPECT_GE(row.endNs, row.startNs) << seenRows;
        }
      }
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
  const int runsWanted = exitRunCount(100);
  constexpr int parallel = 8;
  const std::vector<std::string> failures = exitRunFailures(
      runsWanted, parallel,
      [&](int i, const fs::path& dir) {
        std::vector<std::string> command{java};
        command.push_back("-agentpath:" + library + "=" +
                          optionsWith("monitors,exceptions=on,onexit=snapshot,dir=" + dir.string()));
        for (const char* part : {"-cp", programs.c_str(), "Monitors", "exitWhileContending"}) command.push_back(part);
        command.push_back(leavingWay(i).name);
        return runProgram(command, (fs::path(work.path()) / ("contending" + std::to_string(i) + ".txt")).string());
      },
      snapshotDir());
  for (int i = 0; i < runsWanted; i++) EXPECT_EQ("", failures[size_t(i)]) << "run " << i;
  EXPECT_EQ(std::string::npos, logs().find("error")) << "an error was logged";
}

}  // namespace
