#include "agent/natives/CpuProfilingNatives.h"

#include "agent/core/AgentFlags.h"
#include "agent/core/AgentLifecycle.h"
#include "agent/db/Clears.h"
#include "agent/db/WriteInProgress.h"
#include "agent/instrumentation/CallbackBodies.h"
#include "agent/instrumentation/Retransformation.h"
#include "agent/natives/AttachRetransformation.h"
#include "agent/natives/NativeBarrier.h"
#include "agent/natives/ProbeNatives.h"
#include "agent/natives/ProfilerMessage.h"
#include "agent/natives/RecordingModeNatives.h"
#include "agent/recording/CountingSupport.h"
#include "agent/recording/FilterSettings.h"
#include "agent/recording/Sampler.h"
#include "agent/recording/SamplerThread.h"
#include "agent/recording/ThreadEvents.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/recording/TracingReplay.h"
#include "agent/support/FatalError.h"
#include "agent/support/JniStrings.h"
#include "agent/support/JniUtils.h"
#include "agent/support/Log.h"
#include "agent/support/NamedLocks.h"
#include "agent/support/Stopwatch.h"

namespace {

const char* cpuKindName(uint64_t kind) {
  if (kind == PROFILING_CPU_TRACING) return "CPU tracing";
  if (kind == PROFILING_CALL_COUNTING) return "Call counting";
  return "CPU sampling";
}

const char* samplingSuffix(uint64_t mode) {
  switch (mode & PROFILING_SAMPLING_MODE_MASK) {
    case PROFILING_SAMPLING_ASYNC_CPU:
      return " (async.)";
    case PROFILING_SAMPLING_ASYNC_PERIODIC:
      return " (async. periodic)";
    default:
      return "";
  }
}

// The refusal of a start while a CPU kind runs; empty when none does.
YString alreadyStarted(uint64_t runningKind) {
  if (runningKind == PROFILING_CPU_SAMPLING) return YString("CPU profiling (sampling) already started");
  if (runningKind == PROFILING_CPU_TRACING) return YString("CPU profiling (tracing) already started");
  if (runningKind == PROFILING_CALL_COUNTING) return YString("CPU profiling (call counting) already started");
  return YString();
}

// What a start changed under the lock, put back when the start is refused there: a refused start never
// leaves the mode word saying that CPU profiling runs.
class StartRollback {
 public:
  StartRollback() : flags(profilingFlags.load()), lastMode(lastCpuProfilingMode), epoch(tracingEpoch.load()) {}
  ~StartRollback() {
    if (committed) return;
    profilingFlags.store(flags);
    lastCpuProfilingMode = lastMode;
    tracingEpoch.store(epoch);
  }
  StartRollback(const StartRollback&) = delete;
  StartRollback& operator=(const StartRollback&) = delete;

  bool committed = false;

 private:
  const uint64_t flags;
  const uint64_t lastMode;
  const int32_t epoch;
};

// Tracing and call counting: their instrumentation follows the Callback bodies the modes choose.
bool needsCallbackBodies(uint64_t kind) { return kind == PROFILING_CPU_TRACING || kind == PROFILING_CALL_COUNTING; }

// Asks the Java side to make line numbers ready for tracing; what it answers says whether traced calls
// carry lines.
void setupTracing(JNIEnv* env) {
  logMessage("Setting up tracing...");
  if (coreClass == nullptr) assertionFailed("assertion failed: value is NULL", "CoreNatives", __LINE__);
  const jmethodID setup = env->GetStaticMethodID(coreClass, "setupTracing", "()Z");
  assertJni(env, "CoreNatives", __LINE__);
  if (setup == nullptr) assertionFailed("assertion failed", "CoreNatives", __LINE__);
  const bool available = env->CallStaticBooleanMethod(coreClass, setup) == JNI_TRUE;
  assertJni(env, "CoreNatives", __LINE__);
  tracingLinesAvailable.store(available);
  if (!available) logMessage("warning: lines not available (no Unsafe)");
}

// A start whose Callback bodies the JVM refused, undone once the lock was released: the mode bits it set
// and the last mode go back, and the Callback class and the classes patched for tracing are made again
// for the modes left. The tracing epoch moves on instead of back: threads may have taken the failed
// period's number, and no later period may have it again.
void undoCommittedStart(JNIEnv* env, uint64_t kind, uint64_t setBits, uint64_t previousLastMode) {
  {
    YCriticalSectionLock held(&ourLock(), "CoreNatives:undoStart");
    profilingFlags.fetch_and(~setBits);
    lastCpuProfilingMode = previousLastMode;
    tracingEpoch.fetch_add(1);
  }
  switchCallbackMethods(env);
  if (kind == PROFILING_CPU_TRACING) retransformInstrumentedClasses(env);
}

}  // namespace

bool isValidCpuProfilingMode(int64_t mode) {
  const uint64_t bits = uint64_t(mode);
  return (bits & ~PROFILING_SAMPLING_MODE_MASK) == PROFILING_CPU_SAMPLING || bits == PROFILING_CPU_TRACING || bits == PROFILING_CALL_COUNTING;
}

