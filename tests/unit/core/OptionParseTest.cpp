#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "agent/core/AgentFlags.h"
#include "agent/core/AgentPropagation.h"
#include "agent/core/Options.h"
#include "agent/core/StartupProbeModes.h"
#include "agent/platform/Environment.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedVariable.h"
#include "tests/support/TempDir.h"

namespace {

#ifdef _WIN32
const char* const searchVariable = "PATH";
const char* const listSeparator = ";";
#else
const char* const searchVariable = "LD_LIBRARY_PATH";
const char* const listSeparator = ":";
#endif

constexpr uint64_t VALIDATING_FLAGS = 0xC0140;

std::string text(const YString& value) { return std::string(value.data, size_t(value.length)); }

std::string variable(const char* name) { return text(y_getenv(name)); }

YVector<YString> javaArguments() {
  YVector<YString> arguments;
  for (const char* argument : {"/usr/bin/java", "-cp", "app.jar", "com.example.Main"}) arguments.add(argument);
  return arguments;
}

// A store for a plain JVM, outside Kubernetes unless the caller says otherwise.
struct Store {
  ScopedVariable kubernetes{"KUBERNETES_SERVICE_HOST", ""};
  Options options{javaArguments()};
};

std::string parseOf(Options& options, const char* optionString, uint64_t& flags, bool apply) {
  YString error;
  options.parse(error, optionString, flags, apply);
  return text(error);
}

// The host's check on a store the caller can look at afterwards.
std::string validate(Options& options, const char* optionString) {
  uint64_t flags = VALIDATING_FLAGS;
  return parseOf(options, optionString, flags, false);
}

std::vector<std::pair<std::string, int32_t>> probeModes() {
  std::vector<std::pair<std::string, int32_t>> result;
  const YStringMap<PROBE_ACTIVITY_MODE>& modes = startupProbeModes();
  for (int32_t i = 0; i < modes.keys.size; i++) result.emplace_back(text(modes.keys[i]), modes.values[i]);
  return result;
}

void clearProbeModes() {
  YStringMap<PROBE_ACTIVITY_MODE>& modes = startupProbeModes();
  while (modes.keys.size > 0) modes.remove(modes.keys[0]);
}

const std::vector<std::pair<std::string, int32_t>> monitoringProbesOn = {
    {"com.brantel.probes.tallyscope.Ant", 1},        {"com.brantel.probes.tallyscope.Gradle", 1},
    {"com.brantel.probes.tallyscope.JUnitTests", 1}, {"com.brantel.probes.tallyscope.Maven", 1},
    {"com.brantel.probes.tallyscope.Processes", 1},  {"com.brantel.probes.tallyscope.ShutdownHook", 1},
    {"com.brantel.probes.tallyscope.TestNg", 1},     {"com.brantel.probes.tallyscope.TestsSupport", 1},
    {"com.brantel.probes.tallyscope.Threads", 1},
};

// The process-wide state the applying pass changes, as at load for the length of a case and put back
// afterwards, so that cases run in one process (the Windows run) do not see each other. Propagation
// prepares afresh for the test binary, which is not the agent library, so it changes nothing unless a
// case names a library path.
class ProcessState : public testing::Test {
 protected:
  void SetUp() override {
    savedAgentFlags = agentFlags.exchange(AGENT_FLAGS_INITIAL);
    savedProfilingFlags = profilingFlags.exchange(PROFILING_FLAGS_INITIAL);
    savedProbes = probeModes();
    clearProbeModes();
    restartAgentPropagationForTest("");
  }
  void TearDown() override {
    agentFlags.store(savedAgentFlags);
    profilingFlags.store(savedProfilingFlags);
    clearProbeModes();
    for (const auto& probe : savedProbes)
      startupProbeModes().set(probe.first.c_str(), PROBE_ACTIVITY_MODE(probe.second));
    restartAgentPropagationForTest("");
  }

  // The applying pass with these agent flags; `agentFlags` is left as the pass leaves the word.
  std::string checkAtStart(Options& options, const char* optionString, uint64_t flags = AGENT_FLAGS_INITIAL) {
    agentFlags.store(flags);
    LogCapture quiet;
    return options.checkAtStart(optionString) ? std::string() : lastRefusal(quiet);
  }

 private:
  static std::string lastRefusal(const LogCapture& log) {
    for (const std::string& entry : log.entries()) {
      if (entry.rfind("Cannot start: invalid option: ", 0) == 0) return entry.substr(30);
    }
    return "(refused without a message)";
  }

  uint64_t savedAgentFlags = 0;
  uint64_t savedProfilingFlags = 0;
  std::vector<std::pair<std::string, int32_t>> savedProbes;
};

using OptionParse = ProcessState;

}  // namespace

