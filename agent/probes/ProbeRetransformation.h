#pragma once

#include <jni.h>

#include "agent/probes/ProbeRegistry.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// Retransforms the loaded classes that the new probes and those being unregistered match, in one
// RetransformClasses call, so that classes loaded before a probe was registered or removed get its
// callbacks woven in or taken out. Logs "Classes to retransform: <n> (<reason>)" with a sorted
// "<class> <<< <probe class>" line per class. Interfaces, arrays, unmodifiable classes and the classes
// the JVM cannot retransform never count; a class whose pattern holds "*" counts for a probe with
// retransformIfInstanceOf names only when it extends or implements one of them (asked of the Java
// side's ClassTree).
//
// Once the classes were retransformed, or when none was to be, the probes settle: the new ones count as
// applied and those being unregistered are destroyed. A refused retransformation settles nothing, so the
// next call tries again, and its message, which is the result, names the probe classes not applied:
// "Class retransform failed: <reason> <attach 0|1> error=<code>:<name>; not applied: <probe>, ...".
//
// `attach` is true only for the call of the attach sequence: every candidate class that no probe matches
// then gets tag 1 in the retransform environment (when there is one), marking it for the retransformation
// of the classes loaded before the agent attached; without `attach` a matched class gets tag 0 there, as
// it is retransformed here. The caller holds no lock: the class-file hook that the retransformation runs
// on this thread reads the registry.
YString computeClassesToRetransform(JNIEnv* env, const YString& reason, bool attach);

// Retransforms the loaded probe classes of the descriptors (none may be null), so that the class-file hook
// rewrites their callbacks for their names' current activity modes. Logs "Probe classes to retransform:
// <n>" with the sorted names. Empty, or "Probe classes retransform failed: <code>:<name>". The caller holds
// no lock.
YString retransformProbes(JNIEnv* env, const YVector<ProbeDescriptor*>* probes);
