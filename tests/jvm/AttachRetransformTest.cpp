#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/jvm/AgentRun.h"
#include "tests/support/JvmLauncher.h"
#include "tests/support/SnapshotReader.h"
#include "tests/tools/CpuHotPaths.h"

// The classes a running JVM loaded before the agent attached: the attach marks them, and the first
// call of Callback.retransformClassesLoadedBeforeAgentAttached retransforms them in batches through the
// class-file hook; later calls, and every call without an attach, do nothing.

namespace {

const char* const LISTED_HEADER = " (loaded before agent attached)";

// What the log tells of the retransformation of the classes loaded before the attach.
struct Retransformation {
  int listed = -1;                 // the count of the "Classes to retransform: <n> (loaded ...)" line
  std::vector<std::string> names;  // the classes listed under it
  int classes = -1;                // "Classes to retransform: <n>, batch size: <b>"
  int batchSize = -1;
  std::vector<std::pair<int, int>> progress;  // "Class retransform: <done> done, <remaining> remains"
  int pauses = 0;                             // "Class retransform: sleeping for <ms> ms..."
};

Retransformation readRetransformation(const std::string& log, const std::string& pauseMs) {
  Retransformation found;
  std::smatch match;
  const std::regex listed(std::string("Classes to retransform: (\\d+)") + " \\(loaded before agent attached\\)\n");
  if (std::regex_search(log, match, listed)) {
    found.listed = std::stoi(match[1]);
    std::istringstream lines(match.suffix().str());
    for (std::string line; std::getline(lines, line) && line.rfind("  ", 0) == 0;) found.names.push_back(line.substr(2));
  }
  if (std::regex_search(log, match, std::regex("Classes to retransform: (\\d+), batch size: (\\d+)"))) {
    found.classes = std::stoi(match[1]);
    found.batchSize = std::stoi(match[2]);
  }
  const std::regex progress("Class retransform: (\\d+) done, (\\d+) remains");
  for (auto it = std::sregex_iterator(log.begin(), log.end(), progress); it != std::sregex_iterator(); ++it) {
    found.progress.emplace_back(std::stoi((*it)[1]), std::stoi((*it)[2]));
  }
  const std::string pause = "Class retransform: sleeping for " + pauseMs + " ms...";
  for (size_t at = log.find(pause); at != std::string::npos; at = log.find(pause, at + 1)) found.pauses++;
  return found;
}

// The progress lines that batches of `batchSize` over `classes` classes give.
std::vector<std::pair<int, int>> expectedProgress(int classes, int batchSize) {
  std::vector<std::pair<int, int>> lines;
  for (int done = 0; done < classes;) {
    done = std::min(done + batchSize, classes);
    lines.emplace_back(done, classes - done);
  }
  return lines;
}

// The calls that CPU tracing recorded for the method labelled `label` ("Class.method"), summed over its
// frames and threads.
int64_t tracedCalls(const snapshotfile::TablesRecord& tables, const std::string& label) {
  const profilemodel::ProfileModel model({&tables});
  int64_t calls = 0;
  for (const auto& [index, pair] : model.rows(profilemodel::threadFrameTable)) {
    const rowstream::Row* count = model.row(cpuhotpaths::cpuProfilingTable, index);
    const profilemodel::Frame* frame = model.frame(int32_t(pair.values[1]));
    if (count == nullptr || frame == nullptr || frame->method < 0) continue;
    if (model.methodLabel(frame->method) == label) calls += count->values[1];
  }
  return calls;
}

// The calls that call counting counted for the method labelled `label`: its row of "call_count", whose
// rows are those of the methods; -1 without one.
int64_t countedCalls(const snapshotfile::TablesRecord& tables, const std::string& label) {
  constexpr int32_t callCountTable = 17;
  const profilemodel::ProfileModel model({&tables});
  for (const auto& [index, row] : model.rows(profilemodel::methodTable)) {
    const rowstream::Row* count = model.row(callCountTable, index);
    if (model.methodLabel(index) == label && count != nullptr) return count->values[0];
  }
  return -1;
}

class AttachRetransformTest : public AgentRunTest {
 protected:
  const fs::path go = fs::path(work.path()) / "go";
  std::string targetOutput;

