#pragma once

#include <cstdint>

#include "agent/db/YIntChunkMap.h"
#include "agent/support/YVector.h"

class DB;

// Finds the "thread_frame" row of a (thread number, frame id) pair, which is also the row of the pair's
// "cpu_profiling" and "alloc_info" rows: one chunk map of row ids per thread number, indexed by frame id.
// Guarded by "ourLock".
class ThreadFrameIndex {
 public:
  explicit ThreadFrameIndex(DB& database) : database(database) {}
  ~ThreadFrameIndex() { clear(); }
  ThreadFrameIndex(const ThreadFrameIndex&) = delete;
  ThreadFrameIndex& operator=(const ThreadFrameIndex&) = delete;

  // The pair's row id; with `create` a missing pair gets a new "thread_frame" row, without it -1. A
  // negative thread number is fatal, and so is a negative frame id with `create`.
  int32_t getThreadFrameId(int32_t threadNumber, int32_t frameId, bool create);
  // Folds the thread's CPU times and allocations into the pairs of the ended-threads entry, deletes the
  // thread's rows at the current stamp, gives their ids back and forgets the thread.
  void removeThreadFrames(int32_t threadNumber);
  // Forgets every thread.
  void clear();
  // Bytes held, for the database statistics.
  uint64_t sizeBytes() const;

 private:
  using FrameMap = YIntChunkMap<int32_t>;

  DB& database;
  YVector<FrameMap*> maps;  // by thread number; null for a thread with no pairs
};
