#include "agent/recording/AdaptiveFilter.h"

#include "agent/db/DB.h"
#include "agent/recording/FrameTree.h"
#include "agent/recording/MethodStore.h"
#include "agent/recording/TracingReplay.h"
#include "agent/recording/TracingSettings.h"
#include "agent/support/Formatting.h"
#include "agent/support/Log.h"
#include "agent/support/Stopwatch.h"
#include "agent/support/YVector.h"

int64_t tracingStartUptimeNs = 0;

namespace {

// Room for this many methods is taken at the first growth, not at load: most processes never trace.
constexpr int32_t initialMethodCapacity = 1000000;
// A method is tested when its count of exits reaches the threshold and every this many exits after it.
constexpr int64_t testInterval = 32768;

// By method id: the traced exits seen and their summed elapsed ns. Never torn down: a JVM thread may
// still replay its buffer while the process exits.
YVector<int32_t>& callCounts() {
  static YVector<int32_t>& counts = *new YVector<int32_t>();
  return counts;
}
YVector<int64_t>& totalTimes() {
  static YVector<int64_t>& totals = *new YVector<int64_t>();
  return totals;
}

void coverMethod(YVector<int32_t>& counts, YVector<int64_t>& totals, int32_t methodId) {
  if (counts.size > methodId) return;
  counts.reserve(initialMethodCapacity);
  totals.reserve(initialMethodCapacity);
  counts.growTo(methodId);
  totals.growTo(methodId);
}

void logExclusion(int32_t methodId, int32_t count, int64_t average, int64_t total, double percent,
                  int64_t tracingTimeNs) {
  YString message("adaptive_filter: ");
  message.append(dumpMethod(methodId));
  message.append("\n  cnt=");
  message.appendLong(count);
  message.append(" avg_ns=");
  message.appendLong(average);
  message.append(" time_ns=");
  message.appendLong(total);
  message.append(" (");
  message.append(formatDouble(percent, 3));
  message.append("% at tracing_time_ms=");
  message.appendLong(tracingTimeNs / 1000000);
  message.append(")");
  logMessage(message);
}

// Every method traced below an outermost call of the method is excluded with it, except those never to
// be excluded; the walk goes on below those. Inner calls of a recursive method lie below an outer one.
void excludeCallees(const DB& database, int32_t methodId) {
  YVector<int32_t> pending;
  const int32_t frameEnd = database.frames.ids.next;
  for (int32_t frame = 0; frame < frameEnd; frame++) {
    if (database.frames.findRow(frame) == nullptr || getFrameMethod(frame) != methodId) continue;
    if (!frameHasAncestorWithSameMethod(frame)) pending.add(frame);
  }
  while (pending.size > 0) {
    const int32_t frame = pending.pop();
    const int32_t callee = getFrameMethod(frame);
    if ((getMethodFlags(callee) & (methodAdaptiveExcluded | methodNeverExcluded)) == 0) {
      if (isTracingDebug()) logMessage(YString("adaptive_filter: (exclude callee) ") + dumpMethod(callee));
      setMethodFlags(callee, methodAdaptiveExcluded | methodAdaptiveCalleeExcluded);
    }
    const FrameRecord* row = database.frames.findRow(frame);
    for (int32_t child = row != nullptr ? row->firstChild : -1; child > 0;) {
      pending.add(child);
      const FrameRecord* childRow = database.frames.findRow(child);
      child = childRow != nullptr ? childRow->nextSibling : -1;
    }
  }
}

}  // namespace

void adaptiveTracingStep(int32_t methodId, int64_t elapsedNs, const YCriticalSectionLock& held) {
  adaptiveTracingStepAt(methodId, elapsedNs, stopwatchElapsedNs(agentUptimeStopwatch()), held);
}

void adaptiveTracingStepAt(int32_t methodId, int64_t elapsedNs, int64_t uptimeNs, const YCriticalSectionLock&) {
  // Id 0 names no method, and no record holds a negative one.
  if (!tracingSettings.adaptive || methodId < 1) return;
  YVector<int32_t>& counts = callCounts();
  YVector<int64_t>& totals = totalTimes();
  coverMethod(counts, totals, methodId);
  const int32_t seen = counts[methodId];
  if (seen >= INT32_MAX) return;
  const int32_t count = seen + 1;
  counts[methodId] = count;
  const int64_t total = totals[methodId] += elapsedNs;

  const int64_t pastThreshold = int64_t(count) - tracingSettings.adaptiveMinMethodInvocationCount;
  if (pastThreshold < 0 || pastThreshold % testInterval != 0) return;
  const int64_t average = total / count;
  if (average >= tracingSettings.adaptiveMaxAverageMethodTimeNs) return;
  const int64_t tracingTimeNs = uptimeNs - tracingStartUptimeNs;
  if (tracingTimeNs <= 0) {
    YString message("adaptive_filter: warning: tracingTimeNs=");
    message.appendLong(tracingTimeNs);
    logMessage(message);
    return;
  }
  const double percent = double(total) / double(tracingTimeNs) * 100;
  if (percent <= tracingSettings.adaptiveMinMethodTimePercent) return;

  // The entry native reads the mark from the method's record; a method without one cannot be marked.
  DB& database = requireDatabase();
  const MethodRecord* record = database.methods.findRow(methodId);
  if (record == nullptr || (record->flags & methodNeverExcluded) != 0) return;
  if ((record->flags & methodAdaptiveExcluded) != 0) {
    if (isTracingDebug()) logMessage(YString("adaptive_filter: (already excluded) ") + dumpMethod(methodId));
    return;
  }
  if (isTracingDebug()) logExclusion(methodId, count, average, total, percent, tracingTimeNs);
  setMethodFlags(methodId, methodAdaptiveExcluded);
  excludeCallees(database, methodId);
}

void clearAdaptiveTracingFilter(const YCriticalSectionLock&) {
  callCounts().size = 0;
  totalTimes().size = 0;
  tracingStartUptimeNs = stopwatchElapsedNs(agentUptimeStopwatch());
}
