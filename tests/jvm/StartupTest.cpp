#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "agent/core/CallbackJar.h"
#include "tests/jvm/AgentRun.h"
#include "tests/support/SnapshotReader.h"

// The agent started by real JVMs: `java -agentpath:` and attach by `jcmd`, each run with a temporary and
// a log directory of its own.

namespace {

std::string embeddedJar() {
  const YVector<unsigned char> bytes = assembleCallbackJar();
  return std::string(reinterpret_cast<const char*>(bytes.data), size_t(bytes.size));
}

class AgentStartTest : public AgentRunTest {
 protected:
  fs::path jarPath() const { return tmpDir() / CALLBACK_JAR_NAME; }

  ProgramRun runHello(const std::string& extra, const fs::path& temporary) {
    return runProgram({java, "-agentpath:" + library + "=" + optionsWith(extra, temporary), "-cp", programs, "Hello"},
                      nextOutputPath());
  }
  ProgramRun runHello(const std::string& extra = "") { return runHello(extra, tmpDir()); }
};

constexpr const char* HELLO_LINE = "Hello from the profiled program";

TEST_F(AgentStartTest, StartsInTheJvmAndLogsTheStartUpInOrder) {
  const ProgramRun run = runHello();
  EXPECT_EQ(0, run.exitCode) << run.output;
  EXPECT_NE(std::string::npos, run.output.find(HELLO_LINE)) << run.output;
  const std::string log = logs();
  EXPECT_TRUE(containsInOrder(log, {"Agent_OnLoad: orig_options=tmpdir=", "\n  full_options=,tmpdir=",
                                    "jvmtiVersion: 3011", "phase: 1", "vendor: ", "version: 17.", "specVersion: 17",
                                    "info: ", "heap_sampling: capability is available",
                                    "asynchronous sampling: unsupported on linux64",
                                    "can_generate_exception_events: explicitly disabled with a startup option",
                                    "heap_sampling: will be used instead of BCI", "Jar file created: ",
                                    "JVMTI 3011", "; Java version: 17"}));
  EXPECT_EQ(std::string::npos, log.find("Failed agentLoadImpl")) << log;
  EXPECT_EQ(std::string::npos, log.find("error: ")) << log;
  EXPECT_EQ(embeddedJar(), readWhole(jarPath()));

  const ProgramRun second = runHello();
  EXPECT_EQ(0, second.exitCode) << second.output;
  EXPECT_TRUE(containsInOrder(logs(), {"Jar file created: " + jarPath().string(),
                                       "Reusing existing jar file: " + jarPath().string()}));
}

TEST_F(AgentStartTest, InvalidOptionRefusesTheStartButNotTheProgram) {
  const ProgramRun run = runHello("samplng");
  EXPECT_EQ(0, run.exitCode) << run.output;
  EXPECT_NE(std::string::npos, run.output.find(HELLO_LINE)) << run.output;
  EXPECT_TRUE(containsInOrder(logs(), {"Cannot start: invalid option: samplng", "Failed agentLoadImpl; returnCode=3"}));
  EXPECT_FALSE(fs::exists(jarPath()));
}

TEST_F(AgentStartTest, PrintsJavaDetailOnRequest) {
  const ProgramRun run = runHello("_print_java_detail");
  EXPECT_EQ(0, run.exitCode) << run.output;
  EXPECT_TRUE(containsInOrder(run.output, {"ourJavaVersion=17\n", "ourIsIbm=0\n", HELLO_LINE}));
}

TEST_F(AgentStartTest, DumpsTheSystemPropertiesSortedOnRequest) {
  const ProgramRun run = runHello("_dump_properties");
  EXPECT_EQ(0, run.exitCode) << run.output;
  const std::string log = logs();
  const std::string rule39(39, '-');
  const std::string rule34(34, '-');
  EXPECT_TRUE(containsInOrder(log, {rule39 + "\n", "Dumping all system properties via JVMTI\n", rule39 + "\n",
                                    "  java.vm.specification.version=17\n", "  java.vm.vendor=",
                                    "  java.vm.version=17.", ": " + rule34 + "\n", "; Java version: 17"}));
}

TEST_F(AgentStartTest, ExceptionEventsAreRequestedWhenAnOptionAsksForThem) {
  const ProgramRun run = runHello("exceptions=on");
  EXPECT_EQ(0, run.exitCode) << run.output;
  const std::string log = logs();
  EXPECT_EQ(std::string::npos, log.find("can_generate_exception_events")) << log;
  EXPECT_NE(std::string::npos, log.find("; Java version: 17")) << log;
}

// The archive in the temporary directory.

TEST_F(AgentStartTest, ArchiveWithOneChangedByteIsRewrittenUnlessVerificationIsSkipped) {
  // A byte of the manifest, which the JVM does not read from a boot class path entry: the archive's
  // classes stay loadable when the agent is told to use it unchecked.
  std::string changed = embeddedJar();
  const size_t manifest = changed.find("Manifest-Version: ");
  ASSERT_NE(std::string::npos, manifest);
  changed[manifest + 2] ^= 0x20;
  writeWhole(jarPath(), changed);

  const ProgramRun skipped = runHello("_skip_callback_jar_verification");
  EXPECT_EQ(0, skipped.exitCode) << skipped.output;
  EXPECT_EQ(changed, readWhole(jarPath()));
  EXPECT_NE(std::string::npos,
            logs().find("_skip_callback_jar_verification specified, using provided jar file: " + jarPath().string()));

  const ProgramRun checked = runHello();
  EXPECT_EQ(0, checked.exitCode) << checked.output;
  EXPECT_TRUE(containsInOrder(logs(), {"Jar file exists but has wrong size or content: " + jarPath().string(),
                                       "Jar file created: " + jarPath().string()}));
  EXPECT_EQ(embeddedJar(), readWhole(jarPath()));
}

TEST_F(AgentStartTest, UnwritableTemporaryDirectoryRefusesTheStartWithCode8) {
  // A regular file where the directory should be: no file can be made in it, whoever runs the test.
  const fs::path notADirectory = fs::path(work.path()) / "not-a-directory";
  writeWhole(notADirectory, "x");
  const ProgramRun run = runHello("", notADirectory);
  EXPECT_EQ(0, run.exitCode) << run.output;
  EXPECT_NE(std::string::npos, run.output.find(HELLO_LINE)) << run.output;
  EXPECT_TRUE(containsInOrder(logs(), {"Cannot start: failed to create jar file: " + (notADirectory / CALLBACK_JAR_NAME).string() +
                                           "; to set alternate location for the file, use startup option 'tmpdir=<directory>'.",
                                       "Failed agentLoadImpl; returnCode=8"}));
}

TEST_F(AgentStartTest, PlantedSymlinkIsReplacedNotFollowed) {
  const fs::path target = fs::path(work.path()) / "target.txt";
  writeWhole(target, "not an archive");
  fs::create_symlink(target, jarPath());

  const ProgramRun run = runHello();
  EXPECT_EQ(0, run.exitCode) << run.output;
  EXPECT_EQ("not an archive", readWhole(target));
  EXPECT_FALSE(fs::is_symlink(jarPath()));
  EXPECT_EQ(embeddedJar(), readWhole(jarPath()));
}

TEST_F(AgentStartTest, AgentsStartingAtOnceLeaveOneIntactArchive) {
  std::vector<std::unique_ptr<ChildProcess>> children;
  for (int i = 0; i < 8; i++) {
    const std::string output = (fs::path(work.path()) / ("parallel" + std::to_string(i) + ".txt")).string();
    children.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{java, "-agentpath:" + library + "=" + optionsWith("", tmpDir()), "-cp", programs,
                                 "Hello"},
        output));
  }
  for (auto& child : children) {
    EXPECT_EQ(0, child->wait()) << child->output();
    EXPECT_NE(std::string::npos, child->output().find(HELLO_LINE));
  }
  EXPECT_EQ(embeddedJar(), readWhole(jarPath()));
  // One agent wrote the file; the others found it in place; no temporary file is left behind.
  const std::string log = logs();
  size_t created = 0;
  for (size_t at = log.find("Jar file created: "); at != std::string::npos; at = log.find("Jar file created: ", at + 1)) {
    created++;
  }
  EXPECT_EQ(1u, created) << log;
  size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(tmpDir())) {
    entries++;
    EXPECT_EQ(jarPath(), entry.path());
  }
  EXPECT_EQ(1u, entries);
}

