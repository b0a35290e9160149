#include "agent/recording/ThreadEnd.h"

#include <algorithm>
#include <cstdint>

#include "agent/core/AgentFlags.h"
#include "agent/core/Options.h"
#include "agent/db/DB.h"
#include "agent/recording/ExceptionRecording.h"
#include "agent/recording/MonitorRecording.h"
#include "agent/recording/ObjectEnumerator.h"
#include "agent/recording/ThreadEvents.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/FatalError.h"
#include "agent/support/Log.h"
#include "agent/support/Stopwatch.h"
#include "agent/support/YSet.h"

namespace {

// Ended threads beyond the limit are purged only once this many more have gathered, so that a purge
// does not run at every thread end.
constexpr int64_t purgeSlack = 10;
// Every this many thread ends the string pool is collected, and every thread-gc period ends also the
// thread rows.
constexpr uint32_t stringCollectionPeriod = 128;
constexpr uint32_t threadGcPeriod = 512;

// The value of the row's "thread" cell: one slot of a one-slot column.
int32_t threadCellOf(const EventTable& table, const EventRecord& row) {
  const int32_t column = table.threadColumn;
  if (column < 0 || column >= table.columnTypes.size) assertionFailed("assertion failed", "DB", 1121);
  const int32_t type = table.columnTypes[column];
  if (type == eventColumnLong || type == eventColumnLongValue) assertionFailed("assertion failed", "DB", 1122);
  const int32_t slot = table.columnFirstSlots[column];
  if (slot < 0 || slot >= row.slots.size) assertionFailed("assertion failed", "DB", 1123);
  return row.slots.data[slot];
}

// Every non-zero thread sequence number that a live row of another table holds.
void markReferencedThreads(DB& database, YSet<int32_t>& marked) {
  const auto mark = [&](int32_t sequenceNumber) {
    if (sequenceNumber != 0) marked.add(sequenceNumber);
  };
  database.monitors.forEachRow([&](int64_t, const MonitorRecord& row) {
    if (row.stamp < 1) return;
    mark(row.key.thread);
    mark(row.key.owner);
  });
  database.exceptions.forEachRow([&](int64_t, const ExceptionRecord& row) {
    if (row.stamp > 0) mark(row.key.thread);
  });
  database.telemetry.forEachRow([&](int64_t, const TelemetryRecord& row) {
    for (int32_t i = 0; i < row.items.size; i++) mark(row.items.data[i].sequenceNumber);
  });
  database.events.forEachRow([&](int64_t, const EventRecord& row) {
    if (row.stamp < 1) return;
    const EventTable* table = eventTableById(database, row.tableId);
    if (table != nullptr && table->threadColumn >= 0) mark(threadCellOf(*table, row));
  });
}

// Takes the oldest purgeable ended threads off the list while it is longer than the limit allows: their
// frames' data goes to the ended-threads entry and their thread numbers are freed. Their rows stay, with
// thread number 0, for the thread-row collection.
void purgeDeadThreads(ThreadRegistry& registry) {
  const int64_t limit = globalOptions().deadThreadLimit;
  YVector<int32_t>& dead = registry.deadThreads;
  if (dead.size <= limit + purgeSlack) return;

  YSet<int32_t> purged(100);
  for (int64_t i = registry.deadThreadPurgeFrom; i < dead.size - limit; i++) purged.add(dead.data[i]);
  if (purged.count == 0) return;

  mergeDeadThreadExceptions(&purged);
  mergeDeadThreadMonitors(&purged);
  DB* database = db;
  if (database == nullptr) fatalError("db is NULL", "ThreadInfo", 397);
  database->threads.forEachRow([&](int64_t, ThreadRecord& row) {
    if (row.stamp < 1 || !purged.contains(row.sequenceNumber)) return;
    if (row.threadNumber == 0) assertionFailed("assertion failed", "ThreadInfo", 411);
    database->threadFrameIndex.removeThreadFrames(row.threadNumber);
    registry.threadIndexPool.release(row.threadNumber);
    row.threadNumber = 0;
    row.stamp = database->currentStamp;
  });
  dead.removeRange(registry.deadThreadPurgeFrom, registry.deadThreadPurgeFrom + purged.count);
  registry.threadGcPending = true;
}

}  // namespace

void processThreadEnd(ThreadInfo* record, const YCriticalSectionLock& held) {
  DB* database = db;
  if (database == nullptr) fatalError("db is NULL", "ThreadInfo", 349);
  processThreadEvents(record, held);
  // While the thread's node tree is still there.
  if (objectEnumerator != nullptr) objectEnumerator->flushAges(record);
  ThreadRecord& row = *database->threads.getRow(record->threadRow, true);
  row.endTime = stopwatchElapsedNs(agentUptimeStopwatch());
  row.stamp = database->currentStamp;

  ThreadRegistry& registry = threadRegistry();
  if (profilingFlags.load() == 0) {
    // Nothing is being recorded: the threads that ended before this quiet period keep their data until
    // recording resumes.
    if (registry.deadThreadPurgeFrom == 0) registry.deadThreadPurgeFrom = registry.deadThreads.size;
  } else {
    registry.deadThreadPurgeFrom = 0;
  }
  registry.deadThreads.add(int32_t(record->sequenceNumber));
  registry.liveThreads.remove(reinterpret_cast<int64_t>(record));
  purgeDeadThreads(registry);

  registry.endedThreadCount++;
  if (registry.endedThreadCount % stringCollectionPeriod != 0) return;
  if (!globalOptions().hasOption("_disable_thread_gc") && registry.threadGcPending &&
      registry.endedThreadCount % threadGcPeriod == 0) {
    collectDeadThreadRecords(held);
  }
  database->stringPool.collect(*database);
}

void collectDeadThreadRecords(const YCriticalSectionLock&) {
  DB* database = db;
  if (database == nullptr) fatalError("db is NULL", "ThreadInfo", 249);
  const int64_t startMs = stopwatchElapsedMs(agentUptimeStopwatch());

  YSet<int32_t> marked(int32_t(std::clamp<int64_t>(database->threads.endIndex(), 1, INT32_MAX)));
  markReferencedThreads(*database, marked);

  int32_t counted = 0;
  int32_t deleted = 0;
  const int32_t stamp = database->currentStamp;
  database->threads.forEachRow([&](int64_t index, ThreadRecord& row) {
    if (row.stamp < 1) return;
    counted++;
    if (row.threadNumber > 0 || marked.contains(row.sequenceNumber)) return;
    row = ThreadRecord{};
    row.stamp = -stamp;
    database->threads.ids.release(int32_t(index));
    deleted++;
  });

  ThreadRegistry& registry = threadRegistry();
  YString line("TRN: gc #");
  line.appendLong(registry.threadGcCount++);
  line.append(' ');
  line.appendLong(counted);
  line.append('-');
  line.appendLong(deleted);
  if (deleted > 0) {
    line.append('=');
    line.appendLong(counted - deleted);
  }
  line.append(" ms=");
  line.appendLong(stopwatchElapsedMs(agentUptimeStopwatch()) - startMs);
  logMessage(line);
}
