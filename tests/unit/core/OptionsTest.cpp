#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "agent/core/AgentFlags.h"
#include "agent/core/Options.h"
#include "agent/core/SessionName.h"
#include "agent/platform/Directories.h"
#include "agent/platform/Processes.h"
#include "agent/support/Log.h"
#include "tests/support/ScopedVariable.h"
#include "tests/support/TempDir.h"

namespace {

YVector<YString> argumentsOf(std::initializer_list<const char*> arguments) {
  YVector<YString> result;
  for (const char* argument : arguments) result.add(argument);
  return result;
}

std::vector<std::string> textsOf(const YVector<YString>& list) {
  std::vector<std::string> result;
  for (int32_t i = 0; i < list.size; i++) result.emplace_back(list[i].data, size_t(list[i].length));
  return result;
}

std::string text(const YString& value) { return std::string(value.data, size_t(value.length)); }

// A log file's text; the Windows log is a text-mode file, whose line ends read back as "\n" here.
std::string readAll(const std::string& path) {
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  std::string result = contents.str();
  for (size_t at = result.find("\r\n"); at != std::string::npos; at = result.find("\r\n", at)) result.erase(at, 1);
  return result;
}

// Restores the attach bit, which a test sets to see what the constructor makes of it.
class ScopedAgentFlags {
 public:
  explicit ScopedAgentFlags(uint64_t value) : old(agentFlags.exchange(value)) {}
  ~ScopedAgentFlags() { agentFlags.store(old); }

 private:
  const uint64_t old;
};

}  // namespace

TEST(Options, ConstructsTheDefaults) {
  ScopedVariable outside("KUBERNETES_SERVICE_HOST", "");
  const Options options(argumentsOf({"/usr/bin/java", "-Xmx1g", "-cp", "app.jar", "p.q.Main", "run"}));
  EXPECT_EQ(textsOf(options.jvmArgs),
            (std::vector<std::string>{"/usr/bin/java", "-Xmx1g", "-cp", "app.jar", "p.q.Main", "run"}));
  EXPECT_EQ(options.debugCategories.size, 0);
  EXPECT_EQ(options.hiddenOptions.size, 0);
  EXPECT_FALSE(options.debugAll);
  EXPECT_EQ(text(options.defaultSessionName), "Main");
  EXPECT_EQ(text(options.sessionName), "Main");
  EXPECT_EQ(text(options.tmpDir), "");
  EXPECT_EQ(text(options.snapshotNameFormat), "{sessionname}-{date}");
  EXPECT_EQ(text(options.optionString), "");
  EXPECT_FALSE(options.sampling);
  EXPECT_FALSE(options.tracing);
  EXPECT_FALSE(options.callCounting);
  EXPECT_EQ(options.samplingModeBits, 0u);
  EXPECT_FALSE(options.disableAll);
  EXPECT_EQ(options.allocEach, 10);
  EXPECT_EQ(options.allocSizeLimit, 4096);
  EXPECT_EQ(options.allocMode, 0u);
  EXPECT_FALSE(options.monitors);
  EXPECT_FALSE(options.withDebugger);
  EXPECT_EQ(options.telemetryPointLimit, 3600);
  EXPECT_EQ(options.probeTableLengthLimit, 100000);
  EXPECT_EQ(options.deadThreadLimit, 50);
  EXPECT_FALSE(options.oomeDumperDisabled);
  EXPECT_EQ(options.jbossInitArgument, 0);
  EXPECT_EQ(options.telemetryPeriodMs, 1000);
  EXPECT_EQ(options.sessionId, 0);
  EXPECT_EQ(options.portFirst, -1);
  EXPECT_EQ(options.portLast, -1);
  EXPECT_FALSE(options.skipAdvancedPortCheck);
  EXPECT_EQ(text(options.listenHost), "localhost");
  EXPECT_EQ(options.idePort, -1);
  EXPECT_EQ(text(options.snapshotDir), "");
  EXPECT_EQ(options.probeClassPath.size, 0);
  EXPECT_EQ(options.probeBootClassPath.size, 0);
  EXPECT_EQ(text(options.profilerDir), "");
  EXPECT_FALSE(options.snapshotOnExit);
  EXPECT_EQ(text(options.samplingSettingsPath), "");
  EXPECT_EQ(text(options.tracingSettingsPath), "");
  EXPECT_EQ(text(options.triggersPath), "");
  EXPECT_EQ(text(options.triggerText), "");
  EXPECT_EQ(options.exceptionTelemetryMode, 0);
}

