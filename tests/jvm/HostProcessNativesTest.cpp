#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/jvm/HostRun.h"

// The host's process and platform natives end to end: tests/jvm/host/ProcessCalls.java asks them about
// itself, about children it starts and about a JVM under the agent that publishes a marker
// (tests/jvm/host/MarkerHolder.java), and prints what they answered.

namespace {

// "<name>=<result>" lines by name; a line "<name> threw ..." is kept whole under its name.
std::map<std::string, std::string> answers(const std::vector<std::string>& lines) {
  std::map<std::string, std::string> byName;
  for (const std::string& line : lines) {
    const size_t threw = line.find(" threw ");
    const size_t equals = line.find('=');
    if (threw != std::string::npos && (equals == std::string::npos || threw < equals)) {
      byName[line.substr(0, threw)] = line.substr(threw + 1);
    } else if (equals != std::string::npos) {
      byName[line.substr(0, equals)] = line.substr(equals + 1);
    }
  }
  return byName;
}

void expectAnswers(const std::map<std::string, std::string>& got,
                   const std::vector<std::pair<std::string, std::string>>& expected) {
  for (const auto& [name, answer] : expected) {
    const auto found = got.find(name);
    if (found == got.end()) {
      ADD_FAILURE() << name << " not reported";
    } else {
      EXPECT_EQ(found->second, answer) << name;
    }
  }
}

const std::string refused = "threw java.lang.RuntimeException: ";
const std::string assertionRefused = refused + "assertion failed in native code; see agent log for detail";

class HostProcessNativesTest : public HostProgramTest {
 protected:
  std::map<std::string, std::string> run(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{"ProcessCalls", TALLYSCOPE_LIBRARY};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return answers(runHostProgram(command));
  }
};

}  // namespace

TEST_F(HostProcessNativesTest, OwnProcessAndMachine) {
  const std::map<std::string, std::string> got = run({"self"});
  expectAnswers(got, {
      {"getPid", "true"},
      {"isLivePid", "true"},
      {"getProcessOwner", "true"},
      {"getProcessBitnessImpl", "64"},
      {"getCommandLineByPid", "true"},
      {"getSessionNameByCommandLine", "ProcessCalls"},
      {"getPlatform", "linux64"},
      {"is64BitMachineImpl", "true"},
      {"getHostName", "true"},
      {"getSystemPhysicalMemorySize", "true"},
      {"getXResolutionWindowsImpl", "0"},
      {"getTimeNsForTracing", "true"},
      {"isAdministrator", geteuid() == 0 ? "true" : "false"},
      {"createMutex", "twice"},
      {"getSpecialJavaPids", "only other java processes"},
      {"getProcessID own", "true"},
      {"getProcessID 0", assertionRefused},
      {"createDatabase", "true"},
      {"deleteDatabaseImpl 0", assertionRefused},
  });
  const std::string temp = got.at("getPlatformTempDir");
  EXPECT_TRUE(!temp.empty() && temp.back() == '/' && fs::is_directory(temp)) << temp;
  // The running-host mutex is a lock file of this user, which both calls opened.
  EXPECT_TRUE(fs::exists("/tmp/tallyscope-" + std::to_string(geteuid()) + "/Brantel TallyScope RUNNING.mutex"));

  const std::string logPath = got.at("getLogFilePath after");
  ASSERT_TRUE(fs::exists(logPath)) << logPath;
  EXPECT_NE(readWhole(logPath).find("host line from ProcessCalls"), std::string::npos);
  EXPECT_NE(logs().find("error at DatabaseNatives:"), std::string::npos);
  EXPECT_NE(logs().find("error at Natives:501: assertion failed"), std::string::npos);
}

TEST_F(HostProcessNativesTest, OptionsPatternsAndRefusals) {
  const std::map<std::string, std::string> got = run({"self"});
  expectAnswers(got, {
      {"validateStartupOptions empty", ""},
      {"validateStartupOptions valid", ""},
      {"validateStartupOptions unknown", "bogustoken"},
      {"validateStartupOptions bad value", "'port' value is invalid"},
      {"validateStartupOptions conflict", "'tracing' cannot be used in combination with 'sampling'"},
      {"validateStartupOptions null", refused + "parameter is null"},
      {"validateMethodPattern valid", "null"},
      {"validateMethodPattern null", "methodPattern is null"},
      {"matches a*c abc", "true"},
      {"matches a*c ac", "true"},
      {"matches a*c abd", "false"},
      {"matches a*c Abc", "false"},
      {"matches * ", "true"},
      {"matches * xyz", "true"},
      {"matches  ", "true"},
      {"matches  a", "false"},
      {"matches a** a", "true"},
      {"matches null null", "true"},
      {"matches * null", "true"},
      {"retransformClass", refused + "must run with the profiler agent"},
      {"runAsAdministratorImpl", "null"},
      {"runAsAdministratorImpl null file", refused + "file is null"},
      {"runAsAdministratorImpl null parameters", refused + "parameters are null"},
  });
}

