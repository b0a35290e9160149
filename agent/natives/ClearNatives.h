#pragma once

#include <jni.h>

// Natives of com.brantel.runtime.Callback that clear one kind of recorded data, or advance the object
// generation. Each runs its routine under "ourLock" and then announces itself with a profiler message.
// Without a database they throw "must run with the profiler agent".

extern "C" {

JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_clearAllocationData(JNIEnv* env, jclass callback);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_clearCpuData(JNIEnv* env, jclass callback);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_clearExceptions(JNIEnv* env, jclass callback);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_clearMonitorData(JNIEnv* env, jclass callback);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_advanceGeneration(JNIEnv* env, jclass callback,
                                                                           jstring description);

}  // extern "C"
