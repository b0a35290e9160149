// Monitor recording: the JVM's monitor events become buffer records on the waiting thread, and their
// replay becomes "monitor" rows (see MonitorRecording.h).

#include "agent/recording/MonitorRecording.h"

#include <jvmti.h>

#include "agent/core/AgentFlags.h"
#include "agent/core/AgentLifecycle.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/core/Options.h"
#include "agent/db/DB.h"
#include "agent/db/EventTable.h"
#include "agent/db/StringPool.h"
#include "agent/recording/AppendGuard.h"
#include "agent/recording/ExceptionRecording.h"
#include "agent/recording/FrameTree.h"
#include "agent/recording/MonitorKey.h"
#include "agent/recording/ThreadEvents.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/recording/YNodeTree.h"
#include "agent/support/FatalError.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Log.h"
#include "agent/support/NamedLocks.h"
#include "agent/support/Stopwatch.h"
#include "agent/support/YMap.h"

MonitorSwitches monitorSwitches;

NativeEventTable threadBlockTable{"Thread block\n4\nuptime_ns\n1\nuptime_ns.end\n1\nthread\n0\nframe\n0\n", {-2}};
NativeEventTable threadWaitTable{"Thread wait\n4\nuptime_ns\n1\nuptime_ns.end\n1\nthread\n0\nframe\n0\n", {-2}};

namespace {

constexpr int32_t initialMapCapacity = 1024;

// A thread's wait whose start was replayed and whose end was not yet; a start of 0 is none.
struct PendingWait {
  int32_t owner;
  uint64_t startNs;
};

// Both guarded by "ourLock": they are touched only by the replay, the merge and the clear.
YMap<MonitorKey, int32_t>& keyRows() {
  static YMap<MonitorKey, int32_t> map(initialMapCapacity);
  return map;
}
YMap<int32_t, PendingWait>& pendingWaits() {
  static YMap<int32_t, PendingWait> map(initialMapCapacity);
  return map;
}

std::atomic<MonitorEventRowCreator> eventRowCreator{nullptr};
std::atomic<int32_t> noStackFrame{-1};

bool monitorsRun() { return (profilingFlags.load(std::memory_order_relaxed) & PROFILING_MONITORS) != 0; }

// The record of a thread whose monitor event counts, or null.
ThreadInfo* gatedThread(JNIEnv* env) {
  if (!monitorsRun() || monitorSwitches.emptyCallback.load(std::memory_order_relaxed)) return nullptr;
  if (vmDead.load(std::memory_order_acquire) || phaseUntilLive() != JVMTI_PHASE_LIVE) return nullptr;
  return getThreadRecord(env, nullptr);
}

NativeEventTable& eventTableOf(bool blocked) { return blocked ? threadBlockTable : threadWaitTable; }

// The root frame that rows without a stack point at, so that they never share a frame with a real stack.
int32_t getNoStackFrame() { return getOrCreatePseudoRootFrame(noStackFrame, "<Stack not recorded>", "Monitors:noStackFrame"); }

// The sequence number of the thread that owns the monitor, 0 when none does or the owner has no record.
// Every reference the JVM hands out is given back.
int32_t getMonitorOwnerSeq(JNIEnv* env, jobject object) {
  jvmtiMonitorUsage usage{};
  checkJvmtiError(mainJvmti->GetObjectMonitorUsage(object, &usage), "Monitors", 89);
  int32_t owner = 0;
  if (usage.owner != nullptr) {
    ThreadInfo* record = getThreadRecord(env, usage.owner);
    if (record != nullptr) owner = int32_t(record->sequenceNumber);
    env->DeleteLocalRef(usage.owner);
  }
  for (jint i = 0; i < usage.waiter_count; i++) env->DeleteLocalRef(usage.waiters[i]);
  for (jint i = 0; i < usage.notify_waiter_count; i++) env->DeleteLocalRef(usage.notify_waiters[i]);
  if (usage.waiters != nullptr) jvmtiDeallocate(usage.waiters);
  if (usage.notify_waiters != nullptr) jvmtiDeallocate(usage.notify_waiters);
  return owner;
}

void appendTimedRecord(ThreadInfo* thread, const AppendGuard& guard, uint32_t kind, int32_t classTag, int32_t node,
                       uint64_t timeNs, int32_t owner) {
  const uint32_t words[6] = {kind, uint32_t(classTag), uint32_t(node), uint32_t(timeNs), uint32_t(timeNs >> 32),
                             uint32_t(owner)};
  thread->appendEvent(words, threadEventWords(kind), guard.replayLocks());
}

void openMonitorEventRow(JNIEnv* env, ThreadInfo* thread, bool blocked) {
  const int32_t table = getNativeEventTableId(eventTableOf(blocked));
  const MonitorEventRowCreator create = eventRowCreator.load(std::memory_order_acquire);
  thread->openMonitorRow = table >= 0 && create != nullptr ? create(env, table) : 0;
}

void closeMonitorEventRow(ThreadInfo* thread, const AppendGuard& guard, bool blocked) {
  const int32_t row = thread->openMonitorRow;
  if (row <= 0) return;
  thread->openMonitorRow = 0;
  const int32_t table = getNativeEventTableId(eventTableOf(blocked));
  if (table < 0) return;
  const uint64_t uptime = uint64_t(stopwatchElapsedNs(agentUptimeStopwatch()));
  const uint32_t words[7] = {eventRowClose, uint32_t(table), uint32_t(row), uint32_t(uptime), uint32_t(uptime >> 32),
                             0, 0};
  thread->appendEvent(words, 7, guard.replayLocks());
}

void addToTarget(DB& database, const MonitorKey& key, int64_t total, int64_t count) {
  YMap<MonitorKey, int32_t>& rows = keyRows();
  int32_t id = rows.get(key);
  MonitorRecord* target;
  if (id == 0) {
    id = database.monitors.ids.allocate();
    rows.put(key, id);
    target = database.monitors.getRow(id, true);
    *target = MonitorRecord{};
    target->key = key;
  } else {
    target = database.monitors.getRow(id, true);
  }
  target->totalTime += total;
  target->count += count;
  target->stamp = database.currentStamp;
}

}  // namespace