YString startCpuProfilingImpl(JNIEnv* env, int64_t mode, const YString* settings, YString* description) {
  if (env == nullptr) assertionFailed("assertion failed: value is NULL", "CoreNatives", __LINE__);
  if (!isValidCpuProfilingMode(mode)) assertionFailed("assertion failed", "CoreNatives", __LINE__);
  const uint64_t kind = uint64_t(mode) & PROFILING_CPU_MODE_MASK;
  if (kind == PROFILING_CALL_COUNTING && !ensureUnsafeCreated(env)) {
    return YString("call counting is not available in this JVM");
  }
  uint64_t setBits;
  uint64_t previousLastMode;
  {
    YCriticalSectionLock held(&ourLock(), "CoreNatives:452");
    WriteInProgress writing;
    const YString running = alreadyStarted(profilingFlags.load() & PROFILING_CPU_MODE_MASK);
    if (running.length > 0) return running;

    StartRollback rollback;
    if (kind == PROFILING_CPU_SAMPLING) {
      const YString refusal = restartSampling(env, uint64_t(mode) & PROFILING_SAMPLING_MODE_MASK, settings, held);
      if (refusal.length > 0) return refusal;
    }
    clearCpuProfilingData(held);
    clearAutoProbeEvents();
    const YString text = loadFilterSettings(uint64_t(mode), settings);
    if (description != nullptr) *description = text;
    const uint64_t modeBits = uint64_t(mode) & ~PROFILING_SAMPLING_MODE_MASK;
    setBits = modeBits & ~profilingFlags.fetch_or(modeBits);
    previousLastMode = lastCpuProfilingMode;
    lastCpuProfilingMode = uint64_t(mode);
    tracingEpoch.fetch_add(1);
    rollback.committed = true;
  }

  if (kind == PROFILING_CPU_TRACING) {
    setupTracing(env);
    retransformInstrumentedClasses(env);
  }
  if (needsCallbackBodies(kind)) {
    bool switched;
    {
      YCriticalSectionLock held(&ourLock(), "CoreNatives:switchCallbacks");
      switched = switchCallbackMethods(env);
    }
    if (!switched) {
      undoCommittedStart(env, kind, setBits, previousLastMode);
      return YString("callbacks cannot be defined, likely due to a conflict with another agent");
    }
  }
  // The callbacks of probes in mode Auto run while sampling or tracing does.
  if (isTracingModeOn()) retransformAutoProbeClasses(env);
  if (needsCallbackBodies(kind)) retransformClassesInBatches(env);
  return YString();
}

extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_startCpuProfiling(JNIEnv* env, jclass,
                                                                                         jlong mode,
                                                                                         jstring settings) {
  if (refuseWithoutDatabase(env)) return nullptr;
  return runNative(env, __LINE__, [&]() -> jstring {
    if (!isValidCpuProfilingMode(mode)) {
      YString refusal("Invalid mode: ");
      refusal.appendLong(mode);
      return toJavaString(env, refusal);
    }
    const uint64_t kind = uint64_t(mode) & PROFILING_CPU_MODE_MASK;
    YString name(cpuKindName(kind));
    if (kind != PROFILING_CPU_SAMPLING && (agentFlags.load() & AGENT_TRACING_INSTRUMENTATION) == 0) {
      return toJavaString(env, name + " was disabled with startup option 'disabletracing' or 'disableall'");
    }
    const char* suffix = samplingSuffix(uint64_t(mode));
    const YString settingsText = jstringToYString(env, settings);
    YString description;
    const YString reason = startCpuProfilingImpl(env, mode, settings != nullptr ? &settingsText : nullptr, &description);
    if (reason.length == 0) {
      profilerMessage(env, name + " started" + suffix, description);
      return nullptr;
    }
    if (kind == PROFILING_CALL_COUNTING) name = YString("call counting");
    const YString message = YString("Cannot start ") + name + suffix;
    profilerMessage(env, message, reason);
    return toJavaString(env, message + ": " + reason);
  });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_stopCpuProfiling(JNIEnv* env, jclass,
                                                                                     jboolean report) {
  if (refuseWithoutDatabase(env)) return;
  runNative(env, __LINE__, [&] {
    uint64_t kind;
    bool wasTracing = false;
    {
      YCriticalSectionLock held(&ourLock(), "CoreNatives:stopCpuProfiling");
      WriteInProgress writing;
      if ((profilingFlags.load() & PROFILING_CPU_SAMPLING) == 0) return;
      cpuProfilingEndNs = stopwatchElapsedNs(agentUptimeStopwatch());
      if (env == nullptr) assertionFailed("assertion failed: value is NULL", "CoreNatives", __LINE__);
      // The calls still open get their time up to now, while the mode word still says tracing.
      forEachLiveThread([&](ThreadInfo* thread) {
        processThreadEvents(thread, held);
        chargeOpenTracedFrames(thread, held);
        thread->resetTracingState();
      });
      kind = profilingFlags.load() & PROFILING_CPU_MODE_MASK;
      wasTracing = isTracingModeOn();
      profilingFlags.fetch_and(~PROFILING_CPU_MODE_MASK);
      if (needsCallbackBodies(kind)) switchCallbackMethods(env);
      tracingEpoch.fetch_add(1);
      // Allocation recording with sampled stacks keeps the sampler going.
      if (!samplingOn(profilingFlags.load())) stopSampling(held);
    }
    if (kind == PROFILING_CPU_TRACING) retransformInstrumentedClasses(env);
    if (wasTracing) retransformAutoProbeClasses(env);
    if (report) profilerMessage(env, YString(cpuKindName(kind)) + " stopped", YString());
  });
}
