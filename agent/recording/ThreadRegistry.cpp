#include "agent/recording/ThreadRegistry.h"

#include <atomic>

#include "agent/core/AgentLifecycle.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/recording/ThreadInfo.h"

namespace {

// Advanced after every write of a thread-local slot and every reset of the registries. A remembered
// record is handed out only in the generation it was read in, so that one whose slot has been emptied
// or refilled since, and which may have been freed, never is. Starts at 1: a cache never filled
// (generation 0) matches none.
std::atomic<uint64_t> slotGeneration{1};

// The calling thread's record as its slot held it, remembered to spare the JVMTI calls of a lookup on
// the hot paths. The JNIEnv tells apart the Java threads that one OS thread may become in turn.
struct RememberedRecord {
  JNIEnv* env = nullptr;
  ThreadInfo* record = nullptr;
  uint64_t generation = 0;
};
thread_local RememberedRecord remembered;

}  // namespace

ThreadRegistry& threadRegistry() {
  // Never destroyed: JVM threads may still end, and agent threads still run, while the process exits.
  static ThreadRegistry* const registry = new ThreadRegistry;
  return *registry;
}

ThreadInfo* getThreadRecord(JNIEnv* env, jthread thread) {
  // Read before the slot, so that a write of the slot after this read makes what is remembered from it stale.
  const uint64_t generation = slotGeneration.load(std::memory_order_acquire);
  // From VMDeath on, the JVM answers again: no record once it is dead.
  if (thread == nullptr && remembered.generation == generation && remembered.env == env &&
      !vmDead.load(std::memory_order_relaxed)) {
    return remembered.record;
  }
  jvmtiPhase phase = JVMTI_PHASE_LIVE;
  const bool phaseKnown = mainJvmti->GetPhase(&phase) == JVMTI_ERROR_NONE;
  if (phaseKnown && phase == JVMTI_PHASE_START) return vmStartThread;
  void* stored = nullptr;
  if (mainJvmti->GetThreadLocalStorage(thread, &stored) != JVMTI_ERROR_NONE || stored == nullptr) return nullptr;
  ThreadInfo* record = static_cast<ThreadInfo*>(stored);
  record->seen.store(true);
  record->refreshName(env, thread, false);
  // Both are done for good now (a record once seen and named stays so), which a remembered record skips.
  if (thread == nullptr && phaseKnown && phase == JVMTI_PHASE_LIVE) remembered = {env, record, generation};
  return record;
}

jvmtiError setThreadRecord(jthread thread, ThreadInfo* record) {
  const jvmtiError error = mainJvmti->SetThreadLocalStorage(thread, record);
  slotGeneration.fetch_add(1, std::memory_order_release);
  return error;
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
  slotGeneration.fetch_add(1, std::memory_order_release);
}
