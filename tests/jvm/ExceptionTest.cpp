#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/jvm/AgentRun.h"
#include "tests/jvm/ProfileTables.h"
#include "tests/support/SnapshotReader.h"
#include "tests/support/TableReplyReader.h"

// Exception recording in real JVMs: where exceptions were thrown and caught, by thread and class, read
// from a table reply and from the snapshot at exit; the clear, the start and stop natives, and the throw
// sites of a thread that CPU tracing follows.

namespace {

using namespace profiletables;

constexpr int32_t exceptionTable = 14;

struct ExceptionRow {
  int32_t throwFrame;
  int32_t catchFrame;
  int64_t count;
};

class ExceptionTest : public AgentRunTest {
 protected:
  std::string options(const std::string& extra) const {
    return "dir=" + snapshotDir().string() + ",onexit=snapshot" + (extra.empty() ? "" : "," + extra);
  }
  fs::path replyFile() const { return fs::path(work.path()) / "reply.bin"; }
};

// The live rows of the exception class (its JVM signature), of any thread when `thread` is 0.
std::vector<ExceptionRow> rowsOf(const ProfileTables& tables, const std::string& signature, int32_t thread = 0) {
  std::vector<ExceptionRow> rows;
  tables.forEachLive(exceptionTable, [&](const rowstream::Row& row) {
    if (tables.text(row.values[3]) != signature) return;
    if (thread != 0 && row.values[0] != thread) return;
    rows.push_back({int32_t(row.values[1]), int32_t(row.values[2]), row.values[4]});
  });
  return rows;
}

// The methods of the frame's stack from `method` down, as "Exceptions.<name>" joined with ">"; empty when
// the method is not on it.
std::string pathFrom(const ProfileTables& tables, int32_t frame, const std::string& method) {
  const std::vector<std::string> path = tables.pathOf(frame);
  std::string joined;
  bool on = false;
  for (const std::string& step : path) {
    on = on || step == "Exceptions." + method;
    // The frame of the leaf's line.
    if (!on || step == "own.<<own>>") continue;
    joined += (joined.empty() ? "" : ">") + step;
  }
  return joined;
}

TEST_F(ExceptionTest, ThrowsAreCountedByThreadSitesAndClassOnlyWhileOnAndAfreshAfterAClear) {
  const ProgramRun run = runUnderAgent({"Exceptions", "cases", replyFile().string()}, options("exceptions=off"),
                                       openSocketInternals);
  ASSERT_EQ(0, run.exitCode) << run.output;
  ASSERT_NE(std::string::npos, run.output.find("cases done")) << run.output;
  ASSERT_NE(std::string::npos, run.output.find("died of Exceptions$Uncaught")) << run.output;

  const tablereply::Reply reply = tablereply::parseTableReply(readWhole(replyFile()));
  const snapshotfile::Snapshot snapshot = onlySnapshot();
  ASSERT_FALSE(snapshot.tableRecords.empty());
  const struct {
    const char* name;
    const Tables* tables;
  } sources[] = {{"table reply", &reply.tables}, {"snapshot", &snapshot.tableRecords.back().tables}};
  for (const auto& source : sources) {
    SCOPED_TRACE(source.name);
    const ProfileTables tables({source.tables});
    const int32_t main = tables.threadSequence("main");
    const int32_t dying = tables.threadSequence("dying");
    ASSERT_GT(main, 0);
    ASSERT_GT(dying, 0);

    // Off at start, stopped before the last: never counted. Thrown before the clear: gone with it.
    for (const char* gone : {"LExceptions$Unrecorded;", "LExceptions$AfterStop;", "LExceptions$BeforeClear;"}) {
      EXPECT_TRUE(rowsOf(tables, gone).empty()) << gone;
    }

    // Thrown and caught in one method, three times at one site since the clear (five before it).
    const std::vector<ExceptionRow> here = rowsOf(tables, "LExceptions$Here;", main);
    ASSERT_EQ(1u, here.size());
    EXPECT_EQ(3, here[0].count);
    EXPECT_EQ("Exceptions.caughtHere", pathFrom(tables, here[0].throwFrame, "caughtHere"));
    EXPECT_EQ("Exceptions.caughtHere", pathFrom(tables, here[0].catchFrame, "caughtHere"));
    EXPECT_NE(here[0].throwFrame, here[0].catchFrame) << "the throw and the catch are on different lines";

    // Caught three frames up from the throw, twice from one call site.
    const std::vector<ExceptionRow> up = rowsOf(tables, "LExceptions$Up;", main);
    ASSERT_EQ(1u, up.size());
    EXPECT_EQ(2, up[0].count);
    EXPECT_EQ("Exceptions.upTop>Exceptions.up1>Exceptions.up2>Exceptions.up3",
              pathFrom(tables, up[0].throwFrame, "upTop"));
    EXPECT_EQ("Exceptions.upTop", pathFrom(tables, up[0].catchFrame, "upTop"));

    // The thread that died of its exception: no catch frame.
    const std::vector<ExceptionRow> uncaught = rowsOf(tables, "LExceptions$Uncaught;");
    ASSERT_EQ(1u, uncaught.size());
    EXPECT_EQ(1, uncaught[0].count);
    EXPECT_EQ(0, uncaught[0].catchFrame);
    EXPECT_EQ(1u, rowsOf(tables, "LExceptions$Uncaught;", dying).size());

    // Caught, thrown again and caught further up: one count, at the first throw and the last catch; the
    // first catch's row is taken back to 0.
    const std::vector<ExceptionRow> rethrown = rowsOf(tables, "LExceptions$Rethrown;", main);
    ASSERT_EQ(2u, rethrown.size());
    const ExceptionRow& first = rethrown[0].count == 0 ? rethrown[0] : rethrown[1];
    const ExceptionRow& last = rethrown[0].count == 0 ? rethrown[1] : rethrown[0];
    EXPECT_EQ(0, first.count);
    EXPECT_EQ(1, last.count);
    EXPECT_EQ(first.throwFrame, last.throwFrame);
    EXPECT_EQ("Exceptions.rethrowInner", pathFrom(tables, last.throwFrame, "rethrowInner"));
    EXPECT_EQ("Exceptions.rethrowInner", pathFrom(tables, first.catchFrame, "rethrowInner"));
    EXPECT_EQ("Exceptions.rethrowOuter", pathFrom(tables, last.catchFrame, "rethrowOuter"));
  }

  // Each change is announced once; a start or stop that changes nothing is silent.
  const std::string log = logs();
  EXPECT_TRUE(containsInOrder(log, {"Exception profiling started\n", "Exceptions cleared\n", "Exception profiling stopped\n"}));
  for (const char* once : {"Exception profiling started", "Exception profiling stopped"}) {
    const size_t at = log.find(once);
    EXPECT_EQ(std::string::npos, log.find(once, at + 1)) << once << " twice in:\n" << log;
  }
}

// While CPU tracing follows the thread's stack, a throw is charged to the traced frame it came from,
// which is the frame of its "cpu_profiling" row; the catch site is the stack of the catch.
TEST_F(ExceptionTest, AThrowOnATracedThreadIsChargedToItsTracedFrame) {
  const ProgramRun run =
      runUnderAgent({"Exceptions", "traced", replyFile().string()}, options("tracing,exceptions=on"), openSocketInternals);
  ASSERT_EQ(0, run.exitCode) << run.output;
  ASSERT_NE(std::string::npos, run.output.find("traced done")) << run.output;
  const tablereply::Reply reply = tablereply::parseTableReply(readWhole(replyFile()));
  const snapshotfile::Snapshot snapshot = onlySnapshot();
  ASSERT_FALSE(snapshot.tableRecords.empty());
  const struct {
    const char* name;
    const Tables* tables;
  } sources[] = {{"table reply", &reply.tables}, {"snapshot", &snapshot.tableRecords.back().tables}};
  for (const auto& source : sources) {
    SCOPED_TRACE(source.name);
    const ProfileTables tables({source.tables});
    const int32_t traced = tables.threadSequence("traced");
    ASSERT_GT(traced, 0);
    // Every throw at a traced frame of tracedThrow (the traced stack may be recorded with and without
    // its callers' lines), every catch in tracedCase.
    const std::map<int32_t, const rowstream::Row*> tracedFrames = tables.cpuRowsOfThread(tables.threadNumber("traced"));
    int64_t total = 0;
    for (const ExceptionRow& row : rowsOf(tables, "LExceptions$Traced;", traced)) {
      total += row.count;
      if (row.count == 0) continue;
      EXPECT_EQ("Exceptions.tracedThrow", tables.methodOf(row.throwFrame));
      EXPECT_EQ(1u, tracedFrames.count(row.throwFrame)) << "throw frame " << row.throwFrame << " is not a traced frame";
      EXPECT_EQ("Exceptions.tracedCase", pathFrom(tables, row.catchFrame, "tracedCase"));
    }
    EXPECT_EQ(4, total);
  }
}

// Once tracing stopped, a throw on a thread whose stack it followed is recorded at its own site: the
// traced frame of the ended period is gone, and the throw must not be charged to it nor lost.
TEST_F(ExceptionTest, AThrowAfterTracingStoppedIsRecordedAtItsSite) {
  const ProgramRun run = runUnderAgent({"Exceptions", "afterTracing"}, options("exceptions=on"));
  ASSERT_EQ(0, run.exitCode) << run.output;
  ASSERT_NE(std::string::npos, run.output.find("after tracing done")) << run.output;
  const snapshotfile::Snapshot snapshot = onlySnapshot();
  ASSERT_FALSE(snapshot.tableRecords.empty());
  const ProfileTables tables({&snapshot.tableRecords.back().tables});
  int64_t total = 0;
  for (const ExceptionRow& row : rowsOf(tables, "LExceptions$AfterTracing;")) {
    total += row.count;
    if (row.count == 0) continue;
    EXPECT_EQ("Exceptions.afterTracing>Exceptions.caughtHere", pathFrom(tables, row.throwFrame, "afterTracing"));
    EXPECT_EQ("Exceptions.afterTracing>Exceptions.caughtHere", pathFrom(tables, row.catchFrame, "afterTracing"));
  }
  EXPECT_EQ(3, total);
  const std::string log = logs();
  EXPECT_EQ(std::string::npos, log.find("p_e:")) << log;
}

}  // namespace
