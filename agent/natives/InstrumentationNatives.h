#pragma once

#include <jni.h>

// Natives of com.brantel.runtime.Callback that instrumented code reaches (method entry, exit and line,
// and allocations), and the retransformation of the classes loaded before the agent attached.

extern "C" {

JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_bzpInit0(JNIEnv* env, jclass callback, jobject object,
                                                                  jint cachedNode, jint classId, jshort line);
JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_bzpMethodEntry0(JNIEnv* env, jclass callback, jint methodId);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_bzpMethodExit0(JNIEnv* env, jclass callback, jint methodId,
                                                                        jlong token);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_bzpMethodLine0(JNIEnv* env, jclass callback, jint line);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_retransformClassesLoadedBeforeAgentAttached(JNIEnv* env,
                                                                                                     jclass callback);

}  // extern "C"
