#pragma once

#include <jni.h>

// Natives of com.brantel.runtime.Callback through which the Java side publishes the agent's marker and
// picks ports that nobody holds.

extern "C" {

JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_createMarker(JNIEnv* env, jclass callback, jint port,
                                                                      jint type);
JNIEXPORT jintArray JNICALL Java_com_brantel_runtime_Callback_getFreePorts(JNIEnv* env, jclass callback, jint from,
                                                                           jint to);

}  // extern "C"
