#pragma once

#include <atomic>
#include <cstdint>

#include "agent/platform/YCriticalSection.h"

// A start time on the monotonic clock. The start is atomic so that readers need no lock while the
// uptime correction moves it; relaxed accesses cost what a plain field does.
struct Stopwatch {
  std::atomic<int64_t> start{0};
};

void stopwatchStart(Stopwatch& stopwatch);
// Nanoseconds since the start.
int64_t stopwatchElapsedNs(const Stopwatch& stopwatch);
// Milliseconds since the start, truncated toward zero.
int64_t stopwatchElapsedMs(const Stopwatch& stopwatch);

// The agent's uptime: started when the library is loaded, before any other agent code runs, and never
// reset. The log times its lines with it and every recorded uptime comes from it.
Stopwatch& agentUptimeStopwatch();

// Moves the start back so that the elapsed time becomes `etalonMs` when that is later than the current
// one; the uptime never goes backwards. Logs the line before, whose time is the last uncorrected one,
// and the difference after. Runs under "ourLock", whose guard `held` is.
void correctUptime(Stopwatch& stopwatch, const YCriticalSectionLock& held, int64_t etalonMs);
