#include "agent/db/SnapshotFile.h"

#include <atomic>
#include <ctime>

#include "agent/core/AgentFlags.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/core/Options.h"
#include "agent/db/Clears.h"
#include "agent/db/DB.h"
#include "agent/platform/Clocks.h"
#include "agent/platform/SystemInfo.h"
#include "agent/recording/InstanceCounts.h"
#include "agent/recording/ObjectEnumerator.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/FatalError.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/NamedLocks.h"
#include "agent/support/Stopwatch.h"

namespace {

constexpr const char* snapshotMagic = "BRANTEL_FILE_60000";
constexpr const char* agentVersion = "Brantel TallyScope 2021.6-b257";

void writeNamedValue(AbstractWriter& writer, const char* key, const YString& value) {
  writer.writeByteVector(YString(key));
  writer.writeByteVector(value);
}

YString decimal(int64_t value) {
  YString text;
  text.appendLong(value);
  return text;
}

// A 64-bit value as the two properties "<key>.low" and "<key>.high".
void setSplitProperty(DB& database, const char* key, int64_t value) {
  const uint64_t bits = uint64_t(value);
  database.setProperty((YString(key) + ".low").data, int32_t(uint32_t(bits)));
  database.setProperty((YString(key) + ".high").data, int32_t(uint32_t(bits >> 32)));
}

std::atomic<TableWritePreparation> tableWritePreparation{nullptr};

bool selects(int32_t tableMask, int32_t table) { return (tableMask >> table & 1) != 0; }

// Makes every live thread re-read its Java name, for a reader that wants names changed since the
// thread first showed up.
void refreshAllThreadNames(JNIEnv* env) {
  jint count = 0;
  jthread* threads = nullptr;
  if (mainJvmti->GetAllThreads(&count, &threads) != JVMTI_ERROR_NONE) return;
  for (jint i = 0; i < count; i++) {
    ThreadInfo* record = getThreadRecord(env, threads[i]);
    if (record != nullptr) record->refreshName(env, threads[i], true);
    env->DeleteLocalRef(threads[i]);
  }
  jvmtiDeallocate(threads);
}

void storeRecordingProperties(DB& database, int32_t tableMask) {
  const int64_t uptimeNs = stopwatchElapsedNs(agentUptimeStopwatch());
  if (selects(tableMask, tableMonitor) && lastMonitorClearNs != 0) {
    const bool running = (profilingFlags.load() & PROFILING_MONITORS) != 0;
    const int64_t end = running ? getMonotonicTimeNs() : monitorProfilingEndNs;
    setSplitProperty(database, "bzp.monitor.profiling.duration.ns", end - lastMonitorClearNs);
  }
  if (selects(tableMask, tableCpuProfiling) && lastCpuClearNs != 0) {
    setSplitProperty(database, "bzp.cpu.profiling.start.ns", lastCpuClearNs);
    setSplitProperty(database, "bzp.cpu.profiling.end.ns", cpuProfilingEndNs != 0 ? cpuProfilingEndNs : uptimeNs);
  }
  if (lastAllocationClearNs != 0) {
    setSplitProperty(database, "bzp.allocation.recording.start.ns", lastAllocationClearNs);
    setSplitProperty(database, "bzp.allocation.recording.end.ns",
                     allocationRecordingEndNs != 0 ? allocationRecordingEndNs : uptimeNs);
  }
  forEachLiveThread([&database](ThreadInfo* thread) {
    if (thread->seen.load()) thread->updateThreadRecordName(&database);
  });
  setSplitProperty(database, "bzp.last.cpu.profiling.mode", int64_t(lastCpuProfilingMode));
  setSplitProperty(database, "bzp.last.allocation.recording.mode", int64_t(lastAllocationRecordingMode));
  setSplitProperty(database, "bzp.uptime.ns", uptimeNs);
  const int32_t limit = globalOptions().probeTableLengthLimit;
  YString fullTables;
  database.getTopEventTableNames(fullTables, limit);
  database.setProperty("bzp.full.top.table.names", getStringId(fullTables.data));
  database.setProperty("bzp.event.table.limit", limit);
}

}  // namespace

int64_t snapshotFlagsWord(int64_t callerFlags) {
  return callerFlags | ((agentFlags.load() & AGENT_ATTACH_MODE) != 0 ? 0x4200 : 0x8200);
}

