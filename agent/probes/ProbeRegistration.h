#pragma once

#include <cstdint>

#include "agent/probes/ProbeCreationResult.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// Finds the named probe classes (Java form) and every inner class of each in the directories and
// archives of probePathList, the first entry that holds a name winning, and validates each class file
// into `result` with `initialState`. The built-in "com.brantel.probes.builtin.ClassLoading" is made at
// once. Names found nowhere, files that cannot be read and names whose classes hold no probe add errors.
// Nothing is registered yet: checkProbeNotRegistered commits the result.
void registerProbesByName(const YVector<YString>& names, int32_t initialState, ProbeCreationResult& result);

// Refuses each probe of the result whose class is registered already, or came earlier in the same
// result; when the result then holds no error, appends its probes, in order, to the registry.
void checkProbeNotRegistered(ProbeCreationResult& result);

// Takes the probe classes of the name (either form) and of its inner classes out of the registry, adding
// each class name (internal form) to `removed`, which must not be null. A class still new, never woven
// into loaded classes, is destroyed at once; any other is marked as being unregistered and stays until
// the next computeClassesToRetransform has taken its callbacks out of the loaded classes. True when one
// was so marked. The name's TopProbe stays, with its mode and tables.
bool unregisterProbe(const YString& name, YVector<YString>* removed);

// Takes the committed probes of `result` back out of the registry, when a later step of their
// registration failed: the result, now holding an error, destroys them.
void withdrawCommittedProbes(const ProbeCreationResult& result);
