#include "agent/natives/HostApiNatives.h"

#include "agent/natives/DispatchNatives.h"
#include "agent/natives/NativeBarrier.h"
#include "agent/platform/Clocks.h"
#include "agent/support/Stopwatch.h"

namespace {

constexpr const char* source = "Natives";

}  // namespace

extern "C" JNIEXPORT jobject JNICALL Java_com_brantel_tallyscope_hostApi_HostApiNatives_dispatchNullable(
    JNIEnv* env, jclass, jstring key, jobjectArray arguments) {
  return runNativeIn(env, source, __LINE__, [&] { return dispatchNullableByKey(env, key, arguments); });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_tallyscope_hostApi_HostApiNatives_dispatchLong(JNIEnv* env, jclass,
                                                                                                  jstring key) {
  return runNativeIn(env, source, __LINE__, [&] { return dispatchLongByKey(env, key); });
}

// The uptime stopwatch starts when the library is loaded, in the host as under the agent.
extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_tallyscope_hostApi_HostApiNatives_getUptimeMs(JNIEnv* env, jclass) {
  return runNativeIn(env, source, __LINE__, [] { return jlong(stopwatchElapsedMs(agentUptimeStopwatch())); });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_tallyscope_hostApi_HostApiNatives_getProcessCpuTimeNs(JNIEnv* env,
                                                                                                         jclass) {
  return runNativeIn(env, source, __LINE__, [] { return jlong(getProcessCpuTimeNs(nullptr)); });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_tallyscope_hostApi_HostApiNatives_getSystemCpuTimeNs(JNIEnv* env,
                                                                                                        jclass) {
  return runNativeIn(env, source, __LINE__, [] { return jlong(getSystemCpuTimeNs(nullptr)); });
}
