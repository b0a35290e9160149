#include "agent/support/Stopwatch.h"

#include <algorithm>

#include "agent/platform/Clocks.h"
#include "agent/support/Log.h"

void stopwatchStart(Stopwatch& stopwatch) { stopwatch.start.store(getMonotonicTimeNs(), std::memory_order_relaxed); }

int64_t stopwatchElapsedNs(const Stopwatch& stopwatch) {
  return getMonotonicTimeNs() - stopwatch.start.load(std::memory_order_relaxed);
}

int64_t stopwatchElapsedMs(const Stopwatch& stopwatch) { return stopwatchElapsedNs(stopwatch) / 1000000; }

// A function-local static starts on the first call, whichever static initialiser of whichever file
// makes it; startUptimeStopwatch makes sure that happens while the library loads even when nothing else
// asks that early.
Stopwatch& agentUptimeStopwatch() {
  static Stopwatch stopwatch{getMonotonicTimeNs()};
  return stopwatch;
}

[[maybe_unused]] static Stopwatch& startUptimeStopwatch = agentUptimeStopwatch();

// A quarter of the nanosecond range, some 73 years.
static constexpr int64_t maxUptimeMs = INT64_MAX / 4 / 1000000;

void correctUptime(Stopwatch& stopwatch, const YCriticalSectionLock&, int64_t etalonMs) {
  logMessage("Uptime correction will be performed (it's the last log entry with non-corrected timestamp)...");
  const int64_t elapsedMs = stopwatchElapsedMs(stopwatch);
  // The Java side may hand any long. Only an etalon near the bottom of the range overflows the
  // difference, and the uptime stops at maxUptimeMs, so that no later reading overflows either.
  int64_t diff;
  if (__builtin_sub_overflow(etalonMs, elapsedMs, &diff)) diff = INT64_MIN;
  const int64_t shiftMs = std::min(diff, maxUptimeMs - elapsedMs);
  if (shiftMs > 0) stopwatch.start.fetch_sub(shiftMs * 1000000, std::memory_order_relaxed);
  YString line("Uptime corrected: etalon=");
  line.appendLong(etalonMs);
  line.append("ms diff=");
  line.appendLong(diff);
  line.append("ms");
  logMessage(line);
}