// The given archive is put on the boot class path as it stands: the agent neither checks it against its
// own nor writes its own.
TEST_F(AgentStartTest, GivenArchivePathIsUsedUnchecked) {
  const fs::path given = fs::path(work.path()) / "given.jar";
  {
    std::ofstream(given, std::ios::binary) << embeddedJar();
  }
  const ProgramRun run = runHello("_agent_cp=" + given.string());
  EXPECT_EQ(0, run.exitCode) << run.output;
  EXPECT_NE(std::string::npos, run.output.find(HELLO_LINE)) << run.output;
  EXPECT_FALSE(fs::exists(jarPath()));
  const std::string log = logs();
  EXPECT_EQ(std::string::npos, log.find("Jar file")) << log;
  EXPECT_NE(std::string::npos, log.find("; Java version: 17")) << log;
}

// Java releases the agent does not know yet are refused unless the check is switched off.
TEST_F(AgentStartTest, NewerJavaIsRefusedUnlessTheCheckIsOff) {
  std::string newer;
  for (const auto& entry : fs::directory_iterator("/usr/lib/jvm")) {
    const std::string name = entry.path().filename().string();
    for (int feature = 18; feature < 40 && newer.empty(); feature++) {
      if (name.rfind("java-" + std::to_string(feature) + "-", 0) == 0 && fs::exists(entry.path() / "bin" / "java")) {
        newer = (entry.path() / "bin" / "java").string();
      }
    }
  }
  if (newer.empty()) GTEST_SKIP() << "no JDK of version 18 or newer is installed under /usr/lib/jvm";

  const std::string output = (fs::path(work.path()) / "newer.txt").string();
  ProgramRun run = runProgram({newer, "-agentpath:" + library + "=" + optionsWith("", tmpDir()), "-cp", programs, "Hello"},
                              output);
  EXPECT_EQ(0, run.exitCode) << run.output;
  EXPECT_TRUE(containsInOrder(logs(), {"Cannot start: Java version ", " is not supported.", "returnCode=16"}));

  run = runProgram({newer, "-agentpath:" + library + "=" + optionsWith("_no_java_version_check", tmpDir()), "-cp",
                    programs, "Hello"},
                   output);
  EXPECT_EQ(0, run.exitCode) << run.output;
  EXPECT_TRUE(containsInOrder(logs(), {"returnCode=16", "Jar file created: "}));
}

