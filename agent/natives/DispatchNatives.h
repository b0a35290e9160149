#pragma once

#include <jni.h>

// Natives of com.brantel.runtime.Callback that answer host facts and run small actions named by a key.

// The answers by key, for Callback and for the host's HostApiNatives alike. A key that none equals is
// refused with a Java exception; the caller supplies the exception barrier.
jlong dispatchLongByKey(JNIEnv* env, jstring key);
jobject dispatchNullableByKey(JNIEnv* env, jstring key, jobjectArray arguments);

extern "C" {

JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_dispatchLong(JNIEnv* env, jclass callback, jstring key);
JNIEXPORT jobject JNICALL Java_com_brantel_runtime_Callback_dispatchNullable(JNIEnv* env, jclass callback, jstring key,
                                                                             jobjectArray arguments);

}  // extern "C"
