#pragma once

#include <jni.h>

// Natives of com.brantel.runtime.Callback that start and stop the recording modes. A start answers null
// when the mode runs, else the reason. Start-up calls the three starts with a null class and null
// settings for the modes the options ask for.

extern "C" {

JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_startCpuProfiling(JNIEnv* env, jclass callback, jlong mode,
                                                                              jstring settings);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_stopCpuProfiling(JNIEnv* env, jclass callback,
                                                                          jboolean report);
JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_startAllocationRecording(JNIEnv* env, jclass callback,
                                                                                     jint recordEach, jint sizeLimit,
                                                                                     jlong mode, jstring settings);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_stopAllocationRecording(JNIEnv* env, jclass callback);
JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_startMonitorProfiling(JNIEnv* env, jclass callback);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_stopMonitorProfiling(JNIEnv* env, jclass callback);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_startExceptionProfiling(JNIEnv* env, jclass callback);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_stopExceptionProfiling(JNIEnv* env, jclass callback);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_startStackTelemetry(JNIEnv* env, jclass callback);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_stopStackTelemetry(JNIEnv* env, jclass callback);

}  // extern "C"
