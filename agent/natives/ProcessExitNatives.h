#pragma once

#include <jni.h>

// Natives of com.brantel.runtime.Callback that watch other processes for their exit, each from a thread
// of its own that is no Java thread. The Java side collects (identifier, exit code) pairs by polling. A
// process that cannot be watched, or whose exit code cannot be read, is reported with exit code -1 (and
// logged), so that no poll waits for it in vain.

extern "C" {

// `handle` names the process as ProcessWatch.h describes; `pid` is the caller's identifier for it.
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_registerProcessExitListener(JNIEnv* env, jclass callback,
                                                                                     jlong handle, jint pid);
// The pending pairs [id0, code0, id1, code1, ...] in the order the processes ended, or null when none are.
JNIEXPORT jintArray JNICALL Java_com_brantel_runtime_Callback_getExitedProcesses(JNIEnv* env, jclass callback);

}  // extern "C"
