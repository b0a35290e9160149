#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/jvm/AgentRun.h"
#include "tests/jvm/ProfileTables.h"
#include "tests/support/SnapshotReader.h"

// The build-monitoring probes that every start registers, woven into real tools as Debian ships them: Ant
// running a build file, JUnit 4 running a suite and Maven running a mojo fill their probes' tables with a
// row per target, test and mojo, while each tool prints what it prints without the agent.

namespace {

using namespace profiletables;

const fs::path fixtures = TALLYSCOPE_MONITORING_FIXTURES;
const fs::path junitJar = "/usr/share/java/junit4.jar";
const fs::path antLauncher = "/usr/share/ant/bin/ant";
const fs::path mavenLauncher = "/usr/share/maven/bin/mvn";
const fs::path mavenRepository = "/usr/share/maven-repo";

// A probe's event table in a snapshot: its live rows in the order they were made, each cell read by
// column name through the column layout of the table's description.
class ProbeTableRows {
 public:
  ProbeTableRows(const snapshotfile::Snapshot& snapshot, const std::string& tableName) {
    for (const snapshotfile::TablesRecord& record : snapshot.tableRecords) records.push_back(&record.tables);
    tables = std::make_unique<ProfileTables>(records);
    for (const auto& [id, description] : snapshot.header.eventTables) {
      if (description.rfind(tableName + "\n", 0) == 0) {
        tableId = id;
        layOut(description);
      }
    }
    std::vector<rowstream::Row> found;
    tables->forEachLive(rowstream::eventTable, [&](const rowstream::Row& row) {
      if (row.values[0] == tableId) found.push_back(row);
    });
    std::sort(found.begin(), found.end(),
              [](const rowstream::Row& a, const rowstream::Row& b) { return a.values[1] < b.values[1]; });
    rows = std::move(found);
  }

  bool exists() const { return tableId >= 32; }
  size_t size() const { return rows.size(); }

  // A 32-bit cell, or the 64-bit value of a time column.
  int64_t value(size_t row, const std::string& column) const {
    const auto [slot, wide] = slotOf(column);
    const std::vector<int64_t>& values = rows.at(row).values;
    if (!wide) return values.at(slot);
    return int64_t(uint64_t(uint32_t(values.at(slot))) | uint64_t(uint32_t(values.at(slot + 1))) << 32);
  }

  // A text cell; "" for an empty one.
  std::string text(size_t row, const std::string& column) const {
    const int64_t id = value(row, column);
    return id == 0 ? "" : tables->text(id);
  }

  std::string threadName(size_t row) const { return tables->threadName(value(row, "thread")); }
  // "<class>.<method>" of the row's frame, and whether it or one of its callers runs the method.
  std::string frameMethod(size_t row) const { return tables->methodOf(int32_t(value(row, "frame"))); }
  bool frameRunsIn(size_t row, const std::string& method) const {
    return tables->runsIn(int32_t(value(row, "frame")), method);
  }

  // The texts of one column, row by row.
  std::vector<std::string> column(const std::string& column) const {
    std::vector<std::string> texts;
    for (size_t row = 0; row < rows.size(); row++) texts.push_back(text(row, column));
    return texts;
  }

 private:
  // Each column's first slot in a row's values (table id, row key and slot count come first) and whether
  // it takes two slots.
  void layOut(const std::string& description) {
    std::vector<std::string> lines;
    std::istringstream in(description);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty()) lines.push_back(line);
    }
    size_t slot = 3;
    for (size_t i = 2; i + 1 < lines.size(); i += 2) {
      const bool wide = lines[i + 1] == "1" || lines[i + 1] == "5";
      slots[lines[i]] = {slot, wide};
      slot += wide ? 2 : 1;
    }
  }

  std::pair<size_t, bool> slotOf(const std::string& column) const {
    const auto found = slots.find(column);
    if (found == slots.end()) throw std::runtime_error("no column \"" + column + "\"");
    return found->second;
  }

  std::vector<const Tables*> records;
  std::unique_ptr<ProfileTables> tables;
  int64_t tableId = -1;
  std::map<std::string, std::pair<size_t, bool>> slots;
  std::vector<rowstream::Row> rows;
};

