#pragma once

#include <jni.h>

#include <cstdint>
#include <memory>

#include "agent/platform/YCriticalSection.h"
#include "agent/support/YMap.h"

// The live objects of one class at a count.
struct InstanceTotals {
  uint64_t totalSize;  // bytes
  uint32_t count;
};

// One count of the live objects of every loaded class, made by one pass over the heap for a table reply or a snapshot,
// and written as the "instance_count" rows. A class is tagged on the instance-counting environment with its row id the
// first time a count sees it, and keeps that id for the life of the process.
class InstanceCounts {
 public:
  // Counts at once when `flags` selects the "instance_count" table (0x40); otherwise holds no count.
  InstanceCounts(JNIEnv* env, int32_t flags);
  ~InstanceCounts();
  InstanceCounts(const InstanceCounts&) = delete;
  InstanceCounts& operator=(const InstanceCounts&) = delete;

  // Tags the classes not yet seen, then counts every object of a tagged class. Nothing is counted without the
  // instance-counting environment. Classes loaded after the tagging wait for the next count.
  void countInstances(JNIEnv* env);

  // Names the rows of the classes this count found without a name, and writes (count, size) into every row where they
  // changed, a class without live objects as (0, 0). Only the rows written are stamped, so that a client asking for
  // changes gets just those. Nothing without a count. The caller holds "ourLock" (`held`).
  void updateInstanceCounts(const YCriticalSectionLock& held);

 private:
  // Tags the loaded classes, under "ourLock": the id allocator and the names belong to the database.
  void tagLoadedClasses(JNIEnv* env);
  // Keeps a copy of the class's name for its row `id`.
  void rememberName(int32_t id, jclass klass);

  std::unique_ptr<YMap<int32_t, InstanceTotals>> counts;  // by class id
  std::unique_ptr<YMap<int32_t, char*>> classNames;       // by class id, owned copies
};
