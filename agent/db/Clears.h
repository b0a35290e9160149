#pragma once

#include <atomic>
#include <cstdint>

#include "agent/platform/YCriticalSection.h"

// Clearing each kind of recorded data on its own. The callers hold "ourLock"; `held` is their guard on
// it, handed on as evidence and never used to release the lock. A clear leaves the cleared table's rows
// gone and their ids reusable, and writes the stamp of the clear into the table's "table_generation" row
// (the table's index), so that a reader knows its older rows of that table are void. Every clear is
// fatal "db is NULL" without a database.

// Agent uptime (ns) of the last CPU clear and of the last allocation clear: where the current CPU
// profiling and allocation recording begin. Their companions, the ends of those modes, are set by the
// stop natives and zeroed by the clears.
extern int64_t lastCpuClearNs;
extern int64_t cpuProfilingEndNs;
extern int64_t lastAllocationClearNs;
extern int64_t allocationRecordingEndNs;
// Monotonic time (ns) of the last monitor clear, and of the last stop of monitor profiling.
extern int64_t lastMonitorClearNs;
extern int64_t monitorProfilingEndNs;
// The mode words of the last start of CPU profiling and of allocation recording, kept by the start
// natives for the snapshot's properties.
extern uint64_t lastCpuProfilingMode;
extern uint64_t lastAllocationRecordingMode;
// Grows with every CPU clear; traced method events buffered before it carry the old value and are
// dropped when replayed.
extern std::atomic<int32_t> tracingEpoch;

// Every thread's buffered events replayed, call counts back to 0, every thread's sampling and tracing
// state reset, "cpu_profiling" emptied, "table_generation" row 5 stamped, the adaptive tracing filter's
// statistics forgotten and the tracing epoch advanced. `dbWriteInProgress` is set meanwhile.
void clearCpuProfilingData(const YCriticalSectionLock& held);
// Allocation counts back to 0, every thread's allocation countdown 0, the recorded objects' sites and
// times forgotten, "alloc_info" emptied, "table_generation" row 10 stamped. `dbWriteInProgress` is set
// meanwhile.
void clearAllocationData(const YCriticalSectionLock& held);
// Every telemetry point held is deleted at the current stamp and left in the window, so that a reader
// fetching the table learns of the deletion; new points begin at the index that the property
// "bzp.telemetry.new.start.index" holds.
void clearTelemetryData(const YCriticalSectionLock& held);
// Notes the monotonic time, then clears the monitor data.
void resetMonitorData(const YCriticalSectionLock& held);
// Every pending wait, monitor key and monitor tag forgotten, "monitor" emptied, "table_generation" row 4
// stamped.
void clearMonitorData(const YCriticalSectionLock& held);
