#pragma once

#include <jni.h>

#include <cstdint>
#include <new>

#include "agent/support/BZPRuntimeException.h"
#include "agent/support/FatalError.h"
#include "agent/support/JniUtils.h"

// What every native of com.brantel.runtime.Callback shares: no C++ exception leaves a native, and a
// native that needs the database says so when the library runs without one (in the host).

// Runs the body of a native. Exhausted memory and a broken invariant (already logged by the fatal-error
// path) are logged as caught at "<file>:<line>" and handed to Java as java.lang.RuntimeException
// "db::oome" or "assertion failed in native code; see agent log for detail"; the native then answers 0,
// false or null. Locks the body took are released by their guards on the way out. Work that the JVM's end
// overtook (already logged) hands Java java.lang.RuntimeException "the JVM has ended".
template <class Body>
auto runNativeIn(JNIEnv* env, const char* file, int32_t line, Body body) -> decltype(body()) {
  try {
    return body();
  } catch (const JvmEndedException&) {
    throwRuntimeException(env, "the JVM has ended");
  } catch (const std::bad_alloc&) {
    onExceptionCaught(file, line);
    throwDbOome(env);
  } catch (const BZPRuntimeException&) {
    onExceptionCaught(file, line);
    throwNativeAssertionFailed(env);
  }
  return decltype(body())();
}

// The same for the natives of com.brantel.runtime.Callback, whose catch lines name "CoreNatives".
template <class Body>
auto runNative(JNIEnv* env, int32_t line, Body body) -> decltype(body()) {
  return runNativeIn(env, "CoreNatives", line, body);
}

// True, with java.lang.RuntimeException "must run with the profiler agent" thrown, when there is no
// database; the native then returns at once.
bool refuseWithoutDatabase(JNIEnv* env);
