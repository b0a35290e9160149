#include "agent/natives/ProcessExitNatives.h"

#include "agent/natives/NativeBarrier.h"
#include "agent/platform/ProcessWatch.h"
#include "agent/support/CallbackBarrier.h"
#include "agent/support/JniArrays.h"
#include "agent/support/Log.h"
#include "agent/support/NamedLocks.h"
#include "agent/support/YMap.h"
#include "agent/support/YVector.h"

namespace {

// Guarded by "ProcessListenerLock". Never destroyed: a listener thread may still end while the process
// exits.
struct ProcessListeners {
  YMap<int64_t, int32_t> identifiers{10};  // watch -> the caller's identifier
  YVector<int32_t> exitRecords;            // identifier, exit code; in the order the processes ended
};

ProcessListeners& processListeners() {
  static ProcessListeners* listeners = new ProcessListeners();
  return *listeners;
}

// A process that is not or no longer watched is reported at once with exit code -1, so that the Java
// side never polls for it in vain.
void reportUnwatched(int32_t identifier, const YString& failure) {
  logMessage(failure);
  YCriticalSectionLock lock(&processListenerLock(), "CoreNatives:1751");
  processListeners().exitRecords.add(identifier);
  processListeners().exitRecords.add(-1);
}

// The start routine of a listener thread: waits for the process's end and records it.
void waitForProcessExit(int64_t watch) {
  runBarriered("CoreNatives", __LINE__, nullptr, [watch] {
    int32_t exitCode = -1;
    YString failure;
    const bool ended = waitForProcessEnd(watch, &exitCode, &failure);
    int32_t identifier;
    {
      YCriticalSectionLock lock(&processListenerLock(), "CoreNatives:1751");
      identifier = processListeners().identifiers.remove(watch);
      if (ended) {
        processListeners().exitRecords.add(identifier);
        processListeners().exitRecords.add(exitCode);
      }
    }
    if (!ended) reportUnwatched(identifier, failure);
  });
  closeProcessWatch(watch);
}

}  // namespace

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_registerProcessExitListener(JNIEnv* env, jclass,
                                                                                                jlong handle,
                                                                                                jint identifier) {
  runNative(env, __LINE__, [&] {
    YString failure;
    const int64_t watch = openProcessWatch(handle, &failure);
    if (watch == -1) {
      reportUnwatched(identifier, failure);
      return;
    }
    try {
      YCriticalSectionLock lock(&processListenerLock(), "CoreNatives:1797");
      processListeners().identifiers.put(watch, identifier);
    } catch (...) {
      closeProcessWatch(watch);
      throw;
    }
    if (!startProcessWatchThread(waitForProcessExit, watch)) {
      {
        YCriticalSectionLock lock(&processListenerLock(), "CoreNatives:1797");
        processListeners().identifiers.remove(watch);
      }
      closeProcessWatch(watch);
      YString text("the thread that watches process ");
      text.appendLong(handle);
      text.append(" cannot be started");
      reportUnwatched(identifier, text);
    }
  });
}

extern "C" JNIEXPORT jintArray JNICALL Java_com_brantel_runtime_Callback_getExitedProcesses(JNIEnv* env, jclass) {
  return runNative(env, __LINE__, [env]() -> jintArray {
    YCriticalSectionLock lock(&processListenerLock(), "CoreNatives:1812");
    YVector<int32_t>& records = processListeners().exitRecords;
    if (records.size == 0) return nullptr;
    const jintArray array = toJavaIntArray(env, records);
    if (array == nullptr) {
      // Null, with the records kept for the next poll; the OutOfMemoryError is logged, not thrown.
      clearAndLogPendingException(env);
      return nullptr;
    }
    records.removeRange(0, records.size);
    return array;
  });
}
