#pragma once

#include <jni.h>

// Natives of com.brantel.runtime.Callback through which the Java side polls the agent's state and the
// process's figures, corrects the uptime clock and writes log lines.

extern "C" {

// Mode and capability words, counters and settings.
JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getStatus(JNIEnv* env, jclass callback);
JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getCapabilities(JNIEnv* env, jclass callback);
JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_getAllocationRecordingSettingsRecordEach(JNIEnv* env,
                                                                                                  jclass callback);
JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_getAllocationRecordingSettingsSizeLimit(JNIEnv* env,
                                                                                                 jclass callback);
JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_getTelemetryPeriodMs(JNIEnv* env, jclass callback);
JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getTotalExceptionsThrown(JNIEnv* env, jclass callback);
JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getNativeAllocationCounterResult(JNIEnv* env,
                                                                                           jclass callback);
JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getTotalCreatedObjectSize(JNIEnv* env, jclass callback);

// Clocks, CPU times and memory.
JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getUptimeMs(JNIEnv* env, jclass callback);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_correctUptimeMs(JNIEnv* env, jclass callback, jlong etalonMs);
JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getTimeNsForTracing(JNIEnv* env, jclass callback);
JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getProcessCpuTimeNs(JNIEnv* env, jclass callback);
JNIEXPORT jlongArray JNICALL Java_com_brantel_runtime_Callback_getProcessCpuTimeSplitNs(JNIEnv* env, jclass callback);
JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getSystemCpuTimeNs(JNIEnv* env, jclass callback);
JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getProcessMemoryUsage(JNIEnv* env, jclass callback);
JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getProcessPhysicalMemoryUsage(JNIEnv* env, jclass callback);
JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_getProcessID(JNIEnv* env, jclass callback, jlong handle);

// The JVM and its threads.
JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_getPhase(JNIEnv* env, jclass callback);
JNIEXPORT jboolean JNICALL Java_com_brantel_runtime_Callback_shouldSkipThread(JNIEnv* env, jclass callback);
JNIEXPORT jintArray JNICALL Java_com_brantel_runtime_Callback_getFrozenThreadsImpl(JNIEnv* env, jclass callback,
                                                                                   jlong thresholdMs);
JNIEXPORT jclass JNICALL Java_com_brantel_runtime_Callback_findLoadedClass(JNIEnv* env, jclass callback,
                                                                           jstring signature);
JNIEXPORT jboolean JNICALL Java_com_brantel_runtime_Callback_forceGarbageCollectionJvmti(JNIEnv* env, jclass callback);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_onUncaughtException(JNIEnv* env, jclass callback);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_onLoadNativeLibrary(JNIEnv* env, jclass callback);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_excludeThreadFromAsyncSampling(JNIEnv* env, jclass callback);

// Log lines.
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_messageToLogFile(JNIEnv* env, jclass callback, jstring text);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_messageToStderr(JNIEnv* env, jclass callback, jstring text);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_messageToStdout(JNIEnv* env, jclass callback, jstring text);

}  // extern "C"
