#include "agent/db/SnapshotCapture.h"

#include <jvmti.h>

#include "agent/core/AgentFlags.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/core/Options.h"
#include "agent/db/DB.h"
#include "agent/db/SnapshotFile.h"
#include "agent/db/WriteInProgress.h"
#include "agent/heap/SnapshotRoutine.h"
#include "agent/platform/Files.h"
#include "agent/recording/CountingSupport.h"
#include "agent/recording/InstanceCounts.h"
#include "agent/recording/ThreadEvents.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/recording/TracingReplay.h"
#include "agent/support/FatalError.h"
#include "agent/support/JniStrings.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Log.h"
#include "agent/support/NamedLocks.h"
#include "agent/support/YVector.h"

namespace {

// The other Java threads, suspended while the database is written out and resumed in reverse order
// however the capture ends.
class SuspendedThreads {
 public:
  explicit SuspendedThreads(JNIEnv* env) : env(env) {
    if ((agentFlags.load() & AGENT_NO_SUSPEND) != 0) return;
    jint count = 0;
    jthread* threads = nullptr;
    checkJvmtiError(mainJvmti->GetAllThreads(&count, &threads), "Snapshoting", 57);
    const ThreadInfo* caller = getThreadRecord(env, nullptr);
    for (jint i = 0; i < count; i++) {
      if (getThreadRecord(env, threads[i]) != caller && mainJvmti->SuspendThread(threads[i]) == JVMTI_ERROR_NONE) {
        suspended.add(threads[i]);
      } else {
        env->DeleteLocalRef(threads[i]);
      }
    }
    jvmtiDeallocate(threads);
  }

  ~SuspendedThreads() {
    for (int32_t i = suspended.size - 1; i >= 0; i--) {
      mainJvmti->ResumeThread(suspended[i]);
      env->DeleteLocalRef(suspended[i]);
    }
  }

  SuspendedThreads(const SuspendedThreads&) = delete;
  SuspendedThreads& operator=(const SuspendedThreads&) = delete;

 private:
  JNIEnv* const env;
  YVector<jthread> suspended;
};

// Removes a snapshot file that did not come out whole, unless asked to keep it. Only a regular file is
// removed: a path naming a device or a pipe stays what it was.
void deleteBrokenSnapshot(const YString& path, bool regularFile) {
  if (globalOptions().hasOption("_keep_broken")) return;
  if (!regularFile) {
    logMessage(YString("broken snapshot ") + path + " is not a regular file: left alone");
    return;
  }
  logMessage(YString("deleting broken snapshot file ") + path + " - " + (deleteFile(path) ? "OK" : "failed"));
}

// Every snapshot counts the live instances, unless a hidden option spares the snapshots that are not
// memory snapshots the heap pass.
int32_t instanceCountFlags(int64_t flags) {
  static const bool notOnPerformanceSnapshots =
      globalOptions().hasOption("_no_instance_count_on_perf_snapshot_capture");
  return (flags & snapshotMemory) == 0 && notOnPerformanceSnapshots ? 0 : 1 << tableInstanceCount;
}

}  // namespace

YString captureSnapshotToPath(JNIEnv* env, const YString& path, SocketHandle clientSocket, int64_t flags) {
  if (mainJvmti == nullptr) assertionFailed("assertion failed: value is NULL", "Snapshoting", 24);

  // Counted before "ourLock" is taken: the heap pass stops the world for a while.
  InstanceCounts instanceCounts(env, instanceCountFlags(flags));
  YCriticalSectionLock held(&ourLock(), "Snapshoting:31");
  WriteInProgress writing;
  int32_t fd = openFileForWrite(path);
  if (fd < 0) return YString("Cannot open file to write snapshot");
  const bool regularFile = isRegularFile(fd);
  YString result;
  try {
    // Also what keeps a memory snapshot's heap passes on one heap.
    SuspendedThreads suspended(env);
    requireDatabase();
    flushCallCounters(held);
    flushAllocationCounters(held);
    processAllThreadEvents(held);
    // Calls still open appear with their time so far; the rest is charged from now on.
    OpenTracedCallsCharged openCalls(true, held);
    const int32_t handedOver = fd;
    fd = -1;  // the routine closes it
    result = writeSnapshot(held, env, handedOver, clientSocket, flags, path, &instanceCounts);
  } catch (...) {
    if (fd >= 0) closeFile(fd);
    deleteBrokenSnapshot(path, regularFile);
    throw;
  }
  if (result.length > 0) deleteBrokenSnapshot(path, regularFile);
  return result;
}

jstring captureSnapshotToFile(JNIEnv* env, jstring path, int32_t clientSocket, int64_t flags) {
  const YString result = captureSnapshotToPath(env, jstringToYString(env, path), clientSocket, flags);
  return result.length == 0 ? nullptr : toJavaString(env, result);
}
