#pragma once

#include <jni.h>

#include <cstdint>

#include "agent/support/YString.h"

// Sampling (4, with or without one of the sampling bits 0x20000 and 0x40000), tracing (12) or call
// counting (0x1004).
bool isValidCpuProfilingMode(int64_t mode);

// The start of CPU profiling in a valid mode: empty when it started, else the reason, and then the modes
// are as they were (when the JVM refused the Callback bodies of tracing or call counting, the earlier CPU
// data are cleared already). `settings` is the settings text the start was given, null for none;
// `description`, when not null, receives the text of the filter settings loaded. Takes "ourLock" for its
// changes; the caller holds none, as tracing calls into the Java side and retransforms classes.
YString startCpuProfilingImpl(JNIEnv* env, int64_t mode, const YString* settings, YString* description);
