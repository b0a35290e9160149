#pragma once

#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// What a registration of probe classes produced: the error texts, one per failure.
struct ProbeCreationResult {
  YVectorSafe<YString> errors;

  bool isSuccessful() const { return errors.size == 0; }
  // The error texts joined by "\n".
  YString getErrorsText() const;
};

// Registers the named probe classes (class names from the start-up options). This build has no probe
// weaver, so every name comes back as an error that says so; the agent runs on without the probe.
void registerProbesByName(const YVector<YString>& names, bool attaching, ProbeCreationResult& result);