// The executable (element 0) never counts: only the JVM's arguments do.
TEST(Options, TakesFactsFromTheJvmArguments) {
  const struct {
    std::vector<const char*> arguments;
    bool withDebugger;
    bool disableAll;
    int32_t jboss;
  } cases[] = {
      {{"java", "-agentlib:jdwp=transport=dt_socket,server=y", "p.Main"}, true, false, 0},
      {{"java", "-Xdebug", "p.Main"}, true, false, 0},
      {{"java", "-Xrunjdwp:transport=dt_socket", "p.Main"}, true, false, 0},
      {{"java", "-XX:+X", "-agentlib:jdwp", "p.Main"}, true, false, 0},
      {{"java", "-AGENTLIB:jdwp", "p.Main"}, false, false, 0},  // the prefixes are case-sensitive
      {{"java", "-Dx=-agentlib:jdwp", "p.Main"}, false, false, 0},
      {{"-agentlib:jdwp", "p.Main"}, false, false, 0},
      {{"java", "-Djna.library.path=/opt/NativeLibs4Java/lib", "p.Main"}, false, true, 0},
      {{"/opt/nativelibs4java/bin/java", "p.Main"}, false, false, 0},
      {{"java", "-Djboss.home.dir=/srv", "org.JBoss.Main"}, false, false, 10000},
      {{"java", "-cp", "/opt/JBOSS/lib", "p.Main"}, false, false, 10000},
      {{"/opt/jboss/bin/java", "p.Main"}, false, false, 0},
  };
  for (const auto& c : cases) {
    YVector<YString> arguments;
    for (const char* argument : c.arguments) arguments.add(argument);
    const Options options(arguments);
    EXPECT_EQ(options.withDebugger, c.withDebugger) << c.arguments[1];
    EXPECT_EQ(options.disableAll, c.disableAll) << c.arguments[1];
    EXPECT_EQ(options.jbossInitArgument, c.jboss) << c.arguments[1];
  }
}

TEST(Options, NativeLibs4JavaDisablesAllButChangesNothingElse) {
  const uint64_t flagsBefore = agentFlags.load();
  const uint64_t profilingBefore = profilingFlags.load();
  const Options options(argumentsOf({"java", "-Dlib=nativelibs4java", "p.Main"}));
  EXPECT_TRUE(options.disableAll);
  EXPECT_EQ(options.exceptionTelemetryMode, 0);
  EXPECT_EQ(agentFlags.load(), flagsBefore);
  EXPECT_EQ(profilingFlags.load(), profilingBefore);
}

TEST(Options, AnAttachingAgentPassesNoJBossArgument) {
  ScopedAgentFlags attached(AGENT_FLAGS_INITIAL | AGENT_ATTACH_MODE);
  EXPECT_EQ(Options(argumentsOf({"java", "-Djboss.home.dir=/srv", "p.Main"})).jbossInitArgument, 0);
}

TEST(Options, SkipsTheAdvancedPortCheckInsideKubernetes) {
  const YVector<YString> arguments = argumentsOf({"java", "p.Main"});
  {
    ScopedVariable inside("KUBERNETES_SERVICE_HOST", "10.96.0.1");
    EXPECT_TRUE(isInsideKubernetes());
    EXPECT_TRUE(Options(arguments).skipAdvancedPortCheck);
  }
  ScopedVariable empty("KUBERNETES_SERVICE_HOST", "");
  EXPECT_FALSE(isInsideKubernetes());
  EXPECT_FALSE(Options(arguments).skipAdvancedPortCheck);
}

// The production constructor reads this test program's own command line.
TEST(Options, ReadsTheOwnCommandLine) {
  YVector<YString> own;
  getOwnCommandLine(own);
  ASSERT_GT(own.size, 0);
  const Options options;
  EXPECT_EQ(textsOf(options.jvmArgs), textsOf(own));
  EXPECT_EQ(text(options.defaultSessionName), text(getSessionName(own, true)));
  EXPECT_EQ(text(options.defaultSessionName).rfind("unit_core", 0), 0u) << options.defaultSessionName.data;
  EXPECT_FALSE(options.withDebugger);
  EXPECT_FALSE(options.disableAll);
  EXPECT_EQ(text(options.getHeapDumpPath()), text(getCurrentDir()));

  Options& global = globalOptions();
  EXPECT_EQ(&global, &globalOptions());
  EXPECT_EQ(textsOf(global.jvmArgs), textsOf(own));
}