TEST(OptionChecks, RefuseEachBadValueWithItsMessage) {
  const struct {
    const char* options;
    const char* error;
  } cases[] = {
      {"probetablelengthlimit=0", "'probetablelengthlimit' value is invalid: should be positive"},
      {"probetablelengthlimit=ten", "'probetablelengthlimit' value is invalid: should be positive"},
      {"probetablelengthlimit=4294967297", "'probetablelengthlimit' value is invalid: should be positive"},
      {"deadthreadlimit=-1", "'deadthreadlimit' value is invalid: should be positive"},
      {"deadthreadlimit=", "'deadthreadlimit' value is invalid: should be positive"},
      {"periodicmem=0", "'periodicmem' value is invalid: should be positive"},
      {"periodicmem=1m", "'periodicmem' value is invalid: should be positive"},
      {"periodicperf=-60", "'periodicperf' value is invalid: should be positive"},
      {"alloceach=-1", "'alloceach' value is invalid: should be an integer number >= 0"},
      {"alloceach=", "'alloceach' value is invalid: should be an integer number >= 0"},
      {"alloceach=-", "'alloceach' value is invalid: should be an integer number >= 0"},
      {"alloceach=1x", "'alloceach' value is invalid: should be an integer number >= 0"},
      {"alloceach=2147483648", "'alloceach' value is invalid: should be an integer number >= 0"},
      {"allocsizelimit= 5", "'allocsizelimit' value is invalid: should be an integer number >= 0"},
      {"allocsizelimit=-4096", "'allocsizelimit' value is invalid: should be an integer number >= 0"},
      {"port=0", "'port' value is invalid"},
      {"listen=", "'listen' value is invalid: should not be empty"},
      {"listen=build_host", "'listen' value is invalid: should be an IP address or a host name"},
      {"listen=build-host:8849",
       "'listen' value is invalid; if you want to specify a port, please use the dedicated option 'port'"},
      {"telemetrylimit=0", "'telemetrylimit' value is invalid: number of hours should be >= 1"},
      {"telemetrylimit=596524", "'telemetrylimit' value is invalid: number of hours should be >= 1"},  // > 2^31 points
      {"telemetry_point_limit=0", "'telemetry_point_limit' value is invalid: number of points should be >= 1"},
      {"telemetry_point_limit=x", "'telemetry_point_limit' value is invalid: number of points should be >= 1"},
      {"telemetryperiod=-1", "'telemetryperiod' value is invalid: should be an integer number >= 0"},
      {"telemetryperiod=", "'telemetryperiod' value is invalid: should be an integer number >= 0"},
      {"telemetryperiod=0.5", "'telemetryperiod' value is invalid: should be an integer number >= 0"},
      {"samplng", "samplng"},  // an unknown token is its own message
      {" sampling", " sampling"},
      {"Sampling", "Sampling"},
      {"tracing=1", "tracing=1"},
      // The first failure is the answer.
      {"port=0,listen=", "'port' value is invalid"},
      {"deadthreadlimit=3,bogus,port=0", "bogus"},
      // The checks of the whole string.
      {"sampling,tracing", "'tracing' cannot be used in combination with 'sampling'"},
      {"tracing,disabletracing", "'tracing' cannot be used in combination with 'disabletracing' or 'disableall'"},
      {"disableall,tracing", "'tracing' cannot be used in combination with 'disabletracing' or 'disableall'"},
      {"telemetry_point_limit=1,telemetryperiod=2000",
       "'telemetryperiod' value is invalid: too large for the telemetry point limit"},
      {"telemetryperiod=3600001", "'telemetryperiod' value is invalid: too large for the telemetry point limit"},
      {"telemetry_point_limit=2147483647,telemetryperiod=999",
       "'telemetryperiod' value is invalid: too small for the telemetry point limit"},
  };
  for (const auto& c : cases) EXPECT_EQ(text(validateStartupOptions(c.options)), c.error) << c.options;
}

TEST(OptionChecks, AllocationOptionsNeedAllocationRecording) {
  const struct {
    const char* options;
    uint64_t flags;
    const char* error;
  } cases[] = {
      {"alloceach=10", AGENT_FLAGS_INITIAL, ""},
      {"disablealloc,alloceach=10", AGENT_FLAGS_INITIAL,
       "'alloc*' options cannot be used in combination with 'disablealloc' or 'disableall'"},
      {"allocsizelimit=0,disableall", AGENT_FLAGS_INITIAL,
       "'alloc*' options cannot be used in combination with 'disablealloc' or 'disableall'"},
      {"disableall,alloceach=10", AGENT_FLAGS_INITIAL | AGENT_HEAP_SAMPLING, ""},  // heap sampling needs none
      {"disablealloc", AGENT_FLAGS_INITIAL, ""},
  };
  for (const auto& c : cases) {
    Store store;
    uint64_t flags = c.flags;
    EXPECT_EQ(parseOf(store.options, c.options, flags, false), c.error) << c.options;
  }
}

