#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/jvm/AgentRun.h"
#include "tests/support/SnapshotReader.h"
#include "tests/support/TableReplyReader.h"

// The agent's life in a JVM from VMStart to VMDeath: the Java side initialised with the options' values,
// threads registered and retired, the snapshot on exit, the JVM's own heap dumps noticed.

namespace {

constexpr int32_t threadTable = 1;
constexpr int32_t snapshotTable = 9;
// Fields of a "thread" row in the order read.
constexpr size_t threadOsId = 4;
constexpr size_t threadStart = 6;
constexpr size_t threadEnd = 7;

using LifecycleTest = AgentRunTest;

// The text of a string id in the snapshot's string table.
std::string stringOf(const snapshotfile::TablesRecord& tables, int64_t id) {
  for (const rowstream::Row& row : tables.tables.at(rowstream::stringTable)) {
    if (row.index == id && row.text) return *row.text;
  }
  return "<no string " + std::to_string(id) + ">";
}

TEST_F(LifecycleTest, RunsFromVmStartToVmDeathAndHandsTheOptionsToTheJavaSide) {
  const fs::path triggers = fs::path(work.path()) / "triggers.txt";
  writeWhole(triggers, "on exit: nothing\n");
  const ProgramRun run = runUnderAgent(
      {"CoreValues"}, "sessionname=lifecycle,session_id=4242,port=10123-10130,listen=127.0.0.1,ideport=7001,"
                      "profiler_dir=/opt/profiler,dir=" + snapshotDir().string() +
                          ",snapshot_name_format=run-{sessionname},telemetry_point_limit=100,triggers=" +
                          triggers.string());
  ASSERT_EQ(0, run.exitCode) << run.output;
  EXPECT_TRUE(containsInOrder(
      run.output, {"Core.portFirst=10123", "Core.portLast=10130", "Core.listenHost=127.0.0.1",
                   "Core.sessionName=lifecycle", "Core.snapshotNameFormat=run-{sessionname}",
                   "Core.snapshotDir=" + snapshotDir().string(), "Core.profilerDir=/opt/profiler", "Core.idePort=7001",
                   "Core.sessionId=4242", "Core.jbossInitArgument=0", "Core.telemetryPointLimit=100",
                   // Applying the options always sets the field that switches the Java side's dumper off.
                   "Core.oomeDumperEnabled=false", "Core.triggerText=on exit: nothing\n"}));
  const std::string log = logs();
  EXPECT_TRUE(containsInOrder(
      log, {"agentStart: 1", "agentStart: 2", "agentStart: OK", "vmInit: 1", "vmInit: 2", "agentInit: 1",
            "AddModuleExports returned 0:JVMTI_ERROR_NONE", "agentInit: Core loaded", "agentInit: Core.init() called",
            "Retransform early class: java/io/FileInputStream", "Retransform early class: java/io/FileOutputStream",
            "Retransform early class: java/lang/Thread", "Retransform early class: java/lang/ClassLoader",
            "agentInit: OK", "vmInit: 3", "onStartProfiling: entering...", "onStartProfiling: done", "vmInit: OK",
            "vmDeath: 1", "vmDeath: 2", "vmDeath: 3", "vmDeath: 4", "vmDeath: OK"}));
  EXPECT_EQ(std::string::npos, log.find("error")) << log;
  // Neither "onexit=snapshot" nor a recording mode: no snapshot at exit.
  EXPECT_TRUE(snapshots().empty());
}

TEST_F(LifecycleTest, ModesThatCannotStartAreRefusedWithoutStoppingTheStart) {
  const ProgramRun run = runUnderAgent({"Hello"}, "sampling,monitors,alloceach=5,dir=" + snapshotDir().string());
  ASSERT_EQ(0, run.exitCode) << run.output;
  EXPECT_TRUE(containsInOrder(logs(), {"onStartProfiling: will start CPU sampling...",
                                       "onStartProfiling: will start allocation recording...",
                                       "onStartProfiling: will start monitor profiling...", "onStartProfiling: done",
                                       "vmInit: OK", "vmDeath: OK"}));
}

TEST_F(LifecycleTest, SnapshotOnExitIsWrittenWhereTheOptionsSay) {
  const ProgramRun run = runUnderAgent({"Hello"}, "sessionname=exiting,onexit=snapshot,dir=" + snapshotDir().string());
  ASSERT_EQ(0, run.exitCode) << run.output;
  const std::vector<fs::path> files = snapshots();
  ASSERT_EQ(1u, files.size());
  EXPECT_EQ(0u, files[0].filename().string().rfind("exiting-", 0)) << files[0];
  EXPECT_EQ(".snapshot", files[0].extension().string());
  EXPECT_TRUE(containsInOrder(logs(), {"vmDeath: 3", "WSN: starting " + files[0].string(),
                                       "Snapshot on exit written: " + files[0].string(), "vmDeath: OK"}));
  const snapshotfile::Snapshot snapshot = snapshotfile::readSnapshotFile(files[0].string());
  EXPECT_EQ(4, snapshot.kind);
  ASSERT_EQ(1u, snapshot.tableRecords.size());
  // The four entries that stand for no thread, and the JVM's threads that started after the agent.
  EXPECT_GT(snapshot.tableRecords[0].tables.at(threadTable).size(), 4u);
}

TEST_F(LifecycleTest, FiftyEndedThreadsHaveRowsWithEndTimesInATableReply) {
  const fs::path reply = fs::path(work.path()) / "reply.bin";
  const ProgramRun run = runUnderAgent({"AgentCalls", "threads", "50", reply.string()}, "", openSocketInternals);
  ASSERT_EQ(0, run.exitCode) << run.output;
  const tablereply::Reply parsed = tablereply::parseTableReply(readWhole(reply));
  ASSERT_EQ(1u, parsed.tables.size());
  int ended = 0;
  for (const rowstream::Row& row : parsed.tables.at(threadTable)) {
    if (row.values.empty()) continue;
    if (row.values[threadOsId] != 0 && row.values[threadEnd] >= row.values[threadStart] && row.values[threadEnd] > 0) {
      ended++;
    }
  }
  EXPECT_GE(ended, 50);
}

TEST_F(LifecycleTest, JavaSideWritesLogStyleLinesToTheConsoleAndToTheLog) {
  const ProgramRun run = runUnderAgent({"AgentCalls", "messages"});
  ASSERT_EQ(0, run.exitCode) << run.output;
  // The console copies of the log are off (start-up forces "quiet"); these lines are written anyway.
  for (const char* line : {": to standard output\n", ": to standard error\n"}) {
    const size_t at = run.output.find(line);
    ASSERT_NE(std::string::npos, at) << run.output;
    EXPECT_NE(std::string::npos, run.output.rfind("21.6-257 ", at)) << run.output;
  }
  EXPECT_EQ(std::string::npos, run.output.find("to the log only")) << run.output;
  EXPECT_NE(std::string::npos, logs().find(": to the log only\n"));
}

TEST_F(LifecycleTest, JavaSideRefusingToInitialiseEndsTheJvmWithCode20) {
  const ProgramRun run =
      runUnderAgent({"Hello"}, "", {std::string("-Xbootclasspath/a:") + TALLYSCOPE_REFUSING_CORE});
  EXPECT_EQ(20, run.exitCode) << run.output;
  EXPECT_EQ(std::string::npos, run.output.find("Hello from the profiled program")) << run.output;
  EXPECT_TRUE(containsInOrder(logs(), {"agentInit: Core.init() called", "error: agentInit: Core.init() returned false"}));
}

TEST_F(LifecycleTest, JvmHeapDumpOnOutOfMemoryIsRecordedAsASnapshotRow) {
  const fs::path dumps = fs::path(work.path()) / "dumps";
  fs::create_directories(dumps);
  const ProgramRun run = runUnderAgent(
      {"AgentCalls", "outOfMemory", dumps.string()}, "onexit=snapshot,dir=" + snapshotDir().string(),
      {"-Xmx32m", "-XX:+HeapDumpOnOutOfMemoryError", "-XX:HeapDumpPath=" + dumps.string()});
  ASSERT_EQ(0, run.exitCode) << run.output;
  ASSERT_NE(std::string::npos, run.output.find("heap dump recorded: ")) << run.output;

  const snapshotfile::Snapshot snapshot = onlySnapshot();
  const snapshotfile::TablesRecord& tables = snapshot.tableRecords.at(0);
  std::vector<std::string> recorded;
  for (const rowstream::Row& row : tables.tables.at(snapshotTable)) {
    if (row.values.size() == 2 && row.values[1] == 4113) recorded.push_back(stringOf(tables, row.values[0]));
  }
  ASSERT_EQ(1u, recorded.size());
  EXPECT_EQ(dumps.string(), fs::path(recorded[0]).parent_path().string());
  EXPECT_EQ(0u, fs::path(recorded[0]).filename().string().rfind("java_pid", 0)) << recorded[0];
  EXPECT_TRUE(fs::exists(recorded[0]));
}

// The agent's exit work (the Java side's exit methods and a snapshot taken with the other threads
// suspended) while threads keep starting, ending and throwing.
TEST_F(LifecycleTest, ExitWhileThreadsAreBusyEndsCleanlyEveryTime) {
  constexpr int runsWanted = 100;
  constexpr int workers = 4;
  std::atomic<int> next{0};
  std::vector<std::string> failures(runsWanted);
  std::vector<std::thread> pool;
  for (int w = 0; w < workers; w++) {
    pool.emplace_back([&] {
      for (int i = next++; i < runsWanted; i = next++) {
        const fs::path dir = snapshotDir() / std::to_string(i);
        const ProgramRun run = runProgram({java, "-agentpath:" + library + "=" +
                                                     optionsWith("exceptions=on,onexit=snapshot,dir=" + dir.string()),
                                           "-cp", programs, "AgentCalls", "exitWhileBusy"},
                                          (fs::path(work.path()) / ("busy" + std::to_string(i) + ".txt")).string());
        if (run.exitCode != 0 || run.output.find("leaving") == std::string::npos) {
          failures[size_t(i)] = "exit code " + std::to_string(run.exitCode) + ":\n" + run.output;
        } else if (!fs::exists(dir) || fs::directory_iterator(dir) == fs::directory_iterator()) {
          failures[size_t(i)] = "no snapshot";
        }
      }
    });
  }
  for (std::thread& worker : pool) worker.join();
  for (int i = 0; i < runsWanted; i++) EXPECT_EQ("", failures[size_t(i)]) << "run " << i;
  EXPECT_EQ(std::string::npos, logs().find("error")) << "an error was logged";
}

}  // namespace