// A running JVM to attach to; it ends when the test lets it.
class AttachTest : public AgentStartTest {
 protected:
  const fs::path release = fs::path(work.path()) / "release";
  std::unique_ptr<ChildProcess> target;

  void SetUp() override {
    AgentStartTest::SetUp();
    target = std::make_unique<ChildProcess>(std::vector<std::string>{java, "-cp", programs, "WaitForFile", release.string()},
                                            (fs::path(work.path()) / "target.txt").string());
    while (target->output().find("waiting") == std::string::npos) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  // jcmd's answer.
  std::string attach(const std::string& options) {
    // jcmd reads an unquoted "key=value" argument as a named argument of its own.
    return runProgram({TALLYSCOPE_JCMD, std::to_string(target->id()), "JVMTI.agent_load", library, "\"" + options + "\""},
                      (fs::path(work.path()) / ("attach" + std::to_string(runs++) + ".txt")).string())
        .output;
  }

  void finish() {
    writeWhole(release, "");
    EXPECT_EQ(0, target->wait()) << target->output();
    EXPECT_NE(std::string::npos, target->output().find("done"));
  }
};

TEST_F(AttachTest, FatalErrorDuringAttachFailsItAndALaterAttachStartsAfresh) {
  // In a running JVM the boot class path takes only an existing archive: the JVM's refusal is a fatal
  // error inside the start-up, which must not leave the entry point.
  std::string answer = attach(optionsWith("_agent_cp=" + (fs::path(work.path()) / "absent.jar").string(), tmpDir()));
  EXPECT_NE(std::string::npos, answer.find("return code: -1")) << answer;
  EXPECT_TRUE(containsInOrder(logs(), {"Agent_OnAttach: orig_options=", "ERROR: JVMTI error 103:JVMTI_ERROR_ILLEGAL_ARGUMENT"}));

  answer = attach(optionsWith("", tmpDir()));
  EXPECT_NE(std::string::npos, answer.find("return code: 0")) << answer;
  const std::string log = logs();
  EXPECT_TRUE(containsInOrder(log, {"JVMTI_ERROR_ILLEGAL_ARGUMENT", "Agent_OnAttach: orig_options=", "jvmtiVersion: ",
                                    "Jar file created: ", "on_attach: 2"}));
  EXPECT_EQ(std::string::npos, log.find("Agent already loaded")) << log;
  finish();
}

TEST_F(AttachTest, AttachRunsTheJvmsStartEventsAtOnceAndRegistersTheLiveThreads) {
  const fs::path snapshots = fs::path(work.path()) / "snapshots";
  const std::string answer = attach(optionsWith("onexit=snapshot,dir=" + snapshots.string(), tmpDir()));
  EXPECT_NE(std::string::npos, answer.find("return code: 0")) << answer;
  const std::string log = logs();
  EXPECT_TRUE(containsInOrder(log, {"on_attach: 1", "on_attach: 2", "agentStart: OK", "agentInit: Core.init() called",
                                    "agentInit: OK", "on_attach: 3", "on_attach: 4", "on_attach: 5", "on_attach: 6",
                                    "onStartProfiling: done", "on_attach: OK"}));
  // The early classes were loaded long before; an attach leaves them alone.
  EXPECT_EQ(std::string::npos, log.find("Retransform early class")) << log;
  finish();

  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(snapshots)) files.push_back(entry.path());
  ASSERT_EQ(1u, files.size());
  const snapshotfile::Snapshot snapshot = snapshotfile::readSnapshotFile(files[0].string());
  // Threads announced by the attach have neither an operating-system id nor a start time; the entries
  // that stand for no thread are the first four.
  int announced = 0;
  for (const rowstream::Row& row : snapshot.tableRecords.at(0).tables.at(1)) {
    if (!row.values.empty() && row.values[3] > 4 && row.values[4] == 0 && row.values[6] == 0) announced++;
  }
  // At least main, "Reference Handler", "Finalizer" and "Signal Dispatcher".
  EXPECT_GE(announced, 4);
  EXPECT_TRUE(containsInOrder(logs(), {"vmDeath: 3", "Snapshot on exit written: ", "vmDeath: OK"}));
}

