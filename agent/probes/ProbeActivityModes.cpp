#include "agent/probes/ProbeActivityModes.h"

#include "agent/probes/ProbeRegistry.h"
#include "agent/probes/ProbeRetransformation.h"
#include "agent/support/FatalError.h"
#include "agent/support/Log.h"

YString setProbeActivityModes(JNIEnv* env, const YVector<YString>* names, const YVector<int32_t>* modes) {
  if (names == nullptr || modes == nullptr) {
    assertionFailed("assertion failed: value is NULL", "ProbeActivityModes", __LINE__);
  }
  if (names->size != modes->size) assertionFailed("assertion failed", "ProbeActivityModes", __LINE__);
  if (names->size == 0) return YString();
  YVector<ProbeDescriptor*> changed;
  {
    YCriticalSectionLock held(&probeRegistryLock(), "ProbeActivityModes:set");
    for (int32_t p = 0; p < ourTopProbes.size; p++) {
      TopProbe* probe = ourTopProbes[p];
      if (probe == nullptr) assertionFailed("assertion failed: value is NULL", "ProbeActivityModes", __LINE__);
      const int32_t at = names->indexOf(probe->name);
      if (at < 0 || (*modes)[at] == probe->mode) continue;
      probe->mode = PROBE_ACTIVITY_MODE((*modes)[at]);
      changed.addAll(probe->descriptors);
    }
  }
  if (changed.size > 0) return retransformProbes(env, &changed);
  YString text("Changing probe activity modes: nothing has changed: ");
  for (int32_t i = 0; i < names->size; i++) text.append(YString("\n  ") + (*names)[i]);
  logMessage(text);
  return YString();
}

void getProbeNamesByMode(YVector<YString>* names, int32_t mode) {
  if (names == nullptr) assertionFailed("assertion failed: value is NULL", "ProbeActivityModes", __LINE__);
  names->removeRange(0, names->size);
  YCriticalSectionLock held(&probeRegistryLock(), "ProbeActivityModes:byMode");
  for (int32_t p = 0; p < ourTopProbes.size; p++) {
    const TopProbe* probe = ourTopProbes[p];
    if (probe == nullptr) assertionFailed("assertion failed: value is NULL", "ProbeActivityModes", __LINE__);
    if (probe->mode == mode && (probe->descriptors.size > 0 || probe->tableIds.size > 0)) names->add(probe->name);
  }
}
