#include "agent/probes/ClassLoadingProbe.h"

#include <jvmti.h>

#include <atomic>
#include <memory>
#include <new>

#include "agent/core/AgentFlags.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/db/DB.h"
#include "agent/db/EventRows.h"
#include "agent/db/EventTable.h"
#include "agent/db/SnapshotFile.h"
#include "agent/db/StringPool.h"
#include "agent/probes/EventTableRows.h"
#include "agent/probes/ProbeRegistry.h"
#include "agent/recording/ClassSignature.h"
#include "agent/recording/ThreadEvents.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/FatalError.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Log.h"
#include "agent/support/NamedLocks.h"
#include "agent/support/Stopwatch.h"
#include "agent/support/SynchronizedQueue.h"

namespace {

constexpr const char* tableDescription =
    "Class Loading\n5\nuptime_ns\n1\nthread\n0\nframe\n0\nClass\n4\nLoaded or Unloaded\n2\n";
constexpr int32_t classColumn = 3, loadedOrUnloadedColumn = 4;
constexpr int32_t noTable = -1;

// Set once the table exists, under "ourLock"; read without it by the loading and unloading threads.
std::atomic<int32_t> tableId{noTable};
std::atomic<TopProbe*> topProbe{nullptr};
// The string id of "unloaded", interned by the first drain (under "ourLock") and pinned, since rows
// are not the only holder.
std::atomic<int32_t> unloadedStringId{0};

// The names of unloaded classes, owned by the queue until a drain takes them. Never destroyed: the
// JVM may report an unload while the process exits.
SynchronizedQueue<YString*>& unloadQueue() {
  static SynchronizedQueue<YString*>* const queue = new SynchronizedQueue<YString*>("SynchronizedQueueLock");
  return *queue;
}

// On records; Auto records while CPU sampling or tracing runs (call counting does not count).
bool isActive() {
  TopProbe* probe = topProbe.load();
  if (probe == nullptr) return false;
  PROBE_ACTIVITY_MODE mode;
  {
    YCriticalSectionLock held(&probeRegistryLock(), "ClassLoadingProbe:mode");
    mode = probe->mode;
  }
  return mode == PROBE_ON || (mode == PROBE_AUTO && isTracingModeOn());
}

YString* nameOfTag(int64_t tag) { return reinterpret_cast<YString*>(uintptr_t(tag)); }

// Tags the class with a copy of its name for its unload. A copy the tag does not hold is freed.
void tagWithName(jclass klass, const YString& name) {
  if (classLoadingJvmti == nullptr) return;
  auto copy = std::make_unique<YString>(name);
  const jlong tag = jlong(reinterpret_cast<uintptr_t>(copy.get()));
  classLoadingJvmti->SetTag(klass, tag);
  jlong stored = 0;
  classLoadingJvmti->GetTag(klass, &stored);
  if (stored == tag) copy.release();
}

void writeUnloadRow(DB& database, EventTable& table, int32_t id, const YString& name,
                    const YCriticalSectionLock& held) {
  EventRecord* row =
      openEventRow(held, id, nextEventRowKey(), stopwatchElapsedNs(agentUptimeStopwatch()), 0, 0);
  if (row == nullptr) return;
  if (unloadedStringId.load() == 0) unloadedStringId.store(getStringId("unloaded", true));
  setRowValue(table, row, classColumn, getStringId(name.data));
  setRowValue(table, row, loadedOrUnloadedColumn, unloadedStringId.load());
  row->stamp = database.currentStamp;
}

}  // namespace

void createClassLoadingProbe(const YString& probeClassName) {
  YCriticalSectionLock held(&ourLock(), "ClassLoadingProbe:create");
  if (tableId.load() != noTable) return;
  const int32_t created = requireDatabase().createEventTable(YString(tableDescription));
  // Every refusal leaves the probe without a table, so that a later registration tries again.
  if (created < 0) {
    logMessage(YString("warning: failed to create Class Loading probe"));
    return;
  }
  TopProbe* probe = getTopProbe(probeClassName);
  {
    YCriticalSectionLock registry(&probeRegistryLock(), "ClassLoadingProbe:tables");
    probe->tableIds.add(created);
  }
  tableId.store(created);
  topProbe.store(probe);
  setTableWritePreparation(drainClassLoadingQueue);
}

void recordClassLoadedEvent(JNIEnv* env, jclass klass) {
  if (!isActive()) return;
  const jvmtiPhase phase = phaseUntilLive();
  if (phase != JVMTI_PHASE_START && phase != JVMTI_PHASE_LIVE) return;
  if (getThreadRecord(env, nullptr) == nullptr) return;
  const YString name = getClassSignature(klass, "");
  if (name.length == 0) return;
  const int32_t table = tableId.load();
  const int32_t rowKey = createEventTableRow(env, table);
  if (rowKey < 1) return;
  setEventTableStringColumn(env, table, rowKey, classColumn, std::make_unique<YString>(name));
  setEventTableStringColumn(env, table, rowKey, loadedOrUnloadedColumn, std::make_unique<YString>("loaded"));
  tagWithName(klass, name);
}

void recordClassUnloadedEvent(int64_t nameTag) {
  std::unique_ptr<YString> name(nameOfTag(nameTag));
  if (name == nullptr || !isActive()) return;
  unloadQueue().push(name.get());
  name.release();
}

void drainClassLoadingQueue(const YCriticalSectionLock& held, DB& database) {
  YVector<YString*> names;
  unloadQueue().takeAll(names);
  if (names.size == 0) return;
  // The loads recorded so far get their rows first.
  processAllThreadEvents(held);
  const int32_t id = tableId.load();
  EventTable* table = eventTableById(database, id);
  for (int32_t i = 0; i < names.size; i++) {
    const std::unique_ptr<YString> name(names[i]);
    if (table == nullptr || !isActive()) continue;
    try {
      writeUnloadRow(database, *table, id, *name, held);
    } catch (const std::bad_alloc&) {
      onExceptionCaught("ClassLoadingProbe", __LINE__);
    }
  }
}

void forgetClassLoadingProbeForTest() {
  YCriticalSectionLock held(&ourLock(), "ClassLoadingProbe:forget");
  YVector<YString*> names;
  unloadQueue().takeAll(names);
  names.deleteElements();
  setTableWritePreparation(nullptr);
  topProbe.store(nullptr);
  tableId.store(noTable);
  unloadedStringId.store(0);
}
