#include "agent/natives/ClearNatives.h"

#include "agent/db/Clears.h"
#include "agent/db/ExceptionClear.h"
#include "agent/db/Generations.h"
#include "agent/natives/NativeBarrier.h"
#include "agent/natives/ProbeNatives.h"
#include "agent/natives/ProfilerMessage.h"
#include "agent/support/JniStrings.h"
#include "agent/support/NamedLocks.h"

namespace {

// Runs the clear under "ourLock", then announces it once the lock is released, also when there was
// nothing to clear.
template <class Clear>
void clearAndReport(JNIEnv* env, int32_t line, const char* message, Clear clear) {
  if (refuseWithoutDatabase(env)) return;
  runNative(env, line, [&] {
    {
      YCriticalSectionLock held(&ourLock(), "CoreNatives:clear");
      clear(held);
    }
    profilerMessage(env, YString(message), YString());
  });
}

}  // namespace

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_clearAllocationData(JNIEnv* env, jclass) {
  clearAndReport(env, __LINE__, "Allocation data cleared",
                 [](const YCriticalSectionLock& held) { clearAllocationData(held); });
}

// The events of probes in mode Auto belong to CPU profiling: they go with its data.
extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_clearCpuData(JNIEnv* env, jclass) {
  clearAndReport(env, __LINE__, "CPU profiling data cleared", [](const YCriticalSectionLock& held) {
    clearCpuProfilingData(held);
    clearAutoProbeEvents();
  });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_clearExceptions(JNIEnv* env, jclass) {
  clearAndReport(env, __LINE__, "Exceptions cleared",
                 [](const YCriticalSectionLock& held) { clearExceptionStatistics(held); });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_clearMonitorData(JNIEnv* env, jclass) {
  clearAndReport(env, __LINE__, "Monitor data cleared",
                 [](const YCriticalSectionLock& held) { resetMonitorData(held); });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_advanceGeneration(JNIEnv* env, jclass,
                                                                                      jstring description) {
  if (refuseWithoutDatabase(env)) return;
  runNative(env, __LINE__, [&] {
    const YString text = jstringToYString(env, description);
    int32_t generation;
    {
      YCriticalSectionLock held(&ourLock(), "CoreNatives:advanceGeneration");
      startGeneration(held, env, text.data);
      generation = getCurrentGeneration();
    }
    YString detail("#");
    detail.appendLong(generation);
    detail.append(": ");
    detail.append(text);
    profilerMessage(env, YString("Generation advanced"), detail);
  });
}