TEST(Options, AnswersHiddenSwitchesByExactName) {
  Options options(argumentsOf({"java", "p.Main"}));
  EXPECT_FALSE(options.hasOption("_cf4"));
  EXPECT_EQ(options.getIntOption("_page_size", 7), 7);
  EXPECT_EQ(text(options.getStringOption("_agent_cp")), "");

  for (const char* hidden :
       {"_cf4=1", "_page_size=12", "_page_size=34", "_page_count", "_tracing_clt=abc", "_request_buf_size=4294967297",
        "_socket_timeout_ms=-5", "_region_limit_mb=", "_heap_sampling_interval=-", "_agent_cp=BZPQUOTED2F612C2F62",
        "_agent_cp=/second", "_dump_classes=BZPQUOTED2", "_ide_project_name", "_with_wait"}) {
    options.hiddenOptions.add(hidden);
  }
  EXPECT_FALSE(options.hasOption("_cf4"));  // only "_cf4=1" was given
  EXPECT_TRUE(options.hasOption("_with_wait"));
  EXPECT_TRUE(options.hasOption("_page_count"));
  EXPECT_FALSE(options.hasOption("_with"));
  EXPECT_FALSE(options.hasOption("with_wait"));

  EXPECT_EQ(options.getIntOption("_page_size", 0), 12);  // the first occurrence wins
  EXPECT_EQ(options.getIntOption("_page_count", 9), 9);  // given without "="
  EXPECT_EQ(options.getIntOption("_page", 9), 9);
  EXPECT_EQ(options.getIntOption("_tracing_clt", 2048), 0);    // unreadable
  EXPECT_EQ(options.getIntOption("_request_buf_size", 5), 0);  // beyond 32 bits, never wrapped to 1
  EXPECT_EQ(options.getIntOption("_socket_timeout_ms", 0), -5);
  EXPECT_EQ(options.getIntOption("_region_limit_mb", 3), 0);  // empty
  EXPECT_EQ(options.getIntOption("_heap_sampling_interval", 3), 0);
  EXPECT_EQ(options.getIntOption("_cf4", 3), 1);

  EXPECT_EQ(text(options.getStringOption("_agent_cp")), "/a,/b");  // unquoted, the first occurrence
  EXPECT_EQ(text(options.getStringOption("_dump_classes")), "BZPQUOTED2");
  EXPECT_EQ(text(options.getStringOption("_ide_project_name")), "");
  EXPECT_EQ(text(options.getStringOption("_page_size")), "12");
}

TEST(Options, TurnsOnNamedDebugCategoriesOrAll) {
  Options options(argumentsOf({"java", "p.Main"}));
  EXPECT_FALSE(options.isDebug("bci"));
  options.debugCategories.add("BCI");
  options.debugCategories.add("filters");
  EXPECT_FALSE(options.isDebug("bci"));  // categories are case-sensitive
  EXPECT_TRUE(options.isDebug("filters"));
  EXPECT_FALSE(options.isDebug("filter"));
  options.debugAll = true;
  EXPECT_TRUE(options.isDebug("progress"));
  EXPECT_TRUE(options.isDebug("bci"));
}

TEST(Options, PlacesTemporaryFilesAndFindsHeapDumps) {
  Options options(argumentsOf({"java", "-XX:HeapDumpPath=/dumps/a", "-XX:HeapDumpPath=/dumps/b", "p.Main"}));
  EXPECT_EQ(text(options.getTempFilePath("bzp.jar")), text(getTempDir()) + "bzp.jar");
  options.tmpDir = "/scratch";
  EXPECT_EQ(text(options.getTempFilePath("bzp.jar")), std::string("/scratch") + pathSeparator + "bzp.jar");
  options.tmpDir = "/scratch/";
  EXPECT_EQ(text(options.getTempFilePath("bzp.jar")), "/scratch/bzp.jar");
  EXPECT_EQ(text(options.getHeapDumpPath()), "/dumps/a");

  EXPECT_EQ(text(Options(argumentsOf({"-XX:HeapDumpPath=/exe", "p.Main"})).getHeapDumpPath()), text(getCurrentDir()));
  EXPECT_EQ(text(Options(argumentsOf({"java", "-XX:HeapDumpPath=", "p.Main"})).getHeapDumpPath()), "");
}

