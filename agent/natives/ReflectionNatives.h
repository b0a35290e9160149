#pragma once

#include <jni.h>

// Natives of com.brantel.runtime.Callback, and the same family of com.brantel.Natives for the host,
// through which Java code reaches fields and methods by JNI identifiers, past the access checks of
// reflection (JniReflection.h). Each has the native barrier.

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

JNIEXPORT jlong JNICALL Java_com_brantel_Natives_getFieldId(JNIEnv* env, jclass natives, jclass type, jstring name,
                                                             jstring signature, jboolean isStatic);
JNIEXPORT jobject JNICALL Java_com_brantel_Natives_getFieldObjectValue(JNIEnv* env, jclass natives, jclass type,
                                                                       jobject object, jlong fieldId);
JNIEXPORT jlong JNICALL Java_com_brantel_Natives_getFieldPrimValue(JNIEnv* env, jclass natives, jclass type,
                                                                   jobject object, jlong fieldId, jint typeCode);
JNIEXPORT void JNICALL Java_com_brantel_Natives_setFieldObjectValue(JNIEnv* env, jclass natives, jclass type,
                                                                    jobject object, jlong fieldId, jobject value);
JNIEXPORT void JNICALL Java_com_brantel_Natives_setFieldPrimValue(JNIEnv* env, jclass natives, jclass type,
                                                                  jobject object, jlong fieldId, jint typeCode,
                                                                  jlong value);
JNIEXPORT jlong JNICALL Java_com_brantel_Natives_getMethodId(JNIEnv* env, jclass natives, jclass type, jstring name,
                                                             jstring signature, jboolean isStatic);
JNIEXPORT jobject JNICALL Java_com_brantel_Natives_callObjectMethod(JNIEnv* env, jclass natives, jclass type,
                                                                    jobject object, jlong methodId,
                                                                    jlong primitiveMask, jobjectArray arguments,
                                                                    jlongArray primitiveArguments);
JNIEXPORT jlong JNICALL Java_com_brantel_Natives_callPrimOrVoidMethod(JNIEnv* env, jclass natives, jclass type,
                                                                      jobject object, jlong methodId,
                                                                      jlong primitiveMask, jint typeCode,
                                                                      jobjectArray arguments,
                                                                      jlongArray primitiveArguments);

}  // extern "C"
