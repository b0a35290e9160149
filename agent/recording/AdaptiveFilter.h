#pragma once

#include <cstdint>

#include "agent/platform/YCriticalSection.h"

// The adaptive tracing filter: it watches the traced exits and excludes a method that is called often,
// runs briefly on average and still takes a noticeable share of the tracing time (method flag 0x200),
// together with every method traced as its callee (0x600). Methods flagged 0x1000 are never excluded.
// The thresholds are those of tracingSettings. Runs under "ourLock".

// Agent uptime (ns) at the last clear of the CPU data: where the current tracing time begins.
extern int64_t tracingStartUptimeNs;

// One charged exit of `methodId` that took `elapsedNs`. The method is tested when its count of exits
// reaches the threshold and every 32768 exits after it: excluded when its average is below the maximum
// and its share of the tracing time (the uptime since tracingStartUptimeNs) above the minimum percent.
// Ids below 1 name no method and are ignored; a count that reached the int32 maximum stays there.
void adaptiveTracingStep(int32_t methodId, int64_t elapsedNs, const YCriticalSectionLock& held);
// The same step with the agent uptime given rather than read.
void adaptiveTracingStepAt(int32_t methodId, int64_t elapsedNs, int64_t uptimeNs, const YCriticalSectionLock& held);
// Forgets every method's counts and times, and notes now as the start of the tracing time; the clear of
// the CPU data calls it.
void clearAdaptiveTracingFilter(const YCriticalSectionLock& held);