TEST(Options, SearchesTheJvmArgumentsAfterTheExecutable) {
  const Options options(argumentsOf({"/opt/Tools/java", "-Dapp.Mode=Fast", "p.Main"}));
  EXPECT_TRUE(options.jvmArgsContain("mode=fast"));
  EXPECT_TRUE(options.jvmArgsContain("p.main"));
  EXPECT_FALSE(options.jvmArgsContain("tools"));
  EXPECT_TRUE(options.jvmArgsStartWith("-Dapp."));
  EXPECT_FALSE(options.jvmArgsStartWith("-dapp."));
  EXPECT_FALSE(options.jvmArgsStartWith("/opt"));
  EXPECT_FALSE(Options(argumentsOf({})).jvmArgsContain(""));
}

namespace {

struct ExpectedLog {
  const char* logDirectory;  // null: not given
  bool unitedLog;
  bool systemTime;
  int32_t fileSizeLimit;
  bool exitOnException;
  bool processList;
};

void expectLogOptions(const LogOptions& actual, const ExpectedLog& expected, const char* options) {
  EXPECT_EQ(actual.logDirectoryGiven, expected.logDirectory != nullptr) << options;
  EXPECT_EQ(text(actual.logDirectory), expected.logDirectory == nullptr ? "" : expected.logDirectory) << options;
  EXPECT_EQ(actual.unitedLog, expected.unitedLog) << options;
  EXPECT_EQ(actual.systemTime, expected.systemTime) << options;
  EXPECT_EQ(actual.fileSizeLimit, expected.fileSizeLimit) << options;
  EXPECT_EQ(actual.exitOnException, expected.exitOnException) << options;
  EXPECT_EQ(actual.processList, expected.processList) << options;
}

}  // namespace

TEST(Options, EarlyPassReadsOnlyTheLogSettings) {
  const struct {
    const char* options;
    ExpectedLog expected;
  } cases[] = {
      {"", {nullptr, false, false, 0, false, false}},
      {",,quiet,,", {nullptr, false, false, 0, false, false}},
      {"logdir=/var/log/ts", {"/var/log/ts", false, false, 0, false, false}},
      {"logdir=/a,logdir=BZPQUOTED2F622C63", {"/b,c", false, false, 0, false, false}},
      {"logdir=", {"", false, false, 0, false, false}},
      {"united_log,log_sys_time", {nullptr, true, true, 0, false, false}},
      {"_exit_on_exception,_ps", {nullptr, false, false, 0, true, true}},
      {"_exit_on_exception=1,_ps=1,_psx", {nullptr, false, false, 0, false, false}},
      {" united_log,Log_sys_time,logdir", {nullptr, false, false, 0, false, false}},
      {"sampling,port=10001,tracing,debug=all,samplng", {nullptr, false, false, 0, false, false}},
      // The size limit: above 10240 only, within 32 bits, and an earlier valid value stays.
      {"log_file_size_limit=10240", {nullptr, false, false, 0, false, false}},
      {"log_file_size_limit=10241", {nullptr, false, false, 10241, false, false}},
      {"log_file_size_limit=2147483647", {nullptr, false, false, INT32_MAX, false, false}},
      {"log_file_size_limit=4294977537", {nullptr, false, false, 0, false, false}},  // 2^32 + 10241
      {"log_file_size_limit=2147483648", {nullptr, false, false, 0, false, false}},
      {"log_file_size_limit=-20000", {nullptr, false, false, 0, false, false}},
      {"log_file_size_limit=20k", {nullptr, false, false, 0, false, false}},
      {"log_file_size_limit=20000,log_file_size_limit=5", {nullptr, false, false, 20000, false, false}},
      {"log_file_size_limit=20000,log_file_size_limit=30000", {nullptr, false, false, 30000, false, false}},
  };
  for (const auto& c : cases) {
    Options options(argumentsOf({"java", "p.Main"}));
    expectLogOptions(options.readLogOptions(c.options), c.expected, c.options);
    EXPECT_EQ(text(options.sessionName), "Main") << c.options;
  }
}

