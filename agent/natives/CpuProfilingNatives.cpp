#include "agent/natives/CpuProfilingNatives.h"

#include "agent/core/AgentFlags.h"
#include "agent/db/Clears.h"
#include "agent/db/WriteInProgress.h"
#include "agent/natives/NativeBarrier.h"
#include "agent/natives/ProfilerMessage.h"
#include "agent/natives/RecordingModeNatives.h"
#include "agent/recording/FilterSettings.h"
#include "agent/recording/Sampler.h"
#include "agent/recording/SamplerThread.h"
#include "agent/recording/ThreadEvents.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/FatalError.h"
#include "agent/support/JniStrings.h"
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

// What a start changed under the lock, put back when the start fails on the way: a failed start never
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

}  // namespace

bool isValidCpuProfilingMode(int64_t mode) {
  const uint64_t bits = uint64_t(mode);
  return (bits & ~PROFILING_SAMPLING_MODE_MASK) == PROFILING_CPU_SAMPLING || bits == PROFILING_CPU_TRACING || bits == PROFILING_CALL_COUNTING;
}

YString startCpuProfilingImpl(JNIEnv* env, int64_t mode, const YString* settings, YString* description) {
  if (env == nullptr) assertionFailed("assertion failed: value is NULL", "CoreNatives", __LINE__);
  if (!isValidCpuProfilingMode(mode)) assertionFailed("assertion failed", "CoreNatives", __LINE__);
  YCriticalSectionLock held(&ourLock(), "CoreNatives:452");
  WriteInProgress writing;
  const YString running = alreadyStarted(profilingFlags.load() & PROFILING_CPU_MODE_MASK);
  if (running.length > 0) return running;
  // Tracing and call counting need the instrumentation of methods, which this build does not have.
  if ((uint64_t(mode) & PROFILING_CPU_MODE_MASK) != PROFILING_CPU_SAMPLING) return YString("not available in this build");

  StartRollback rollback;
  const YString refusal = restartSampling(env, uint64_t(mode) & PROFILING_SAMPLING_MODE_MASK, settings, held);
  if (refusal.length > 0) return refusal;
  clearCpuProfilingData(held);
  const YString text = loadFilterSettings(uint64_t(mode), settings);
  if (description != nullptr) *description = text;
  profilingFlags.fetch_or(uint64_t(mode) & ~PROFILING_SAMPLING_MODE_MASK);
  lastCpuProfilingMode = uint64_t(mode);
  tracingEpoch.fetch_add(1);
  rollback.committed = true;
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
    {
      YCriticalSectionLock held(&ourLock(), "CoreNatives:stopCpuProfiling");
      WriteInProgress writing;
      if ((profilingFlags.load() & PROFILING_CPU_SAMPLING) == 0) return;
      cpuProfilingEndNs = stopwatchElapsedNs(agentUptimeStopwatch());
      forEachLiveThread([&](ThreadInfo* thread) {
        processThreadEvents(thread, held);
        thread->resetTracingState();
      });
      kind = profilingFlags.load() & PROFILING_CPU_MODE_MASK;
      profilingFlags.fetch_and(~PROFILING_CPU_MODE_MASK);
      tracingEpoch.fetch_add(1);
      // Allocation recording with sampled stacks keeps the sampler going.
      if (!samplingOn(profilingFlags.load())) stopSampling(held);
    }
    if (report) profilerMessage(env, YString(cpuKindName(kind)) + " stopped", YString());
  });
}