TEST(OptionChecks, ValidTokensFillTheStore) {
  const struct {
    const char* options;
    std::function<void(const Options&)> check;
  } cases[] = {
      {"", [](const Options& o) { EXPECT_EQ(o.telemetryPointLimit, 3600); }},
      {",,,", [](const Options& o) { EXPECT_EQ(o.hiddenOptions.size, 0); }},
      {"probetablelengthlimit=5", [](const Options& o) { EXPECT_EQ(o.probeTableLengthLimit, 5); }},
      {"deadthreadlimit=7", [](const Options& o) { EXPECT_EQ(o.deadThreadLimit, 7); }},
      {"exceptions=disable", [](const Options& o) { EXPECT_EQ(o.exceptionTelemetryMode, 2); }},
      {"disableexceptiontelemetry", [](const Options& o) { EXPECT_EQ(o.exceptionTelemetryMode, 2); }},
      {"exceptions=off", [](const Options& o) { EXPECT_EQ(o.exceptionTelemetryMode, 1); }},
      {"exceptions=on", [](const Options& o) { EXPECT_EQ(o.exceptionTelemetryMode, 1); }},
      {"disableoomedumper", [](const Options& o) { EXPECT_TRUE(o.oomeDumperDisabled); }},
      {"disableall",
       [](const Options& o) {
         EXPECT_TRUE(o.disableAll);
         EXPECT_EQ(o.exceptionTelemetryMode, 2);
       }},
      {"monitors", [](const Options& o) { EXPECT_TRUE(o.monitors); }},
      {"sampling",
       [](const Options& o) {
         EXPECT_TRUE(o.sampling);
         EXPECT_EQ(o.samplingModeBits, 0u);
       }},
      {"alloceach=0",
       [](const Options& o) {
         EXPECT_EQ(o.allocEach, 0);
         EXPECT_EQ(o.allocSizeLimit, 4096);
         EXPECT_EQ(o.allocMode, 2u);
       }},
      {"allocsizelimit=2147483647",
       [](const Options& o) {
         EXPECT_EQ(o.allocSizeLimit, 2147483647);
         EXPECT_EQ(o.allocMode, 2u);
       }},
      {"session_id=-9223372036854775808", [](const Options& o) { EXPECT_EQ(o.sessionId, INT64_MIN); }},
      {"session_id=12x", [](const Options& o) { EXPECT_EQ(o.sessionId, 0); }},
      {"session_id=9223372036854775808", [](const Options& o) { EXPECT_EQ(o.sessionId, 0); }},  // never wrapped
      {"skip_advanced_port_check", [](const Options& o) { EXPECT_TRUE(o.skipAdvancedPortCheck); }},
      {"skip_advanced_port_check,do_advanced_port_check",
       [](const Options& o) { EXPECT_FALSE(o.skipAdvancedPortCheck); }},
      {"quiet,united_log,log_sys_time,sessionname=other,log_file_size_limit=1,logdir=/l",
       [](const Options& o) { EXPECT_EQ(text(o.sessionName), "Main"); }},  // the early pass's business
      {"snapshot_name_format=",
       [](const Options& o) { EXPECT_EQ(text(o.snapshotNameFormat), "{sessionname}-{date}"); }},
      {"snapshot_name_format={sessionname}",
       [](const Options& o) { EXPECT_EQ(text(o.snapshotNameFormat), "{sessionname}"); }},
      {"debug=bci,debug=filters",
       [](const Options& o) {
         EXPECT_TRUE(o.isDebug("filters"));
         EXPECT_FALSE(o.isDebug("progress"));
       }},
      {"debug=all", [](const Options& o) { EXPECT_TRUE(o.debugAll); }},
      {"_cf4,_page_size=12",
       [](const Options& o) {
         EXPECT_TRUE(o.hasOption("_cf4"));
         EXPECT_EQ(o.getIntOption("_page_size", 0), 12);
       }},
      {"withdebugger", [](const Options& o) { EXPECT_TRUE(o.withDebugger); }},
      {"telemetrylimit=2", [](const Options& o) { EXPECT_EQ(o.telemetryPointLimit, 7200); }},
      {"telemetrylimit=596523", [](const Options& o) { EXPECT_EQ(o.telemetryPointLimit, 2147482800); }},
      {"telemetry_point_limit=100", [](const Options& o) { EXPECT_EQ(o.telemetryPointLimit, 100); }},
      {"onexit=snapshot", [](const Options& o) { EXPECT_TRUE(o.snapshotOnExit); }},
      {"dir=BZPQUOTED612C62", [](const Options& o) { EXPECT_EQ(text(o.snapshotDir), "a,b"); }},
      {"tmpdir=/t", [](const Options& o) { EXPECT_EQ(text(o.tmpDir), "/t"); }},
      {"sampling_settings_path=s.txt", [](const Options& o) { EXPECT_EQ(text(o.samplingSettingsPath), "s.txt"); }},
      {"tracing_settings_path=t.txt", [](const Options& o) { EXPECT_EQ(text(o.tracingSettingsPath), "t.txt"); }},
      {"triggers=triggers.txt", [](const Options& o) { EXPECT_EQ(text(o.triggersPath), "triggers.txt"); }},
      {"profiler_dir=/p", [](const Options& o) { EXPECT_EQ(text(o.profilerDir), "/p"); }},
      {"ideport=-7", [](const Options& o) { EXPECT_EQ(o.idePort, -7); }},
      {"ideport=port", [](const Options& o) { EXPECT_EQ(o.idePort, 0); }},
      {"telemetryperiod=500",
       [](const Options& o) {
         EXPECT_EQ(o.telemetryPeriodMs, 500);
         EXPECT_EQ(o.telemetryPointLimit, 7200);
       }},
      {"telemetryperiod=1000", [](const Options& o) { EXPECT_EQ(o.telemetryPointLimit, 3600); }},
      {"telemetryperiod=0",
       [](const Options& o) {
         EXPECT_EQ(o.telemetryPeriodMs, 0);
         EXPECT_EQ(o.telemetryPointLimit, 3600);
       }},
      {"telemetrylimit=2,telemetryperiod=500", [](const Options& o) { EXPECT_EQ(o.telemetryPointLimit, 14400); }},
      {"telemetryperiod=250,telemetry_point_limit=10", [](const Options& o) { EXPECT_EQ(o.telemetryPointLimit, 40); }},
      {"periodicmem=60,periodicperf=120",
       [](const Options& o) {
         EXPECT_EQ(text(o.triggerText),
                   "TimerListener delay=60s\n  CaptureMemorySnapshot\n"
                   "TimerListener delay=120s\n  CapturePerformanceSnapshot\n");
       }},
  };
  for (const auto& c : cases) {
    Store store;
    EXPECT_EQ(validate(store.options, c.options), "") << c.options;
    c.check(store.options);
  }
}

