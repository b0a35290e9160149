#pragma once

#include <jni.h>

// Natives of com.brantel.runtime.Callback through which probes and the Java side make event tables, fill
// and clear their rows, and write messages into the "Message" table and the log. Without a database they
// throw "must run with the profiler agent".

extern "C" {

JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_createEventTable(JNIEnv* env, jclass callback,
                                                                          jstring probeClassName, jstring description);
JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_getEventTableDescription(JNIEnv* env, jclass callback,
                                                                                     jint tableId);
JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_getTopEventTableNames(JNIEnv* env, jclass callback);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_clearEventTables(JNIEnv* env, jclass callback,
                                                                          jstring tableNames);
JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_createEventTableRow(JNIEnv* env, jclass callback,
                                                                             jint tableId);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_closeEventTableRow(JNIEnv* env, jclass callback, jint tableId,
                                                                            jint rowKey, jboolean noEndTime,
                                                                            jstring text);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_deleteEventTableRow(JNIEnv* env, jclass callback, jint tableId,
                                                                             jint rowKey);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_setEventTableInt32Column(JNIEnv* env, jclass callback,
                                                                                  jint tableId, jint rowKey,
                                                                                  jint column, jint value);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_setEventTableLongColumn(JNIEnv* env, jclass callback,
                                                                                 jint tableId, jint rowKey, jint column,
                                                                                 jlong value);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_setEventTableStringColumn(JNIEnv* env, jclass callback,
                                                                                   jint tableId, jint rowKey,
                                                                                   jint column, jstring value);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_message(JNIEnv* env, jclass callback, jstring message,
                                                                 jstring detail);
JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_messageToTable(JNIEnv* env, jclass callback, jstring category,
                                                                        jstring message, jstring detail);

}  // extern "C"
