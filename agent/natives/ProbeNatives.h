#pragma once

#include <jni.h>

// Natives of com.brantel.runtime.Callback that register, unregister, switch and describe probes, check
// method patterns and build method-listener classes, and what the CPU-profiling and clearing natives do
// to the probes in mode Auto.

// Clears the event tables of the probe names in mode Auto and logs "Events from Auto probes cleared:\n"
// with a "#<id> <table>" line for each table cleared.
void clearAutoProbeEvents();

// Retransforms the loaded probe classes of the names in mode Auto, whose callbacks follow whether CPU
// sampling or tracing runs; logs that there are none, or the failure. The caller holds no lock.
void retransformAutoProbeClasses(JNIEnv* env);

extern "C" {

JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_registerProbesByBytecode(JNIEnv* env, jclass callback,
                                                                                     jobjectArray classes,
                                                                                     jboolean define,
                                                                                     jboolean noRetransform);
JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_registerProbesByName(JNIEnv* env, jclass callback,
                                                                                 jobjectArray probeClassNames);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_unregisterProbes(JNIEnv* env, jclass callback,
                                                                          jobjectArray probeClassNames);
JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_setProbeActivityModes(JNIEnv* env, jclass callback,
                                                                                  jobjectArray probeClassNames,
                                                                                  jintArray modes);
JNIEXPORT jobjectArray JNICALL Java_com_brantel_runtime_Callback_getProbes(JNIEnv* env, jclass callback, jint mode);
JNIEXPORT jboolean JNICALL Java_com_brantel_runtime_Callback_isProbeOn(JNIEnv* env, jclass callback,
                                                                       jstring probeClassName);
JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_validateMethodPattern(JNIEnv* env, jclass callback,
                                                                                  jstring pattern);
JNIEXPORT jbyteArray JNICALL Java_com_brantel_runtime_Callback_patchTemplateClass(JNIEnv* env, jclass callback,
                                                                                  jobjectArray arguments);

}  // extern "C"
