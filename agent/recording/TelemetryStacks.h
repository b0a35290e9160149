#pragma once

#include <jni.h>

struct TelemetryRecord;

// Adds an entry {sequence number, frame, JVMTI thread state, CPU time} to the telemetry point for every
// live thread that has a record, keeping each thread's stack checkpoint. The sampler and detector
// threads make no entry and lose their checkpoint. Nothing is added while the JVM is going. Runs under
// "ourLock".
void collectThreadStacks(JNIEnv* env, TelemetryRecord* record);