  // Runs AttachedRetransform in `mode`, attaches the agent with the private directories and `extra`
  // options, then lets the program go on; returns the log.
  std::string attachAndRun(const std::string& extra, const std::string& mode = "calls",
                           const std::string& calls = "0") {
    ChildProcess target({java, "-cp", programs, "AttachedRetransform", mode, go.string(), calls}, nextOutputPath());
    while (target.output().find("waiting") == std::string::npos) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // jcmd reads an unquoted "key=value" argument as a named argument of its own.
    const ProgramRun attach = runProgram(
        {TALLYSCOPE_JCMD, std::to_string(target.id()), "JVMTI.agent_load", library, "\"" + optionsWith(extra) + "\""},
        nextOutputPath());
    EXPECT_NE(std::string::npos, attach.output.find("return code: 0")) << attach.output;
    writeWhole(go, "");
    EXPECT_EQ(0, target.wait()) << target.output();
    targetOutput = target.output();
    EXPECT_NE(std::string::npos, targetOutput.find("done")) << targetOutput;
    return logs();
  }
};

TEST_F(AttachRetransformTest, TheFirstCallRetransformsTheClassesLoadedBeforeTheAttachInBatchesOfATenth) {
  // Without probes, the probe step marks every class for the first call.
  const std::string log = attachAndRun("debug=bci,probe_disable=.*");
  EXPECT_TRUE(containsInOrder(log, {"on_attach: 4", "Classes to retransform: 0 (apply probes after attach)",
                                    "on_attach: 5", "on_attach: OK"}));

  const Retransformation found = readRetransformation(log, "0");
  ASSERT_GT(found.listed, 100) << log;
  EXPECT_EQ(size_t(found.listed), found.names.size());
  EXPECT_TRUE(std::is_sorted(found.names.begin(), found.names.end()));
  auto listed = [&](const std::string& name) {
    return std::find(found.names.begin(), found.names.end(), name) != found.names.end();
  };
  EXPECT_TRUE(listed("AttachedRetransform"));
  EXPECT_TRUE(listed("java.lang.Thread"));
  // Loaded after the attach, so the class-file hook saw it already.
  EXPECT_FALSE(listed("AgentCalls"));
  // The agent's own Java side, whose Callback class gets its bodies from the mode switches.
  EXPECT_FALSE(listed("com.brantel.runtime.Callback"));
  EXPECT_FALSE(listed("com.brantel.runtime.Core"));
  // Interfaces and arrays are never retransformed.
  EXPECT_FALSE(listed("java.lang.Runnable"));
  for (const std::string& name : found.names) EXPECT_EQ(std::string::npos, name.find(']')) << name;

  EXPECT_EQ(found.listed, found.classes);
  EXPECT_EQ((found.listed + 9) / 10, found.batchSize);
  EXPECT_EQ(expectedProgress(found.listed, found.batchSize), found.progress);
  EXPECT_EQ(0, found.pauses);
  EXPECT_EQ(std::string::npos, log.find("error: class retransform failed")) << log;
  // The JVM handed the program's class to the hook again, between the first batch and the first return.
  EXPECT_TRUE(containsInOrder(log, {"Classes to retransform: " + std::to_string(found.listed) + ", batch size: ",
                                    "ClassFileLoadHook: [4] AttachedRetransform\n", "first call returned"}));

  // The second call finds nothing left to do.
  const size_t first = log.find("first call returned");
  const size_t second = log.find("second call returned");
  ASSERT_NE(std::string::npos, second);
  EXPECT_EQ(std::string::npos, log.substr(first, second - first).find("etransform")) << log.substr(first);
}

TEST_F(AttachRetransformTest, TheBatchSizeOptionOverridesTheBatchCountAndPausesComeBetweenBatches) {
  const std::string log = attachAndRun(
      "_on_attach_retransform_batch_count=2,_on_attach_retransform_batch_size=100,_on_attach_retransform_pause_ms=7");
  const Retransformation found = readRetransformation(log, "7");
  ASSERT_GT(found.listed, 100) << log;
  EXPECT_EQ(100, found.batchSize);
  const std::vector<std::pair<int, int>> progress = expectedProgress(found.listed, 100);
  EXPECT_EQ(progress, found.progress);
  EXPECT_EQ(int(progress.size()) - 1, found.pauses);
  EXPECT_TRUE(containsInOrder(log, {"Class retransform: 100 done, ", "Class retransform: sleeping for 7 ms...",
                                    "Class retransform: 200 done, "}));
}

// A start of CPU tracing or of call counting does the retransformation, so that each call of a class
// loaded before the attach is recorded.
TEST_F(AttachRetransformTest, ModesStartedAfterTheAttachRecordTheCallsOfClassesLoadedBefore) {
  const struct {
    const char* mode;
    const char* started;
    int64_t (*recorded)(const snapshotfile::TablesRecord&, const std::string&);
  } modes[] = {{"12", "CPU tracing started", tracedCalls}, {"0x1004", "Call counting started", countedCalls}};
  for (const auto& mode : modes) {
    SCOPED_TRACE(mode.mode);
    fs::remove_all(logDir());
    fs::create_directories(logDir());
    fs::remove_all(snapshotDir());
    fs::remove(go);
    const std::string log = attachAndRun("onexit=snapshot,dir=" + snapshotDir().string(), mode.mode, "1234");
    EXPECT_NE(std::string::npos, targetOutput.find("start: null")) << targetOutput;
    EXPECT_NE(std::string::npos, log.find(mode.started)) << log;
    const Retransformation found = readRetransformation(log, "0");
    ASSERT_GT(found.listed, 100) << log;
    EXPECT_NE(found.names.end(), std::find(found.names.begin(), found.names.end(), "AttachedRetransform"));
    EXPECT_EQ(expectedProgress(found.listed, found.batchSize), found.progress);

    const snapshotfile::Snapshot snapshot = onlySnapshot();
    ASSERT_FALSE(snapshot.tableRecords.empty());
    EXPECT_EQ(1234, mode.recorded(snapshot.tableRecords.back(), "AttachedRetransform.tracedCall"));
  }
}

// Without an attach, or with instrumentation disallowed, nothing is marked and the calls return at once.
TEST_F(AttachRetransformTest, WithoutMarkedClassesTheCallsDoNothing) {
  writeWhole(go, "");
  const ProgramRun run = runUnderAgent({"AttachedRetransform", "calls", go.string()});
  EXPECT_EQ(0, run.exitCode) << run.output;
  std::string log = logs();
  EXPECT_TRUE(containsInOrder(log, {"first call returned", "second call returned"})) << log;
  EXPECT_EQ(std::string::npos, log.find(LISTED_HEADER)) << log;
  EXPECT_EQ(std::string::npos, log.find("Class retransform")) << log;
  EXPECT_EQ(std::string::npos, log.find("apply probes after attach")) << log;

  fs::remove(go);
  log = attachAndRun("disabletracing,disablealloc,probe_disable=.*");
  EXPECT_TRUE(containsInOrder(log, {"Classes to retransform: 0 (apply probes after attach)", "first call returned",
                                    "second call returned"}));
  EXPECT_EQ(std::string::npos, log.find(LISTED_HEADER)) << log;
  EXPECT_EQ(std::string::npos, log.find("Class retransform")) << log;
}

}  // namespace
