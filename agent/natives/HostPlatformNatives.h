#pragma once

#include <jni.h>

// Natives of the host's com.brantel.Natives about the machine and the library itself: host name,
// platform, rights and elevated launch, the screen, the running-host mutex, checks of start-up options
// and method patterns, the agent log, the tracing clock, and the class transformer (only under the
// agent).

extern "C" {

JNIEXPORT jstring JNICALL Java_com_brantel_Natives_getHostName(JNIEnv* env, jclass natives);
JNIEXPORT void JNICALL Java_com_brantel_Natives_createMutex(JNIEnv* env, jclass natives);
JNIEXPORT jboolean JNICALL Java_com_brantel_Natives_is64BitMachineImpl(JNIEnv* env, jclass natives);
JNIEXPORT jstring JNICALL Java_com_brantel_Natives_getPlatform(JNIEnv* env, jclass natives);
JNIEXPORT jboolean JNICALL Java_com_brantel_Natives_isAdministrator(JNIEnv* env, jclass natives);
JNIEXPORT jintArray JNICALL Java_com_brantel_Natives_runAsAdministratorImpl(JNIEnv* env, jclass natives, jstring file,
                                                                            jstring parameters, jboolean wait,
                                                                            jboolean hidden);
JNIEXPORT jint JNICALL Java_com_brantel_Natives_getXResolutionWindowsImpl(JNIEnv* env, jclass natives);
JNIEXPORT jstring JNICALL Java_com_brantel_Natives_validateStartupOptions(JNIEnv* env, jclass natives,
                                                                          jstring options);
JNIEXPORT jstring JNICALL Java_com_brantel_Natives_validateMethodPattern(JNIEnv* env, jclass natives,
                                                                         jstring pattern);
JNIEXPORT void JNICALL Java_com_brantel_Natives_messageToLogFile(JNIEnv* env, jclass natives, jstring text);
JNIEXPORT jstring JNICALL Java_com_brantel_Natives_getLogFilePath(JNIEnv* env, jclass natives);
JNIEXPORT jlong JNICALL Java_com_brantel_Natives_getTimeNsForTracing(JNIEnv* env, jclass natives);
JNIEXPORT jbyteArray JNICALL Java_com_brantel_Natives_retransformClass(JNIEnv* env, jclass natives,
                                                                       jstring className, jbyteArray classBytes);

}  // extern "C"
