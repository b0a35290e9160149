#pragma once

#include <jni.h>

#include <atomic>
#include <cstdint>

#include "agent/platform/YCriticalSection.h"
#include "agent/support/YSet.h"

class ThreadInfo;

// Monitor recording: how long threads wait in Object.wait and how long they are blocked entering a
// contended monitor, as "monitor" rows keyed by (waiting thread, frame, owner, monitor class). The JVM's
// monitor events append a start record (eventMonitorWaitStart) and an end record (eventMonitorWaitEnd) to
// the waiting thread's buffer; their replay pairs them through the thread's pending wait. Optionally
// each wait is also a row of the event tables "Thread wait" and "Thread block".

// The switches that monitor profiling reads from the hidden start-up options at each start.
struct MonitorSwitches {
  std::atomic<bool> emptyCallback{false};  // "_monitors_empty_callback": the handlers return at once
  std::atomic<bool> legacyDisable{false};  // "_monitors_legacy_disable": no wait records, no statistics
  std::atomic<bool> probeEnable{false};    // "_monitors_probe_enable": event-table rows as well
  std::atomic<bool> noStack{false};        // "_monitors_no_stack": no stacks, rows at the no-stack frame
};
extern MonitorSwitches monitorSwitches;

// Reads the four switches from the start-up options, in the order they are named above.
void readMonitorSwitches();

// Makes an event-table row of the calling thread: its key, or 0 when none was made. The natives layer
// hands its row writer in before monitor profiling first starts; without one no rows are made.
using MonitorEventRowCreator = int32_t (*)(JNIEnv* env, int32_t tableId);
void setMonitorEventRowCreator(MonitorEventRowCreator creator);

// The JVM's monitor events on the waiting thread: MonitorWait and MonitorContendedEnter (`blocked`)
// begin a wait, MonitorWaited and MonitorContendedEntered end it. Each does nothing unless monitor
// profiling runs, the empty-callback switch is off, the JVM is live and the thread has a record.
void onMonitorWaitOrEnter(JNIEnv* env, jobject object, bool blocked);
void onMonitorWaitedOrEntered(JNIEnv* env, jobject object, bool blocked);

// The monitor object's class tag in the monitors environment: the pinned string id of its class's JVM
// signature, set on the class and copied onto the object at its first event.
int32_t getMonitorClassTag(JNIEnv* env, jobject object);

// The identifier of an event table given by its description text, the table made on first use; a
// creation result other than "out of memory" is kept for good. Takes "ourLock" only to make the table.
struct NativeEventTable {
  const char* description;
  std::atomic<int32_t> id;
};
int32_t getNativeEventTableId(NativeEventTable& table);
extern NativeEventTable threadBlockTable;  // "Thread block"
extern NativeEventTable threadWaitTable;   // "Thread wait"

// The "monitor" row of (thread, the frame of `node`, owner, class), made when missing; 0 when monitor
// profiling is off or the node has no frame. Under the no-stack switch every row is at the frame
// "<Stack not recorded>". Runs under "ourLock".
int32_t getMonitorRow(ThreadInfo* thread, int32_t classTag, int32_t node, int32_t owner);
// The replay of the start and end records. The end's row takes the class and stack of the end and the
// owner of the start; a wait that ends before it began adds 0 but still counts. Run under "ourLock".
void recordMonitorEvent(ThreadInfo* thread, int32_t classTag, int32_t node, int64_t startNs, int32_t owner);
void recordMonitorEndEvent(ThreadInfo* thread, int32_t classTag, int32_t node, int64_t endNs);

// The recorder's half of the monitor clear (clearMonitorData, which empties the table): every pending wait
// and key is forgotten and every tag of the monitors environment goes back to 0. Buffered records are not
// replayed first: an end whose start went before the clear finds no pending wait and is dropped. Runs
// under "ourLock" (`held`).
void forgetMonitorKeysAndTags(const YCriticalSectionLock& held);

// Moves the rows of the threads of the sequence numbers in `purged` to "<Oldest finished threads>".
// Runs under "ourLock".
void mergeDeadThreadMonitors(const YSet<int32_t>* purged);
