#pragma once

#include <jni.h>

// Natives of com.brantel.runtime.Callback through which the Java side reaches fields and methods by JNI
// identifiers, past the access checks of reflection.

extern "C" {

JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getFieldId(JNIEnv* env, jclass callback, jclass type,
                                                                     jstring name, jstring signature,
                                                                     jboolean isStatic);
JNIEXPORT jobject JNICALL Java_com_brantel_runtime_Callback_getFieldObjectValue(JNIEnv* env, jclass callback,
                                                                                jclass type, jobject object,
                                                                                jlong fieldId);
JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getFieldPrimValue(JNIEnv* env, jclass callback, jclass type,
                                                                            jobject object, jlong fieldId,
                                                                            jint typeCode);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_setFieldObjectValue(JNIEnv* env, jclass callback, jclass type,
                                                                             jobject object, jlong fieldId,
                                                                             jobject value);
JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_getMethodId(JNIEnv* env, jclass callback, jclass type,
                                                                      jstring name, jstring signature,
                                                                      jboolean isStatic);
JNIEXPORT jobject JNICALL Java_com_brantel_runtime_Callback_callObjectMethod(JNIEnv* env, jclass callback, jclass type,
                                                                             jobject object, jlong methodId,
                                                                             jlong primitiveMask,
                                                                             jobjectArray arguments,
                                                                             jlongArray primitiveArguments);
JNIEXPORT jlong JNICALL Java_com_brantel_runtime_Callback_callPrimOrVoidMethod(JNIEnv* env, jclass callback,
                                                                               jclass type, jobject object,
                                                                               jlong methodId, jlong primitiveMask,
                                                                               jint typeCode, jobjectArray arguments,
                                                                               jlongArray primitiveArguments);

}  // extern "C"
