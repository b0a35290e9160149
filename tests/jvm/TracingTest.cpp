#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/jvm/AgentRun.h"
#include "tests/jvm/ControlSteps.h"
#include "tests/jvm/ExitRuns.h"
#include "tests/jvm/ProfileTables.h"
#include "tests/support/SnapshotReader.h"
#include "tests/support/TableReplyReader.h"

// CPU tracing and call counting in real JVMs: the call tree and its counts, times and lines, calls still
// open when tables are written, exact call counts, the adaptive filter, classes whose instrumentation
// follows the tracing mode, what each mode records through the Callback bodies it chooses, a start whose
// bodies the JVM refuses, and exits while threads make traced calls.

namespace {

using namespace cpucontrol;
using namespace profiletables;

constexpr int32_t callCountTable = 17;

// The tracing settings that a start without a settings text uses when there is no "tracing.txt".
constexpr char defaultTracingSettings[] =
    "walltime=*\n"
    "adaptive=true\n"
    "adaptive_min_method_invocation_count=20000\n"
    "adaptive_max_average_method_time_ns=1000\n"
    "adaptive_min_method_time_percent=0.1\n";

// Where the lines marked "line" in TracedCalls.java call.
constexpr int32_t lineOfBInA = 25;
constexpr int32_t lineOfCInA = 28;
constexpr int32_t lineOfCInC = 41;
constexpr int32_t lineOfAInTree = 109;

// The frames of a thread's call tree from the frame of one method down, keyed by the methods' short
// names joined with ">" ("a>c>c"), with their "cpu_profiling" rows.
struct Subtree {
  struct Node {
    int32_t frame;
    int64_t time;
    int64_t invocations;
  };
  std::map<std::string, Node> byPath;
};

std::string shortName(const std::string& method) { return method.substr(method.rfind('.') + 1); }

Subtree subtreeOf(const ProfileTables& tables, int32_t thread, const std::string& top) {
  Subtree subtree;
  for (const auto& [frame, row] : tables.cpuRowsOfThread(thread)) {
    const std::vector<std::string> path = tables.pathOf(frame);
    size_t from = 0;
    while (from < path.size() && path[from] != top) from++;
    if (from == path.size()) continue;
    std::string key;
    for (size_t i = from; i < path.size(); i++) key += (key.empty() ? "" : ">") + shortName(path[i]);
    subtree.byPath[key] = {frame, row->values[0], row->values[1]};
  }
  return subtree;
}

// The calls counted for the method: its "call_count" value, 0 without a row.
int64_t callsCounted(const ProfileTables& tables, int64_t methodId) {
  const rowstream::Row* row = tables.row(callCountTable, methodId);
  return row != nullptr ? row->values[0] : 0;
}

class TracingTest : public AgentRunTest {
 protected:
  std::string snapshotOptions(const std::string& extra) const { return "dir=" + snapshotDir().string() + "," + extra; }

  tablereply::Reply replyIn(const fs::path& file) const { return tablereply::parseTableReply(readWhole(file)); }

