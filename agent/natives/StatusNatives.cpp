#include "agent/natives/StatusNatives.h"

#include <jvmti.h>

#include <cstdint>

#include "agent/core/AgentFlags.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/core/Options.h"
#include "agent/core/ThreadCallbacks.h"
#include "agent/natives/NativeBarrier.h"
#include "agent/platform/Clocks.h"
#include "agent/platform/ProcessHandles.h"
#include "agent/platform/SystemInfo.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/JniArrays.h"
#include "agent/support/JniStrings.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Log.h"
#include "agent/support/NamedLocks.h"
#include "agent/support/Stopwatch.h"

namespace {

jvmtiEnv& requireMainJvmti() {
  if (mainJvmti == nullptr) assertionFailed("assertion failed: value is NULL", "CoreNatives", __LINE__);
  return *mainJvmti;
}

// The first loaded class whose JVM signature ("Ljava/lang/Object;") is exactly `signature`, as a local
// reference; null when none is.
jclass findLoadedClassBySignature(JNIEnv* env, const YString& signature) {
  jvmtiEnv& jvmti = requireMainJvmti();
  jint count = 0;
  jclass* classes = nullptr;
  checkJvmtiError(jvmti.GetLoadedClasses(&count, &classes), "CoreNatives", __LINE__);
  // The JVM made a local reference for every loaded class; room for them keeps checked JNI content.
  env->EnsureLocalCapacity(count + 16);
  jclass found = nullptr;
  for (jint i = 0; i < count; i++) {
    if (found == nullptr) {
      char* classSignature = nullptr;
      if (jvmti.GetClassSignature(classes[i], &classSignature, nullptr) == JVMTI_ERROR_NONE) {
        if (signature.equals(classSignature)) found = classes[i];
        jvmtiDeallocate(classSignature);
      }
    }
    if (classes[i] != found) env->DeleteLocalRef(classes[i]);
  }
  if (classes != nullptr) jvmtiDeallocate(classes);
  return found;
}

}  // namespace

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getStatus(JNIEnv* env, jclass) {
  return runNative(env, __LINE__, [] { return jlong(profilingFlags.load()); });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getCapabilities(JNIEnv* env, jclass) {
  return runNative(env, __LINE__, [] { return jlong(agentFlags.load()); });
}

extern "C" JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_getTelemetryPeriodMs(JNIEnv* env, jclass) {
  return runNative(env, __LINE__, [] { return jint(globalOptions().telemetryPeriodMs); });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getTotalExceptionsThrown(JNIEnv* env, jclass) {
  return runNative(env, __LINE__, [] { return jlong(totalExceptionsThrown.load()); });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getUptimeMs(JNIEnv* env, jclass) {
  return runNative(env, __LINE__, [] { return jlong(stopwatchElapsedMs(agentUptimeStopwatch())); });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_correctUptimeMs(JNIEnv* env, jclass,
                                                                                    jlong etalonMs) {
  runNative(env, __LINE__, [&] {
    YCriticalSectionLock held(&ourLock(), "CoreNatives:correctUptimeMs");
    correctUptime(agentUptimeStopwatch(), held, etalonMs);
  });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getTimeNsForTracing(JNIEnv* env, jclass) {
  return runNative(env, __LINE__, [] { return jlong(getTimeNs()); });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getProcessCpuTimeNs(JNIEnv* env, jclass) {
  return runNative(env, __LINE__, [] { return jlong(getProcessCpuTimeNs(nullptr)); });
}

// [user plus kernel, kernel].
extern "C" JNIEXPORT jlongArray JNICALL Java_com_brantel_runtime_Callback_getProcessCpuTimeSplitNs(JNIEnv* env,
                                                                                                   jclass) {
  return runNative(env, __LINE__, [&] {
    YVector<int64_t> times;
    int64_t kernel = -1;
    times.add(getProcessCpuTimeNs(&kernel));
    times.add(kernel);
    return toJavaLongArray(env, times);
  });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getSystemCpuTimeNs(JNIEnv* env, jclass) {
  return runNative(env, __LINE__, [] { return jlong(getSystemCpuTimeNs(nullptr)); });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getProcessMemoryUsage(JNIEnv* env, jclass) {
  return runNative(env, __LINE__, [] { return jlong(getProcessMemoryUsage()); });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getProcessPhysicalMemoryUsage(JNIEnv* env,
                                                                                                   jclass) {
  return runNative(env, __LINE__, [] { return jlong(getProcessPhysicalMemoryUsage()); });
}

// 0 when the handle names no process (any more).
extern "C" JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_getProcessID(JNIEnv* env, jclass, jlong handle) {
  return runNative(env, __LINE__, [&] {
    if (handle == 0) assertionFailed("assertion failed", "CoreNatives", __LINE__);
    return jint(getProcessIdOfHandle(handle));
  });
}

// Errors are not checked: the phase of a JVM that cannot say stays 0.
extern "C" JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_getPhase(JNIEnv* env, jclass) {
  return runNative(env, __LINE__, [] {
    jvmtiPhase phase = jvmtiPhase(0);
    requireMainJvmti().GetPhase(&phase);
    return jint(phase);
  });
}

// The agent's own threads are neither traced nor sampled; a thread without a record is not one of them.
extern "C" JNIEXPORT jboolean JNICALL Java_com_brantel_runtime_Callback_shouldSkipThread(JNIEnv* env, jclass) {
  return runNative(env, __LINE__, [&] {
    requireMainJvmti();
    const ThreadInfo* thread = getThreadRecord(env, nullptr);
    return jboolean(thread != nullptr && thread->ownThread);
  });
}

extern "C" JNIEXPORT jclass JNICALL Java_com_brantel_runtime_Callback_findLoadedClass(JNIEnv* env, jclass,
                                                                                      jstring signature) {
  return runNative(env, __LINE__, [&] { return findLoadedClassBySignature(env, jstringToYString(env, signature)); });
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_brantel_runtime_Callback_forceGarbageCollectionJvmti(JNIEnv* env,
                                                                                                    jclass) {
  return runNative(env, __LINE__, [] {
    if (globalOptions().hasOption("_no_jvmti_gc")) return jboolean(JNI_FALSE);
    checkJvmtiError(requireMainJvmti().ForceGarbageCollection(), "CoreNatives", __LINE__);
    return jboolean(JNI_TRUE);
  });
}

// The Java side announces these; the agent has nothing to do for either.
extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_onLoadNativeLibrary(JNIEnv*, jclass) {}
extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_excludeThreadFromAsyncSampling(JNIEnv*, jclass) {}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_messageToLogFile(JNIEnv* env, jclass,
                                                                                     jstring text) {
  runNative(env, __LINE__, [&] { logMessage(jstringToYString(env, text)); });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_messageToStderr(JNIEnv* env, jclass, jstring text) {
  runNative(env, __LINE__, [&] { writeLogLine(stderr, jstringToYString(env, text)); });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_messageToStdout(JNIEnv* env, jclass, jstring text) {
  runNative(env, __LINE__, [&] { writeLogLine(stdout, jstringToYString(env, text)); });
}

// After an uncaught exception the thread's traced stack is no longer what the agent last saw: its next
// traced entry sends the whole stack again.
extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_onUncaughtException(JNIEnv* env, jclass) {
  runNative(env, __LINE__, [&] {
    if (!cpuTracingRuns()) return;
    ThreadInfo* record = getThreadRecord(env, nullptr);
    if (record == nullptr) return;
    record->pendingLine = 0;
    record->stackSynchronised = false;
  });
}

extern "C" JNIEXPORT jintArray JNICALL Java_com_brantel_runtime_Callback_getFrozenThreadsImpl(JNIEnv* env, jclass,
                                                                                              jlong ms) {
  return runNative(env, __LINE__, [&] {
    YVector<int32_t> frozen;
    {
      YCriticalSectionLock held(&ourLock(), "CoreNatives:getFrozenThreadsImpl");
      // Any long may come from Java: a span beyond the range of the clock saturates.
      int64_t spanNs = 0;
      if (__builtin_mul_overflow(int64_t(ms), int64_t(1000000), &spanNs)) spanNs = ms > 0 ? INT64_MAX : INT64_MIN;
      int64_t before = 0;
      if (__builtin_sub_overflow(stopwatchElapsedNs(agentUptimeStopwatch()), spanNs, &before)) {
        before = spanNs > 0 ? INT64_MIN : INT64_MAX;
      }
      forEachLiveThread([&](ThreadInfo* thread) {
        if (thread->checkpointFrame < 1 || thread->checkpointUptimeNs < 1 || thread->checkpointUptimeNs >= before) {
          return;
        }
        frozen.add(int32_t(thread->sequenceNumber));
        frozen.add(thread->checkpointFrame);
        frozen.add(int32_t(uint64_t(thread->checkpointUptimeNs)));
        frozen.add(int32_t(uint64_t(thread->checkpointUptimeNs) >> 32));
      });
    }
    return toJavaIntArray(env, frozen);
  });
}
