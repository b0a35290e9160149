#pragma once

#include <cstdint>

#include "agent/probes/ProbeCreationResult.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// Validates one class file as a probe class and, when it is one, adds a new ProbeDescriptor in
// `initialState` to `result`. Every class examined is listed in the result with the inner classes it
// declares; a class without @MethodPattern is skipped without an error. Every rule that fails adds an
// error; a result with errors destroys the probes it holds, so nothing of a bad class is registered.
// `className`, when given, receives the class's internal name once the class is parsed. Warnings go to
// the agent log.
void createProbeFromClass(const YVector<uint8_t>& bytes, int32_t initialState, ProbeCreationResult& result,
                          YString* className);