  fs::path settingsFile(const std::string& name, const std::string& text) const {
    const fs::path file = fs::path(work.path()) / name;
    writeWhole(file, text);
    return file;
  }
};

TEST_F(TracingTest, StartsAndStopsOfTracingAndCallCountingAnswerEachStateWithTheirTexts) {
  const std::string tracing = "CPU profiling (tracing) already started";
  const std::string counting = "CPU profiling (call counting) already started";
  const std::vector<ControlStep> steps = {
      {"start:12", "null", 0xc, "CPU tracing started", defaultTracingSettings},
      {"start:12", "Cannot start CPU tracing: " + tracing, 0xc, "Cannot start CPU tracing", tracing},
      {"start:4", "Cannot start CPU sampling: " + tracing, 0xc, "Cannot start CPU sampling", tracing},
      {"start:0x1004", "Cannot start call counting: " + tracing, 0xc, "Cannot start call counting", tracing},
      {"stop:true", "-", 0, "CPU tracing stopped", ""},
      {"start:0x1004", "null", 0x1004, "Call counting started", ""},
      {"start:12", "Cannot start CPU tracing: " + counting, 0x1004, "Cannot start CPU tracing", counting},
      {"stop:false", "-", 0, "", ""},
      {"stop:true", "-", 0, "", ""},
      {"start:12:adaptive=false", "null", 0xc, "CPU tracing started", "adaptive=false"},
      {"stop:true", "-", 0, "CPU tracing stopped", ""},
  };
  std::vector<std::string> arguments{"SamplingCalls", "control"};
  for (const ControlStep& step : steps) arguments.push_back(step.step);
  const ProgramRun run = runUnderAgent(arguments, snapshotOptions("onexit=snapshot"));
  checkControlSteps(run, steps, onlySnapshot(), logs());
}

TEST_F(TracingTest, TracedCallsHaveExactCountsPerPathTimesThatNestAndLinesUnlessDisabled) {
  const struct {
    const char* name;
    const char* options;
    bool lines;
  } cases[] = {
      {"with lines", "tracing", true},
      {"lines disabled", "tracing,_tracing_disable_lines", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(snapshotDir());
    const ProgramRun run = runUnderAgent({"TracedCalls", "tree"}, snapshotOptions(c.options));
    ASSERT_EQ(0, run.exitCode) << run.output;
    ASSERT_NE(std::string::npos, run.output.find("tree done")) << run.output;
    const snapshotfile::Snapshot snapshot = onlySnapshot();
    ASSERT_FALSE(snapshot.tableRecords.empty());
    const ProfileTables tables({&snapshot.tableRecords.back().tables});
    const int32_t main = tables.threadNumber("main");
    ASSERT_GT(main, 0);

    const Subtree tree = subtreeOf(tables, main, "TracedCalls.a");
    const std::map<std::string, int64_t> expected{
        {"a", 1}, {"a>b", 1000}, {"a>c", 300}, {"a>c>c", 300}, {"a>c>c>c", 300}};
    std::map<std::string, int64_t> counted;
    for (const auto& [path, node] : tree.byPath) counted[path] = node.invocations;
    EXPECT_EQ(expected, counted);

    // A caller's time holds its callees' times.
    for (const auto& [path, node] : tree.byPath) {
      int64_t callees = 0;
      for (const auto& [other, callee] : tree.byPath) {
        if (tables.parentOf(callee.frame) == node.frame) callees += callee.time;
      }
      EXPECT_GE(node.time, callees) << path;
    }
    ASSERT_EQ(1u, tree.byPath.count("a"));
    EXPECT_GT(tree.byPath.at("a").time, 0);

    // Each frame pairs its method with the line of its caller that called it.
    const std::map<std::string, int32_t> lines{{"a", lineOfAInTree},
                                               {"a>b", lineOfBInA},
                                               {"a>c", lineOfCInA},
                                               {"a>c>c", lineOfCInC},
                                               {"a>c>c>c", lineOfCInC}};
    for (const auto& [path, line] : lines) {
      if (tree.byPath.count(path) == 0) continue;
      EXPECT_EQ(c.lines ? line : 0, tables.lineOf(tree.byPath.at(path).frame)) << path;
    }
  }
}

TEST_F(TracingTest, ACallStillOpenShowsItsTimeSoFarInEachReply) {
  const fs::path firstFile = fs::path(work.path()) / "first.bin";
  const fs::path secondFile = fs::path(work.path()) / "second.bin";
  const ProgramRun run = runUnderAgent({"TracedCalls", "openCall", firstFile.string(), secondFile.string()},
                                       snapshotOptions("tracing"), openSocketInternals);
  ASSERT_EQ(0, run.exitCode) << run.output;
  const tablereply::Reply first = replyIn(firstFile);
  const tablereply::Reply second = replyIn(secondFile);
  const ProfileTables both({&first.tables, &second.tables});
  const int32_t worker = both.threadNumber("worker");
  ASSERT_GT(worker, 0);

  // The open call's row in each reply: the first came 300 ms after the call began, the second 300 ms
  // after the first.
  const auto openCallIn = [&](const tablereply::Reply& reply) -> const rowstream::Row* {
    for (const auto& [frame, row] : both.cpuRowsOfThread(worker, reply.tables.at(cpuProfilingTable))) {
      if (both.methodOf(frame) == "TracedCalls.openCall") return row;
    }
    return nullptr;
  };
  const rowstream::Row* before = openCallIn(first);
  const rowstream::Row* after = openCallIn(second);
  ASSERT_NE(nullptr, before);
  ASSERT_NE(nullptr, after);
  EXPECT_GE(before->values[0], 300 * nsPerMs);
  EXPECT_GE(after->values[0], before->values[0] + 300 * nsPerMs);
  EXPECT_EQ(1, before->values[1]);
  EXPECT_EQ(1, after->values[1]) << "an open call is counted once";
}

TEST_F(TracingTest, CallCountingCountsEveryCallWithEightAndWithFourStripes) {
  const struct {
    const char* name;
    const char* options;
  } cases[] = {{"8 stripes", ""}, {"4 stripes", "_cf4"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path replyFile = fs::path(work.path()) / (std::string(c.name) + ".bin");
    const ProgramRun run =
        runUnderAgent({"TracedCalls", "counting", "8", "5000", replyFile.string()}, c.options, openSocketInternals);
    ASSERT_EQ(0, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("start -> null")) << run.output;
    const tablereply::Reply reply = replyIn(replyFile);
    const ProfileTables tables({&reply.tables});
    const int64_t counted = tables.methodId("TracedCalls", "counted");
    ASSERT_GE(counted, 1);
    EXPECT_EQ(8 * 5000, callsCounted(tables, counted));
  }
  EXPECT_TRUE(containsInOrder(logs(), {"Call counting started\n", "Call counting stopped\n", "Call counting started\n",
                                       "Call counting stopped\n"}));
}

TEST_F(TracingTest, AShortMethodCalledOftenIsExcludedAndTheJavaSideToldToSkipIt) {
  const fs::path settings = settingsFile("tracing.txt",
                                         "adaptive=true\n"
                                         "adaptive_min_method_invocation_count=1000\n"
                                         "adaptive_max_average_method_time_ns=1000000000\n"
                                         "adaptive_min_method_time_percent=0\n");
  const ProgramRun run = runUnderAgent({"TracedCalls", "adaptive", "200000"},
                                       snapshotOptions("tracing,tracing_settings_path=" + settings.string()));
  ASSERT_EQ(0, run.exitCode) << run.output;
  const snapshotfile::Snapshot snapshot = onlySnapshot();
  ASSERT_FALSE(snapshot.tableRecords.empty());
  const ProfileTables tables({&snapshot.tableRecords.back().tables});
  const int64_t tiny = tables.methodId("TracedCalls", "tiny");
  ASSERT_GE(tiny, 1);
  EXPECT_NE(0, tables.row(methodTable, tiny)->values[5] & 0x200) << "tiny is not marked excluded";

  std::istringstream excluded(run.output.substr(run.output.find("excluded:") + 9));
  std::vector<int64_t> ids;
  for (int64_t id; excluded >> id;) ids.push_back(id);
  EXPECT_NE(ids.end(), std::find(ids.begin(), ids.end(), tiny)) << run.output;

  // Traced until the filter took it out, and skipped from then on.
  const int64_t traced = tables.invocations(tables.threadNumber("main"), "TracedCalls.tiny");
  EXPECT_GE(traced, 1000);
  EXPECT_LT(traced, 100000);
}

TEST_F(TracingTest, AClassWithALargeMethodIsRetransformedWhenTracingStartsAndStopsAndTracedMeanwhile) {
  const ProgramRun run = runUnderAgent({"TracedCalls", "large", "5"}, snapshotOptions("onexit=snapshot"));
  ASSERT_EQ(0, run.exitCode) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("start -> null")) << run.output;
  const std::string large = "large method: 2439 TracedCalls$Large pick(int)\n";
  EXPECT_TRUE(containsInOrder(logs(), {"tracing=off: " + large, "Retransform LMC: ", "\n  TracedCalls$Large\n",
                                       "tracing=on: " + large, "CPU tracing started", "Retransform LMC: ",
                                       "\n  TracedCalls$Large\n", "tracing=off: " + large, "CPU tracing stopped"}));

  const snapshotfile::Snapshot snapshot = onlySnapshot();
  ASSERT_FALSE(snapshot.tableRecords.empty());
  const ProfileTables tables({&snapshot.tableRecords.back().tables});
  EXPECT_EQ(5, tables.invocations(tables.threadNumber("main"), "TracedCalls$Large.pick"));
}

// Each phase of one run: the mode it runs in, and what its reply shows of its 100 calls of counted() and
// of those before it.
TEST_F(TracingTest, EachModeRecordsThroughItsCallbackBodiesAndWithEveryModeOffNothingIs) {
  const struct {
    const char* phase;
    int64_t traced;   // invocations in "cpu_profiling"
    int64_t counted;  // "call_count"
  } phases[] = {
      {"off", 0, 0},
      {"tracing", 100, 0},
      {"off", 100, 0},      // the rows of the tracing stay; nothing new
      {"counting", 0, 100}, // the start cleared the CPU data
      {"off", 0, 100},
      {"tracing", 100, 0},  // the start reset the counts' baseline
  };
  std::vector<std::string> arguments{"TracedCalls", "modes"};
  std::vector<fs::path> files;
  for (const auto& p : phases) {
    files.push_back(fs::path(work.path()) / ("phase" + std::to_string(files.size()) + ".bin"));
    arguments.push_back(std::string(p.phase) + ":" + files.back().string());
  }
  const ProgramRun run = runUnderAgent(arguments, "", openSocketInternals);
  ASSERT_EQ(0, run.exitCode) << run.output;
  EXPECT_EQ(std::string::npos, run.output.find("-> Cannot")) << run.output;
  for (size_t i = 0; i < files.size(); i++) {
    SCOPED_TRACE("phase " + std::to_string(i) + ": " + phases[i].phase);
    const tablereply::Reply reply = replyIn(files[i]);
    const ProfileTables tables({&reply.tables});
    EXPECT_EQ(phases[i].traced, tables.invocations(tables.threadNumber("main"), "TracedCalls.counted"));
    EXPECT_EQ(phases[i].counted, callsCounted(tables, tables.methodId("TracedCalls", "counted")));
  }
}

TEST_F(TracingTest, AStartWhoseCallbackBodiesTheJvmRefusesRollsBack) {
  const ProgramRun run = runUnderAgent({"TracedCalls", "refusedBodies"}, "",
                                       {std::string("-javaagent:") + TALLYSCOPE_ROAD_AGENT_JAR});
  ASSERT_EQ(0, run.exitCode) << run.output;
  const std::string refused = "callbacks cannot be defined, likely due to a conflict with another agent";
  const struct {
    std::string step;
    uint64_t cpuBits;
  } steps[] = {
      {"start:12 -> Cannot start CPU tracing: " + refused, 0},
      {"start:0x1004 -> Cannot start call counting: " + refused, 0},
      {"start:12 -> null", 0xc},
      {"stop:false -> -", 0},
  };
  std::istringstream lines(run.output);
  std::string line;
  ASSERT_TRUE(std::getline(lines, line)) << run.output;
  EXPECT_EQ(0u, statusOf(line) & cpuModeBits) << line;
  for (const auto& step : steps) {
    ASSERT_TRUE(std::getline(lines, line)) << run.output;
    EXPECT_EQ(0u, line.rfind(step.step + " status=0x", 0)) << line;
    EXPECT_EQ(step.cpuBits, statusOf(line) & cpuModeBits) << line;
  }
  const std::string log = logs();
  EXPECT_TRUE(containsInOrder(log, {"error: callback redefinition failed, likely due to a conflict with another agent: ",
                                    "Cannot start CPU tracing: " + refused, "Cannot start call counting: " + refused,
                                    "CPU tracing started"}));
}

// The exit's snapshot and the JVM's end while eight threads make traced calls.
TEST_F(TracingTest, ExitWhileEightThreadsMakeTracedCallsEndsCleanlyEveryTime) {
  const int runsWanted = exitRunCount(100);
  constexpr int parallel = 8;
  const std::vector<std::string> failures = exitRunFailures(
      runsWanted, parallel,
      [&](int i, const fs::path& dir) {
        return runProgram({java, "-agentpath:" + library + "=" + optionsWith("tracing,dir=" + dir.string()), "-cp",
                           programs, "TracedCalls", "exitWhileTraced", leavingWay(i).name},
                          (fs::path(work.path()) / ("traced" + std::to_string(i) + ".txt")).string());
      },
      snapshotDir());
  for (int i = 0; i < runsWanted; i++) EXPECT_EQ("", failures[size_t(i)]) << "run " << i;
  EXPECT_EQ(std::string::npos, logs().find("error")) << "an error was logged";
}

}  // namespace
