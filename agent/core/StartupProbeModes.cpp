#include "agent/core/StartupProbeModes.h"

#include "agent/support/CommonUtils.h"
#include "agent/support/YVector.h"

namespace {

const char* const monitoringProbeClasses[] = {
    "com.brantel.probes.tallyscope.Ant",        "com.brantel.probes.tallyscope.Gradle",
    "com.brantel.probes.tallyscope.JUnitTests", "com.brantel.probes.tallyscope.Maven",
    "com.brantel.probes.tallyscope.Processes",  "com.brantel.probes.tallyscope.ShutdownHook",
    "com.brantel.probes.tallyscope.TestNg",     "com.brantel.probes.tallyscope.TestsSupport",
    "com.brantel.probes.tallyscope.Threads",
};

}  // namespace

YStringMap<PROBE_ACTIVITY_MODE>& startupProbeModes() {
  static YStringMap<PROBE_ACTIVITY_MODE>* const modes = new YStringMap<PROBE_ACTIVITY_MODE>();
  return *modes;
}

void addEnabledProbeClass(const YString& name) { startupProbeModes().set(name, PROBE_ON); }

void removeEnabledProbeClass(const YString& name) { startupProbeModes().remove(name); }

void enableMonitoringProbes() {
  for (const char* name : monitoringProbeClasses) addEnabledProbeClass(name);
}

void disableMonitoringProbes() {
  for (const char* name : monitoringProbeClasses) removeEnabledProbeClass(name);
}

void addProbeActivityPattern(const YString& pattern, int32_t mode) {
  if (!pattern.contains("*") && mode != PROBE_DISABLE) addEnabledProbeClass(pattern);
  YStringMap<PROBE_ACTIVITY_MODE>& modes = startupProbeModes();
  YVector<YString> disabled;
  for (int32_t i = 0; i < modes.keys.size; i++) {
    if (!matchesWildcardStrings(pattern, modes.keys[i])) continue;
    if (mode == PROBE_DISABLE) {
      disabled.add(modes.keys[i]);
    } else {
      modes.values.set(i, PROBE_ACTIVITY_MODE(mode));
    }
  }
  for (int32_t i = 0; i < disabled.size; i++) removeEnabledProbeClass(disabled[i]);
}