TEST(OptionChecks, ValuesStoredBeforeTheirCheckStayAfterAFailure) {
  Store store;
  EXPECT_NE(validate(store.options, "sampling,probetablelengthlimit=-3,monitors"), "");
  EXPECT_TRUE(store.options.sampling);  // tokens before the failure have had their effect
  EXPECT_EQ(store.options.probeTableLengthLimit, -3);
  EXPECT_FALSE(store.options.monitors);  // tokens after it have not
  Store listen;
  EXPECT_NE(validate(listen.options, "listen=a:1"), "");
  EXPECT_EQ(text(listen.options.listenHost), "a:1");
  Store period;
  EXPECT_NE(validate(period.options, "telemetryperiod=-20"), "");
  EXPECT_EQ(period.options.telemetryPeriodMs, -20);
}

TEST(OptionChecks, PortIsOnePortOrAnOrderedRange) {
  const struct {
    const char* value;
    bool valid;
    int32_t first;
    int32_t last;
  } cases[] = {
      {"10001", true, 10001, 10001},
      {"10001-10010", true, 10001, 10010},
      {"1-65535", true, 1, 65535},
      {"8849-8849", true, 8849, 8849},
      {"10010-10001", false, 10010, 10001},
      {"0", false, 0, 0},
      {"65536", false, 65536, 65536},
      {"4294977297", false, 0, 0},  // does not fit, so it is no number at all
      {"-5", false, -5, -5},
      {"5-", false, 0, 0},
      {"", false, 0, 0},
      {"1-2-3", false, 0, 0},
      {"1-70000", false, 1, 70000},
      {"a-b", false, 0, 0},
  };
  for (const auto& c : cases) {
    Store store;
    const std::string options = std::string("port=") + c.value;
    EXPECT_EQ(validate(store.options, options.c_str()), c.valid ? "" : "'port' value is invalid") << c.value;
    EXPECT_EQ(store.options.portFirst, c.first) << c.value;
    EXPECT_EQ(store.options.portLast, c.last) << c.value;
  }
}

