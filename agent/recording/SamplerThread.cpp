#include "agent/recording/SamplerThread.h"

#include <atomic>
#include <new>

#include "agent/core/AgentFlags.h"
#include "agent/core/AgentLifecycle.h"
#include "agent/recording/Sampler.h"
#include "agent/recording/SamplingSettings.h"
#include "agent/support/AgentThreadSleep.h"
#include "agent/support/BZPRuntimeException.h"
#include "agent/support/CallbackBarrier.h"
#include "agent/support/FatalError.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Log.h"
#include "agent/support/NamedLocks.h"

namespace {

constexpr int32_t idlePollMs = 100;
constexpr const char* samplerThreadName = "BZPAgent-CpuSampler";

std::atomic<bool> samplerThreadStarted{false};

void startSamplerThread(JNIEnv* env) {
  jthread thread = createJavaThread(env, samplerThreadName);
  checkJvmtiError(mainJvmti->RunAgentThread(thread, samplerThreadMain, nullptr, JVMTI_THREAD_MAX_PRIORITY),
                  "JavaSampling", 99);
  env->DeleteLocalRef(thread);
  samplerThreadStarted.store(true);
}

// One cycle, if sampling is still on under the lock; false when it went off meanwhile. A failure is
// logged and costs this cycle alone.
bool runCycle(JNIEnv* env) {
  YCriticalSectionLock held(&ourLock(), "JavaSampling:133");
  const uint64_t mode = profilingFlags.load();
  if (!samplingOn(mode)) return false;
  try {
    getSampler(mode)->sample(env);
  } catch (const BZPRuntimeException&) {
    onExceptionCaught("JavaSampling", __LINE__);
  } catch (const std::bad_alloc&) {
    onExceptionCaught("JavaSampling", __LINE__);
  }
  if (env->ExceptionCheck()) env->ExceptionClear();
  return true;
}

}  // namespace

bool samplingOn(uint64_t mode) {
  return (mode & PROFILING_CPU_MODE_MASK) == PROFILING_CPU_SAMPLING ||
         (mode & PROFILING_ALLOCATION_MODE_MASK) == PROFILING_ALLOCATIONS_SAMPLED_STACKS;
}

YString startSampling(JNIEnv* env, uint64_t samplingMode, const YString* settings, const YCriticalSectionLock&) {
  if (samplingMode == PROFILING_SAMPLING_SYNCHRONOUS) {
    logMessage("starting sampling: synchronous");
  } else if (samplingMode == PROFILING_SAMPLING_ASYNC_CPU) {
    logMessage("starting sampling: asynchronous, cpu");
  } else if (samplingMode == PROFILING_SAMPLING_ASYNC_PERIODIC) {
    logMessage("starting sampling: asynchronous, periodic");
  } else {
    YString reason("Unknown sampling mode: ");
    reason.appendLong(int64_t(samplingMode));
    return reason;
  }
  // These settings serve the sampler's check alone; the ones the thread paces itself by are loaded with
  // the filter settings.
  SamplingSettings local;
  local.load(getSamplingSettingsText(settings));
  const YString reason = getSampler(samplingMode)->getUnsupportedReason(samplingMode, local);
  if (reason.length > 0) return reason;
  if (!samplerThreadStarted.load()) startSamplerThread(env);
  profilingFlags.store((profilingFlags.load() & ~PROFILING_SAMPLING_MODE_MASK) | samplingMode);
  return YString();
}

void stopSampling(const YCriticalSectionLock&) {
  logMessage("stop sampling");
  const uint64_t mode = profilingFlags.load();
  getSampler(mode)->onStop();
  profilingFlags.fetch_and(~PROFILING_SAMPLING_MODE_MASK);
}

YString restartSampling(JNIEnv* env, uint64_t samplingMode, const YString* settings, const YCriticalSectionLock& held) {
  if (samplingOn(profilingFlags.load())) stopSampling(held);
  const YString result = startSampling(env, samplingMode, settings, held);
  if (result.length == 0) return result;
  if (samplingOn(profilingFlags.load()) && startSampling(env, PROFILING_SAMPLING_SYNCHRONOUS, nullptr, held).length > 0) {
    assertionFailed("assertion failed", "JavaSampling", 64);
  }
  return result;
}

void ensureSamplingForAllocations(JNIEnv* env, const YCriticalSectionLock& held) {
  if (samplingOn(profilingFlags.load())) return;
  if (startSampling(env, PROFILING_SAMPLING_SYNCHRONOUS, nullptr, held).length > 0) {
    assertionFailed("assertion failed", "JavaSampling", 43);
  }
}

void JNICALL samplerThreadMain(jvmtiEnv* jvmti, JNIEnv* env, void*) {
  runBarriered("JavaSampling", __LINE__, env, [&] {
    if (jvmti != mainJvmti) assertionFailed("assertion failed", "JavaSampling", 121);
    for (;;) {
      if (!samplingOn(profilingFlags.load())) {
        if (!agentThreadSleep(idlePollMs)) return;
      } else if (runCycle(env) && !agentThreadSleep(samplingSettings.samplingPeriodMs)) {
        return;
      }
    }
  });
}