// The output without the lines that tell how long the run took.
std::string withoutTimes(const std::string& output) {
  std::string kept;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Time: ", 0) == 0 || line.find("Total time:") != std::string::npos ||
        line.find("Finished at:") != std::string::npos) {
      continue;
    }
    kept += line + "\n";
  }
  return kept;
}

// The line that follows `marker` in the output.
std::string lineAfter(const std::string& output, const std::string& marker) {
  const size_t at = output.find(marker);
  if (at == std::string::npos) return "<no \"" + marker + "\">";
  const size_t start = at + marker.size();
  return output.substr(start, output.find('\n', start) - start);
}

class MonitoringProbesJvmTest : public AgentRunTest {
 protected:
  // The agent with its default probes and a snapshot at exit.
  std::string agentOption() const {
    return "-agentpath:" + library + "=" + optionsWith("dir=" + snapshotDir().string() + ",onexit=snapshot");
  }

  // A launcher script of Debian's with the JDK under test and only the given variables of its own.
  static std::vector<std::string> script(const fs::path& launcher, const std::string& optionsVariable,
                                         const std::string& jvmOptions, const std::vector<std::string>& arguments) {
    std::vector<std::string> command{"env",
                                     "-u",
                                     "JAVA_TOOL_OPTIONS",
                                     "-u",
                                     "ANT_ARGS",
                                     "-u",
                                     "ANT_OPTS",
                                     "-u",
                                     "MAVEN_OPTS",
                                     "JAVA_HOME=" + std::string(TALLYSCOPE_JDK_HOME),
                                     optionsVariable + "=" + jvmOptions,
                                     launcher.string()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
  }

  // Registered at start-up with the default options, without an error or a warning.
  void expectDefaultProbesRegistered() {
    const std::string log = logs();
    std::vector<std::string> expected{"Successfully registered probes: 9\n"};
    for (const char* probe :
         {"Ant", "Gradle", "JUnitTests", "Maven", "Processes", "ShutdownHook", "TestNg", "TestsSupport", "Threads"}) {
      expected.push_back(std::string("  Registered: com.brantel.probes.tallyscope.") + probe + "\n");
    }
    EXPECT_TRUE(containsInOrder(log, expected));
    EXPECT_EQ(std::vector<std::string>{}, troubleLines(log));
  }

  // Debian's Ant on the fixture's build file, with `jvmOptions` for its JVM.
  ProgramRun runAnt(const std::string& jvmOptions) {
    return runProgram(script(antLauncher, "ANT_OPTS", jvmOptions,
                             {"--noconfig", "-noinput", "-f", (fixtures / "ant" / "build.xml").string()}),
                      nextOutputPath());
  }

  // Every row ended after it began.
  static void expectSpans(const ProbeTableRows& rows) {
    for (size_t row = 0; row < rows.size(); row++) {
      EXPECT_GT(rows.value(row, "uptime_ns"), 0) << row;
      EXPECT_GE(rows.value(row, "uptime_ns.end"), rows.value(row, "uptime_ns")) << row;
    }
  }
};

TEST_F(MonitoringProbesJvmTest, AntTargetsAreRowsWithTheFailureThatEndedOne) {
  if (!fs::exists(antLauncher)) GTEST_SKIP() << "Ant is not installed (Debian package ant)";
  const ProgramRun plain = runAnt("");
  ASSERT_EQ(1, plain.exitCode) << plain.output;
  const ProgramRun run = runAnt("-Xverify:all " + agentOption());
  ASSERT_EQ(1, run.exitCode) << run.output;
  EXPECT_EQ(withoutTimes(plain.output), withoutTimes(run.output));
  expectDefaultProbesRegistered();

  // The implicit target that holds the tasks outside targets has no row.
  const ProbeTableRows targets(onlySnapshot(), "Ant Targets");
  ASSERT_TRUE(targets.exists());
  EXPECT_EQ((std::vector<std::string>{"prepare", "compile", "package"}), targets.column("Target"));
  EXPECT_EQ((std::vector<std::string>{"", "", lineAfter(plain.output, "BUILD FAILED\n")}),
            targets.column("exception_str"));
  expectSpans(targets);
  for (size_t row = 0; row < targets.size(); row++) EXPECT_EQ("main", targets.threadName(row)) << row;
}

// What a tool does through the JDK: Ant's <exec> starts a process, the threads that pump its output, and
// registers the hook that would destroy the process at exit. Each start is a row taken on the starting
// thread; when a row ends depends on the object maps that pair a start with its end, and is left out.
TEST_F(MonitoringProbesJvmTest, ProcessesThreadsAndShutdownHooksOfAToolAreRows) {
  if (!fs::exists(antLauncher)) GTEST_SKIP() << "Ant is not installed (Debian package ant)";
  const ProgramRun run = runAnt(agentOption());
  ASSERT_EQ(1, run.exitCode) << run.output;
  const snapshotfile::Snapshot snapshot = onlySnapshot();

  const ProbeTableRows processes(snapshot, "Processes");
  ASSERT_EQ(1u, processes.size());
  EXPECT_EQ("true", processes.text(0, "Command line"));
  EXPECT_EQ("main", processes.threadName(0));
  EXPECT_TRUE(processes.frameRunsIn(0, "org.apache.tools.ant.taskdefs.Execute.execute")) << processes.frameMethod(0);

  const ProbeTableRows threads(snapshot, "Threads");
  int pumpers = 0;
  for (size_t row = 0; row < threads.size(); row++) {
    if (threads.text(row, "Class") != "org.apache.tools.ant.taskdefs.PumpStreamHandler$ThreadWithPumper") continue;
    pumpers++;
    EXPECT_EQ(0u, threads.text(row, "Name").rfind("Thread-", 0)) << threads.text(row, "Name");
    EXPECT_EQ("main", threads.threadName(row));
  }
  EXPECT_EQ(2, pumpers);  // standard output and error

  const ProbeTableRows hooks(snapshot, "Shutdown Hooks");
  ASSERT_EQ(1u, hooks.size());
  EXPECT_EQ("ProcessDestroyer Shutdown Hook", hooks.text(0, "Hook thread"));
  EXPECT_EQ("org.apache.tools.ant.taskdefs.ProcessDestroyer$ProcessDestroyerImpl", hooks.text(0, "Class"));
  EXPECT_EQ("main", hooks.threadName(0));
}

TEST_F(MonitoringProbesJvmTest, JUnit4TestsAreRowsWithTheirOutcomes) {
  if (!fs::exists(junitJar)) GTEST_SKIP() << "JUnit 4 is not installed (Debian package junit4)";
  const fs::path classes = fs::path(work.path()) / "classes";
  const ProgramRun compiled = runProgram({TALLYSCOPE_JAVAC, "-cp", junitJar.string(), "-d", classes.string(),
                                          (fixtures / "junit4" / "monitored" / "ArithmeticTest.java").string()},
                                         nextOutputPath());
  ASSERT_EQ(0, compiled.exitCode) << compiled.output;
  const std::vector<std::string> suite{"-cp", junitJar.string() + ":" + classes.string(), "org.junit.runner.JUnitCore",
                                       "monitored.ArithmeticTest"};
  std::vector<std::string> plainCommand{java, "-Xverify:all"};
  plainCommand.insert(plainCommand.end(), suite.begin(), suite.end());
  const ProgramRun plain = runProgram(plainCommand, nextOutputPath());
  ASSERT_EQ(1, plain.exitCode) << plain.output;
  std::vector<std::string> command{java, "-Xverify:all", agentOption()};
  command.insert(command.end(), suite.begin(), suite.end());
  const ProgramRun run = runProgram(command, nextOutputPath());
  ASSERT_EQ(1, run.exitCode) << run.output;
  // The failure's stack trace included: the woven runner keeps its lines.
  EXPECT_EQ(withoutTimes(plain.output), withoutTimes(run.output));
  expectDefaultProbesRegistered();

  const snapshotfile::Snapshot snapshot = onlySnapshot();
  const ProbeTableRows tests(snapshot, "JUnit Tests");
  ASSERT_TRUE(tests.exists());
  ASSERT_EQ(4u, tests.size());
  EXPECT_EQ(std::vector<std::string>(4, "monitored.ArithmeticTest"), tests.column("Test class"));
  EXPECT_EQ((std::vector<std::string>{"adds", "divides", "multiplies", "needsNetwork"}), tests.column("Test"));
  EXPECT_EQ((std::vector<std::string>{"passed", "ignored", "failed", "skipped"}), tests.column("Outcome"));
  EXPECT_EQ((std::vector<std::string>{"", "", "multiplies(monitored.ArithmeticTest): product expected:<6> but was:<4>",
                                      "needsNetwork(monitored.ArithmeticTest): offline"}),
            tests.column("exception_str"));
  expectSpans(tests);
  for (size_t row = 0; row < tests.size(); row++) EXPECT_EQ("main", tests.threadName(row)) << row;

  // The failed assertion, at the test that made it; the assumption is no assertion.
  const ProbeTableRows failures(snapshot, "Test Assertion Failures");
  ASSERT_EQ(1u, failures.size());
  EXPECT_EQ("org.junit.Assert", failures.text(0, "Assertion"));
  EXPECT_EQ("product expected:<6> but was:<4>", failures.text(0, "Failure"));
  EXPECT_TRUE(failures.frameRunsIn(0, "monitored.ArithmeticTest.multiplies")) << failures.frameMethod(0);
}

TEST_F(MonitoringProbesJvmTest, MavenMojosAreRows) {
  if (!fs::exists(mavenLauncher) || !fs::exists(mavenRepository / "org/apache/maven/plugins/maven-resources-plugin")) {
    GTEST_SKIP() << "Maven or its resources plugin is not installed (Debian packages maven, "
                    "libmaven-resources-plugin-java)";
  }
  const fs::path project = fs::path(work.path()) / "project";
  fs::copy(fixtures / "maven", project, fs::copy_options::recursive);
  // Offline, with Debian's repository read as files; a private local repository leaves it unchanged.
  const std::vector<std::string> build{"-B",
                                       "-o",
                                       "-Daether.offline.protocols=file",
                                       "-Dmaven.repo.local=" + (fs::path(work.path()) / "repository").string(),
                                       "-s",
                                       (project / "settings.xml").string(),
                                       "-f",
                                       (project / "pom.xml").string(),
                                       "process-resources"};
  // The first build fills the local repository, so that the two compared ones copy nothing into it.
  const ProgramRun first = runProgram(script(mavenLauncher, "MAVEN_OPTS", "", build), nextOutputPath());
  ASSERT_EQ(0, first.exitCode) << first.output;
  const ProgramRun plain = runProgram(script(mavenLauncher, "MAVEN_OPTS", "", build), nextOutputPath());
  ASSERT_EQ(0, plain.exitCode) << plain.output;
  const ProgramRun run =
      runProgram(script(mavenLauncher, "MAVEN_OPTS", "-Xverify:all " + agentOption(), build), nextOutputPath());
  ASSERT_EQ(0, run.exitCode) << run.output;
  EXPECT_EQ(withoutTimes(plain.output), withoutTimes(run.output));
  EXPECT_EQ("greeting=hello\n", readWhole(project / "target" / "classes" / "app.properties"));
  expectDefaultProbesRegistered();

  // The mojo as Maven names an execution; the plugin's version is the one Debian packages.
  const ProbeTableRows mojos(onlySnapshot(), "Maven Mojos");
  ASSERT_EQ(1u, mojos.size());
  const std::string mojo = mojos.text(0, "Mojo");
  EXPECT_EQ(0u, mojo.rfind("org.apache.maven.plugins:maven-resources-plugin:", 0)) << mojo;
  const std::string goal = ":resources {execution: default-resources}";
  EXPECT_TRUE(mojo.size() > goal.size() && mojo.compare(mojo.size() - goal.size(), goal.size(), goal) == 0) << mojo;
  EXPECT_EQ("", mojos.text(0, "exception_str"));
  EXPECT_EQ("main", mojos.threadName(0));
  expectSpans(mojos);
}

}  // namespace
