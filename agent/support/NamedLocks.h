#pragma once

#include "agent/platform/YCriticalSection.h"

// The process-wide locks. Each is made on first use, so none depends on the order of static
// construction, and each lives until the process ends.

// The event database and the recording modes: starting and stopping modes, sampler cycles, table
// writing and snapshots, telemetry clears, the VMInit sequence and uptime correction.
YCriticalSection& ourLock();
// The map of process-exit listeners and the list of exit records.
YCriticalSection& processListenerLock();
// The object maps and their live values.
YCriticalSection& javaObjectMapLock();
// The object identifier counter and the tags it hands out.
YCriticalSection& javaObjectMapLock2();
