#pragma once

#include <jni.h>

// Natives of com.brantel.runtime.Callback that move data between the Java side and the database: table
// replies on the Java side's socket, snapshot files and their records, properties, strings, telemetry
// points, the minimum lasting time of event rows, and class path entries for probes. Those that need
// the database throw "must run with the profiler agent" without one.

extern "C" {

JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_writeTables(JNIEnv* env, jclass callback, jint socket,
                                                                     jint tableMask, jintArray sinceGenerations);
JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_captureSnapshot(JNIEnv* env, jclass callback, jstring path,
                                                                            jint progressSocket, jlong flags);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_addSnapshotInfo(JNIEnv* env, jclass callback, jstring path,
                                                                         jlong kind);
JNIEXPORT jboolean JNICALL Java_com_brantel_runtime_Callback_findSnapshot(JNIEnv* env, jclass callback, jstring path);
JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_getDatabaseStatistics(JNIEnv* env, jclass callback);
JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_findPropertyRecordIndex(JNIEnv* env, jclass callback,
                                                                                 jint keyId);
JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_setProperty(JNIEnv* env, jclass callback, jstring key,
                                                                     jstring value);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_setPropertyByRecordIndex(JNIEnv* env, jclass callback,
                                                                                  jint row, jint valueId);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_setMinimumRecordedLastingEventTime(JNIEnv* env,
                                                                                            jclass callback,
                                                                                            jint tableId,
                                                                                            jint milliseconds);
JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_getStrID(JNIEnv* env, jclass callback, jstring text);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_storeTelemetryRecord(JNIEnv* env, jclass callback,
                                                                              jintArray properties, jintArray values,
                                                                              jintArray keys, jintArray counts);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_addProbePath(JNIEnv* env, jclass callback, jstring path);

}  // extern "C"
