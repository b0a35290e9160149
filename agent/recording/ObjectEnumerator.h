#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

#include "agent/db/IdAllocator.h"
#include "agent/db/YIntChunkMap.h"
#include "agent/platform/YCriticalSection.h"
#include "agent/support/YMap.h"

class ThreadInfo;

// What the enumerator knows of one tagged object.
struct ObjectRecord {
  uint64_t allocationTime = 0;  // ms since agent start; 0 for an object tagged without an allocation
  uint32_t thread = 0;          // the allocating thread's sequence number
  int32_t site = 0;             // > 0 a node of the thread's node tree, < 0 minus a frame id, 0 none
  int32_t snapshotNumber = 0;   // written by the heap snapshot writer
  uint32_t objectMapId = 0;     // written by setObjectID
  uint8_t inUse = 0;
};

// The object id is the object's 64-bit tag on the main JVMTI environment: the low half (the pure tag)
// numbers its record here, 0 meaning none; the high half is the generation in which the object was
// first seen, which the database and the heap snapshot write and the enumerator always keeps.
inline int32_t pureTagOf(jlong tag) { return int32_t(uint64_t(tag) & 0xffffffffu); }

// Numbers and records the objects the agent needs to know again, and charges the age of each recorded
// object that the JVM frees to its allocation site's "alloc_info" row. Every operation but
// flushCollectedObjectAgesToDB takes `lock` itself; JVMTI tags are read and set outside it.
class ObjectEnumerator {
 public:
  ObjectEnumerator();
  ObjectEnumerator(const ObjectEnumerator&) = delete;
  ObjectEnumerator& operator=(const ObjectEnumerator&) = delete;

  // Records a fresh allocation of `object` by `thread` at `site` and tags the object with its number.
  void createObjectAllocator(jobject object, ThreadInfo* thread, int32_t site);
  // The ObjectFree handler of numberedObjectJvmti, where each numbered object also carries its number:
  // notes the object's age for its site and releases its number. Tags whose low half is not above 0 are
  // not ours.
  void onObjectFree(jlong tag);
  // Stores an object-map id in the object's record, making a record (and re-tagging the object, high
  // half kept) when it has none.
  void setObjectID(jobject object, uint32_t objectMapId);
  // The record of a tag in use, else a zeroed record.
  void getRecord(jlong tag, ObjectRecord& out);
  void setSnapshotNumber(int32_t pureTag, int32_t number);
  // Forgets where and when the recorded objects were allocated; the records stay in use.
  void clear();
  // Adds the collected ages to their sites' "alloc_info" rows and empties them. The caller holds
  // "ourLock" and then `lock`; fatal "db is NULL" without a database.
  void flushCollectedObjectAgesToDB();
  // At the end of `thread`, before its node tree goes: flushes the ages and turns the node sites of
  // the thread's records into frames, so that its objects freed later still find their site. Runs under
  // "ourLock"; does nothing unless allocation recording has ever been started (a last allocation
  // recording mode is set).
  void flushAges(ThreadInfo* thread);

  // The record of a pure tag, null when its chunk was never made. Under `lock`.
  ObjectRecord* findRecord(int32_t pureTag);

  YCriticalSection lock;
  IdAllocator ids;
  YIntChunkMap<ObjectRecord> records;
  // (thread << 32 | site as unsigned) → the summed ages in ms of the objects of that site collected
  // since the last flush.
  YMap<int64_t, int64_t> ages;
  // The flushAges calls so far.
  int64_t flushCount = 0;
};

// The process's one enumerator, made at agent start-up (createObjectEnumerator, which a second call
// leaves alone); null before.
extern ObjectEnumerator* objectEnumerator;
void createObjectEnumerator();