TEST(Options, EarlyPassNamesTheSession) {
  ScopedVariable user("TALLYSCOPE_TEST_USER", "alice");
  ScopedVariable empty("TALLYSCOPE_TEST_EMPTY", "");
  const struct {
    const char* options;
    const char* sessionName;
  } cases[] = {
      {"sessionname=Nightly", "Nightly"},
      {"sessionname={default}-x", "Main-x"},
      {"sessionname={default}{default}", "MainMain"},
      {"sessionname={TALLYSCOPE_TEST_USER}", "alice"},
      {"sessionname=build-{TALLYSCOPE_TEST_USER}-{default}", "build-alice-Main"},
      {"sessionname={TALLYSCOPE_TEST_NEVER_SET}", "Main"},  // empty: the name stays
      {"sessionname=First,sessionname={TALLYSCOPE_TEST_EMPTY}", "First"},
      {"sessionname=", "Main"},
      {"sessionname=a{b", "a{b"},
      {"sessionname={}", "Main"},
      {"sessionname=BZPQUOTED612C62", "a,b"},
      {"sessionname=BZPQUOTED7B64656661756C747D", "Main"},  // "{default}", quoted
      {"sessionname=One,sessionname=Two", "Two"},
      {"sessionName=Other", "Main"},
  };
  for (const auto& c : cases) {
    Options options(argumentsOf({"java", "p.Main"}));
    options.readLogOptions(c.options);
    EXPECT_EQ(text(options.sessionName), c.sessionName) << c.options;
    EXPECT_EQ(text(options.defaultSessionName), "Main") << c.options;
  }
}

TEST(Options, EarlyPassWritesTheConsoleRawForAUtf8Encoding) {
  const struct {
    std::vector<const char*> arguments;
    bool raw;
  } cases[] = {
      {{"java", "-Dfile.encoding=UTF-8", "p.Main"}, true},
      {{"java", "-Dfile.encoding=utf8", "p.Main"}, true},
      {{"java", "-Dfile.encoding=Cp1252", "-Dfile.encoding=UTF-8", "p.Main"}, true},
      {{"java", "-Dfile.encoding=UTF-16", "p.Main"}, false},
      {{"java", "-Dfile.encoding=Cp1258", "p.Main"}, false},
      {{"java", "-dfile.encoding=UTF-8", "p.Main"}, false},
      {{"java", "-Dsun.jnu.encoding=UTF-8", "p.Main"}, false},
      {{"-Dfile.encoding=UTF-8", "p.Main"}, false},
  };
  for (const auto& c : cases) {
    YVector<YString> arguments;
    for (const char* argument : c.arguments) arguments.add(argument);
    Options options(arguments);
    EXPECT_EQ(options.readLogOptions("").rawConsole, c.raw) << c.arguments[1];
  }
}

// The settings reach the real log: its file, its numbering, its header, its line prefix and its silence on
// the console. Afterwards the log goes back to the defaults and to the test home, so the directory can go.
TEST(Options, EarlyPassOpensTheLogUnderItsSettings) {
  TempDir directory;
  setLogQuiet(false);
  Options options(argumentsOf({"java", "p.Main"}));
  const std::string given = "sampling,logdir=" + directory.path() +
                            ",sessionname={default}-early,united_log,log_sys_time,_ps,log_file_size_limit=20000";
  options.parseLogOptions(given.c_str());
  testing::internal::CaptureStderr();
  logMessage("first entry");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "the early pass makes the log quiet";

  const std::string firstFile = directory.pathOf("Main-early.1.log");
  EXPECT_EQ(text(getLogSessionName()), "Main-early");
  EXPECT_EQ(text(getLogFilePath()), firstFile);
  const std::string contents = readAll(firstFile);
  EXPECT_NE(contents.find(": DebugPS: "), std::string::npos) << contents;
  const std::regex unitedTimedLine(
      "\\n" + std::to_string(getOwnPid()) +
      " 21\\.6-257 \\d+\\.\\d{3} \\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}: first entry\\n$");
  EXPECT_TRUE(std::regex_search(contents, unitedTimedLine)) << contents;

  // Past 20000 bytes the united log moves on to the next number.
  const YString filler(std::string(200, 'x').c_str());
  for (int i = 0; i < 1000 && text(getLogFilePath()) == firstFile; i++) logMessage(filler);
  EXPECT_EQ(text(getLogFilePath()), directory.pathOf("Main-early.2.log"));

  setLogDirectory(YString());
  setLogSessionName(YString());
  setUnitedLog(false);
  setLogSystemTime(false);
  setLogProcessList(false);
  setLogFileSizeLimit(1048576);
  requestLogReopen();
  logMessage("test finished");
}
