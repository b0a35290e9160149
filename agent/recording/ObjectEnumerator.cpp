#include "agent/recording/ObjectEnumerator.h"

#include "agent/core/JvmtiEnvironments.h"
#include "agent/db/Clears.h"
#include "agent/db/DB.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/FatalError.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Log.h"
#include "agent/support/Stopwatch.h"

ObjectEnumerator* objectEnumerator = nullptr;

namespace {

uint64_t nowMs() { return uint64_t(stopwatchElapsedMs(agentUptimeStopwatch())); }

int64_t siteKey(uint32_t thread, int32_t site) { return int64_t(uint64_t(thread) << 32 | uint32_t(site)); }

void logWithNumber(const char* text, int64_t number) {
  YString line(text);
  line.appendLong(number);
  logMessage(line);
}

void logJvmtiError(const char* text, jvmtiError error) {
  YString line(text);
  line.append(jvmtiErrorText(mainJvmti, error));
  logMessage(line);
}

// The number again in the environment that reports the object's free.
void watchFree(jobject object, int32_t number) {
  if (numberedObjectJvmti == nullptr) return;
  const jvmtiError error = numberedObjectJvmti->SetTag(object, jlong(number));
  if (error != JVMTI_ERROR_NONE) {
    logJvmtiError("warning: ObjectEnumerator: its free will go unnoticed: SetTag returned ", error);
  }
}

}  // namespace

void createObjectEnumerator() {
  if (objectEnumerator == nullptr) objectEnumerator = new ObjectEnumerator();
}

// Two chunks of records to start with; the ages map for 4096 sites.
ObjectEnumerator::ObjectEnumerator()
    : lock("ObjectEnumeratorLock"), ids(1), records(YIntChunkMap<ObjectRecord>::chunkSize), ages(4096) {}

ObjectRecord* ObjectEnumerator::findRecord(int32_t pureTag) { return records.existing(pureTag); }

void ObjectEnumerator::createObjectAllocator(jobject object, ThreadInfo* thread, int32_t site) {
  const uint64_t now = nowMs();
  int32_t number;
  {
    YCriticalSectionLock held(&lock, "ObjectEnumerator:createObjectAllocator");
    number = ids.allocate();
    ObjectRecord& record = records.create(number);
    record = ObjectRecord{};
    record.allocationTime = now;
    record.thread = thread == nullptr ? 0 : thread->sequenceNumber;
    record.site = site;
    record.inUse = 1;
  }
  const jvmtiError error = mainJvmti->SetTag(object, jlong(number));
  if (error != JVMTI_ERROR_NONE) logJvmtiError("warning: ObjectEnumerator::createObjectAllocator: SetTag returned ", error);
  watchFree(object, number);
}

void ObjectEnumerator::onObjectFree(jlong tag) {
  const int32_t pureTag = pureTagOf(tag);
  if (pureTag < 1) return;
  YCriticalSectionLock held(&lock, "ObjectEnumerator:onObjectFree");
  ObjectRecord* record = findRecord(pureTag);
  if (record == nullptr || record->inUse == 0) {
    // Not a number we handed out, or one already given back: releasing it would hand one number to two
    // live objects.
    logWithNumber("warning: ObjectEnumerator::onObjectFree: unknown pureTag ", pureTag);
    return;
  }
  if (record->allocationTime >= 1) {
    const uint64_t now = nowMs();
    const int64_t age = now > record->allocationTime ? int64_t(now - record->allocationTime) : 0;
    const int64_t key = siteKey(record->thread, record->site);
    ages.put(key, ages.get(key) + age);
  }
  record->inUse = 0;
  ids.release(pureTag);
}

void ObjectEnumerator::setObjectID(jobject object, uint32_t objectMapId) {
  jlong oldTag = 0;
  const jvmtiError getError = mainJvmti->GetTag(object, &oldTag);
  if (getError != JVMTI_ERROR_NONE) {
    logJvmtiError("warning: ObjectEnumerator::setObjectID: GetTag returned ", getError);
    return;
  }
  const int32_t pureTag = pureTagOf(oldTag);
  int32_t number;
  {
    YCriticalSectionLock held(&lock, "ObjectEnumerator:setObjectID");
    if (pureTag > 0) {
      ObjectRecord* record = findRecord(pureTag);
      if (record != nullptr && record->inUse != 0) {
        record->objectMapId = objectMapId;
        return;
      }
      logWithNumber("warning: ObjectEnumerator::setObjectID: !myUsed for pureTag ", pureTag);
    }
    number = ids.allocate();
    ObjectRecord& record = records.create(number);
    record = ObjectRecord{};
    record.objectMapId = objectMapId;
    record.inUse = 1;
  }
  const jlong newTag = jlong((uint64_t(oldTag) & 0xffffffff00000000u) | uint32_t(number));
  const jvmtiError setError = mainJvmti->SetTag(object, newTag);
  if (setError != JVMTI_ERROR_NONE) logJvmtiError("warning: ObjectEnumerator::setObjectID: SetTag returned ", setError);
  watchFree(object, number);
}