TEST(OptionChecks, ListenTakesHostNamesAndAddressesButNoPort) {
  const char* const nameMessage = "'listen' value is invalid: should be an IP address or a host name";
  const char* const portMessage =
      "'listen' value is invalid; if you want to specify a port, please use the dedicated option 'port'";
  const struct {
    const char* value;
    const char* error;
  } cases[] = {
      {"localhost", ""},
      {"10.0.0.1", ""},
      {"fe80::1", ""},
      {"2001:db8:0:0:0:0:0:1", ""},
      {"build-host.example.com", ""},
      {"_host", ""},  // the first character is not checked
      {":8849", ""},  // nor counted among the colons
      {"build-host:8849", portMessage},
      {"10.0.0.1:8849", portMessage},
      {"build_host", nameMessage},
      {"build host", nameMessage},
      {"h\xc3\xb6st", nameMessage},
      {"", "'listen' value is invalid: should not be empty"},
  };
  for (const auto& c : cases) {
    Store store;
    const std::string options = std::string("listen=") + c.value;
    EXPECT_EQ(validate(store.options, options.c_str()), c.error) << c.value;
    EXPECT_EQ(text(store.options.listenHost), c.value);
  }
}

TEST_F(OptionParse, TracingAtStartIsRefusedOnlyBesideSamplingOrItsDisablingTokens) {
  const char* const disabled = "'tracing' cannot be used in combination with 'disabletracing' or 'disableall'";
  Store atStart;
  EXPECT_EQ(checkAtStart(atStart.options, "tracing"), "");
  EXPECT_TRUE(atStart.options.tracing);
  for (const char* options : {"disabletracing,tracing", "tracing,disableall"}) {
    Store store;
    EXPECT_EQ(checkAtStart(store.options, options), disabled) << options;
  }
  const char* const withSampling = "'tracing' cannot be used in combination with 'sampling'";
  Store both;
  EXPECT_EQ(checkAtStart(both.options, "sampling,tracing"), withSampling);
  EXPECT_EQ(text(validateStartupOptions("tracing,sampling")), withSampling);
}

TEST_F(OptionParse, AllocationAtStartIsRefusedOnlyAfterItsDisablingTokens) {
  Store without;
  EXPECT_EQ(checkAtStart(without.options, "alloceach=10"), "");
  EXPECT_EQ(agentFlags.load(), AGENT_FLAGS_INITIAL);  // the word the pass left is stored back
  EXPECT_EQ(without.options.allocEach, 10);
  EXPECT_EQ(without.options.allocMode, 2u);
  Store disabled;
  EXPECT_EQ(checkAtStart(disabled.options, "disablealloc,alloceach=10"),
            "'alloc*' options cannot be used in combination with 'disablealloc' or 'disableall'");
  // Heap sampling records allocations without instrumenting them, whatever the tokens say.
  Store sampled;
  EXPECT_EQ(checkAtStart(sampled.options, "alloceach=10", AGENT_FLAGS_INITIAL | AGENT_HEAP_SAMPLING), "");
  EXPECT_EQ(agentFlags.load(), AGENT_TRACING_INSTRUMENTATION | AGENT_HEAP_SAMPLING);
  Store sampledDisabled;
  EXPECT_EQ(checkAtStart(sampledDisabled.options, "disableall,alloceach=10", AGENT_FLAGS_INITIAL | AGENT_HEAP_SAMPLING),
            "");
  EXPECT_EQ(agentFlags.load(), AGENT_HEAP_SAMPLING);
}

TEST_F(OptionParse, AnEmptyStringStartsWithEveryRecordingModeOffAndTheBuildProbesOn) {
  for (const char* optionString : {"", ",,"}) {
    clearProbeModes();
    profilingFlags.store(PROFILING_FLAGS_INITIAL);
    Store store;
    EXPECT_EQ(checkAtStart(store.options, optionString, AGENT_FLAGS_INITIAL | AGENT_COMPILED_METHOD_EVENTS), "");
    EXPECT_EQ(agentFlags.load(), AGENT_FLAGS_INITIAL);  // instrumentation stays allowed
    EXPECT_EQ(profilingFlags.load(), PROFILING_FLAGS_INITIAL & ~uint64_t(0x600));
    EXPECT_EQ(probeModes(), monitoringProbesOn);
    const Options& o = store.options;
    EXPECT_EQ(text(o.optionString), optionString);
    EXPECT_FALSE(o.disableAll);
    EXPECT_EQ(o.exceptionTelemetryMode, 2);
    EXPECT_TRUE(o.oomeDumperDisabled);
    EXPECT_FALSE(o.snapshotOnExit);
    EXPECT_FALSE(o.monitors);
    EXPECT_FALSE(o.sampling);
  }
}

