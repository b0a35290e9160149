#include "agent/natives/DatabaseNatives.h"

#include <new>

#include "agent/core/AgentFlags.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/db/DB.h"
#include "agent/db/SnapshotCapture.h"
#include "agent/db/SnapshotFile.h"
#include "agent/db/StringPool.h"
#include "agent/db/TableRequest.h"
#include "agent/natives/NativeBarrier.h"
#include "agent/probes/ClassLoadingProbe.h"
#include "agent/probes/ProbePath.h"
#include "agent/recording/TelemetryStacks.h"
#include "agent/support/JniArrays.h"
#include "agent/support/JniStrings.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Log.h"
#include "agent/support/NamedLocks.h"
#include "agent/support/Stopwatch.h"

namespace {

// Sets the value of a property row, stamping the row when the value changes. A row that holds no property
// is left alone: made here it would have no key, and the row allocator would later hand its id to a new
// property, which would then take this value or lose its own to the next call.
void setPropertyRowValue(DB& database, int32_t row, int32_t value) {
  PropertyRecord* property = database.properties.getRow(row, false);
  if (property == nullptr || property->stamp < 1 || property->value == value) return;
  property->value = value;
  property->stamp = database.currentStamp;
}

}  // namespace

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_writeTables(JNIEnv* env, jclass, jint socket,
                                                                                jint tableMask,
                                                                                jintArray sinceGenerations) {
  if (refuseWithoutDatabase(env)) return;
  runNative(env, __LINE__, [&] {
    YVector<int32_t> since;
    appendJavaIntArray(env, &since, sinceGenerations);
    writeTablesToSocket(env, SocketHandle(socket), tableMask, since);
  });
}

extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_captureSnapshot(JNIEnv* env, jclass,
                                                                                       jstring path,
                                                                                       jint progressSocket,
                                                                                       jlong flags) {
  return runNative(env, __LINE__, [&] { return captureSnapshotToFile(env, path, progressSocket, flags); });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_addSnapshotInfo(JNIEnv* env, jclass, jstring path,
                                                                                    jlong kind) {
  if (refuseWithoutDatabase(env)) return;
  runNative(env, __LINE__, [&] { addSnapshotRecord(jstringToYString(env, path), kind); });
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_brantel_runtime_Callback_findSnapshot(JNIEnv* env, jclass,
                                                                                     jstring path) {
  if (refuseWithoutDatabase(env)) return JNI_FALSE;
  return runNative(env, __LINE__, [&] { return jboolean(findSnapshotRecord(jstringToYString(env, path))); });
}

extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_runtime_Callback_getDatabaseStatistics(JNIEnv* env, jclass) {
  if (refuseWithoutDatabase(env)) return nullptr;
  return runNative(env, __LINE__, [&] {
    YString statistics;
    {
      YCriticalSectionLock held(&ourLock(), "CoreNatives:getDatabaseStatistics");
      statistics = requireDatabase().getDatabaseStatistics();
    }
    return toJavaString(env, statistics);
  });
}

extern "C" JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_findPropertyRecordIndex(JNIEnv* env, jclass,
                                                                                            jint keyId) {
  if (refuseWithoutDatabase(env)) return 0;
  return runNative(env, __LINE__, [&] {
    YCriticalSectionLock held(&ourLock(), "CoreNatives:findPropertyRecordIndex");
    return jint(requireDatabase().findPropertyRecordIndex(keyId));
  });
}

extern "C" JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_setProperty(JNIEnv* env, jclass, jstring key,
                                                                                jstring value) {
  if (refuseWithoutDatabase(env)) return 0;
  return runNative(env, __LINE__, [&] {
    const YString keyText = jstringToYString(env, key);
    const YString valueText = jstringToYString(env, value);
    YCriticalSectionLock held(&ourLock(), "CoreNatives:setProperty");
    DB& database = requireDatabase();
    const int32_t valueId = value == nullptr ? 0 : getStringId(valueText.data);
    return jint(database.setProperty(keyText.data, valueId));
  });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_setPropertyByRecordIndex(JNIEnv* env, jclass,
                                                                                             jint row, jint valueId) {
  if (refuseWithoutDatabase(env)) return;
  runNative(env, __LINE__, [&] {
    YCriticalSectionLock held(&ourLock(), "CoreNatives:setPropertyByRecordIndex");
    DB& database = requireDatabase();
    if (row < 0) assertionFailed("assertion failed", "CoreNatives", __LINE__);
    setPropertyRowValue(database, row, valueId);
  });
}

// Shorter rows are not worth keeping; the setting is tuning, so running out of memory on the way only
// leaves it unchanged.
extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_setMinimumRecordedLastingEventTime(
    JNIEnv* env, jclass, jint tableId, jint milliseconds) {
  if (refuseWithoutDatabase(env)) return;
  try {
    YCriticalSectionLock held(&ourLock(), "CoreNatives:setMinimumRecordedLastingEventTime");
    EventTable* table = eventTableById(requireDatabase(), tableId);
    if (table != nullptr) table->minimumLastingMs = milliseconds;
  } catch (const std::bad_alloc&) {
    onExceptionCaught("CoreNatives", __LINE__);
  } catch (const BZPRuntimeException&) {
    onExceptionCaught("CoreNatives", __LINE__);
    throwNativeAssertionFailed(env);
  }
}

extern "C" JNIEXPORT jint JNICALL Java_com_brantel_runtime_Callback_getStrID(JNIEnv* env, jclass, jstring text) {
  if (text == nullptr) return 0;
  if (refuseWithoutDatabase(env)) return 0;
  return runNative(env, __LINE__, [&] {
    const YString converted = jstringToYString(env, text);
    YCriticalSectionLock held(&ourLock(), "CoreNatives:getStrID");
    return jint(getStringId(converted.data));
  });
}

// One telemetry point per period: the reserved "telec." property rows from `properties` (element 0 is
// unused), then a new point of the "tele" ring with the 12 fixed values and the key and count pairs.
extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_storeTelemetryRecord(
    JNIEnv* env, jclass, jintArray properties, jintArray values, jintArray keys, jintArray counts) {
  if (refuseWithoutDatabase(env)) return;
  runNative(env, __LINE__, [&] {
    YVector<int32_t> propertyValues, fixedValues, pairKeys, pairCounts;
    appendJavaIntArray(env, &propertyValues, properties);
    appendJavaIntArray(env, &fixedValues, values);
    appendJavaIntArray(env, &pairKeys, keys);
    appendJavaIntArray(env, &pairCounts, counts);
    // Checked before anything changes, so that a malformed call leaves no half-written point.
    if (fixedValues.size != TelemetryRecord::fixedValues) assertionFailed("assertion failed", "CoreNatives", __LINE__);
    if (pairKeys.size != pairCounts.size) assertionFailed("assertion failed", "CoreNatives", __LINE__);

    YCriticalSectionLock held(&ourLock(), "CoreNatives:storeTelemetryRecord");
    DB& database = requireDatabase();
    drainClassLoadingQueue(held, database);
    for (int32_t row = 1; row < propertyValues.size; row++) {
      setPropertyRowValue(database, row, propertyValues[row]);
    }
    if (database.telemetryLimit < 1) assertionFailed("assertion failed", "CoreNatives", __LINE__);
    TelemetryRecord& point = database.telemetry.rows.append();
    point.reset();
    point.stamp = database.currentStamp;
    for (int32_t i = 0; i < TelemetryRecord::fixedValues; i++) point.values[i] = fixedValues[i];
    point.itemsPresent = (profilingFlags.load() & PROFILING_STACK_TELEMETRY) != 0;
    if (point.itemsPresent) collectThreadStacks(env, &point);
    if (pairKeys.size > 0 && pairKeys[0] != 0) {
      for (int32_t i = 0; i < pairKeys.size; i++) {
        point.values.add(pairKeys[i]);
        point.values.add(pairCounts[i]);
      }
    }
    point.values[11] = int32_t(stopwatchElapsedMs(agentUptimeStopwatch()) / 100);
  });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_runtime_Callback_addProbePath(JNIEnv* env, jclass, jstring path) {
  runNative(env, __LINE__, [&] {
    if (mainJvmti == nullptr) assertionFailed("assertion failed: value is NULL", "CoreNatives", __LINE__);
    const YString entry = jstringToYString(env, path);
    // A running JVM takes archives alone. Probes found in an entry it refused would be woven into classes
    // that then fail to load them, so such an entry is never searched.
    const jvmtiError error = mainJvmti->AddToSystemClassLoaderSearch(entry.data);
    if (error != JVMTI_ERROR_NONE) {
      logMessage(YString("Probe path not added: ") + entry + ": " + jvmtiErrorText(mainJvmti, error));
      return;
    }
    YCriticalSectionLock held(&ourLock(), "CoreNatives:addProbePath");
    probePathList.add(entry);
  });
}
