#pragma once

#include <cstdint>

#include "agent/db/IdAllocator.h"
#include "agent/support/YMap.h"
#include "agent/support/YSet.h"
#include "agent/support/YVector.h"

class ThreadInfo;

// The registries of thread records, guarded by "ourLock".
struct ThreadRegistry {
  // Pre-incremented for every new record: the first sequence number is 1.
  uint32_t lastSequenceNumber = 0;
  // Live records by sequence number.
  YMap<int32_t, ThreadInfo*> bySequenceNumber{128};
  // Record addresses of the threads that replays, clears and table writers visit.
  YSet<int64_t> liveThreads{256};
  // Thread numbers; released numbers are handed out again.
  IdAllocator threadNumbers{1};

  // Sequence numbers of ended threads, oldest first. An ended thread keeps its thread number (and so its
  // per-frame rows) until a purge takes it off this list.
  YVector<int32_t> deadThreads{100};
  // The first entry of deadThreads a purge may take: entries before it ended before a quiet period.
  int32_t deadThreadPurgeFrom = 0;
  // Some purge has left thread rows without a thread number, which the thread-row collection may delete.
  bool threadGcPending = false;
  uint32_t endedThreadCount = 0;
  uint32_t threadGcCount = 0;
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

// Empties the registries, for a test that makes a fresh database.
void resetThreadRegistry();