void ObjectEnumerator::getRecord(jlong tag, ObjectRecord& out) {
  out = ObjectRecord{};
  const int32_t pureTag = pureTagOf(tag);
  if (pureTag < 1) return;
  YCriticalSectionLock held(&lock, "ObjectEnumerator:getRecord");
  const ObjectRecord* record = findRecord(pureTag);
  if (record != nullptr && record->inUse != 0) out = *record;
}

void ObjectEnumerator::setSnapshotNumber(int32_t pureTag, int32_t number) {
  if (pureTag < 1) return;
  YCriticalSectionLock held(&lock, "ObjectEnumerator:setSnapshotNumber");
  ObjectRecord* record = findRecord(pureTag);
  if (record != nullptr && record->inUse != 0) record->snapshotNumber = number;
}

void ObjectEnumerator::clear() {
  YCriticalSectionLock held(&lock, "ObjectEnumerator:clear");
  for (int32_t number = 1; number < ids.next; number++) {
    ObjectRecord* record = findRecord(number);
    if (record == nullptr || record->inUse == 0) continue;
    record->allocationTime = 0;
    record->thread = 0;
    record->site = 0;
  }
}

void ObjectEnumerator::flushCollectedObjectAgesToDB() {
  if (ages.count == 0) return;
  DB* database = db;
  if (database == nullptr) fatalError("db is NULL", "ObjectEnumerator", 203);
  const YMap<int32_t, ThreadInfo*>& threads = threadRegistry().threadsBySequence;
  for (int32_t slot = 0; slot < ages.capacity; slot++) {
    if (ages.states[slot] != kSlotUsed) continue;
    const uint64_t key = uint64_t(ages.keys[slot]);
    const uint32_t sequenceNumber = uint32_t(key >> 32);
    const int32_t site = int32_t(uint32_t(key));
    ThreadInfo* thread = threads.get(int32_t(sequenceNumber));
    int32_t frame;
    if (site < 0) {
      frame = -site;
      if (thread == nullptr) thread = oldestFinishedThreads;
    } else if (thread != nullptr) {
      frame = thread->getFrameId(site);
    } else {
      YString line("warning: flushCollectedObjectAgesToDB: trn=");
      line.appendLong(sequenceNumber);
      line.append(" node=");
      line.appendLong(site);
      logMessage(line);
      continue;
    }
    if (thread == nullptr) assertionFailed("assertion failed", "ObjectEnumerator", 232);
    const int32_t id = database->getThreadFrameId(thread->threadNumber, frame, true);
    if (id < 0) negativeRowIndex();
    AllocInfoRecord& row = *database->allocInfo.getRow(id, true);
    row.collectedObjectAges += ages.values[slot];
    row.stamp = database->currentStamp;
  }
  ages.init();
}

void ObjectEnumerator::flushAges(ThreadInfo* thread) {
  if (lastAllocationRecordingMode == 0) return;
  const int64_t startMs = stopwatchElapsedMs(agentUptimeStopwatch());
  int32_t inUse = 0;
  int32_t converted = 0;
  {
    YCriticalSectionLock held(&lock, "ObjectEnumerator:flushAges");
    flushCollectedObjectAgesToDB();
    for (int32_t number = 1; number < ids.next; number++) {
      ObjectRecord* record = findRecord(number);
      if (record == nullptr || record->inUse == 0) continue;
      inUse++;
      if (record->thread != thread->sequenceNumber || record->site <= 0) continue;
      record->site = -thread->getFrameId(record->site);
      converted++;
    }
  }
  flushCount++;
  const int64_t elapsedMs = stopwatchElapsedMs(agentUptimeStopwatch()) - startMs;
  if (elapsedMs < 1 && converted == 0) return;
  YString line("f_t_a_d: #");
  line.appendLong(flushCount);
  line.append(" trn=");
  line.appendLong(thread->sequenceNumber);
  line.append(" conv=");
  line.appendLong(converted);
  line.append('/');
  line.appendLong(inUse);
  line.append(" ms=");
  line.appendLong(elapsedMs);
  logMessage(line);
}
