#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/jvm/AgentRun.h"

// The natives that answer host facts by key and the status getters, called from a real JVM under the
// agent: every key's answer and argument check, the hand-over of the agent to child JVMs, and the
// clocks, CPU times, memory figures and JVM queries.

namespace {

// The "<label>=<answer>" lines of a StatusCalls run.
std::map<std::string, std::string> answers(const std::string& output) {
  std::map<std::string, std::string> byLabel;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    const size_t equals = line.find('=');
    if (equals != std::string::npos) byLabel.emplace(line.substr(0, equals), line.substr(equals + 1));
  }
  return byLabel;
}

std::string firstLine(const std::string& path) {
  std::string text = readWhole(path);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

struct Answer {
  const char* label;
  std::string expected;
};

void expectAnswers(const std::map<std::string, std::string>& actual, const std::vector<Answer>& expected,
                   const std::string& output) {
  for (const Answer& answer : expected) {
    const auto found = actual.find(answer.label);
    ASSERT_NE(actual.end(), found) << answer.label << " missing in:\n" << output;
    EXPECT_EQ(answer.expected, found->second) << answer.label;
  }
}

constexpr char assertionInNative[] = "exception: assertion failed in native code; see agent log for detail";

class StatusDispatchTest : public AgentRunTest {};

TEST_F(StatusDispatchTest, EveryKeyAnswersAndTheVariableKeysCheckTheirArguments) {
  const ProgramRun run = runUnderAgent({"StatusCalls", "dispatch", "gc"});
  ASSERT_EQ(0, run.exitCode) << run.output;
  const std::map<std::string, std::string> got = answers(run.output);
  ASSERT_TRUE(got.count("d_command_line.java")) << run.output;
  const std::string logPath = got.count("d_getLogFilePath") ? got.at("d_getLogFilePath") : "";
  expectAnswers(got,
                {
                    {"long d_getPid", got.at("d_getPid.java")},
                    {"long _socket_timeout_ms", "-1"},
                    {"long _tele_sample_threshold_ms", "-1"},
                    {"long _no_http", "0"},
                    {"long _no_gc_pause_counter", "0"},
                    // Each native knows only its own keys; they are compared exactly.
                    {"long d_get_platform", "exception: unexpected dispatch key 'd_get_platform'"},
                    {"long D_GETPID", "exception: unexpected dispatch key 'D_GETPID'"},
                    {"long null", "exception: unexpected dispatch key ''"},
                    {"d_get_platform", "linux64"},
                    {"D_GET_PLATFORM", "exception: unexpected dispatch key 'D_GET_PLATFORM'"},
                    {"null key", "exception: unexpected dispatch key ''"},
                    {"d_command_line", got.at("d_command_line.java")},
                    {"d_process_owner", got.at("d_process_owner.java")},
                    {"d_workingDirectory", got.at("d_workingDirectory.java")},
                    {"d_getHostName", firstLine("/proc/sys/kernel/hostname")},
                    {"environment has PATH", "true"},
                    {"d_clear_charts", "null"},
                    {"d_potential_deadlock_test", "null"},
                    {"d_get_env none", "exception: expected: key"},
                    {"d_get_env null array", "exception: expected: key"},
                    {"d_get_env two", "exception: expected: key"},
                    {"d_get_env empty key", "exception: key must not be empty"},
                    {"d_set_env one", "exception: expected: key value"},
                    {"d_set_env empty key", "exception: key must not be empty"},
                    {"d_get_env unset", ""},
                    {"d_set_env", "null"},
                    {"d_get_env set", "value 1"},
                    {"d_get_env PATH", "true"},
                    {"forceGarbageCollectionJvmti", "true"},
                },
                run.output);
  EXPECT_EQ(logDir(), fs::path(logPath).parent_path()) << logPath;
  EXPECT_TRUE(containsInOrder(logs(), {": Telemetry charts cleared\n", ": y_setenv: TS_STATUS_CALLS=value 1\n"}));
}

TEST_F(StatusDispatchTest, HiddenOptionsAnswerThroughTheirKeys) {
  const ProgramRun run =
      runUnderAgent({"StatusCalls", "dispatch", "gc"},
                    "_socket_timeout_ms=,_tele_sample_threshold_ms=250,_no_http,_no_gc_pause_counter,_no_jvmti_gc");
  ASSERT_EQ(0, run.exitCode) << run.output;
  expectAnswers(answers(run.output),
                {
                    {"long _socket_timeout_ms", "0"},
                    {"long _tele_sample_threshold_ms", "250"},
                    {"long _no_http", "1"},
                    {"long _no_gc_pause_counter", "1"},
                    {"forceGarbageCollectionJvmti", "false"},
                },
                run.output);
}

// Loaded from a directory named "64", the agent knows where child JVMs find it.
TEST_F(StatusDispatchTest, AgentHandsItselfToChildJvmsThroughTheToolOptions) {
  const fs::path agentHome = fs::path(work.path()) / "agent";
  fs::create_directories(agentHome / "64");
  const fs::path copy = agentHome / "64" / "libtallyscope.so";
  fs::copy_file(library, copy);
  const std::string options = optionsWith("");
  const ProgramRun run = runProgram({java, "-agentpath:" + copy.string() + "=" + options, "-cp", programs,
                                     "StatusCalls", "propagation"},
                                    nextOutputPath(), {"JAVA_TOOL_OPTIONS=-Dts.own=1"});
  ASSERT_EQ(0, run.exitCode) << run.output;
  // The options as the agent read them: between the (empty) ones of BZP_STARTUP_OPTIONS_PRE and _POST.
  const std::string agentOption = "\"-agentlib:tallyscope=," + options + ",\"";
  const std::string directories = (agentHome / "32").string() + ":" + (agentHome / "64").string();
  expectAnswers(answers(run.output),
                {
                    {"d_ts_env_keys_and_values", "[LD_LIBRARY_PATH|" + directories + "|JAVA_TOOL_OPTIONS|" +
                                                     agentOption + "]"},
                    {"d_setJavaToolOptionsWithoutAgent", "null"},
                    {"tool options without", "-Dts.own=1"},
                    {"d_setJavaToolOptionsWithAgent", "null"},
                    {"tool options with", agentOption + " -Dts.own=1"},
                },
                run.output);
}

TEST_F(StatusDispatchTest, StatusGettersReportTheProcessAndTheJvm) {
  const ProgramRun run = runUnderAgent({"StatusCalls", "status"});
  ASSERT_EQ(0, run.exitCode) << run.output;
  expectAnswers(answers(run.output),
                {
                    {"process cpu grows", "true"},
                    {"system cpu grows", "true"},
                    {"uptime grows", "true"},
                    {"tracing clock grows", "true"},
                    {"split", "true"},
                    {"resident memory", "true"},
                    {"committed memory", "true"},
                    {"phase", "4"},  // JVMTI_PHASE_LIVE
                    {"skip main thread", "false"},
                    {"find Ljava/lang/Object;", "true"},
                    {"find Ljava/lang/String;", "true"},
                    {"find java.lang.Object", "null"},
                    {"find Ljava/lang/Object", "null"},
                    {"find null", "null"},
                    {"frozen", "0"},
                    {"uptime after forward correction", "true"},
                    {"backward correction ignored", "true"},
                    {"getProcessID own", "true"},
                    {"getProcessID 0", assertionInNative},
                    {"getProcessID ended", "0"},
                    {"getProcessID negative", "0"},
                    {"status done", "true"},
                },
                run.output);
  EXPECT_NE(std::string::npos, run.output.find(": status line to standard output\n")) << run.output;
  EXPECT_NE(std::string::npos, run.output.find(": status line to standard error\n")) << run.output;
  const std::string log = logs();
  EXPECT_TRUE(containsInOrder(
      log, {"Uptime correction will be performed (it's the last log entry with non-corrected timestamp)...\n",
            "Uptime corrected: etalon=", "ms diff=", "ms\n",
            "Uptime correction will be performed (it's the last log entry with non-corrected timestamp)...\n",
            "Uptime corrected: etalon=1ms diff=-", "ms\n", "error at CoreNatives:", ": assertion failed\n"}));
}

}  // namespace
