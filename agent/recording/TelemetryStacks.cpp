#include "agent/recording/TelemetryStacks.h"

#include "agent/db/Records.h"
#include "agent/recording/AllStackTraces.h"
#include "agent/recording/JavaStacks.h"
#include "agent/recording/SampleCharging.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/FatalError.h"

void collectThreadStacks(JNIEnv* env, TelemetryRecord* record) {
  if (mainJvmti == nullptr) assertionFailed("assertion failed: value is NULL", "JavaSampling", 207);
  if (record == nullptr) assertionFailed("assertion failed: value is NULL", "JavaSampling", 208);
  const AllStackTraces all(env);
  if (all.error == JVMTI_ERROR_WRONG_PHASE) return;
  checkJvmtiError(all.error, "JavaSampling", 218);
  for (jint i = 0; i < all.count; i++) {
    const jvmtiStackInfo& stack = all.stacks[i];
    if ((stack.state & JVMTI_THREAD_STATE_ALIVE) == 0) continue;
    ThreadInfo* thread = getThreadRecord(env, stack.thread);
    if (thread == nullptr) continue;
    if (thread->serviceThread) {
      thread->checkpointFrame = -1;
      thread->checkpointCpuTimeNs = -1;
      thread->checkpointUptimeNs = -1;
      continue;
    }
    ThreadState entry{};
    entry.jvmtiState = stack.state;
    recordThreadStackCheckpoint(thread, getFrameOfStackInfo(env, stack), entry);
    record->items.add(entry);
  }
}
