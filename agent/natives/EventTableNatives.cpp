#include "agent/natives/EventTableNatives.h"

#include <new>

#include "agent/db/DB.h"
#include "agent/db/EventTable.h"
#include "agent/natives/NativeBarrier.h"
#include "agent/natives/ProfilerMessage.h"
#include "agent/probes/EventTableRows.h"
#include "agent/probes/ProbeRegistry.h"
#include "agent/support/JniStrings.h"
#include "agent/support/NamedLocks.h"

// The table's id goes back to the Java side, which hands it to the probe's row natives, and is noted for
// the probe named by the first argument, whose Auto events are cleared by their tables. A negative
// refusal code of the database passes through unchanged and is noted nowhere.
extern "C" JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_createEventTable(JNIEnv* env, jclass,
                                                                                     jstring probeName,
                                                                                     jstring description) {
  if (refuseWithoutDatabase(env)) return 0;
  return runNative(env, __LINE__, [&] {
    const YString name = jstringToYString(env, probeName);
    const YString text = jstringToYString(env, description);
    YCriticalSectionLock held(&ourLock(), "CoreNatives:1237");
    const int32_t id = requireDatabase().createEventTable(text);
    if (id >= 0) {
      TopProbe* probe = getTopProbe(name);
      YCriticalSectionLock registry(&probeRegistryLock(), "CoreNatives:createEventTable");
      probe->tableIds.add(id);
    }
    return jint(id);
  });
}

extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_getEventTableDescription(JNIEnv* env, jclass,
                                                                                                jint tableId) {
  if (refuseWithoutDatabase(env)) return nullptr;
  // Without memory for the text the caller gets null and no exception.
  try {
    YCriticalSectionLock held(&ourLock(), "CoreNatives:1258");
    const EventTable* table = eventTableById(requireDatabase(), tableId);
    return table == nullptr ? nullptr : toJavaString(env, table->description);
  } catch (const std::bad_alloc&) {
    onExceptionCaught("CoreNatives", 1270);
  } catch (const BZPRuntimeException&) {
    onExceptionCaught("CoreNatives", 1270);
    throwNativeAssertionFailed(env);
  }
  return nullptr;
}

extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_getTopEventTableNames(JNIEnv* env, jclass) {
  if (refuseWithoutDatabase(env)) return nullptr;
  return runNative(env, __LINE__, [&] {
    YString names;
    requireDatabase().getTopEventTableNames(names, -1);
    return toJavaString(env, names);
  });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_clearEventTables(JNIEnv* env, jclass,
                                                                                     jstring tableNames) {
  if (refuseWithoutDatabase(env)) return;
  runNative(env, __LINE__, [&] {
    const YString names = jstringToYString(env, tableNames);
    YString cleared;
    requireDatabase().clearEventTables(cleared, names);
    profilerMessage(env, YString("Tables cleared"), names + "\n\nActually cleared:\n" + cleared);
  });
}

extern "C" JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_createEventTableRow(JNIEnv* env, jclass,
                                                                                        jint tableId) {
  if (refuseWithoutDatabase(env)) return 0;
  return runNative(env, __LINE__, [&] { return jint(createEventTableRow(env, tableId)); });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_closeEventTableRow(JNIEnv* env, jclass,
                                                                                       jint tableId, jint rowKey,
                                                                                       jboolean noEndTime,
                                                                                       jstring text) {
  if (refuseWithoutDatabase(env)) return;
  runNative(env, __LINE__, [&] {
    closeEventTableRow(env, tableId, rowKey, noEndTime == JNI_TRUE, jstringToYStringOrError(env, text));
  });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_deleteEventTableRow(JNIEnv* env, jclass,
                                                                                        jint tableId, jint rowKey) {
  if (refuseWithoutDatabase(env)) return;
  runNative(env, __LINE__, [&] { deleteEventTableRow(env, tableId, rowKey); });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_setEventTableInt32Column(JNIEnv* env, jclass,
                                                                                             jint tableId, jint rowKey,
                                                                                             jint column, jint value) {
  if (refuseWithoutDatabase(env)) return;
  runNative(env, __LINE__, [&] { setEventTableInt32Column(env, tableId, rowKey, column, value); });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_setEventTableLongColumn(JNIEnv* env, jclass,
                                                                                            jint tableId, jint rowKey,
                                                                                            jint column, jlong value) {
  if (refuseWithoutDatabase(env)) return;
  runNative(env, __LINE__, [&] { setEventTableLongColumn(env, tableId, rowKey, column, value); });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_setEventTableStringColumn(JNIEnv* env, jclass,
                                                                                              jint tableId, jint rowKey,
                                                                                              jint column,
                                                                                              jstring value) {
  if (refuseWithoutDatabase(env)) return;
  runNative(env, __LINE__,
            [&] { setEventTableStringColumn(env, tableId, rowKey, column, jstringToYStringOrError(env, value)); });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_message(JNIEnv* env, jclass, jstring message,
                                                                            jstring detail) {
  if (refuseWithoutDatabase(env)) return;
  runNative(env, __LINE__,
            [&] { profilerMessage(env, jstringToYString(env, message), jstringToYString(env, detail)); });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_messageToTable(JNIEnv* env, jclass,
                                                                                   jstring category, jstring message,
                                                                                   jstring detail) {
  runNative(env, __LINE__, [&] {
    if (category == nullptr) assertionFailed("assertion failed: value is NULL", "CoreNatives", 1324);
    if (message == nullptr) assertionFailed("assertion failed: value is NULL", "CoreNatives", 1325);
    if (detail == nullptr) assertionFailed("assertion failed: value is NULL", "CoreNatives", 1326);
    if (refuseWithoutDatabase(env)) return;
    messageToTable(env, jstringToYString(env, category), jstringToYString(env, message), jstringToYString(env, detail));
  });
}
