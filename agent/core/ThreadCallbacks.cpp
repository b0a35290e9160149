#include "agent/core/ThreadCallbacks.h"

#include <memory>

#include "agent/core/AgentFlags.h"
#include "agent/core/AgentLifecycle.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/core/Options.h"
#include "agent/db/DB.h"
#include "agent/probes/ClassLoadingProbe.h"
#include "agent/recording/ExceptionRecording.h"
#include "agent/recording/ThreadEnd.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/CallbackBarrier.h"
#include "agent/support/FatalError.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Log.h"
#include "agent/support/NamedLocks.h"

std::atomic<uint64_t> totalExceptionsThrown{0};

namespace {

bool exceptionRecordingRuns() { return (profilingFlags.load() & PROFILING_EXCEPTION_TELEMETRY) != 0; }

// By default a new record is named at its first lookup rather than at ThreadStart, where asking the JVM
// for the thread's name is not safe for every thread.
bool nameThreadsAtLookup() {
  static const bool atLookup = !globalOptions().hasOption("_no_FIX_20160830_1");
  return atLookup;
}

ThreadInfo* storedRecord(jthread thread) {
  void* stored = nullptr;
  if (mainJvmti->GetThreadLocalStorage(thread, &stored) != JVMTI_ERROR_NONE) return nullptr;
  return static_cast<ThreadInfo*>(stored);
}

}  // namespace

void onThreadStart(JNIEnv* env, jthread thread, ThreadHandle handle, int64_t osThreadId) {
  // The record owns the handle; a thread that gets none gives it back.
  std::unique_ptr<ThreadHandle, void (*)(ThreadHandle*)> unclaimed(&handle, [](ThreadHandle* given) {
    if (*given != 0) closeThreadHandle(*given);
  });
  if (thread == nullptr) assertionFailed("assertion failed: value is NULL", "ThreadCallbacks", __LINE__);
  if (vmDead.load()) return;
  YCriticalSectionLock held(&ourLock(), "ThreadCallbacks:1");
  if (ThreadInfo* existing = storedRecord(thread)) {
    YString warning("warning: multiple ThreadStart events: TRN=");
    warning.appendLong(existing->threadNumber);
    warning.append(" name=");
    warning.append(existing->name);
    logMessage(warning);
    return;
  }
  // A thread announced without a handle is reached through its object for the rest of its life.
  jobject threadObject = handle == 0 ? env->NewGlobalRef(thread) : nullptr;
  YString name;
  YString groupName;
  bool daemon = false;
  if (!nameThreadsAtLookup()) readThreadInfo(env, thread, name, groupName, daemon);
  ThreadInfo* record = new ThreadInfo(name, groupName, handle, osThreadId, threadObject, daemon);
  unclaimed.release();
  checkJvmtiError(setThreadRecord(thread, record), "ThreadCallbacks", __LINE__);
  threadRegistry().liveThreads.add(reinterpret_cast<int64_t>(record));
}

void JNICALL threadStartCallback(jvmtiEnv*, JNIEnv* env, jthread thread) {
  runBarriered("ThreadCallbacks", __LINE__, env,
               [&] { onThreadStart(env, thread, getCurrentThreadHandle(), getCurrentThreadId()); });
}

void JNICALL onThreadEnd(jvmtiEnv*, JNIEnv* env, jthread thread) {
  runBarriered("ThreadCallbacks", __LINE__, env, [&] {
    YCriticalSectionLock held(&ourLock(), "ThreadCallbacks:2");
    ThreadInfo* record = storedRecord(thread);
    if (record == nullptr) return;
    if (db == nullptr) fatalError("db is NULL", "ThreadCallbacks", __LINE__);
    if (record->seen.load()) record->updateThreadRecordName(db);
    setThreadRecord(thread, nullptr);
    if (record->threadObject != nullptr) {
      env->DeleteGlobalRef(record->threadObject);
      record->threadObject = nullptr;
    }
    processThreadEnd(record, held);
    delete record;
  });
}

void JNICALL exceptionCallback(jvmtiEnv*, JNIEnv* env, jthread thread, jmethodID, jlocation, jobject exception,
                               jmethodID catchMethod, jlocation) {
  totalExceptionsThrown.fetch_add(1);
  runBarriered("ThreadCallbacks", __LINE__, env, [&] {
    const bool recording = exceptionRecordingRuns();
    const bool tracing = cpuTracingRuns();
    if (!recording && !tracing) return;
    ThreadInfo* record = getThreadRecord(env, thread);
    if (record == nullptr) return;
    // The recorder reads the synchronised flag first: a throw under tracing is charged to the traced frame.
    if (recording) handleExceptionEvent(env, record, exception, catchMethod != nullptr);
    // A thrown exception breaks the thread's traced stack: the next traced entry records it whole.
    if (tracing) {
      record->pendingLine = 0;
      record->stackSynchronised = false;
    }
  });
}

void JNICALL exceptionCatchCallback(jvmtiEnv*, JNIEnv* env, jthread thread, jmethodID, jlocation, jobject exception) {
  runBarriered("ThreadCallbacks", __LINE__, env, [&] {
    if (!exceptionRecordingRuns()) return;
    ThreadInfo* record = getThreadRecord(env, thread);
    if (record != nullptr) handleExceptionCatchEvent(env, record, exception);
  });
}

// A class prepared before the agent is initialised gets no row and no tag, so its unload goes unseen too.
void JNICALL classPrepareCallback(jvmtiEnv*, JNIEnv* env, jthread, jclass klass) {
  runBarriered("ThreadCallbacks", __LINE__, env, [&] {
    if (agentInitialized.load()) recordClassLoadedEvent(env, klass);
  });
}

void JNICALL classLoadCallback(jvmtiEnv*, JNIEnv*, jthread, jclass) {}
