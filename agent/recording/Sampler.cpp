#include "agent/recording/Sampler.h"

#include "agent/core/AgentFlags.h"
#include "agent/platform/Clocks.h"
#include "agent/platform/SystemInfo.h"
#include "agent/recording/AllStackTraces.h"
#include "agent/recording/JavaStacks.h"
#include "agent/recording/SampleCharging.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/FatalError.h"

namespace {

SyncSampler syncSampler;
AsyncSampler asyncSampler;

constexpr uint64_t cpuProfilingCharges = 0x4;

}  // namespace

YString SyncSampler::getUnsupportedReason(uint64_t, const SamplingSettings&) const { return YString(); }

void SyncSampler::onStop() {}

void SyncSampler::sample(JNIEnv* env) {
  const int64_t wall = getMonotonicTimeNs();
  const AllStackTraces all(env);
  if (all.error == JVMTI_ERROR_WRONG_PHASE) {
    // The JVM is going: the next sample of each thread charges nothing.
    forEachLiveThread([](ThreadInfo* thread) {
      thread->previousSampleCpuTimeNs = 0;
      thread->previousSampleWallTimeNs = 0;
    });
    return;
  }
  checkJvmtiError(all.error, "JavaSampling", 165);
  const bool charge = (profilingFlags.load() & cpuProfilingCharges) != 0;
  for (jint i = 0; i < all.count; i++) {
    const jvmtiStackInfo& stack = all.stacks[i];
    if ((stack.state & JVMTI_THREAD_STATE_ALIVE) == 0) continue;
    // A thread that ended since the stacks were taken has no record to be found any more.
    ThreadInfo* thread = getThreadRecord(env, stack.thread);
    if (thread == nullptr || thread->ownThread) continue;
    const int32_t frame = getFrameOfStackInfo(env, stack);
    thread->lastSampledFrame = frame;
    if (charge) chargeSampleTime(thread, frame, thread->getCpuTimeNs(), wall);
  }
}

YString AsyncSampler::getUnsupportedReason(uint64_t, const SamplingSettings&) const {
  return YString(getPlatformDirName()) + " does not support asynchronous sampling";
}

void AsyncSampler::onStop() {}

void AsyncSampler::sample(JNIEnv*) {}

Sampler* getSampler(uint64_t mode) {
  switch (mode & PROFILING_SAMPLING_MODE_MASK) {
    case PROFILING_SAMPLING_SYNCHRONOUS:
      return &syncSampler;
    case PROFILING_SAMPLING_ASYNC_CPU:
    case PROFILING_SAMPLING_ASYNC_PERIODIC:
      return &asyncSampler;
    default:
      assertionFailed("assertion failed", "JavaSampling", 31);
  }
}
