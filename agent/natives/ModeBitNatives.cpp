// The recording modes that are one bit of the mode word and nothing else: their start sets it, their
// stop clears it, and each change is announced; a start or stop that finds the bit as it wants it is
// silent.

#include "agent/core/AgentFlags.h"
#include "agent/natives/NativeBarrier.h"
#include "agent/natives/ProfilerMessage.h"
#include "agent/natives/RecordingModeNatives.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/NamedLocks.h"

namespace {

template <class WhileHeld>
void switchModeBit(JNIEnv* env, uint64_t bit, bool set, const char* message, WhileHeld whileHeld) {
  if (refuseWithoutDatabase(env)) return;
  runNative(env, __LINE__, [&] {
    bool changed;
    {
      YCriticalSectionLock held(&ourLock(), "CoreNatives:switchModeBit");
      const uint64_t before = set ? profilingFlags.fetch_or(bit) : profilingFlags.fetch_and(~bit);
      changed = ((before & bit) != 0) != set;
      whileHeld();
    }
    if (changed) profilerMessage(env, YString(message), YString());
  });
}

}  // namespace

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_startExceptionProfiling(JNIEnv* env, jclass) {
  switchModeBit(env, PROFILING_EXCEPTION_TELEMETRY, true, "Exception profiling started", [] {});
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_stopExceptionProfiling(JNIEnv* env, jclass) {
  switchModeBit(env, PROFILING_EXCEPTION_TELEMETRY, false, "Exception profiling stopped", [] {});
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_startStackTelemetry(JNIEnv* env, jclass) {
  switchModeBit(env, PROFILING_STACK_TELEMETRY, true, "Stack telemetry started", [] {});
}

// Every thread's stack checkpoint goes, also when telemetry was off: no thread counts as frozen until
// telemetry samples its stack again.
extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_stopStackTelemetry(JNIEnv* env, jclass) {
  switchModeBit(env, PROFILING_STACK_TELEMETRY, false, "Stack telemetry stopped", [] {
    forEachLiveThread([](ThreadInfo* thread) {
      thread->checkpointFrame = -1;
      thread->checkpointCpuTimeNs = -1;
      thread->checkpointUptimeNs = -1;
    });
  });
}