// Tracing follows calls that end by an exception through the JVM's exception events, so "tracing" asks
// for them, without recording exceptions, unless a token refused them.
TEST_F(OptionParse, TracingAtStartTakesTheExceptionEventsUnlessRefused) {
  const struct {
    const char* options;
    int32_t mode;
  } cases[] = {{"tracing", 1},
               {"exceptions=disable,tracing", 2},
               {"tracing,disableexceptiontelemetry", 2},
               {"sampling", 2}};
  for (const auto& c : cases) {
    profilingFlags.store(PROFILING_FLAGS_INITIAL);
    Store store;
    EXPECT_EQ(checkAtStart(store.options, c.options), "") << c.options;
    EXPECT_EQ(store.options.exceptionTelemetryMode, c.mode) << c.options;
    EXPECT_EQ(profilingFlags.load() & PROFILING_EXCEPTION_TELEMETRY, 0u) << c.options;
  }
}

TEST_F(OptionParse, TokensSwitchFeaturesBackOnAtStart) {
  Store store;
  EXPECT_EQ(checkAtStart(store.options, "sampling,monitors,onexit=snapshot,exceptions=on,exceptions=off,exceptions=on"),
            "");
  EXPECT_TRUE(store.options.sampling);
  EXPECT_TRUE(store.options.monitors);
  EXPECT_TRUE(store.options.snapshotOnExit);
  EXPECT_EQ(store.options.exceptionTelemetryMode, 1);
  EXPECT_EQ(profilingFlags.load(), 0x10000u | PROFILING_EXCEPTION_TELEMETRY);
  EXPECT_TRUE(store.options.oomeDumperDisabled);  // no token clears it again
  EXPECT_FALSE(store.options.disableAll);
  EXPECT_EQ(agentFlags.load(), AGENT_FLAGS_INITIAL);
}

TEST_F(OptionParse, EachDisablingTokenTakesAwayWhatItNamesAtStart) {
  // Bits that no option touches stay; compiled-method events are off after every start.
  const uint64_t untouched = AGENT_NO_SUSPEND;
  const uint64_t before = AGENT_FLAGS_INITIAL | AGENT_COMPILED_METHOD_EVENTS | untouched;
  const struct {
    const char* options;
    uint64_t flags;
    bool disableAll;
  } cases[] = {
      {"", AGENT_FLAGS_INITIAL, false},
      {"disabletracing", AGENT_ALLOCATION_INSTRUMENTATION, false},
      {"disablealloc", AGENT_TRACING_INSTRUMENTATION, false},
      {"disabletracing,disablealloc", 0, false},
      {"disableall", 0, true},
      {"sampling,disableall,monitors", 0, true},
  };
  for (const auto& c : cases) {
    Store store;
    EXPECT_EQ(checkAtStart(store.options, c.options, before), "") << c.options;
    EXPECT_EQ(agentFlags.load(), c.flags | untouched) << c.options;
    EXPECT_EQ(store.options.disableAll, c.disableAll) << c.options;
  }
  // A JVM argument naming the native-library bridge sets `disableAll` alone, and the start keeps it.
  ScopedVariable kubernetes("KUBERNETES_SERVICE_HOST", "");
  YVector<YString> arguments = javaArguments();
  arguments.add("-Djna.library.path=/opt/NativeLibs4Java/lib");
  Options bridged(arguments);
  EXPECT_EQ(checkAtStart(bridged, "", before), "");
  EXPECT_TRUE(bridged.disableAll);
  EXPECT_EQ(agentFlags.load(), AGENT_FLAGS_INITIAL | untouched);
}

TEST_F(OptionParse, ProbeAndTelemetryKeysChangeProcessStateOnlyAtStart) {
  const char* const options =
      "probe_off=.Maven,probe_auto=com.example.Probe,probe_disable=*Test*,probe_on=.Ant,disablestacktelemetry";
  Store validating;
  EXPECT_EQ(validate(validating.options, options), "");
  EXPECT_TRUE(probeModes().empty());
  EXPECT_EQ(profilingFlags.load(), PROFILING_FLAGS_INITIAL);

  Store store;
  profilingFlags.store(PROFILING_FLAGS_INITIAL);
  EXPECT_EQ(checkAtStart(store.options, options), "");
  EXPECT_EQ(probeModes(), (std::vector<std::pair<std::string, int32_t>>{
                              {"com.brantel.probes.tallyscope.Ant", 1},
                              {"com.brantel.probes.tallyscope.Gradle", 1},
                              {"com.brantel.probes.tallyscope.Maven", 0},
                              {"com.brantel.probes.tallyscope.Processes", 1},
                              {"com.brantel.probes.tallyscope.ShutdownHook", 1},
                              {"com.brantel.probes.tallyscope.Threads", 1},
                              {"com.example.Probe", 2},
                          }));

  Store disabled;
  EXPECT_EQ(checkAtStart(disabled.options, "exceptions=on,disableall,probe_on=com.example.Probe"), "");
  EXPECT_EQ(probeModes(), (std::vector<std::pair<std::string, int32_t>>{{"com.example.Probe", 1}}));
  EXPECT_EQ(profilingFlags.load(), 0x10000u);
}

