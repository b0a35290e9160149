#include "agent/natives/HostProcessNatives.h"

#include "agent/core/Markers.h"
#include "agent/core/SessionName.h"
#include "agent/natives/NativeBarrier.h"
#include "agent/platform/Clocks.h"
#include "agent/platform/ProcessBitness.h"
#include "agent/platform/ProcessHandles.h"
#include "agent/platform/Processes.h"
#include "agent/support/JniArrays.h"
#include "agent/support/JniStrings.h"

namespace {

constexpr const char* source = "Natives";

YVector<YString> commandLineOf(jint pid) {
  YVector<YString> arguments;
  getCommandLineByPid(arguments, uint32_t(pid));
  return arguments;
}

}  // namespace

int32_t getProcessBitnessImpl(int32_t pid) { return getProcessBitness(uint32_t(pid)); }

extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_Natives_getCommandLineByPid(JNIEnv* env, jclass, jint pid) {
  return runNativeIn(env, source, __LINE__, [&] {
    const YVector<YString> arguments = commandLineOf(pid);
    YString joined;
    for (int32_t i = 0; i < arguments.size; i++) {
      if (i > 0) joined.append('\n');
      joined.append(arguments[i]);
    }
    return toJavaString(env, joined);
  });
}

extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_Natives_getSessionNameByCommandLine(JNIEnv* env, jclass,
                                                                                         jint pid) {
  return runNativeIn(env, source, __LINE__, [&] { return toJavaString(env, getSessionName(commandLineOf(pid), false)); });
}

// The executable's path, else the first argument, else empty.
extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_Natives_getProcessPathByPid(JNIEnv* env, jclass, jint pid) {
  return runNativeIn(env, source, __LINE__, [&] {
    const YString path = getProcessPathByPid(uint32_t(pid));
    if (path.length > 0) return toJavaString(env, path);
    const YVector<YString> arguments = commandLineOf(pid);
    return toJavaString(env, arguments.size > 0 ? arguments[0] : YString());
  });
}

extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_Natives_getProcessOwner(JNIEnv* env, jclass, jint pid) {
  return runNativeIn(env, source, __LINE__, [&]() -> jstring {
    const YString owner = getProcessOwnerByPid(uint32_t(pid));
    return owner.length > 0 ? toJavaString(env, owner) : nullptr;
  });
}

extern "C" JNIEXPORT jint JNICALL Java_com_brantel_Natives_getProcessBitnessImpl(JNIEnv* env, jclass, jint pid) {
  return runNativeIn(env, source, __LINE__, [&] { return jint(getProcessBitnessImpl(pid)); });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_Natives_getOtherProcessCpuTimeNs(JNIEnv* env, jclass, jint pid) {
  return runNativeIn(env, source, __LINE__, [&] { return jlong(getOtherProcessCpuTimeNs(uint32_t(pid))); });
}

// 0 when the handle names no process (any more).
extern "C" JNIEXPORT jint JNICALL Java_com_brantel_Natives_getProcessID(JNIEnv* env, jclass, jlong handle) {
  return runNativeIn(env, source, __LINE__, [&] {
    if (handle == 0) assertionFailed("assertion failed", source, 501);
    return jint(getProcessIdOfHandle(handle));
  });
}

extern "C" JNIEXPORT jintArray JNICALL Java_com_brantel_Natives_getSpecialJavaPids(JNIEnv* env, jclass) {
  return runNativeIn(env, source, __LINE__, [&] {
    YVector<uint32_t> found;
    getSpecialJavaPids(&found);
    YVector<int32_t> pids;
    for (int32_t i = 0; i < found.size; i++) pids.add(int32_t(found[i]));
    return toJavaIntArray(env, pids);
  });
}

// Pid, port and type of each marked process, one after the other.
extern "C" JNIEXPORT jintArray JNICALL Java_com_brantel_Natives_fillMarked(JNIEnv* env, jclass, jint typeMask) {
  return runNativeIn(env, source, __LINE__, [&]() -> jintArray {
    YVector<int32_t> marked;
    if (!fillMarkedPids(typeMask, &marked)) return nullptr;
    return toJavaIntArray(env, marked);
  });
}

extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_Natives_getSessionNameFromMarker(JNIEnv* env, jclass,
                                                                                      jint pid) {
  return runNativeIn(env, source, __LINE__, [&] { return toJavaString(env, getSessionNameFromMarker(pid)); });
}
