#pragma once

#include <jni.h>

#include <cstdint>

#include "agent/support/YString.h"

// Pending Java exceptions, the exceptions the natives answer Java with, and class lookup. Every helper
// runs on the calling Java thread with that thread's JNIEnv. While an exception is pending none calls a
// JNI function other than ExceptionOccurred, ExceptionCheck, ExceptionClear and DeleteLocalRef: any other
// call is undefined then, and "-Xcheck:jni" reports it.

// A pending exception after a JNI call that must not fail is a broken invariant: fatal error "assertJni
// failed at <file>:<line>\n<describeJavaException>". The exception stays pending. Nothing otherwise.
void assertJni(JNIEnv* env, const char* file, int32_t line);

// "<class name>: <message>" of `exception`; empty when the exception is null or when its class name or
// message cannot be had or is null. An exception pending on entry (which may be `exception` itself) is
// set aside for the calls and pending again on return; whatever the calls raise is cleared.
YString describeJavaException(JNIEnv* env, jthrowable exception);

// When an exception is pending: clears it and logs, with the memory figures, "(previous error additional
// info): exception message: <description>". Nothing otherwise. For error paths that go on without it.
void clearAndLogPendingException(JNIEnv* env);

// java.lang.RuntimeException with `message` becomes the pending exception, replacing one that is pending.
void throwRuntimeException(JNIEnv* env, const char* message);
// The answer of a native that caught the fatal-error exception.
void throwNativeAssertionFailed(JNIEnv* env);
// The answer of a native that ran out of memory.
void throwDbOome(JNIEnv* env);

// After a class retransformation: a pending exception is cleared and logged as a warning.
void warnRetransformFailed(JNIEnv* env);

// FindClass; a class that cannot be found is logged by name ("findClass failed: <name>"), and its
// pending NoClassDefFoundError is then fatal.
jclass findClass(JNIEnv* env, const char* name);

// CallObjectMethodV. The caller checks for an exception.
jobject callObjectMethod(JNIEnv* env, jobject object, jmethodID method, ...);
// JNI CallStaticVoidMethod and NewObject with their arguments passed on; the caller checks for a pending
// Java exception.
void callStaticVoidMethod(JNIEnv* env, jclass klass, jmethodID method, ...);
jobject newObject(JNIEnv* env, jclass klass, jmethodID constructor, ...);

// Native of com.brantel.runtime.Callback, "(Ljava/lang/Class;)V": throws `exceptionClass` with an
// empty message.
extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_throwException(JNIEnv* env, jclass callbackClass,
                                                                                   jclass exceptionClass);
