// Starting and stopping monitor profiling: the mode bit, the switches read afresh at each start, and the
// four JVM monitor events. A JVM that refuses one of the events gets a refusal, not a fatal error: the
// events already switched are switched back and the mode word stays as it was.

#include <jvmti.h>

#include "agent/core/AgentFlags.h"
#include "agent/db/Clears.h"
#include "agent/natives/NativeBarrier.h"
#include "agent/natives/ProfilerMessage.h"
#include "agent/natives/RecordingModeNatives.h"
#include "agent/platform/Clocks.h"
#include "agent/probes/EventTableRows.h"
#include "agent/recording/MonitorRecording.h"
#include "agent/support/FatalError.h"
#include "agent/support/JniStrings.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Log.h"
#include "agent/support/NamedLocks.h"

namespace {

constexpr char cannotStart[] = "Cannot start monitor profiling";

// In the order they are switched on and off.
constexpr jvmtiEvent monitorEvents[] = {JVMTI_EVENT_MONITOR_CONTENDED_ENTER, JVMTI_EVENT_MONITOR_CONTENDED_ENTERED,
                                        JVMTI_EVENT_MONITOR_WAIT, JVMTI_EVENT_MONITOR_WAITED};
constexpr int32_t monitorEventCount = sizeof monitorEvents / sizeof monitorEvents[0];

void requireEnvironments(JNIEnv* env) {
  if (mainJvmti == nullptr || env == nullptr) assertionFailed("assertion failed: value is NULL", "CoreNatives", __LINE__);
}

YString eventError(jvmtiError error, const char* action, jvmtiEvent event) {
  YString text("JVMTI error ");
  text.append(jvmtiErrorText(mainJvmti, error));
  text.append(' ');
  text.append(action);
  text.append(" event ");
  text.appendLong(int32_t(event));
  return text;
}

// Switches every monitor event off, logging each refusal and going on with the others.
void disableMonitorEvents(int32_t count) {
  for (int32_t i = 0; i < count; i++) {
    const jvmtiError error = mainJvmti->SetEventNotificationMode(JVMTI_DISABLE, monitorEvents[i], nullptr);
    if (error != JVMTI_ERROR_NONE) logMessage(YString("error: ") + eventError(error, "disabling", monitorEvents[i]));
  }
}

// Switches the monitor events on; at the first refusal the ones before it go off again and the refusal's
// text is the answer. Empty when all are on.
YString enableMonitorEvents() {
  for (int32_t i = 0; i < monitorEventCount; i++) {
    const jvmtiError error = mainJvmti->SetEventNotificationMode(JVMTI_ENABLE, monitorEvents[i], nullptr);
    if (error == JVMTI_ERROR_NONE) continue;
    const YString reason = eventError(error, "enabling", monitorEvents[i]);
    logMessage(YString("error: ") + reason);
    disableMonitorEvents(i);
    return reason;
  }
  return YString();
}

jstring refuse(JNIEnv* env, const YString& reason) {
  profilerMessage(env, YString(cannotStart), reason);
  return toJavaString(env, YString(cannotStart) + ": " + reason);
}

}  // namespace

extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_startMonitorProfiling(JNIEnv* env, jclass) {
  if (refuseWithoutDatabase(env)) return nullptr;
  return runNative(env, __LINE__, [&]() -> jstring {
    YString refusal;
    {
      YCriticalSectionLock held(&ourLock(), "CoreNatives:startMonitorProfiling");
      if ((profilingFlags.load() & PROFILING_MONITORS) != 0) {
        refusal = "Already started";
      } else {
        requireEnvironments(env);
        resetMonitorData(held);
        readMonitorSwitches();
        setMonitorEventRowCreator(createEventTableRow);
        profilingFlags.fetch_or(PROFILING_MONITORS);
        refusal = enableMonitorEvents();
        if (refusal.length > 0) profilingFlags.fetch_and(~PROFILING_MONITORS);
      }
    }
    if (refusal.length > 0) return refuse(env, refusal);
    profilerMessage(env, YString("Monitor profiling started"), YString());
    return nullptr;
  });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_stopMonitorProfiling(JNIEnv* env, jclass) {
  if (refuseWithoutDatabase(env)) return;
  runNative(env, __LINE__, [&] {
    {
      YCriticalSectionLock held(&ourLock(), "CoreNatives:stopMonitorProfiling");
      if ((profilingFlags.load() & PROFILING_MONITORS) == 0) return;
      requireEnvironments(env);
      // An event the JVM keeps sending after a refused disable finds the bit clear and is dropped.
      disableMonitorEvents(monitorEventCount);
      profilingFlags.fetch_and(~PROFILING_MONITORS);
      monitorProfilingEndNs = getMonotonicTimeNs();
    }
    profilerMessage(env, YString("Monitor profiling stopped"), YString());
  });
}