void writeSnapshotHeader(DB* database, SnapshotWriter& writer, int64_t flags, int32_t kind) {
  if (database == nullptr) assertionFailed("assertion failed: value is NULL", "Snapshoting", 104);
  for (const char* c = snapshotMagic; *c != '\0'; c++) writer.writeByte(*c);
  writer.writeByte(0);
  writer.writeInt(kind);
  const int64_t creationTimeMs = int64_t(std::time(nullptr)) * 1000;
  writer.writeLong(creationTimeMs);

  writer.beginSegment(agentRecordTag);
  writer.writeByte(1);
  writer.writeInt(11);
  writeNamedValue(writer, "header", YString("Brantel TallyScope snapshot of a profiled JVM\n"));
  writeNamedValue(writer, "snapshot_version", YString("90"));
  writeNamedValue(writer, "created_by_version", YString(agentVersion));
  writeNamedValue(writer, "agent_version", YString(agentVersion));
  writeNamedValue(writer, "platform", YString(getPlatformDirName()));
  writeNamedValue(writer, "session_id", decimal(database->sessionId));
  writeNamedValue(writer, "session_name", database->sessionName);
  writeNamedValue(writer, "snapshot_flags", decimal(flags));
  writeNamedValue(writer, "creation_time_ms", decimal(creationTimeMs));
  writeNamedValue(writer, "sizeof_pointer", YString("8"));
  writer.writeString("oid_count");
  writer.oidCountPosition = writer.getPosition();
  writer.writeByteVector(YString("         0"));
  for (int32_t id = firstEventTableId; id < eventTableIdLimit; id++) {
    const EventTable* table = database->eventTables[id].get();
    if (table == nullptr) continue;
    writer.writeByte(3);
    writer.writeInt(id);
    writer.writeByteVector(table->description);
  }
  writer.endSegment();
  if (globalOptions().hasOption("_dump_stack")) logStackDump("_dump_stack: write header");
}

void setTableWritePreparation(TableWritePreparation prepare) { tableWritePreparation.store(prepare); }

void writeDatabaseTables(const YCriticalSectionLock& held, JNIEnv* env, DB* database, AbstractWriter& writer,
                         int32_t tableMask, int32_t percentFrom, int32_t percentTo, Progress* progress,
                         const YVector<int32_t>* since, bool withKindBytes, InstanceCounts* instanceCounts) {
  if (database == nullptr || progress == nullptr) {
    assertionFailed("assertion failed: value is NULL", "Snapshoting", 160);
  }
  if (globalOptions().hasOption("_force_thread_name_update") && selects(tableMask, tableThread)) {
    refreshAllThreadNames(env);
  }
  if (TableWritePreparation prepare = tableWritePreparation.load()) prepare(held, *database);
  if (objectEnumerator != nullptr) {
    YCriticalSectionLock enumerating(&objectEnumerator->lock, "ObjectEnumerator:61");
    objectEnumerator->flushCollectedObjectAgesToDB();
  }
  storeRecordingProperties(*database, tableMask);
  if (instanceCounts != nullptr) instanceCounts->updateInstanceCounts(held);

  int32_t selected = 0;
  for (int32_t table = 0; table < tableCount; table++) selected += selects(tableMask, table);
  if (selected == 0) return;
  const int32_t step = (percentTo - percentFrom) / selected;
  int32_t from = percentFrom;
  for (int32_t table = 0; table < tableCount; table++) {
    if (!selects(tableMask, table)) continue;
    if (withKindBytes) writer.writeByte(2);
    writer.writeInt(table);
    const int32_t tableSince = since != nullptr && table < since->size ? since->data[table] : 0;
    database->tables[table]->writeRows(writer, tableSince, from, from + step, progress);
    from += step;
  }
}

void addSnapshotRecord(const YString& path, int64_t kind) {
  YCriticalSectionLock held(&ourLock(), "TelemetryHelper:9");
  DB& database = requireDatabase();
  const int32_t id = database.snapshots.ids.allocate();
  if (id < 0) assertionFailed("assertion failed", "TelemetryHelper", 12);
  SnapshotRecord& row = *database.snapshots.getRow(id, true);
  row.kind = kind;
  row.pathId = getStringId(path.data);
  row.stamp = database.currentStamp;
}

// The lock keeps the table and the string pool from growing under the search.
bool findSnapshotRecord(const YString& path) {
  YCriticalSectionLock held(&ourLock(), "TelemetryHelper:31");
  DB& database = requireDatabase();
  bool found = false;
  database.snapshots.forEachRow([&](int64_t, const SnapshotRecord& row) {
    if (found || row.stamp < 1) return;
    const StringRecord* text = database.strings.findRow(row.pathId);
    found = text != nullptr && text->stamp > 0 && text->body != nullptr && path.equals(text->body);
  });
  return found;
}
