#pragma once

#include <jni.h>

#include <cstdint>

#include "agent/core/StartupProbeModes.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// Applies the modes to the probe names (Java form, parallel vectors of equal length; neither null): each
// name takes the mode at its first index, and the loaded classes of the names whose mode changed are
// retransformed (retransformProbes), so that their callbacks follow the new modes. Unknown names are
// ignored; when nothing changed, logs "Changing probe activity modes: nothing has changed: " with the
// names given. Empty, or the failure message of the retransformation. The caller holds no lock.
YString setProbeActivityModes(JNIEnv* env, const YVector<YString>* names, const YVector<int32_t>* modes);

// The probe names in `mode`, in creation order, that have registered classes or event tables.
// `names` (not null) is cleared first.
void getProbeNamesByMode(YVector<YString>* names, int32_t mode);
