#include "agent/recording/ThreadRegistry.h"

#include "agent/core/JvmtiEnvironments.h"
#include "agent/recording/ThreadInfo.h"

ThreadRegistry& threadRegistry() {
  // Never destroyed: JVM threads may still end, and agent threads still run, while the process exits.
  static ThreadRegistry* const registry = new ThreadRegistry;
  return *registry;
}

ThreadInfo* getThreadRecord(JNIEnv* env, jthread thread) {
  jvmtiPhase phase = JVMTI_PHASE_LIVE;
  if (mainJvmti->GetPhase(&phase) == JVMTI_ERROR_NONE && phase == JVMTI_PHASE_START) return vmStartThread;
  void* stored = nullptr;
  if (mainJvmti->GetThreadLocalStorage(thread, &stored) != JVMTI_ERROR_NONE || stored == nullptr) return nullptr;
  ThreadInfo* record = static_cast<ThreadInfo*>(stored);
  record->seen.store(true);
  record->refreshName(env, thread, false);
  return record;
}

void resetThreadRegistry() {
  ThreadRegistry& registry = threadRegistry();
  registry.threadSequence = 0;
  registry.threadsBySequence.init();
  registry.liveThreads.init();
  registry.threadIndexPool.reset();
  registry.deadThreads.size = 0;
  registry.deadThreadPurgeFrom = 0;
  registry.threadGcPending = false;
  registry.endedThreadCount = 0;
  registry.threadGcCount = 0;
  registry.deadThreadsAllocCount = 0;
  registry.deadThreadsAllocBytes = 0;
}
