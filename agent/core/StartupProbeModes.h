#pragma once

#include <cstdint>

#include "agent/support/YString.h"
#include "agent/support/YStringMap.h"

// How a probe's callbacks behave: Off does nothing, On runs them, Auto runs them while CPU sampling or
// tracing is on.
enum PROBE_ACTIVITY_MODE : int32_t { PROBE_OFF = 0, PROBE_ON = 1, PROBE_AUTO = 2 };
// Not a mode: the probe options' request to forget a probe name altogether.
constexpr int32_t PROBE_DISABLE = -1;

// The probe classes to register at start-up, by class name, with the mode each starts in; a name that
// is not held starts On. Filled by the start-up options on the loading thread and only read afterwards.
// Never destroyed, since threads may still read it while the process exits.
YStringMap<PROBE_ACTIVITY_MODE>& startupProbeModes();

// Sets the name's mode to On, appending the name when it is not held.
void addEnabledProbeClass(const YString& name);
// Forgets the name; nothing when it is not held.
void removeEnabledProbeClass(const YString& name);
// Add, or remove, the nine build-monitoring probe classes (Ant, Gradle, JUnit, Maven, processes,
// shutdown hooks, TestNG, test support, threads).
void enableMonitoringProbes();
void disableMonitoringProbes();

// Applies a probe option: a plain name (no "*") with a mode is first added; then every held name the
// pattern matches ("*" for any run of characters, whole name, case-sensitive) takes the mode, or with
// PROBE_DISABLE is forgotten.
void addProbeActivityPattern(const YString& pattern, int32_t mode);
