#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

#include "agent/db/IdAllocator.h"
#include "agent/support/YMap.h"
#include "agent/support/YSet.h"
#include "agent/support/YVector.h"

class ThreadInfo;

// The registries of thread records, guarded by "ourLock".
struct ThreadRegistry {
  // Pre-incremented for every new record: the first sequence number is 1.
  uint32_t threadSequence = 0;
  // Live records by sequence number.
  YMap<int32_t, ThreadInfo*> threadsBySequence{128};
  // Record addresses of the threads that replays, clears and table writers visit.
  YSet<int64_t> liveThreads{256};
  // Thread numbers; released numbers are handed out again.
  IdAllocator threadIndexPool{1};

  // Sequence numbers of ended threads, oldest first. An ended thread keeps its thread number (and so its
  // per-frame rows) until a purge takes it off this list.
  YVector<int32_t> deadThreads{100};
  // The first entry of deadThreads a purge may take: entries before it ended before a quiet period.
  int32_t deadThreadPurgeFrom = 0;
  // Some purge has left thread rows without a thread number, which the thread-row collection may delete.
  bool threadGcPending = false;
  uint32_t endedThreadCount = 0;
  uint32_t threadGcCount = 0;
  // What destroyed records had recorded of allocations.
  int64_t deadThreadsAllocCount = 0;
  int64_t deadThreadsAllocBytes = 0;
};

ThreadRegistry& threadRegistry();

// Calls `visit(record)` for every live record, in the set's slot order.
template <class Visit>
void forEachLiveThread(Visit visit) {
  const YSet<int64_t>& live = threadRegistry().liveThreads;
  for (int32_t slot = 0; slot < live.capacity; slot++) {
    if (live.states[slot] == kSlotUsed) visit(reinterpret_cast<ThreadInfo*>(live.keys[slot]));
  }
}

// The agent's record of `thread` (null: the calling thread). While the JVM is in its start phase, the
// "VM Start" record for every thread, untouched. Later, the record in the thread's JVMTI thread-local
// storage, marked as seen and named from the JVM when it has no name yet; null when the slot is empty
// or cannot be read. The calling thread's record is remembered once found, until setThreadRecord or
// resetThreadRegistry runs on any thread, so that later lookups of it make no JVMTI call.
ThreadInfo* getThreadRecord(JNIEnv* env, jthread thread);

// Stores `record` (null: none) in the thread-local slot of `thread` (null: the calling thread) and
// makes every remembered record be looked up again. Every write of a slot goes through here.
jvmtiError setThreadRecord(jthread thread, ThreadInfo* record);

// Empties the registries, for a test that makes a fresh database; remembered records are forgotten.
void resetThreadRegistry();
