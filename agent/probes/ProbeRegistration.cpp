#include "agent/probes/ProbeRegistration.h"

YString ProbeCreationResult::getErrorsText() const {
  YString text;
  for (int32_t i = 0; i < errors.size; i++) {
    if (i > 0) text.append("\n");
    text.append(errors[i]);
  }
  return text;
}

void registerProbesByName(const YVector<YString>& names, bool attaching, ProbeCreationResult& result) {
  (void)attaching;  // decides the probes' initial state once they can be registered
  for (int32_t i = 0; i < names.size; i++) {
    result.errors.add(YString("cannot register probe class ") + names[i] + ": probes are not available in this build");
  }
}
