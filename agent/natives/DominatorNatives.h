#pragma once

#include <jni.h>

// The host's dominator computation over files (com.brantel.Natives.dc): every outcome is a return code,
// never a Java exception of its own.

extern "C" {

// Null strings stand for empty ones; the temporary directory serves the low-memory algorithm.
JNIEXPORT jint JNICALL Java_com_brantel_Natives_dc(JNIEnv* env, jclass natives, jstring inputFile, jstring outputFile,
                                                   jstring algorithm, jstring tempDirectory);

}  // extern "C"
