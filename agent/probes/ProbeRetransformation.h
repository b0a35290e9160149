#pragma once

#include <jni.h>

#include "agent/support/YString.h"

// Retransforms the loaded classes that the registered probes match, so that classes loaded before a
// probe was registered or removed get its callbacks woven in or taken out. Logs "Classes to retransform:
// <n> (<reason>)" with a line per class. Only modifiable classes count: interfaces and arrays never do.
//
// `attach` is true only for the call of the attach sequence: every class examined that no probe
// matches then gets tag 1 in the retransform environment (when there is one), marking it for the
// retransformation of the classes loaded before the agent attached; without `attach` a matched class
// gets tag 0 there, as the probe step retransforms it itself.
//
// Returns the empty text, or the failure message of the retransformation. The caller holds no lock.
YString computeClassesToRetransform(JNIEnv* env, const YString& reason, bool attach);
