#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/jvm/AgentRun.h"
#include "tests/jvm/ControlSteps.h"
#include "tests/jvm/ExitRuns.h"
#include "tests/jvm/ProfileTables.h"
#include "tests/support/SnapshotReader.h"
#include "tests/support/TableReplyReader.h"

// CPU sampling in real JVMs: the time each thread's frames are charged, the sampler's pace, the start and
// stop natives' answers and messages, table replies taken while sampling runs, the frozen-thread query
// over telemetry stacks, and exits while sampled threads run hot.

namespace {

using namespace cpucontrol;
using namespace profiletables;

// The sampling settings that a start without a settings text uses when there is no "sampling.txt".
constexpr char defaultSamplingSettings[] =
    "walltime=java.io.RandomAccessFile : readBytes(byte[], int, int)\n"
    "walltime=java.io.RandomAccessFile : read()\n"
    "walltime=java.io.RandomAccessFile : write(int)\n"
    "walltime=java.io.RandomAccessFile : writeBytes(byte[], int, int)\n"
    "walltime=java.net.SocketInputStream : socketRead0(java.io.FileDescriptor, byte[], int, int, int)\n"
    "walltime=java.net.SocketOutputStream : socketWrite0(java.io.FileDescriptor, byte[], int, int)\n"
    "walltime=java.lang.Thread : sleep(*)\n"
    "\n"
    "sampling_period_ms=20\n";

class SamplingTest : public AgentRunTest {
 protected:
  std::string snapshotOptions(const std::string& extra) const {
    return "dir=" + snapshotDir().string() + (extra.empty() ? "" : "," + extra);
  }
};

TEST_F(SamplingTest, BusyThreadsGetTheirCpuTimeAndSleepingThreadsTheirWallTime) {
  const ProgramRun run = runUnderAgent({"SampledThreads", "busyAndSleeping"}, snapshotOptions("sampling"));
  ASSERT_EQ(0, run.exitCode) << run.output;
  const int64_t spinnerCpu = figure(run.output, "spinner cpu: ");
  const int64_t slept = figure(run.output, "sleeper slept: ");
  ASSERT_GT(spinnerCpu, 0) << run.output;
  ASSERT_GT(slept, 0) << run.output;

  const snapshotfile::Snapshot snapshot = onlySnapshot();
  ASSERT_EQ(1u, snapshot.tableRecords.size());
  const ProfileTables tables({&snapshot.tableRecords[0].tables});
  const int32_t spinner = tables.threadNumber("spinner");
  const int32_t sleeper = tables.threadNumber("sleeper");
  ASSERT_GT(spinner, 0);
  ASSERT_GT(sleeper, 0);

  // Each sample charges the CPU time since the thread's previous one; only the time before the first
  // sample and after the last is lost.
  const int64_t spun = tables.inclusiveTime(spinner, "SampledThreads.spinInOneMethod");
  EXPECT_GE(spun, spinnerCpu * 8 / 10) << "sampled " << spun << " ns of " << spinnerCpu << " ns of CPU";
  EXPECT_LE(spun, spinnerCpu * 12 / 10) << "sampled " << spun << " ns of " << spinnerCpu << " ns of CPU";

  // Thread.sleep is a wall-time method by default: it and its callers get the time asleep.
  const int64_t asleep = tables.inclusiveTime(sleeper, "java.lang.Thread.sleep");
  EXPECT_GE(asleep, slept * 6 / 10) << "charged " << asleep << " ns of " << slept << " ns asleep";
  EXPECT_LE(asleep, slept + 400 * nsPerMs) << "charged " << asleep << " ns of " << slept << " ns asleep";
  EXPECT_GE(tables.inclusiveTime(sleeper, "SampledThreads.sleepInOneMethod"), asleep);

  // The agent's own threads are never sampled, a busy Java thread that is named as one of them neither.
  std::vector<std::string> agentThreads;
  tables.forEachLive(threadTable, [&](const rowstream::Row& thread) {
    const std::string name = tables.text(thread.values[0]);
    if (name.rfind("BZPAgent-", 0) != 0) return;
    agentThreads.push_back(name);
    EXPECT_TRUE(tables.timesOfThread(int32_t(thread.values[2])).empty()) << name;
  });
  EXPECT_NE(agentThreads.end(), std::find(agentThreads.begin(), agentThreads.end(), "BZPAgent-CpuSampler"));
  EXPECT_NE(agentThreads.end(), std::find(agentThreads.begin(), agentThreads.end(), "BZPAgent-Lookalike"));
}

// A thread that goes one frame deeper every millisecond shows a new stack to every sample: its deepest
// frames count the cycles that sampled it.
TEST_F(SamplingTest, SamplerCyclesAtItsPeriod) {
  const fs::path slowSettings = fs::path(work.path()) / "slow-sampling.txt";
  writeWhole(slowSettings, "sampling_period_ms=200\n");
  const struct {
    const char* name;
    std::string options;
    int64_t periodMs;
  } cases[] = {
      {"default period", "sampling", 20},
      {"period of the settings file", "sampling,sampling_settings_path=" + slowSettings.string(), 200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(snapshotDir());
    const ProgramRun run = runUnderAgent({"SampledThreads", "deepening", "1500"}, snapshotOptions(c.options));
    ASSERT_EQ(0, run.exitCode) << run.output;
    const int64_t ran = figure(run.output, "deepener ran: ");
    ASSERT_GT(ran, 0) << run.output;

    const snapshotfile::Snapshot snapshot = onlySnapshot();
    ASSERT_EQ(1u, snapshot.tableRecords.size());
    const ProfileTables tables({&snapshot.tableRecords[0].tables});
    const int32_t deepener = tables.threadNumber("deepener");
    ASSERT_GT(deepener, 0);
    const std::map<int32_t, int64_t> frames = tables.timesOfThread(deepener);
    std::map<int32_t, bool> hasChild;
    for (const auto& [frame, time] : frames) hasChild[tables.parentOf(frame)] = true;
    int64_t sampled = 0;
    for (const auto& [frame, time] : frames) {
      sampled += !hasChild[frame] && tables.runsIn(frame, "SampledThreads.sleepEverDeeper");
    }
    // A cycle sleeps a whole period after its work, so no more cycles than periods fit; the lower bound
    // leaves room for a loaded machine.
    const int64_t periods = ran / (c.periodMs * nsPerMs);
    EXPECT_LE(sampled, periods + 2) << sampled << " samples in " << ran << " ns";
    EXPECT_GE(sampled, periods * 3 / 10) << sampled << " samples in " << ran << " ns";
    EXPECT_NE(std::string::npos, logs().find("SamplingSettings: sampling_period_ms = " + std::to_string(c.periodMs)));
  }
}

TEST_F(SamplingTest, CpuProfilingNativesAnswerEachStateWithTheirTexts) {
  const std::string alreadyStarted = "CPU profiling (sampling) already started";
  const std::string noAsync = "linux64 does not support asynchronous sampling";
  const std::vector<ControlStep> steps = {
      {"start:4", "null", 4, "CPU sampling started", defaultSamplingSettings},
      {"start:4", "Cannot start CPU sampling: " + alreadyStarted, 4, "Cannot start CPU sampling", alreadyStarted},
      {"start:0x20004", "Cannot start CPU sampling (async.): " + alreadyStarted, 4,
       "Cannot start CPU sampling (async.)", alreadyStarted},
      {"start:5", "Invalid mode: 5", 4, "", ""},
      {"stop:false", "-", 0, "", ""},
      {"stop:false", "-", 0, "", ""},
      {"stop:true", "-", 0, "", ""},
      {"start:0x20004", "Cannot start CPU sampling (async.): " + noAsync, 0, "Cannot start CPU sampling (async.)",
       noAsync},
      {"start:0x40004", "Cannot start CPU sampling (async. periodic): " + noAsync, 0,
       "Cannot start CPU sampling (async. periodic)", noAsync},
      {"start:0x60004", "Cannot start CPU sampling: Unknown sampling mode: 393216", 0, "Cannot start CPU sampling",
       "Unknown sampling mode: 393216"},
      {"start:4:sampling_period_ms=50", "null", 4, "CPU sampling started", "sampling_period_ms=50"},
      {"stop:true", "-", 0, "CPU sampling stopped", ""},
      {"stop:true", "-", 0, "", ""},
  };
  std::vector<std::string> arguments{"SamplingCalls", "control"};
  for (const ControlStep& step : steps) arguments.push_back(step.step);
  const ProgramRun run = runUnderAgent(arguments, snapshotOptions("onexit=snapshot"));
  checkControlSteps(run, steps, onlySnapshot(), logs());
}

TEST_F(SamplingTest, WithTracingDisabledAtStartUpOnlySamplingStarts) {
  const std::string disabled = " was disabled with startup option 'disabletracing' or 'disableall'";
  const std::vector<ControlStep> steps = {
      {"start:12", "CPU tracing" + disabled, 0, "", ""},
      {"start:0x1004", "Call counting" + disabled, 0, "", ""},
      {"start:4", "null", 4, "CPU sampling started", defaultSamplingSettings},
  };
  std::vector<std::string> arguments{"SamplingCalls", "control"};
  for (const ControlStep& step : steps) arguments.push_back(step.step);
  const ProgramRun run = runUnderAgent(arguments, snapshotOptions("disabletracing,onexit=snapshot"));
  checkControlSteps(run, steps, onlySnapshot(), logs());
}

// A client that asks for the rows changed since the stamp of its previous reply gets the rows that
// sampling made or charged since, and none of those it already has.
TEST_F(SamplingTest, TableReplyWhileSamplingCarriesOnlyRowsChangedSinceTheClientsStamp) {
  const fs::path firstFile = fs::path(work.path()) / "first.bin";
  const fs::path secondFile = fs::path(work.path()) / "second.bin";
  const ProgramRun run = runUnderAgent({"SamplingCalls", "replies", firstFile.string(), secondFile.string()},
                                       snapshotOptions("sampling"), openSocketInternals);
  ASSERT_EQ(0, run.exitCode) << run.output;
  const tablereply::Reply first = tablereply::parseTableReply(readWhole(firstFile));
  const tablereply::Reply second = tablereply::parseTableReply(readWhole(secondFile));
  // The first reply was made at the database's first stamp, which the reply advanced by one.
  for (const auto* reply : {&first, &second}) {
    const int32_t stamp = reply == &first ? 1 : 2;
    for (const auto& [table, rows] : reply->tables) {
      for (const rowstream::Row& row : rows) EXPECT_EQ(stamp, std::abs(row.stamp)) << rowstream::tableName(table);
    }
  }

  const ProfileTables both({&first.tables, &second.tables});
  const int32_t worker = both.threadNumber("worker");
  ASSERT_GT(worker, 0);
  const std::string firstMethod = "SamplingCalls.spinInFirstMethod";
  const std::string secondMethod = "SamplingCalls.spinInSecondMethod";
  const auto timesIn = [&](const tablereply::Reply& reply) {
    return both.timesOfThread(worker, reply.tables.at(cpuProfilingTable));
  };
  const auto chargedIn = [&](const std::map<int32_t, int64_t>& times, const std::string& method) {
    int64_t total = 0;
    int frames = 0;
    for (const auto& [frame, time] : times) {
      if (both.methodOf(frame) != method) continue;
      total += time;
      frames++;
    }
    return std::make_pair(frames, total);
  };
  const std::map<int32_t, int64_t> before = timesIn(first);
  const std::map<int32_t, int64_t> after = timesIn(second);
  EXPECT_GT(chargedIn(before, firstMethod).second, 0);
  EXPECT_EQ(0, chargedIn(before, secondMethod).first);
  EXPECT_EQ(0, chargedIn(after, firstMethod).first) << "the first method's rows did not change";
  EXPECT_GT(chargedIn(after, secondMethod).second, 0);

  // The outermost frame's row was charged again: it comes again with the new time.
  int32_t outermost = -1;
  for (const auto& [frame, time] : before) {
    if (both.parentOf(frame) == 0) outermost = frame;
  }
  ASSERT_GT(outermost, 0);
  ASSERT_EQ(1u, after.count(outermost));
  EXPECT_GT(after.at(outermost), before.at(outermost));

  // Each name goes to the client once. The second method's may come first already: the method records of
  // an instrumented class are made when it loads.
  const auto hasString = [](const tablereply::Reply& reply, const std::string& text) {
    for (const rowstream::Row& row : reply.tables.at(rowstream::stringTable)) {
      if (row.text && *row.text == text) return true;
    }
    return false;
  };
  EXPECT_TRUE(hasString(first, "spinInFirstMethod"));
  EXPECT_FALSE(hasString(second, "spinInFirstMethod"));
  EXPECT_NE(hasString(first, "spinInSecondMethod"), hasString(second, "spinInSecondMethod"));
}

// The frozen threads of a "frozenThreads" run: sequence number, frame and checkpoint uptime in ns.
struct FrozenThread {
  int32_t sequenceNumber;
  int32_t frame;
  int64_t uptimeNs;
};

std::vector<FrozenThread> frozenThreadsOf(const std::string& output) {
  const size_t at = output.find("frozen:");
  if (at == std::string::npos) throw std::runtime_error("no frozen threads in:\n" + output);
  std::istringstream values(output.substr(at + 7, output.find('\n', at) - at - 7));
  std::vector<FrozenThread> frozen;
  int64_t sequence, frame, low, high;
  while (values >> sequence >> frame >> low >> high) {
    frozen.push_back({int32_t(sequence), int32_t(frame), int64_t(uint64_t(uint32_t(low)) | uint64_t(high) << 32)});
  }
  return frozen;
}

TEST_F(SamplingTest, ThreadsParkedInOneFrameSinceAnEarlierTelemetryRecordAreFrozen) {
  const fs::path replyFile = fs::path(work.path()) / "reply.bin";
  const ProgramRun run =
      runUnderAgent({"SamplingCalls", "frozenThreads", "on", replyFile.string()}, "", openSocketInternals);
  ASSERT_EQ(0, run.exitCode) << run.output;
  const std::vector<FrozenThread> frozen = frozenThreadsOf(run.output);
  const int64_t before = figure(run.output, "uptime before: ") * nsPerMs;
  const int64_t after = figure(run.output, "uptime after: ") * nsPerMs;
  const tablereply::Reply reply = tablereply::parseTableReply(readWhole(replyFile));
  const ProfileTables tables({&reply.tables});
  std::map<int64_t, std::string> names;
  tables.forEachLive(threadTable, [&](const rowstream::Row& thread) {
    names[thread.values[3]] = tables.text(thread.values[0]);
  });

  int waiters = 0;
  for (const FrozenThread& thread : frozen) {
    const std::string name = names[thread.sequenceNumber];
    EXPECT_NE("spinner", name) << "a thread busy on the CPU is not frozen";
    if (name != "waiter") continue;
    waiters++;
    EXPECT_EQ("java.lang.Object.wait", tables.methodOf(thread.frame));
    EXPECT_TRUE(tables.runsIn(thread.frame, "SamplingCalls.waitInOneMethod"));
    // Parked since the first record, which came a second before the second.
    EXPECT_GE(thread.uptimeNs, before);
    EXPECT_LE(thread.uptimeNs, after - 999 * nsPerMs);
  }
  EXPECT_EQ(1, waiters) << run.output;
}

// Stopping stack telemetry forgets every checkpoint, so the same parked thread no longer counts.
TEST_F(SamplingTest, AfterStackTelemetryStopsNoThreadIsFrozen) {
  const fs::path replyFile = fs::path(work.path()) / "reply.bin";
  const ProgramRun run = runUnderAgent({"SamplingCalls", "frozenThreads", "stopped", replyFile.string()}, "",
                                       openSocketInternals);
  ASSERT_EQ(0, run.exitCode) << run.output;
  EXPECT_NE(0u, statusOf(run.output) & 0x200) << run.output;
  EXPECT_TRUE(frozenThreadsOf(run.output).empty()) << run.output;
  EXPECT_TRUE(containsInOrder(logs(), {"Stack telemetry started\n", "Stack telemetry stopped\n"}));
}

// The exit's snapshot and the JVM's end while the sampler samples eight busy threads.
TEST_F(SamplingTest, ExitWhileEightThreadsRunHotEndsCleanlyEveryTime) {
  const int runsWanted = exitRunCount(100);
  constexpr int workers = 4;
  const std::vector<std::string> failures = exitRunFailures(
      runsWanted, workers,
      [&](int i, const fs::path& dir) {
        return runProgram({java, "-agentpath:" + library + "=" + optionsWith("sampling,dir=" + dir.string()), "-cp",
                           programs, "SampledThreads", "exitWhileHot", leavingWay(i).name},
                          (fs::path(work.path()) / ("hot" + std::to_string(i) + ".txt")).string());
      },
      snapshotDir());
  for (int i = 0; i < runsWanted; i++) EXPECT_EQ("", failures[size_t(i)]) << "run " << i;
  EXPECT_EQ(std::string::npos, logs().find("error")) << "an error was logged";
}

}  // namespace
