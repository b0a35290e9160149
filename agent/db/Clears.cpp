#include "agent/db/Clears.h"

#include "agent/db/DB.h"
#include "agent/db/WriteInProgress.h"
#include "agent/recording/AdaptiveFilter.h"
#include "agent/recording/CountingSupport.h"
#include "agent/recording/MonitorRecording.h"
#include "agent/recording/ObjectEnumerator.h"
#include "agent/recording/ThreadEvents.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/Stopwatch.h"

int64_t lastCpuClearNs = 0;
int64_t cpuProfilingEndNs = 0;
int64_t lastAllocationClearNs = 0;
int64_t allocationRecordingEndNs = 0;
int64_t lastMonitorClearNs = 0;
int64_t monitorProfilingEndNs = 0;
uint64_t lastCpuProfilingMode = 0;
uint64_t lastAllocationRecordingMode = 0;
std::atomic<int32_t> tracingEpoch{0};

namespace {

void stampClear(DB& database, int32_t table) { database.tableGenerations.setGeneration(table, database.currentStamp); }

}  // namespace

void clearCpuProfilingData(const YCriticalSectionLock& held) {
  WriteInProgress writing;
  DB& database = requireDatabase();
  flushCallCounters(held);
  resetCallCountBaseline(database.callCounts, database.currentStamp);
  forEachLiveThread([&](ThreadInfo* thread) {
    processThreadEvents(thread, held);
    thread->resetCpuState();
  });
  if (oldestFinishedThreads != nullptr) oldestFinishedThreads->resetCpuState();
  database.cpuProfiling.clear();
  stampClear(database, tableCpuProfiling);
  clearAdaptiveTracingFilter(held);
  tracingEpoch.fetch_add(1);
  lastCpuClearNs = stopwatchElapsedNs(agentUptimeStopwatch());
  cpuProfilingEndNs = 0;
}

void clearAllocationData(const YCriticalSectionLock& held) {
  WriteInProgress writing;
  DB& database = requireDatabase();
  flushAllocationCounters(held);
  resetAllocationCountBaseline(database.allocObjectCounts, database.currentStamp);
  forEachLiveThread([](ThreadInfo* thread) { thread->allocationCountdown = 0; });
  if (objectEnumerator != nullptr) objectEnumerator->clear();
  database.allocInfo.clear();
  stampClear(database, tableAllocInfo);
  lastAllocationClearNs = stopwatchElapsedNs(agentUptimeStopwatch());
  allocationRecordingEndNs = 0;
}

void clearTelemetryData(const YCriticalSectionLock&) {
  DB& database = requireDatabase();
  const int32_t deleted = -database.currentStamp;
  database.telemetry.forEachRow([deleted](int64_t, TelemetryRecord& row) {
    if (row.stamp < 1) return;  // deleted by an earlier clear: told once already
    row.reset();
    row.stamp = deleted;
  });
  database.setProperty("bzp.telemetry.new.start.index", int32_t(database.telemetry.rows.next));
}

void resetMonitorData(const YCriticalSectionLock& held) {
  lastMonitorClearNs = getMonotonicTimeNs();
  clearMonitorData(held);
}

void clearMonitorData(const YCriticalSectionLock& held) {
  forgetMonitorKeysAndTags(held);
  DB& database = requireDatabase();
  database.monitors.clear();
  stampClear(database, tableMonitor);
}
