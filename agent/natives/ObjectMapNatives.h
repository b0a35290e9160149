#pragma once

#include <jni.h>

// Natives of com.brantel.runtime.Callback for the Java side's maps from objects to int values and its
// object identifiers.

extern "C" {

JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_createObjectMap(JNIEnv* env, jclass callback);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_deleteObjectMap(JNIEnv* env, jclass callback, jlong map);
JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_objectMapGet(JNIEnv* env, jclass callback, jlong map,
                                                                      jobject object);
JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_objectMapPut(JNIEnv* env, jclass callback, jlong map,
                                                                      jobject object, jint value, jboolean conditional,
                                                                      jint expected);
JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_objectGetId(JNIEnv* env, jclass callback, jobject object);
JNIEXPORT jboolean JNICALL Java_com_brantel_runtime_Callback_isLiveObjectId(JNIEnv* env, jclass callback, jlong id);

}  // extern "C"
