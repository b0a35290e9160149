#pragma once

#include <jni.h>

#include <cstdint>

// Natives of the host's com.brantel.Natives that ask about other processes: their arguments, executable,
// owner, bitness and CPU time, the Java processes and the running agents' markers. Failures of the
// operating system give null, the empty String or a negative number, never an exception.

// Exported for programs that load the library without a JVM: 64 or 32, or the negative code of
// getProcessBitness.
extern "C" JNIEXPORT int32_t getProcessBitnessImpl(int32_t pid);

extern "C" {

JNIEXPORT jstring JNICALL Java_com_brantel_Natives_getCommandLineByPid(JNIEnv* env, jclass natives, jint pid);
JNIEXPORT jstring JNICALL Java_com_brantel_Natives_getSessionNameByCommandLine(JNIEnv* env, jclass natives, jint pid);
JNIEXPORT jstring JNICALL Java_com_brantel_Natives_getProcessPathByPid(JNIEnv* env, jclass natives, jint pid);
JNIEXPORT jstring JNICALL Java_com_brantel_Natives_getProcessOwner(JNIEnv* env, jclass natives, jint pid);
JNIEXPORT jint JNICALL Java_com_brantel_Natives_getProcessBitnessImpl(JNIEnv* env, jclass natives, jint pid);
JNIEXPORT jlong JNICALL Java_com_brantel_Natives_getOtherProcessCpuTimeNs(JNIEnv* env, jclass natives, jint pid);
JNIEXPORT jint JNICALL Java_com_brantel_Natives_getProcessID(JNIEnv* env, jclass natives, jlong handle);
JNIEXPORT jintArray JNICALL Java_com_brantel_Natives_getSpecialJavaPids(JNIEnv* env, jclass natives);
JNIEXPORT jintArray JNICALL Java_com_brantel_Natives_fillMarked(JNIEnv* env, jclass natives, jint typeMask);
JNIEXPORT jstring JNICALL Java_com_brantel_Natives_getSessionNameFromMarker(JNIEnv* env, jclass natives, jint pid);

}  // extern "C"
