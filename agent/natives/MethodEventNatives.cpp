// The natives that the tracing bodies of com.brantel.runtime.Callback reach on every instrumented call:
// method entry, exit and line. They decide quickly whether the call counts and, if so, append a record
// to the calling thread's event buffer, which is replayed into the call tree under "ourLock" later.

#include <jvmti.h>

#include <atomic>

#include "agent/core/AgentFlags.h"
#include "agent/core/AgentLifecycle.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/db/Clears.h"
#include "agent/db/DB.h"
#include "agent/natives/InstrumentationNatives.h"
#include "agent/natives/NativeBarrier.h"
#include "agent/platform/Clocks.h"
#include "agent/recording/AppendGuard.h"
#include "agent/recording/MethodFilterFlags.h"
#include "agent/recording/MethodStore.h"
#include "agent/recording/ThreadEvents.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/recording/TracingReplay.h"
#include "agent/recording/YNodeTree.h"
#include "agent/support/FatalError.h"
#include "agent/support/JniUtils.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/NamedLocks.h"

namespace {

// The Java side keeps exclusions in a bit set of this many method ids; higher ids are not reported.
constexpr int32_t excludableMethodIds = 8000000;

// The answers of the entry: no record because tracing is off, and no record for another reason. Any
// other answer is the address of the calling thread's record, which the matching exit compares with its
// own record and never follows.
constexpr jlong tokenRefused = 0;
constexpr jlong tokenNoRecord = 1;

// CPU tracing runs, the JVM lives and is past its start.
bool tracingGateOpen() {
  if ((profilingFlags.load(std::memory_order_relaxed) & PROFILING_CPU_MODE_MASK) != PROFILING_CPU_TRACING) return false;
  return !vmDead.load(std::memory_order_acquire) && phaseUntilLive() == JVMTI_PHASE_LIVE;
}

// The clock of a traced method, the same one the replay charges it by.
int64_t tracingClockNs(int32_t methodFlags) {
  return allMethodsWallTime || (methodFlags & methodWallTime) != 0 ? getTimeNs() : getCurrentThreadCpuTimeNs();
}

// The calling thread's record when it is traced: none for a thread the agent has not seen, nor for the
// agent's own threads.
ThreadInfo* tracedThread(JNIEnv* env) {
  ThreadInfo* thread = getThreadRecord(env, nullptr);
  return thread == nullptr || thread->ownThread ? nullptr : thread;
}

// A new tracing period forgets what the thread knew of its stack; true when the period is new to it.
bool followEpoch(ThreadInfo* thread, int32_t epoch) {
  if (thread->epochSeen == epoch) return false;
  thread->epochSeen = epoch;
  thread->stackSynchronised = false;
  return true;
}

void putWide(uint32_t* words, int64_t value) {
  words[0] = uint32_t(uint64_t(value));
  words[1] = uint32_t(uint64_t(value) >> 32);
}

// Tells the Java side that the adaptive filter excluded the method, so that its adaptive bodies skip it.
void reportExclusion(JNIEnv* env, jclass callback, int32_t methodId) {
  // Method ids stay valid across the redefinitions of the class that switch its bodies.
  static std::atomic<jmethodID> exclude{nullptr};
  jmethodID method = exclude.load(std::memory_order_acquire);
  if (method == nullptr) {
    method = env->GetStaticMethodID(callback, "excludeByAdaptiveTracing", "(I)V");
    if (method == nullptr) {
      env->ExceptionClear();  // NoSuchMethodError: the assertion says it
      assertionFailed("assertion failed: value is NULL", "Instrumentation", 1061);
    }
    exclude.store(method, std::memory_order_release);
  }
  callStaticVoidMethod(env, callback, method, jint(methodId));
  assertJni(env, "Instrumentation", 1064);
}

}  // namespace

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_bzpMethodEntry0(JNIEnv* env, jclass callback,
                                                                                     jint methodId) {
  return runNative(env, __LINE__, [&]() -> jlong {
    if (!tracingGateOpen()) return tokenRefused;
    const int32_t flags = getMethodFlags(methodId);
    if ((flags & methodAdaptiveExcluded) != 0) {
      if (methodId < excludableMethodIds) reportExclusion(env, callback, methodId);
      return tokenNoRecord;
    }
    ThreadInfo* thread = tracedThread(env);
    if (thread == nullptr) return tokenNoRecord;

    const bool withLines = isLineTracingEnabled();
    int32_t line = 0;
    if (withLines) {
      line = thread->pendingLine;
      thread->pendingLine = 0;
    }
    const int32_t epoch = tracingEpoch.load();
    if (followEpoch(thread, epoch)) thread->pendingLine = 0;

    AppendGuard appending("Instrumentation:1119");
    if (thread->stackSynchronised) {
      uint32_t words[6] = {eventMethodEntry, uint32_t(methodId), 0, 0, uint32_t(epoch), uint32_t(line)};
      putWide(words + 2, tracingClockNs(flags));
      thread->appendEvent(words, 6, appending.replayLocks());
    } else {
      // The whole traced stack, this method at its top, with both clocks: the replay opens every call on
      // it by the clock of its frame.
      const int64_t wallNs = getTimeNs();
      const int64_t cpuNs = getCurrentThreadCpuTimeNs();
      const int32_t node = getThreadNodeTree(thread)->captureTracedStack(env, withLines);
      uint32_t words[7] = {eventTracedStack, uint32_t(node), 0, 0, 0, 0, uint32_t(epoch)};
      putWide(words + 2, wallNs);
      putWide(words + 4, cpuNs);
      thread->appendEvent(words, 7, appending.replayLocks());
      thread->stackSynchronised = true;
    }
    return reinterpret_cast<jlong>(thread);
  });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_bzpMethodExit0(JNIEnv* env, jclass,
                                                                                   jint methodId, jlong token) {
  runNative(env, __LINE__, [&] {
    if (!tracingGateOpen()) return;
    ThreadInfo* thread = tracedThread(env);
    if (thread == nullptr) return;
    // A token that is neither an answer without a record nor this thread's record was not given to this
    // thread's entry: stale or forged, its exit is not this thread's to record.
    if (token != tokenRefused && token != tokenNoRecord && token != reinterpret_cast<jlong>(thread)) return;
    thread->pendingLine = 0;
    const int32_t epoch = tracingEpoch.load();
    followEpoch(thread, epoch);

    AppendGuard appending("Instrumentation:1193");
    if (!thread->stackSynchronised) return;
    uint32_t words[5] = {eventMethodExit, uint32_t(methodId), 0, 0, uint32_t(epoch)};
    putWide(words + 2, tracingClockNs(getMethodFlags(methodId)));
    thread->appendEvent(words, 5, appending.replayLocks());
  });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_bzpMethodLine0(JNIEnv* env, jclass, jint line) {
  runNative(env, __LINE__, [&] {
    ThreadInfo* thread = tracedThread(env);
    if (thread != nullptr) thread->pendingLine = line;
  });
}
