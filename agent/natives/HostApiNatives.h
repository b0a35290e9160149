#pragma once

#include <jni.h>

// The host's com.brantel.tallyscope.hostApi.HostApiNatives: the dispatch by key and the clocks of
// com.brantel.runtime.Callback, for a host that loads the library without the agent.

extern "C" {

JNIEXPORT jobject JNICALL Java_com_brantel_tallyscope_hostApi_HostApiNatives_dispatchNullable(JNIEnv* env,
                                                                                             jclass natives,
                                                                                             jstring key,
                                                                                             jobjectArray arguments);
JNIEXPORT jlong JNICALL Java_com_brantel_tallyscope_hostApi_HostApiNatives_dispatchLong(JNIEnv* env, jclass natives,
                                                                                       jstring key);
JNIEXPORT jlong JNICALL Java_com_brantel_tallyscope_hostApi_HostApiNatives_getUptimeMs(JNIEnv* env, jclass natives);
JNIEXPORT jlong JNICALL Java_com_brantel_tallyscope_hostApi_HostApiNatives_getProcessCpuTimeNs(JNIEnv* env,
                                                                                              jclass natives);
JNIEXPORT jlong JNICALL Java_com_brantel_tallyscope_hostApi_HostApiNatives_getSystemCpuTimeNs(JNIEnv* env,
                                                                                             jclass natives);

}  // extern "C"
