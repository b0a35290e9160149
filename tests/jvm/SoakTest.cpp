#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/jvm/AgentRun.h"
#include "tests/support/JvmLauncher.h"
#include "tests/support/SnapshotReader.h"
#include "tests/support/TableReplyReader.h"

// A JVM runs SoakWorkload's mixed workload (deep and recursive calls, allocations, a contended monitor
// and waits, exceptions, classes loaded as it runs) while SoakDriver switches every recording on and off
// through the Java side's natives, registers and switches probes, takes table replies and snapshots. The
// run must end cleanly under -Xverify:all with the program's output unchanged, the driver must have seen
// no departure, the log no error, and every reply and snapshot must parse. Once with the agent from the
// start, once attached to a JVM that runs the workload already.
//
// TALLYSCOPE_SOAK_SECONDS sets how long the driver runs (15 s by default, the short form of the test
// run; scripts/soak.sh runs the long form), TALLYSCOPE_SOAK_SEED the seed of its order of steps.

namespace {

double soakSeconds() {
  const char* given = std::getenv("TALLYSCOPE_SOAK_SECONDS");
  return given != nullptr ? std::atof(given) : 15;
}

std::string soakSeed(const char* fallback) {
  const char* given = std::getenv("TALLYSCOPE_SOAK_SEED");
  return given != nullptr ? given : fallback;
}

// Reads the files that the driver lists in its manifest while the run goes on, checks that each parses
// and removes it, so that a long run keeps little on disk.
class ManifestReader {
 public:
  explicit ManifestReader(fs::path manifest) : manifest(std::move(manifest)), reader([this] { readUntilStopped(); }) {}
  ~ManifestReader() { finish(); }

  // Reads what is left once the program ended.
  void finish() {
    if (!reader.joinable()) return;
    stopped = true;
    reader.join();
    readNewLines();
  }

  std::map<std::string, int> parsed;  // by kind: "reply", "performance", "memory"
  std::vector<std::string> failures;

 private:
  void readUntilStopped() {
    while (!stopped) {
      readNewLines();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  void readNewLines() {
    if (!fs::exists(manifest)) return;
    const std::string text = readWhole(manifest);
    for (size_t end = text.find('\n', consumed); end != std::string::npos; end = text.find('\n', consumed)) {
      const std::string line = text.substr(consumed, end - consumed);
      consumed = end + 1;
      const size_t space = line.find(' ');
      check(line.substr(0, space), line.substr(space + 1));
    }
  }

  void check(const std::string& kind, const std::string& path) {
    try {
      if (kind == "reply") {
        tablereply::parseTableReply(readWhole(path));
      } else {
        const snapshotfile::Snapshot snapshot = snapshotfile::readSnapshotFile(path);
        const bool heap = snapshot.heap.ended && !snapshot.heap.instances.empty();
        if (heap != (kind == "memory")) throw std::runtime_error(kind + " snapshot " + (heap ? "with" : "without") + " a heap");
      }
      parsed[kind]++;
      fs::remove(path);
    } catch (const std::exception& error) {
      failures.push_back(kind + " " + path + ": " + error.what());
    }
  }

  const fs::path manifest;
  size_t consumed = 0;
  std::atomic<bool> stopped{false};
  std::thread reader;
};

// The log's errors and warnings, but the warnings that a session switching recordings provokes as it
// should: traced calls entered as a stop or clear of CPU data ended their tracing period (the replay drops
// them), a traced call's clock read on another processor a little ahead of the stop that charges it (the
// call gets 0 more), threads that started while an attach announced the live ones, and the JDK classes that
// the retransformation of a tracing start after an attach leaves alone. One more is a known race, rare: an
// exception thrown on a traced thread just as a stop or clear of CPU data resets its traced frame is not
// counted. After an attach the JVM gives no exception events, so tracing misses the exits of calls that an
// exception ends and says so as it resynchronises. Lines that only name a class (the lists of classes to
// retransform) are no trouble, whatever the class's name; nor is the JVM option that puts crash reports in
// the work directory.
std::vector<std::string> unexpectedTrouble(const std::string& log, bool attached) {
  static const std::regex className("  [\\w.$]+");
  static const char* const expected[] = {"warning: p_m_enter: 1: ", "warning: p_m_exit: 1: ",
                                         "warning: tracing time jump: ", "warning: multiple ThreadStart events: ",
                                         "warning: special class will not be retransformed: ",
                                         "warning: p_e: 1: -1 ", "-XX:ErrorFile="};
  static const char* const afterAttach[] = {"warning: p_m_exit: 3_1: ", "warning: p_m_exit: 3_2: ",
                                            "warning: p_m_exit: 4: "};
  std::vector<std::string> lines;
  for (const std::string& line : troubleLines(log)) {
    bool known = std::regex_match(line, className);
    for (const char* warning : expected) known = known || line.find(warning) != std::string::npos;
    for (const char* warning : afterAttach) known = known || (attached && line.find(warning) != std::string::npos);
    if (!known) lines.push_back(line);
  }
  return lines;
}

// The driver's report: its figures by name, and its departures.
struct Report {
  std::map<std::string, std::string> figures;
  std::vector<std::string> failures;

  int figure(const std::string& name) const {
    const auto found = figures.find(name);
    return found == figures.end() ? 0 : std::stoi(found->second);
  }
};

Report readReport(const fs::path& file) {
  Report report;
  std::istringstream lines(readWhole(file));
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("failure: ", 0) == 0) {
      report.failures.push_back(line.substr(9));
    } else if (const size_t equals = line.find('='); equals != std::string::npos) {
      report.figures[line.substr(0, equals)] = line.substr(equals + 1);
    }
  }
  return report;
}

class SoakTest : public AgentRunTest {
 protected:
  const fs::path driverDir = fs::path(work.path()) / "driver";

