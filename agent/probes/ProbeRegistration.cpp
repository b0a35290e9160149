#include "agent/probes/ProbeRegistration.h"

#include "agent/probes/ClassLoadingProbe.h"

namespace {

constexpr const char* classLoadingProbeName = "com.brantel.probes.builtin.ClassLoading";

}  // namespace

void registerProbesByName(const YVector<YString>& names, bool attaching, ProbeCreationResult& result) {
  (void)attaching;  // decides the initial state of probes found by name
  for (int32_t i = 0; i < names.size; i++) {
    if (names[i].equals(classLoadingProbeName)) {
      createClassLoadingProbe(names[i]);
    } else {
      result.addError(YString("cannot register probe class ") + names[i] + ": probes are not available in this build");
    }
  }
}
