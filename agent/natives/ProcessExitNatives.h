#pragma once

#include <jni.h>

// Natives of com.brantel.runtime.Callback that watch other processes for their exit.

extern "C" {

JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_registerProcessExitListener(JNIEnv* env, jclass callback,
                                                                                     jlong handle, jint pid);
JNIEXPORT jintArray JNICALL Java_com_brantel_runtime_Callback_getExitedProcesses(JNIEnv* env, jclass callback);

}  // extern "C"