TEST_F(HostProcessNativesTest, HostApiNativesForwardToTheDispatchAndClocks) {
  const std::map<std::string, std::string> got = run({"self"});
  expectAnswers(got, {
      {"HostApiNatives.dispatchLong d_getPid", "true"},
      {"HostApiNatives.dispatchLong unknown", refused + "unexpected dispatch key 'no such key'"},
      {"HostApiNatives.dispatchNullable d_get_platform", "linux64"},
      {"HostApiNatives.dispatchNullable d_command_line", "true"},
      {"HostApiNatives.dispatchNullable d_get_env", work.path()},
      {"HostApiNatives.dispatchNullable d_clear_charts", refused + "must run with the profiler agent"},
      {"HostApiNatives.getUptimeMs", "true"},
      {"HostApiNatives.getProcessCpuTimeNs", "true"},
      {"HostApiNatives.getSystemCpuTimeNs", "true"},
  });
}

TEST_F(HostProcessNativesTest, ChildrenWhileTheyRunAndOnceReaped) {
  const std::map<std::string, std::string> got = run({"children", work.path()});
  expectAnswers(got, {
      {"getCommandLineByPid sleeper", "/bin/sleep|30"},
      {"getCommandLineByPid busy", "/bin/sh|-c|while :; do :; done|name with blanks"},
      {"getProcessPathByPid sleeper", "true"},
      {"getProcessPathByPid busy", "true"},
      {"getSessionNameByCommandLine sleeper", "sleep"},
      {"getProcessOwner sleeper", "true"},
      {"getProcessBitnessImpl sleeper", "64"},
      {"isLivePid sleeper", "true"},
      {"getOtherProcessCpuTimeNs busy", "true"},
      {"isLivePid ended", "false"},
      {"getProcessBitnessImpl ended", "-2"},
      {"getCommandLineByPid ended", ""},
      {"getProcessPathByPid ended", ""},
      {"getProcessOwner ended", "null"},
      {"getOtherProcessCpuTimeNs ended", "-1"},
  });
}

TEST_F(HostProcessNativesTest, LongArraysFromFiles) {
  const std::map<std::string, std::string> got = run({"children", work.path()});
  expectAnswers(got, {
      {"readLongArrayFromFile sixteen.bin 2", "[578437695752307201, -9219134463004702199]"},
      {"readLongArrayFromFile eight.bin 2", "[578437695752307201, 0] Read error: DIR/eight.bin"},
      {"readLongArrayFromFile empty.bin 0", "[]"},
      {"readLongArrayFromFile sixteen.bin 1", "[578437695752307201]"},
      {"readLongArrayFromFile missing.bin 1", "[-1] Failed to open file: DIR/missing.bin"},
      {"readLongArrayFromFile null array", assertionRefused},
      {"readLongArrayFromFile null path", refused + "Failed to open file: "},
  });
}

// A JVM under the agent publishes a marker for a port; the host then finds it and its session name, and
// no longer counts the port as free.
TEST_F(HostProcessNativesTest, MarkersOfARunningAgent) {
  const int port = 40000 + int(getpid() % 20000);
  const fs::path output = fs::path(work.path()) / "holder.txt";
  const fs::path logDirectory = fs::path(work.path()) / "holder-log";
  fs::create_directories(logDirectory);
  ChildProcess holder({TALLYSCOPE_JAVA, std::string("-agentpath:") + TALLYSCOPE_LIBRARY + "=logdir=" + logDirectory.string(),
                       "-cp", TALLYSCOPE_JVM_HOST_PROGRAMS, "MarkerHolder", std::to_string(port), "1"},
                      output.string(), {"BRANTEL_HOME=" + work.path()});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (holder.output().find("ready") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_NE(holder.output().find("ready"), std::string::npos) << holder.output();

  const std::map<std::string, std::string> got = run({"markers", std::to_string(holder.id()), std::to_string(port)});
  expectAnswers(got, {
      {"fillMarked", std::to_string(port) + " 1"},
      {"fillMarked other type", "not listed"},
      {"getSessionNameFromMarker", "MarkerHolder"},
      {"getSessionNameByCommandLine", "MarkerHolder"},
      {"getFreePort taken", "-1"},
      {"getFreePort next", std::to_string(port + 1)},
      {"getFreePort empty range", "-1"},
  });
}

// Under the agent the class transformer edits the bytes handed in, as it would a loading class.
TEST_F(HostProcessNativesTest, RetransformClassUnderTheAgent) {
  const fs::path logDirectory = fs::path(work.path()) / "agent-log";
  fs::create_directories(logDirectory);
  const ProgramRun result = runProgram({TALLYSCOPE_JAVA, std::string("-agentpath:") + TALLYSCOPE_LIBRARY + "=logdir=" +
                                            logDirectory.string(), "-cp", TALLYSCOPE_JVM_HOST_PROGRAMS,
                                        "ProcessCalls", TALLYSCOPE_LIBRARY, "retransform"},
                                       (fs::path(work.path()) / "retransform.txt").string(),
                                       {"BRANTEL_HOME=" + work.path()});
  ASSERT_EQ(result.exitCode, 0) << result.output;
  std::istringstream in(result.output);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  expectAnswers(answers(lines), {
      {"retransformClass", "cafebabe"},
      {"retransformClass null bytes", assertionRefused},
  });
}