TEST_F(OptionParse, TheHostsCheckLeavesNothingBehind) {
  TempDir dir;
  restartAgentPropagationForTest(dir.pathOf("agent/64/libtallyscope.so").c_str());
  ScopedVariable toolOptions("JAVA_TOOL_OPTIONS", "-Xmx64m");
  ScopedVariable searchPath(searchVariable, "/old/lib");
  ScopedVariable repository("TALLYSCOPE_REPOSITORY", "");
  startupProbeModes().set("com.example.Kept", PROBE_AUTO);
  agentFlags.store(0x40140);
  const auto probesBefore = probeModes();
  LogCapture log;
  for (const char* options :
       {"probe_on=*,probe_disable=*,disableall,exceptions=on,disablestacktelemetry,repository=/r,sampling",
        "exceptions=off,alloceach=1", "exceptions=disable", "", "samplng", "sampling,tracing"}) {
    validateStartupOptions(options);
    EXPECT_EQ(probeModes(), probesBefore) << options;
    EXPECT_EQ(profilingFlags.load(), PROFILING_FLAGS_INITIAL) << options;
    EXPECT_EQ(agentFlags.load(), 0x40140u) << options;
    EXPECT_EQ(variable("JAVA_TOOL_OPTIONS"), "-Xmx64m") << options;
    EXPECT_EQ(variable(searchVariable), "/old/lib") << options;
    EXPECT_EQ(variable("TALLYSCOPE_REPOSITORY"), "") << options;
  }
  EXPECT_TRUE(log.entries().empty());
}

TEST_F(OptionParse, RepositoryIsSetAtStartOnlyWhenUnsetOrEmpty) {
  const struct {
    const char* before;  // null: unset
    const char* options;
    const char* after;
  } cases[] = {
      {nullptr, "repository=/data/repo", "/data/repo"},
      {"", "repository=/data/repo", "/data/repo"},
      {"/mine", "repository=/data/repo", "/mine"},
      {"", "repository=/first,repository=/second", "/first"},
      {"", "repository=,repository=/second", "/second"},
      {"", "repository=/data/repo,samplng", ""},  // a refused start changes no environment
      {"", "repository=/data/repo,sampling,tracing", ""},
  };
  for (const auto& c : cases) {
    ScopedVariable repository("TALLYSCOPE_REPOSITORY", c.before == nullptr ? "" : c.before);
    if (c.before == nullptr) unsetVariable("TALLYSCOPE_REPOSITORY");
    Store store;
    checkAtStart(store.options, c.options);
    EXPECT_EQ(variable("TALLYSCOPE_REPOSITORY"), c.after) << c.options;
  }
  Store validating;
  ScopedVariable repository("TALLYSCOPE_REPOSITORY", "");
  EXPECT_EQ(validate(validating.options, "repository=/data/repo"), "");
  EXPECT_EQ(variable("TALLYSCOPE_REPOSITORY"), "");
}

TEST_F(OptionParse, AnUnknownTokenEndsThePassAfterEarlierTokensTookEffect) {
  Store store;
  agentFlags.store(AGENT_FLAGS_INITIAL);
  LogCapture log;
  EXPECT_FALSE(store.options.checkAtStart("sampling,samplng,monitors"));
  EXPECT_TRUE(store.options.sampling);
  EXPECT_FALSE(store.options.monitors);
  const std::vector<std::string> entries = log.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0], "Cannot start: invalid option: samplng");
  EXPECT_EQ(entries[1],
            "Please see the documentation's chapter on setting up build monitoring for the agent's start-up options");
}

TEST_F(OptionParse, AStartLogsThePortCheckSettings) {
  const struct {
    const char* kubernetes;
    const char* options;
    const char* line;
  } cases[] = {
      {"", "sampling", "skip advanced port check: 0; inside Kubernetes: 0"},
      {"", "skip_advanced_port_check", "skip advanced port check: 1; inside Kubernetes: 0"},
      {"10.96.0.1", "", "skip advanced port check: 1; inside Kubernetes: 1"},
      {"10.96.0.1", "do_advanced_port_check", "skip advanced port check: 0; inside Kubernetes: 1"},
  };
  for (const auto& c : cases) {
    ScopedVariable kubernetes("KUBERNETES_SERVICE_HOST", c.kubernetes);
    Options store(javaArguments());
    restartAgentPropagationForTest("");
    LogCapture log;
    EXPECT_TRUE(store.checkAtStart(c.options));
    // Before it: the warnings of an agent library that is not where a child JVM would look for it.
    ASSERT_FALSE(log.entries().empty());
    EXPECT_EQ(log.entries().back(), c.line) << c.options;
  }
}