// Attach to a running JVM, then attach again.
TEST_F(AgentStartTest, AttachStartsTheAgentOnceAndASecondAttachChangesNothing) {
  const std::string jcmd = TALLYSCOPE_JCMD;
  const fs::path release = fs::path(work.path()) / "release";
  ChildProcess target({java, "-cp", programs, "WaitForFile", release.string()},
                      (fs::path(work.path()) / "target.txt").string());
  while (target.output().find("waiting") == std::string::npos) std::this_thread::sleep_for(std::chrono::milliseconds(20));

  const std::string pid = std::to_string(target.id());
  const std::string options = optionsWith("", tmpDir());
  // jcmd reads an unquoted "key=value" argument as a named argument of its own.
  const std::string quoted = "\"" + options + "\"";
  ProgramRun attach = runProgram({jcmd, pid, "JVMTI.agent_load", library, quoted},
                                 (fs::path(work.path()) / "attach1.txt").string());
  EXPECT_EQ(0, attach.exitCode) << attach.output;
  EXPECT_NE(std::string::npos, attach.output.find("return code: 0")) << attach.output;
  EXPECT_TRUE(containsInOrder(logs(), {"Agent_OnAttach: orig_options=" + options, "phase: 4", "Jar file created: ",
                                       "on_attach: 1", "on_attach: 2"}));
  const std::string firstLog = logs();

  attach = runProgram({jcmd, pid, "JVMTI.agent_load", library, quoted}, (fs::path(work.path()) / "attach2.txt").string());
  EXPECT_NE(std::string::npos, attach.output.find("return code: 0")) << attach.output;
  const std::string secondLog = logs();
  ASSERT_GT(secondLog.size(), firstLog.size());
  const std::string added = secondLog.substr(firstLog.size());
  EXPECT_TRUE(containsInOrder(added, {"Agent_OnAttach: orig_options=", "Agent already loaded"})) << added;
  EXPECT_EQ(std::string::npos, added.find("on_attach")) << added;

  writeWhole(release, "");
  EXPECT_EQ(0, target.wait()) << target.output();
  EXPECT_NE(std::string::npos, target.output().find("done"));
}

}  // namespace
