#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

#include "agent/platform/YCriticalSection.h"
#include "agent/support/YString.h"

// The agent thread "BZPAgent-CpuSampler" and the switches of sampling. The thread is made by the first
// start and lives as long as the process, or until the JVM dies; while sampling is off it looks at the
// mode word every 100 ms, and while it is on it runs one cycle under "ourLock" every sampling period
// ("sampling_period_ms=" of the sampling settings). The switches run under "ourLock" (`held`).

// Whether the mode word asks for sampling cycles: CPU sampling, or allocation recording that takes each
// thread's last sampled frame as the stack of its allocations.
bool samplingOn(uint64_t mode);

// Starts sampling in the sampling mode (0, 0x20000 or 0x40000): empty when it runs, else why not, and
// then nothing has changed. `settings` is the sampling settings text given with the start, null for
// none (the settings file or the built-in text then).
YString startSampling(JNIEnv* env, uint64_t samplingMode, const YString* settings, const YCriticalSectionLock& held);
// Logs "stop sampling", tells the sampler and clears the sampling mode; the thread idles.
void stopSampling(const YCriticalSectionLock& held);
// Stops sampling when it runs and starts it in the mode. A refused start that leaves sampling asked
// for falls back to synchronous sampling and still answers the refusal.
YString restartSampling(JNIEnv* env, uint64_t samplingMode, const YString* settings, const YCriticalSectionLock& held);
// Starts synchronous sampling unless sampling runs, so that allocations find a sampled frame.
void ensureSamplingForAllocations(JNIEnv* env, const YCriticalSectionLock& held);

// The sampler thread's body, on the main environment.
void JNICALL samplerThreadMain(jvmtiEnv* jvmti, JNIEnv* env, void* argument);
