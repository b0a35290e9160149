#pragma once

#include "agent/probes/ProbeCreationResult.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// Registers the named probe classes (Java form). The built-in "com.brantel.probes.builtin.ClassLoading"
// is made at once; probe classes by name are not looked up by this build yet, so every other name comes
// back as an error that says so, and the agent runs on without the probe.
void registerProbesByName(const YVector<YString>& names, bool attaching, ProbeCreationResult& result);