// The agent passed on to a real child process: a shell (Linux) or command interpreter (Windows) started
// after the applying pass writes its environment to a file.
namespace {

class ChildProcess : public ProcessState {
 protected:
  void SetUp() override {
    ProcessState::SetUp();
#ifdef _WIN32
    directories = dir.pathOf("agent/32") + ";" + dir.pathOf("agent/64");
    oldSearchPath = originalSearchPath;  // the command interpreter must still be found
    restartAgentPropagationForTest(dir.pathOf("agent/64/tallyscope.dll").c_str());
#else
    directories = dir.pathOf("agent/32") + ":" + dir.pathOf("agent/64");
    oldSearchPath = "/old/lib";
    restartAgentPropagationForTest(dir.pathOf("agent/64/libtallyscope.so").c_str());
#endif
    LogCapture quiet;
    y_setenv(searchVariable, oldSearchPath.c_str());
  }

  // The child's variables by name (upper case on Windows, where names ignore case).
  std::map<std::string, std::string> childEnvironment() {
    const std::string file = dir.pathOf("child-environment.txt");
#ifdef _WIN32
    const std::string command = "set > \"" + file + "\"";
#else
    const std::string command = "env > '" + file + "'";
#endif
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::map<std::string, std::string> result;
    std::ifstream in(std::filesystem::u8path(file));
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const size_t equals = line.find('=');
      if (equals == std::string::npos || equals == 0) continue;
      std::string name = line.substr(0, equals);
#ifdef _WIN32
      for (char& c : name) c = char(std::toupper(static_cast<unsigned char>(c)));
#endif
      result[name] = line.substr(equals + 1);
    }
    EXPECT_FALSE(result.empty());
    return result;
  }

  TempDir dir;
  std::string directories;
  std::string oldSearchPath;
  // Both variables are put back afterwards.
  const std::string originalSearchPath = variable(searchVariable);
  ScopedVariable searchPath{searchVariable, originalSearchPath.c_str()};
  ScopedVariable toolOptions{"JAVA_TOOL_OPTIONS", "-Xmx64m -agentlib:tallyscope=port=1"};
};

}  // namespace

TEST_F(ChildProcess, AValidStartPassesTheAgentOn) {
  Store store;
  EXPECT_EQ(checkAtStart(store.options, "sampling,port=10001"), "");
  std::map<std::string, std::string> child = childEnvironment();
  EXPECT_EQ(child["JAVA_TOOL_OPTIONS"], "\"-agentlib:tallyscope=sampling,port=10001\" -Xmx64m");
  EXPECT_EQ(child[searchVariable], directories + listSeparator + oldSearchPath);
}

TEST_F(ChildProcess, ARefusedStartPassesNothingOn) {
  Store store;
  EXPECT_EQ(checkAtStart(store.options, "sampling,port=10001,tracing"),
            "'tracing' cannot be used in combination with 'sampling'");
  std::map<std::string, std::string> child = childEnvironment();
  EXPECT_EQ(child["JAVA_TOOL_OPTIONS"], "-Xmx64m -agentlib:tallyscope=port=1");
  EXPECT_EQ(child[searchVariable], oldSearchPath);

  unsetVariable("JAVA_TOOL_OPTIONS");
  Store unknown;
  EXPECT_EQ(checkAtStart(unknown.options, "port=10001,samplng"), "samplng");
  child = childEnvironment();
  EXPECT_EQ(child.count("JAVA_TOOL_OPTIONS"), 0u);
  EXPECT_EQ(child[searchVariable], oldSearchPath);
}

TEST_F(ChildProcess, OptionsWithADoubleQuoteAreNotPassedOn) {
  Store store;
  LogCapture log;
  EXPECT_TRUE(store.options.checkAtStart("sessionname=\"quoted\""));
  EXPECT_EQ(log.entries().front(),
            "warning: JAVA_TOOL_OPTIONS will not be set: the agent's options contain a double quote");
  std::map<std::string, std::string> child = childEnvironment();
  EXPECT_EQ(child["JAVA_TOOL_OPTIONS"], "-Xmx64m -agentlib:tallyscope=port=1");
  EXPECT_EQ(child[searchVariable], oldSearchPath);
}