  void SetUp() override {
    AgentRunTest::SetUp();
    fs::create_directories(driverDir);
  }

  // The JVM options of every run: the verifier judges every class, a crash leaves its report in the
  // work directory, and the driver can read its sockets' descriptors.
  std::vector<std::string> jvmOptions() const {
    std::vector<std::string> options{"-Xverify:all", "-Xmx512m",
                                     "-XX:ErrorFile=" + (fs::path(work.path()) / "hs_err_pid%p.log").string()};
    options.insert(options.end(), openSocketInternals.begin(), openSocketInternals.end());
    return options;
  }

  std::vector<std::string> driverArguments(const std::string& seed) const {
    return {"SoakWorkload", std::to_string(soakSeconds()), driverDir.string(), TALLYSCOPE_JVM_PROBE_ARCHIVE, seed};
  }

  // The options of the agent: exception profiling switchable, the snapshot at exit of running
  // recordings in a directory of its own.
  std::string agentOptions() const { return "exceptions=off,dir=" + snapshotDir().string(); }

  // What the workload prints without the agent.
  std::string outputWithoutAgent() {
    std::vector<std::string> command{java};
    const std::vector<std::string> options = jvmOptions();
    command.insert(command.end(), options.begin(), options.end());
    command.insert(command.end(), {"-cp", programs, "SoakWorkload", "1"});
    const ProgramRun run = runProgram(command, nextOutputPath());
    EXPECT_EQ(0, run.exitCode) << run.output;
    return run.output;
  }

  void checkRun(const std::string& variant, bool attached, const std::string& seed, int exitCode,
                const std::string& output, const std::string& expectedOutput, ManifestReader& files) {
    files.finish();
    SCOPED_TRACE(variant + ", seed " + seed);
    EXPECT_EQ(0, exitCode) << output;
    EXPECT_EQ(programLines(expectedOutput), programLines(output)) << output;
    for (const auto& entry : fs::directory_iterator(work.path())) {
      EXPECT_EQ(std::string::npos, entry.path().filename().string().find("hs_err")) << readWhole(entry.path());
    }
    const std::string log = logs();
    EXPECT_EQ(std::string::npos, output.find("VerifyError")) << output;
    EXPECT_EQ(std::string::npos, log.find("VerifyError"));
    EXPECT_EQ(std::vector<std::string>{}, unexpectedTrouble(log, attached));

    ASSERT_TRUE(fs::exists(driverDir / "report.txt")) << output;
    const Report report = readReport(driverDir / "report.txt");
    EXPECT_EQ(std::vector<std::string>{}, report.failures);
    EXPECT_EQ(std::vector<std::string>{}, files.failures);
    EXPECT_EQ(report.figure("replies"), files.parsed["reply"]);
    EXPECT_EQ(report.figure("performance snapshots"), files.parsed["performance"]);
    EXPECT_EQ(report.figure("memory snapshots"), files.parsed["memory"]);
    EXPECT_GE(report.figure("steps"), 8);
    EXPECT_GT(report.figure("CPU mode switches") + report.figure("allocation mode switches"), 0);
    int exitSnapshots = 0;
    for (const fs::path& file : snapshots()) {
      EXPECT_NO_THROW(snapshotfile::readSnapshotFile(file.string()));
      exitSnapshots++;
    }

    std::ostringstream figures;
    figures << "soak " << variant << ", seed " << seed << ":";
    for (const auto& [name, value] : report.figures) figures << " " << name << "=" << value;
    figures << "; parsed: " << files.parsed["reply"] << " replies, " << files.parsed["performance"]
            << " performance and " << files.parsed["memory"] << " memory snapshots, " << exitSnapshots
            << " at exit";
    std::cout << figures.str() << std::endl;
    RecordProperty("figures", figures.str());
  }
};

TEST_F(SoakTest, RecordingsSwitchedWhileAMixedWorkloadRunsLeaveItUnchanged) {
  const std::string expected = outputWithoutAgent();
  const std::string seed = soakSeed("43");
  ManifestReader files(driverDir / "manifest.txt");
  const ProgramRun run = runUnderAgent(driverArguments(seed), agentOptions(), jvmOptions());
  checkRun("from the start", false, seed, run.exitCode, run.output, expected, files);
}

TEST_F(SoakTest, RecordingsSwitchedAfterAnAttachLeaveTheWorkloadUnchanged) {
  const std::string expected = outputWithoutAgent();
  const std::string seed = soakSeed("4343");
  const fs::path go = fs::path(work.path()) / "go";
  std::vector<std::string> command{java};
  const std::vector<std::string> options = jvmOptions();
  command.insert(command.end(), options.begin(), options.end());
  command.insert(command.end(), {"-cp", programs});
  std::vector<std::string> arguments = driverArguments(seed);
  arguments.push_back(go.string());
  command.insert(command.end(), arguments.begin(), arguments.end());
  ChildProcess target(command, nextOutputPath());
  while (target.output().find("workload running") == std::string::npos) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // The workload runs a while without the agent: its classes are loaded and compiled before it comes.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  // jcmd reads an unquoted "key=value" argument as a named argument of its own.
  const ProgramRun attach = runProgram(
      {TALLYSCOPE_JCMD, std::to_string(target.id()), "JVMTI.agent_load", library, "\"" + optionsWith(agentOptions()) + "\""},
      nextOutputPath());
  EXPECT_NE(std::string::npos, attach.output.find("return code: 0")) << attach.output;
  ManifestReader files(driverDir / "manifest.txt");
  writeWhole(go, "");
  const int exitCode = target.wait();
  checkRun("after an attach", true, seed, exitCode, target.output(), expected, files);
}

}  // namespace