void readMonitorSwitches() {
  const Options& options = globalOptions();
  monitorSwitches.emptyCallback.store(options.hasOption("_monitors_empty_callback"));
  monitorSwitches.legacyDisable.store(options.hasOption("_monitors_legacy_disable"));
  monitorSwitches.probeEnable.store(options.hasOption("_monitors_probe_enable"));
  monitorSwitches.noStack.store(options.hasOption("_monitors_no_stack"));
}

void setMonitorEventRowCreator(MonitorEventRowCreator creator) { eventRowCreator.store(creator); }

void onMonitorWaitOrEnter(JNIEnv* env, jobject object, bool blocked) {
  ThreadInfo* thread = gatedThread(env);
  if (thread == nullptr) return;
  if (monitorSwitches.probeEnable.load(std::memory_order_relaxed)) openMonitorEventRow(env, thread, blocked);
  if (monitorSwitches.legacyDisable.load(std::memory_order_relaxed)) return;
  const int32_t owner = getMonitorOwnerSeq(env, object);
  if (owner == 0) return;
  const int32_t classTag = getMonitorClassTag(env, object);
  const AppendGuard guard("Monitors:enter");
  // Without stacks the record carries none; the row's frame is the no-stack frame whatever it says.
  const int32_t node =
      monitorSwitches.noStack.load(std::memory_order_relaxed) ? 0 : captureStackFrame(getThreadNodeTree(thread), env);
  appendTimedRecord(thread, guard, eventMonitorWaitStart, classTag, node, uint64_t(getMonotonicTimeNs()), owner);
}

void onMonitorWaitedOrEntered(JNIEnv* env, jobject object, bool blocked) {
  ThreadInfo* thread = gatedThread(env);
  if (thread == nullptr) return;
  const bool legacy = !monitorSwitches.legacyDisable.load(std::memory_order_relaxed);
  const int32_t classTag = legacy ? getMonitorClassTag(env, object) : 0;
  const AppendGuard guard("Monitors:exit");
  if (monitorSwitches.probeEnable.load(std::memory_order_relaxed)) closeMonitorEventRow(thread, guard, blocked);
  if (!legacy) return;
  const int32_t node = captureStackFrame(getThreadNodeTree(thread), env);
  const uint64_t now = uint64_t(getMonotonicTimeNs());
  const uint32_t words[5] = {eventMonitorWaitEnd, uint32_t(classTag), uint32_t(node), uint32_t(now),
                             uint32_t(now >> 32)};
  thread->appendEvent(words, 5, guard.replayLocks());
}

int32_t getMonitorClassTag(JNIEnv* env, jobject object) {
  jlong tag = 0;
  checkJvmtiError(monitorJvmti->GetTag(object, &tag), "Monitors", 59);
  if (tag != 0) return int32_t(tag);
  jclass klass = env->GetObjectClass(object);
  checkJvmtiError(monitorJvmti->GetTag(klass, &tag), "Monitors", 67);
  if (tag == 0) {
    YCriticalSectionLock held(&ourLock(), "Monitors:70");
    checkJvmtiError(monitorJvmti->GetTag(klass, &tag), "Monitors", 67);
    if (tag == 0) {
      JvmtiText signature;
      checkJvmtiError(mainJvmti->GetClassSignature(klass, signature.out(), nullptr), "Monitors", 74);
      tag = getStringId(signature.text, true);
      checkJvmtiError(monitorJvmti->SetTag(klass, tag), "Monitors", 74);
    }
  }
  env->DeleteLocalRef(klass);
  checkJvmtiError(monitorJvmti->SetTag(object, tag), "Monitors", 78);
  return int32_t(tag);
}

