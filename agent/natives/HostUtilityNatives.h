#pragma once

#include <jni.h>

// Small natives of the host's com.brantel.Natives beside the object storage: a long[] filled from a
// binary file, process, port, directory, pattern and memory queries, and an opaque native handle that
// createDatabase hands out and deleteDatabaseImpl takes back.

extern "C" {

JNIEXPORT void JNICALL Java_com_brantel_Natives_readLongArrayFromFile(JNIEnv* env, jclass natives, jstring path,
                                                                      jlongArray array);
JNIEXPORT jboolean JNICALL Java_com_brantel_Natives_isLivePid(JNIEnv* env, jclass natives, jint pid);
JNIEXPORT jint JNICALL Java_com_brantel_Natives_getPid(JNIEnv* env, jclass natives);
JNIEXPORT jint JNICALL Java_com_brantel_Natives_getFreePort(JNIEnv* env, jclass natives, jint from, jint to);
JNIEXPORT jstring JNICALL Java_com_brantel_Natives_getPlatformTempDir(JNIEnv* env, jclass natives);
JNIEXPORT jboolean JNICALL Java_com_brantel_Natives_matches(JNIEnv* env, jclass natives, jstring pattern,
                                                            jstring text);
JNIEXPORT jlong JNICALL Java_com_brantel_Natives_getSystemPhysicalMemorySize(JNIEnv* env, jclass natives);
JNIEXPORT jlong JNICALL Java_com_brantel_Natives_createDatabase(JNIEnv* env, jclass natives);
JNIEXPORT void JNICALL Java_com_brantel_Natives_deleteDatabaseImpl(JNIEnv* env, jclass natives, jlong handle);

}  // extern "C"
