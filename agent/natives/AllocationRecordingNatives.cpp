// Starting and stopping allocation recording in its three kinds, and the allocation settings and totals the Java side
// polls. With heap sampling the JVM's SampledObjectAlloc events bring the allocations; otherwise VMObjectAlloc events
// and the constructors instrumented to call the Callback bodies the allocation mode chooses.

#include "agent/core/AgentFlags.h"
#include "agent/db/Clears.h"
#include "agent/instrumentation/CallbackBodies.h"
#include "agent/natives/AttachRetransformation.h"
#include "agent/natives/NativeBarrier.h"
#include "agent/natives/ProfilerMessage.h"
#include "agent/natives/RecordingModeNatives.h"
#include "agent/natives/StatusNatives.h"
#include "agent/recording/AllocationRecording.h"
#include "agent/recording/AllocationSettings.h"
#include "agent/recording/CountingSupport.h"
#include "agent/recording/SamplerThread.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/FatalError.h"
#include "agent/support/JniStrings.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/NamedLocks.h"
#include "agent/support/Stopwatch.h"

namespace {

constexpr char cannotStart[] = "Cannot start allocation recording";

const char* allocationKindName(uint64_t kind) {
  if (kind == PROFILING_ALLOCATIONS_SAMPLED_STACKS) return "sampled stacks";
  if (kind == PROFILING_ALLOCATION_COUNTING) return "object counting";
  return "exact stacks";
}

bool heapSamplingAvailable() { return (agentFlags.load() & AGENT_HEAP_SAMPLING) != 0; }

jvmtiEnv& requireMainJvmti() {
  if (mainJvmti == nullptr) assertionFailed("assertion failed: value is NULL", "CoreNatives", __LINE__);
  return *mainJvmti;
}

void setAllocationEvent(jvmtiEventMode mode, jvmtiEvent event) {
  checkJvmtiError(requireMainJvmti().SetEventNotificationMode(mode, event, nullptr), "CoreNatives", __LINE__);
}

// The event source of a kind switched on or off. With heap sampling the JVM samples every allocation at the configured
// interval; without it, the JVM's own allocations come as VMObjectAlloc, which object counting has no use for.
void switchAllocationEvents(jvmtiEventMode mode, uint64_t kind) {
  if (heapSamplingAvailable()) {
    if (mode == JVMTI_ENABLE) setHeapSamplingInterval();
    setAllocationEvent(mode, JVMTI_EVENT_SAMPLED_OBJECT_ALLOC);
  } else if (kind != PROFILING_ALLOCATION_COUNTING) {
    setAllocationEvent(mode, JVMTI_EVENT_VM_OBJECT_ALLOC);
  }
}

YString refuse(JNIEnv* env, const YString& reason) {
  profilerMessage(env, YString(cannotStart), reason);
  return YString(cannotStart) + ": " + reason;
}

// A start whose Callback bodies the JVM refused, undone so that the mode word does not say that allocations are
// recorded: the bits, the last mode and the event source go back, the sampler stops when only this start kept it, and
// the Callback class gets the bodies of the modes left.
void undoStart(JNIEnv* env, uint64_t kind, uint64_t previousLastMode) {
  {
    YCriticalSectionLock held(&ourLock(), "CoreNatives:undoAllocationStart");
    profilingFlags.fetch_and(~kind);
    lastAllocationRecordingMode = previousLastMode;
    switchAllocationEvents(JVMTI_DISABLE, kind);
    if (kind == PROFILING_ALLOCATIONS_SAMPLED_STACKS && !samplingOn(profilingFlags.load())) stopSampling(held);
  }
  switchCallbackMethods(env);
}

// The start after its arguments were checked: empty when recording runs, else the text answered.
YString startRecording(JNIEnv* env, int32_t each, int32_t limit, uint64_t kind) {
  if (kind == PROFILING_ALLOCATION_COUNTING && !ensureUnsafeCreated(env)) {
    return refuse(env, YString("object counting is not available in this JVM"));
  }
  uint64_t previousLastMode;
  {
    YCriticalSectionLock held(&ourLock(), "CoreNatives:startAllocationRecording");
    const uint64_t running = profilingFlags.load() & PROFILING_ALLOCATION_MODE_MASK;
    if (running != 0) {
      return refuse(env, YString("already started (") + allocationKindName(running) + ")");
    }
    if (kind == PROFILING_ALLOCATIONS_SAMPLED_STACKS) ensureSamplingForAllocations(env, held);
    clearAllocationData(held);
    if (kind != PROFILING_ALLOCATION_COUNTING) {
      recordEach.store(each);
      sizeLimit.store(limit);
    }
    if (env == nullptr) assertionFailed("assertion failed: value is NULL", "CoreNatives", __LINE__);
    profilingFlags.fetch_or(kind);
    previousLastMode = lastAllocationRecordingMode;
    lastAllocationRecordingMode = kind;
    // The next sample charges from scratch.
    if (kind == PROFILING_ALLOCATIONS_SAMPLED_STACKS) forEachLiveThread([](ThreadInfo* thread) { thread->lastSampledFrame = -1; });
    switchAllocationEvents(JVMTI_ENABLE, kind);
  }
  if (heapSamplingAvailable()) {
    // Once the event is on, and outside the lock, which the collection has no need to hold up.
    sampleFromNextAllocation();
  } else {
    bool switched;
    {
      YCriticalSectionLock held(&ourLock(), "CoreNatives:switchCallbacks");
      switched = switchCallbackMethods(env);
    }
    if (!switched) {
      undoStart(env, kind, previousLastMode);
      return refuse(env, YString("callbacks cannot be defined, likely due to a conflict with another agent"));
    }
    retransformClassesInBatches(env);
  }
  return YString();
}

// The sum over ended threads and every live record, under "ourLock". The records' owners add to their totals without
// the lock, so each is read as one word.
template <class Field>
int64_t allocationTotal(int64_t ended, Field field) {
  int64_t total = ended;
  forEachLiveThread([&](ThreadInfo* thread) { total += __atomic_load_n(field(thread), __ATOMIC_RELAXED); });
  return total;
}

}  // namespace

extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_startAllocationRecording(JNIEnv* env, jclass,
                                                                                                jint each, jint limit,
                                                                                                jlong mode, jstring) {
  if (refuseWithoutDatabase(env)) return nullptr;
  return runNative(env, __LINE__, [&]() -> jstring {
    const uint64_t kind = uint64_t(mode);
    if (kind != PROFILING_ALLOCATIONS_EXACT_STACKS && kind != PROFILING_ALLOCATIONS_SAMPLED_STACKS && kind != PROFILING_ALLOCATION_COUNTING) {
      YString refusal("Bad mode: ");
      refusal.appendLong(mode);
      return toJavaString(env, refusal);
    }
    if ((agentFlags.load() & (AGENT_HEAP_SAMPLING | AGENT_ALLOCATION_INSTRUMENTATION)) == 0) {
      return toJavaString(env,
                          "Object allocation recording disabled with startup option 'disablealloc' or 'disableall'");
    }
    if (kind != PROFILING_ALLOCATION_COUNTING) {
      const char* refused = each < 0    ? "Incorrect value passed for 'recordEach': "
                            : limit < 0 ? "Incorrect value passed for 'sizeLimit': "
                                        : nullptr;
      if (refused != nullptr) {
        YString refusal(refused);
        refusal.appendLong(each < 0 ? each : limit);
        return toJavaString(env, refusal);
      }
    }
    const YString reason = startRecording(env, each, limit, kind);
    if (reason.length > 0) return toJavaString(env, reason);
    YString detail;
    if (kind != PROFILING_ALLOCATION_COUNTING) {
      detail.append("recordEach=");
      detail.appendLong(each);
      detail.append(" sizeLimit=");
      detail.appendLong(limit);
    }
    profilerMessage(env, YString("Allocation recording started (") + allocationKindName(kind) + ")", detail);
    return nullptr;
  });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_stopAllocationRecording(JNIEnv* env, jclass) {
  if (refuseWithoutDatabase(env)) return;
  runNative(env, __LINE__, [&] {
    uint64_t kind;
    {
      YCriticalSectionLock held(&ourLock(), "CoreNatives:stopAllocationRecording");
      if ((profilingFlags.load() & PROFILING_ALLOCATION_MODE_MASK) == 0) return;
      allocationRecordingEndNs = stopwatchElapsedNs(agentUptimeStopwatch());
      if (env == nullptr) assertionFailed("assertion failed: value is NULL", "CoreNatives", __LINE__);
      kind = profilingFlags.load() & PROFILING_ALLOCATION_MODE_MASK;
      profilingFlags.fetch_and(~PROFILING_ALLOCATION_MODE_MASK);
      // CPU sampling keeps the sampler going.
      if (!samplingOn(profilingFlags.load())) stopSampling(held);
      switchAllocationEvents(JVMTI_DISABLE, kind);
      if (!heapSamplingAvailable()) switchCallbackMethods(env);
    }
    profilerMessage(env, YString("Allocation recording stopped (") + allocationKindName(kind) + ")", YString());
  });
}

extern "C" JNIEXPORT jint JNICALL
Java_com_brantel_runtime_Callback_getAllocationRecordingSettingsRecordEach(JNIEnv* env, jclass) {
  return runNative(env, __LINE__, [] { return jint(recordEach.load()); });
}

extern "C" JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_getAllocationRecordingSettingsSizeLimit(JNIEnv* env,
                                                                                                            jclass) {
  return runNative(env, __LINE__, [] { return jint(sizeLimit.load()); });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getNativeAllocationCounterResult(JNIEnv* env,
                                                                                                      jclass) {
  return runNative(env, __LINE__, [] {
    YCriticalSectionLock held(&ourLock(), "CoreNatives:getNativeAllocationCounterResult");
    return jlong(allocationTotal(threadRegistry().deadThreadsAllocCount,
                                 [](ThreadInfo* thread) { return &thread->allocationCount; }));
  });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getTotalCreatedObjectSize(JNIEnv* env, jclass) {
  return runNative(env, __LINE__, [] {
    YCriticalSectionLock held(&ourLock(), "CoreNatives:getTotalCreatedObjectSize");
    return jlong(allocationTotal(threadRegistry().deadThreadsAllocBytes,
                                 [](ThreadInfo* thread) { return &thread->allocatedBytes; }));
  });
}
