#pragma once

#include <jni.h>

#include <cstdint>

#include "agent/platform/YCriticalSection.h"

// The object generation: the id of the newest "generation" row. The high 32 bits of every object tag the
// agent sets on the main JVMTI environment hold the generation in which the object was first seen.
int32_t getCurrentGeneration();

// Starts a new object generation named by `description`: a "generation" row with the description and the
// agent uptime in ms, then every heap object whose tag has 0 in its high half gets the new generation
// there (objects already tagged with a generation keep theirs). The caller holds "ourLock"; `held` is its
// guard. Fatal "db is NULL" without a database.
void startGeneration(const YCriticalSectionLock& held, JNIEnv* env, const char* description);

// Forgets the current generation, for a test that makes a fresh database.
void resetCurrentGenerationForTest();
