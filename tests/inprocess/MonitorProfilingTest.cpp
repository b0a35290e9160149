#include <gtest/gtest.h>
#include <jvmti.h>

#include <string>
#include <utility>
#include <vector>

#include "agent/core/AgentFlags.h"
#include "agent/natives/RecordingModeNatives.h"
#include "agent/support/JvmtiUtils.h"
#include "tests/inprocess/JvmDatabaseTest.h"
#include "tests/support/LogCapture.h"

// The start and stop of monitor profiling when the JVM refuses to switch a monitor event: the refusal is
// logged and answered, the events switched before it are switched back, and the mode word tells the truth.

namespace {

using EventCall = std::pair<jvmtiEventMode, jvmtiEvent>;

std::vector<EventCall> eventCalls;
EventCall refusedCall{JVMTI_ENABLE, jvmtiEvent(0)};

jvmtiError JNICALL recordedSetEventNotificationMode(jvmtiEnv*, jvmtiEventMode mode, jvmtiEvent event, jthread, ...) {
  eventCalls.emplace_back(mode, event);
  return EventCall{mode, event} == refusedCall ? JVMTI_ERROR_INTERNAL : JVMTI_ERROR_NONE;
}

// The JVM's main environment with its event switch replaced, for as long as it lives. The environment
// itself stays, so that every other call reaches the JVM as before.
class RefusingEnvironment {
 public:
  explicit RefusingEnvironment(EventCall refused) : real(mainJvmti->functions) {
    functions = *real;
    functions.SetEventNotificationMode = recordedSetEventNotificationMode;
    mainJvmti->functions = &functions;
    eventCalls.clear();
    refusedCall = refused;
  }
  ~RefusingEnvironment() { mainJvmti->functions = real; }
  RefusingEnvironment(const RefusingEnvironment&) = delete;
  RefusingEnvironment& operator=(const RefusingEnvironment&) = delete;

 private:
  const jvmtiInterface_1_* real;
  jvmtiInterface_1_ functions{};
};

class MonitorProfilingControl : public JvmDatabaseTest {
 protected:
  void SetUp() override {
    JvmDatabaseTest::SetUp();
    savedFlags = profilingFlags.load();
    profilingFlags.store(0);
  }
  void TearDown() override {
    profilingFlags.store(savedFlags);
    JvmDatabaseTest::TearDown();
  }

  std::string start() {
    jstring answer = Java_com_brantel_runtime_Callback_startMonitorProfiling(env, nullptr);
    if (answer == nullptr) return "null";
    const char* text = env->GetStringUTFChars(answer, nullptr);
    std::string copy(text);
    env->ReleaseStringUTFChars(answer, text);
    env->DeleteLocalRef(answer);
    return copy;
  }

  bool monitorsOn() const { return (profilingFlags.load() & PROFILING_MONITORS) != 0; }

  uint64_t savedFlags = 0;
};

constexpr jvmtiEvent contendedEnter = JVMTI_EVENT_MONITOR_CONTENDED_ENTER;
constexpr jvmtiEvent contendedEntered = JVMTI_EVENT_MONITOR_CONTENDED_ENTERED;
constexpr jvmtiEvent wait = JVMTI_EVENT_MONITOR_WAIT;
constexpr jvmtiEvent waited = JVMTI_EVENT_MONITOR_WAITED;

TEST_F(MonitorProfilingControl, ARefusedEventIsAnsweredAndTheEventsBeforeItAreSwitchedBack) {
  LogCapture log;
  {
    RefusingEnvironment refusing({JVMTI_ENABLE, wait});
    const std::string reason = "JVMTI error 113:JVMTI_ERROR_INTERNAL enabling event 73";
    EXPECT_EQ("Cannot start monitor profiling: " + reason, start());
    const std::vector<EventCall> expected = {{JVMTI_ENABLE, contendedEnter},  {JVMTI_ENABLE, contendedEntered},
                                             {JVMTI_ENABLE, wait},            {JVMTI_DISABLE, contendedEnter},
                                             {JVMTI_DISABLE, contendedEntered}};
    EXPECT_EQ(expected, eventCalls);
    EXPECT_FALSE(monitorsOn());
    const std::vector<std::string> entries = log.entries();
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ("error: " + reason, entries[0]);
    EXPECT_EQ("Cannot start monitor profiling: " + reason, entries[1]);
  }
  EXPECT_FALSE(env->ExceptionCheck());

  // Not "Already started": the refused start left nothing running, and the next one starts.
  RefusingEnvironment accepting({JVMTI_ENABLE, jvmtiEvent(0)});
  EXPECT_EQ("null", start());
  EXPECT_TRUE(monitorsOn());
  const std::vector<EventCall> enabled = {
      {JVMTI_ENABLE, contendedEnter}, {JVMTI_ENABLE, contendedEntered}, {JVMTI_ENABLE, wait}, {JVMTI_ENABLE, waited}};
  EXPECT_EQ(enabled, eventCalls);
}

TEST_F(MonitorProfilingControl, ARefusedDisableIsLoggedAndTheStopStillStopsTheRecording) {
  RefusingEnvironment refusing({JVMTI_DISABLE, contendedEntered});
  ASSERT_EQ("null", start());
  eventCalls.clear();
  LogCapture log;
  Java_com_brantel_runtime_Callback_stopMonitorProfiling(env, nullptr);
  EXPECT_FALSE(env->ExceptionCheck());
  const std::vector<EventCall> disabled = {{JVMTI_DISABLE, contendedEnter},
                                           {JVMTI_DISABLE, contendedEntered},
                                           {JVMTI_DISABLE, wait},
                                           {JVMTI_DISABLE, waited}};
  EXPECT_EQ(disabled, eventCalls);
  EXPECT_FALSE(monitorsOn());
  const std::vector<std::string> expected = {"error: JVMTI error 113:JVMTI_ERROR_INTERNAL disabling event 76",
                                             "Monitor profiling stopped"};
  EXPECT_EQ(expected, log.entries());
}

}  // namespace
