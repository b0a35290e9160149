#pragma once

#include <jni.h>

// Fields and methods reached through JNI identifiers, for the reflection natives of
// com.brantel.runtime.Callback and com.brantel.Natives. Identifiers travel as Java longs; primitive
// values as 64-bit patterns chosen by a type code, the character of a JVM type descriptor:
//   'Z' 0 or 1, 'B' 'S' 'I' sign-extended, 'C' zero-extended, 'J' all bits, 'F' the float's bits in the
//   low half and zeros above, 'D' the double's bits, 'V' (results only) 0.
// A null object selects the static form on the class; otherwise the class is not used. Null name and
// signature strings are empty. An unknown code throws java.lang.RuntimeException "unexpected signature:
// <code>" and gives 0. Missing members and exceptions of called methods stay pending for the caller.
// The natives catch what these throw.

jlong getFieldIdImpl(JNIEnv* env, jclass type, jstring name, jstring signature, jboolean isStatic);
jlong getMethodIdImpl(JNIEnv* env, jclass type, jstring name, jstring signature, jboolean isStatic);

jobject getFieldObjectValueImpl(JNIEnv* env, jclass type, jobject object, jlong fieldId);
void setFieldObjectValueImpl(JNIEnv* env, jclass type, jobject object, jlong fieldId, jobject value);
jlong getFieldPrimValueImpl(JNIEnv* env, jclass type, jobject object, jlong fieldId, jint typeCode);
// The value narrowed from its pattern; 'V' is unknown here.
void setFieldPrimValueImpl(JNIEnv* env, jclass type, jobject object, jlong fieldId, jint typeCode, jlong value);

// Argument i is element i of `arguments`, an object unless bit i of `primitiveMask` is set and
// `primitiveArguments` is given: then it is the pattern in element i of `primitiveArguments`. Arguments
// from position 64 on are objects. A null `arguments` is a broken invariant; a `primitiveArguments` too
// short for the mask throws java.lang.RuntimeException, and the method is not called.
jobject callObjectMethodImpl(JNIEnv* env, jclass type, jobject object, jlong methodId, jlong primitiveMask,
                             jobjectArray arguments, jlongArray primitiveArguments);
jlong callPrimOrVoidMethodImpl(JNIEnv* env, jclass type, jobject object, jlong methodId, jlong primitiveMask,
                               jint typeCode, jobjectArray arguments, jlongArray primitiveArguments);
