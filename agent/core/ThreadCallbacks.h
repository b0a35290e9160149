#pragma once

#include <jvmti.h>

#include <atomic>
#include <cstdint>

#include "agent/platform/Clocks.h"

// The main environment's callbacks of thread, exception and class events. Each keeps every failure
// inside: a broken invariant is logged and the JVM's thread goes on.

// Exception events seen since the agent started.
extern std::atomic<uint64_t> totalExceptionsThrown;

// Gives a starting Java thread its record, under "ourLock"; nothing once the JVM is dying. `handle` and
// `osThreadId` are the calling thread's own (ThreadStart); the attach sequence announces threads that
// already run with 0 for both, and the record then keeps a global reference to the thread object. A
// thread that already has a record keeps it, with a warning.
void onThreadStart(JNIEnv* env, jthread thread, ThreadHandle handle, int64_t osThreadId);

void JNICALL threadStartCallback(jvmtiEnv* jvmti, JNIEnv* env, jthread thread);
// Retires the ending thread's record: its row gets its end time and the record is destroyed.
void JNICALL onThreadEnd(jvmtiEnv* jvmti, JNIEnv* env, jthread thread);
void JNICALL exceptionCallback(jvmtiEnv* jvmti, JNIEnv* env, jthread thread, jmethodID method, jlocation location,
                               jobject exception, jmethodID catchMethod, jlocation catchLocation);
void JNICALL exceptionCatchCallback(jvmtiEnv* jvmti, JNIEnv* env, jthread thread, jmethodID method,
                                    jlocation location, jobject exception);
void JNICALL classPrepareCallback(jvmtiEnv* jvmti, JNIEnv* env, jthread thread, jclass klass);
void JNICALL classLoadCallback(jvmtiEnv* jvmti, JNIEnv* env, jthread thread, jclass klass);