int32_t getNativeEventTableId(NativeEventTable& table) {
  int32_t id = table.id.load(std::memory_order_acquire);
  if (id != eventTableOutOfMemory) return id;
  YCriticalSectionLock held(&ourLock(), "Monitors:173");
  DB* database = db;
  if (database == nullptr) fatalError("db is NULL", "Monitors", 174);
  id = table.id.load(std::memory_order_relaxed);
  if (id != eventTableOutOfMemory) return id;
  const YString description(table.description);
  id = database->createEventTable(description);
  table.id.store(id, std::memory_order_release);
  YString message("table created in native code: \"");
  const char* text = table.description;
  while (*text != '\0' && *text != '\n') message.append(*text++);
  message.append("\" -> ");
  message.appendLong(id);
  logMessage(message);
  return id;
}

int32_t getMonitorRow(ThreadInfo* thread, int32_t classTag, int32_t node, int32_t owner) {
  if (!monitorsRun()) return 0;
  int32_t frame;
  if (monitorSwitches.noStack.load(std::memory_order_relaxed)) {
    frame = getNoStackFrame();
  } else {
    frame = thread->getFrameId(node);
    if (frame == 0) return 0;
  }
  const MonitorKey key{int32_t(thread->sequenceNumber), frame, owner, classTag};
  YMap<MonitorKey, int32_t>& rows = keyRows();
  if (const int32_t row = rows.get(key); row != 0) return row;
  DB* database = db;
  if (database == nullptr) fatalError("db is NULL", "Monitors", 120);
  const int32_t id = database->monitors.ids.allocate();
  rows.put(key, id);
  MonitorRecord& row = *database->monitors.getRow(id, true);
  row = MonitorRecord{};
  row.key = key;
  row.stamp = database->currentStamp;
  return id;
}

void recordMonitorEvent(ThreadInfo* thread, int32_t classTag, int32_t node, int64_t startNs, int32_t owner) {
  if (getMonitorRow(thread, classTag, node, owner) == 0) return;
  pendingWaits().put(int32_t(thread->sequenceNumber), PendingWait{owner, uint64_t(startNs)});
}

void recordMonitorEndEvent(ThreadInfo* thread, int32_t classTag, int32_t node, int64_t endNs) {
  YMap<int32_t, PendingWait>& pending = pendingWaits();
  const int32_t slot = pending.indexOf(int32_t(thread->sequenceNumber));
  if (slot < 0 || pending.values[slot].startNs == 0) return;
  const PendingWait wait = pending.values[slot];
  pending.values[slot] = PendingWait{0, 0};
  const int32_t id = getMonitorRow(thread, classTag, node, wait.owner);
  if (id == 0) return;
  DB* database = db;
  if (database == nullptr) fatalError("db is NULL", "Monitors", 150);
  MonitorRecord& row = *database->monitors.getRow(id, true);
  const int64_t waited = int64_t(uint64_t(endNs) - wait.startNs);
  if (waited > 0) row.totalTime += waited;
  row.count++;
  row.stamp = database->currentStamp;
}

void forgetMonitorKeysAndTags(const YCriticalSectionLock&) {
  pendingWaits().init();
  keyRows().init();
  if (monitorJvmti == nullptr || phaseUntilLive() != JVMTI_PHASE_LIVE) return;
  // A tag left behind by a walk that cannot run still names its class's pinned signature, so the error
  // is of no consequence.
  monitorJvmti->IterateOverHeap(JVMTI_HEAP_OBJECT_TAGGED, clearTagCallback, nullptr);
}

void mergeDeadThreadMonitors(const YSet<int32_t>* purged) {
  if (purged == nullptr) assertionFailed("assertion failed: value is NULL", "Monitors", 210);
  YMap<MonitorKey, int32_t>& rows = keyRows();
  YVector<MonitorKey> moved;
  if (purged->count > 0) {
    for (int32_t slot = 0; slot < rows.capacity; slot++) {
      if (rows.states[slot] == kSlotUsed && purged->contains(rows.keys[slot].thread)) moved.add(rows.keys[slot]);
    }
  }
  if (moved.size == 0) return;
  DB* database = db;
  if (database == nullptr) fatalError("db is NULL", "Monitors", 222);
  if (oldestFinishedThreads == nullptr) assertionFailed("assertion failed: value is NULL", "Monitors", 223);
  const int32_t pseudoThread = int32_t(oldestFinishedThreads->sequenceNumber);
  for (int32_t i = 0; i < moved.size; i++) {
    const MonitorKey source = moved.data[i];
    const int32_t id = rows.remove(source);
    MonitorRecord* row = id != 0 ? database->monitors.getRow(id, true) : nullptr;
    const int64_t total = row != nullptr ? row->totalTime : 0;
    const int64_t count = row != nullptr ? row->count : 0;
    addToTarget(*database, MonitorKey{pseudoThread, source.frame, source.owner, source.classTag}, total, count);
    if (row == nullptr) continue;
    *row = MonitorRecord{};
    row->stamp = -database->currentStamp;
    database->monitors.ids.release(id);
  }
}
