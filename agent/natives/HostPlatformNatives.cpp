#include "agent/natives/HostPlatformNatives.h"

#include <cstdint>

#include "agent/core/AgentFlags.h"
#include "agent/core/Options.h"
#include "agent/db/DB.h"
#include "agent/instrumentation/ClassTransformer.h"
#include "agent/natives/NativeBarrier.h"
#include "agent/natives/ProbeNatives.h"
#include "agent/platform/Clocks.h"
#include "agent/platform/Elevation.h"
#include "agent/platform/InterProcessMutex.h"
#include "agent/platform/Screen.h"
#include "agent/platform/SystemInfo.h"
#include "agent/support/HostQueries.h"
#include "agent/support/JniArrays.h"
#include "agent/support/JniStrings.h"
#include "agent/support/JniUtils.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Log.h"
#include "agent/support/NamedLocks.h"

namespace {

constexpr const char* source = "Natives";
// The agent-flags word against which the host checks options: tracing and allocation instrumentation
// allowed, heap sampling and compiled-method events available, as in a JVM that allows everything.
constexpr uint64_t hostCheckFlags = AGENT_TRACING_INSTRUMENTATION | AGENT_ALLOCATION_INSTRUMENTATION |
                                    AGENT_HEAP_SAMPLING | AGENT_COMPILED_METHOD_EVENTS;
static_assert(hostCheckFlags == 0xc0140, "the host checks options against 0xc0140");

// The transformer's output for one class; null when it left the class as it was.
jbyteArray transformedBytes(JNIEnv* env, const YString& name, const YVector<uint8_t>& bytes) {
  jint newLength = 0;
  unsigned char* newBytes = nullptr;
  bool failed = false;
  {
    YCriticalSectionLock held(&ourLock(), "Natives:44");
    try {
      transformClass(name, bytes.size, bytes.data, &newLength, &newBytes, false, false);
    } catch (...) {
      onExceptionCaught(source, 57);
      logMessage(YString("warning: the previous exception happened while processing ") + name);
      failed = true;
    }
  }
  if (failed) {
    throwRuntimeException(env, "Native exception happened - see the log");
    return nullptr;
  }
  if (newLength == 0 || newBytes == nullptr) return nullptr;
  const jbyteArray result = newByteArray(env, newBytes, newLength);
  jvmtiDeallocate(newBytes);
  return result;
}

}  // namespace

extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_Natives_getHostName(JNIEnv* env, jclass) {
  return runNativeIn(env, source, __LINE__, [&] { return toJavaString(env, getHostName()); });
}

// Each call opens the mutex anew and never closes it: it marks a running host for the life of the
// process, and a second call finds it there.
extern "C" JNIEXPORT void JNICALL Java_com_brantel_Natives_createMutex(JNIEnv* env, jclass) {
  runNativeIn(env, source, __LINE__, [] { new InterProcessMutex("Brantel TallyScope RUNNING"); });
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_brantel_Natives_is64BitMachineImpl(JNIEnv* env, jclass) {
  return runNativeIn(env, source, __LINE__, [] { return jboolean(is64BitMachine()); });
}

extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_Natives_getPlatform(JNIEnv* env, jclass) {
  return runNativeIn(env, source, __LINE__, [&] { return toJavaString(env, getPlatformDirName()); });
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_brantel_Natives_isAdministrator(JNIEnv* env, jclass) {
  return runNativeIn(env, source, __LINE__, [] { return jboolean(isAdministratorImpl() != 0); });
}

// [exit code] after waiting, [0] without; null when the launch failed (always on Linux, which has no
// elevated launch).
extern "C" JNIEXPORT jintArray JNICALL Java_com_brantel_Natives_runAsAdministratorImpl(JNIEnv* env, jclass,
                                                                                       jstring file,
                                                                                       jstring parameters,
                                                                                       jboolean wait,
                                                                                       jboolean hidden) {
  return runNativeIn(env, source, __LINE__, [&]() -> jintArray {
    if (file == nullptr) {
      throwRuntimeException(env, "file is null");
      return nullptr;
    }
    if (parameters == nullptr) {
      throwRuntimeException(env, "parameters are null");
      return nullptr;
    }
    int32_t exitCode = 0;
    if (!runAsAdministrator(jstringToYString(env, file), jstringToYString(env, parameters),
                            wait == JNI_TRUE ? &exitCode : nullptr, hidden == JNI_TRUE)) {
      return nullptr;
    }
    YVector<int32_t> result;
    result.add(exitCode);
    return toJavaIntArray(env, result);
  });
}

extern "C" JNIEXPORT jint JNICALL Java_com_brantel_Natives_getXResolutionWindowsImpl(JNIEnv* env, jclass) {
  return runNativeIn(env, source, __LINE__, [] { return jint(getScreenLogicalDpiX()); });
}

// The empty String for valid options, else the text for the first bad token. A scratch store and flags
// word take what the tokens do; nothing of the process changes.
extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_Natives_validateStartupOptions(JNIEnv* env, jclass,
                                                                                     jstring options) {
  return runNativeIn(env, source, __LINE__, [&]() -> jstring {
    if (options == nullptr) {
      throwRuntimeException(env, "parameter is null");
      return nullptr;
    }
    const YString text = jstringToYString(env, options);
    YString error;
    {
      Options scratch;
      uint64_t flags = hostCheckFlags;
      scratch.parse(error, text, flags, false);
    }
    return toJavaString(env, error);
  });
}

extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_Natives_validateMethodPattern(JNIEnv* env, jclass natives,
                                                                                    jstring pattern) {
  return runNativeIn(env, source, __LINE__,
                     [&] { return Java_com_brantel_runtime_Callback_validateMethodPattern(env, natives, pattern); });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_Natives_messageToLogFile(JNIEnv* env, jclass, jstring text) {
  runNativeIn(env, source, __LINE__, [&] { logMessage(jstringToYString(env, text)); });
}

extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_Natives_getLogFilePath(JNIEnv* env, jclass) {
  return runNativeIn(env, source, __LINE__, [&]() -> jstring {
    const YString path = getLogFilePath();
    return path.length > 0 ? toJavaString(env, path) : nullptr;
  });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_Natives_getTimeNsForTracing(JNIEnv* env, jclass) {
  return runNativeIn(env, source, __LINE__, [] { return jlong(getTimeNs()); });
}

// The class transformer as the JVM's load hook would run it on these bytes: the new class file, or null
// when the class stays as it is.
extern "C" JNIEXPORT jbyteArray JNICALL Java_com_brantel_Natives_retransformClass(JNIEnv* env, jclass,
                                                                                  jstring className,
                                                                                  jbyteArray classBytes) {
  if (refuseWithoutDatabase(env)) return nullptr;
  return runNativeIn(env, source, __LINE__, [&] {
    if (className == nullptr) assertionFailed("assertion failed: value is NULL", source, __LINE__);
    const YString name = jstringToYString(env, className);
    YVector<uint8_t> bytes;
    appendJavaByteArray(env, &bytes, classBytes);
    return transformedBytes(env, name, bytes);
  });
}
