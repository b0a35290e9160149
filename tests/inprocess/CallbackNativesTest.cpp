#include <gtest/gtest.h>
#include <jvmti.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "agent/core/AgentFlags.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/core/Markers.h"
#include "agent/core/Options.h"
#include "agent/db/DB.h"
#include "agent/db/Generations.h"
#include "agent/db/StringPool.h"
#include "agent/probes/ProbePath.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/NamedLocks.h"
#include "agent/support/Stopwatch.h"
#include "tests/inprocess/CallbackFixture.h"
#include "tests/support/HiddenOption.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LoopbackSockets.h"
#include "tests/support/ScopedValue.h"
#include "tests/support/SnapshotReader.h"
#include "tests/support/TableReplyReader.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestDatabase.h"

// The natives of com.brantel.runtime.Callback called through the real class: registration, the answers
// without a database and of the natives this build lacks, table replies, snapshots, properties, strings,
// telemetry points, clears and the status queries.

namespace {

using namespace std::chrono_literals;

constexpr char assertionText[] = "assertion failed in native code; see agent log for detail";

bool logHas(const LogCapture& log, const std::string& entry) {
  for (const std::string& line : log.entries()) {
    if (line == entry) return true;
  }
  return false;
}

bool logContains(const LogCapture& log, const std::string& text) {
  for (const std::string& line : log.entries()) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

using CallbackNatives = CallbackTest;

class CallbackNativesWithDatabase : public CallbackTest {
 protected:
  int32_t stringId(const char* text) {
    YCriticalSectionLock held(&ourLock(), "Test:1");
    return getStringId(text);
  }
  std::string textOfId(int32_t id) {
    const StringRecord* row = database->strings.findRow(id);
    return row == nullptr || row->body == nullptr ? "<none>" : row->body;
  }

  TestDatabase database;
};

}  // namespace

TEST_F(CallbackNatives, TheClassTakesTheWholeTableAndDeclaresNoOtherNative) {
  ASSERT_EQ(env->RegisterNatives(callback, callbackNativesTable, callbackNativesCount), JNI_OK);
  for (const JNINativeMethod& row : callbackNativesTable) {
    EXPECT_NE(env->GetStaticMethodID(callback, row.name, row.signature), nullptr) << row.name << row.signature;
  }
  const jclass classClass = env->FindClass("java/lang/Class");
  const jclass methodClass = env->FindClass("java/lang/reflect/Method");
  const auto methods = static_cast<jobjectArray>(env->CallObjectMethod(
      callback, env->GetMethodID(classClass, "getDeclaredMethods", "()[Ljava/lang/reflect/Method;")));
  ASSERT_FALSE(env->ExceptionCheck());
  const jmethodID getModifiers = env->GetMethodID(methodClass, "getModifiers", "()I");
  int natives = 0;
  for (jsize i = 0; i < env->GetArrayLength(methods); i++) {
    const jobject method = env->GetObjectArrayElement(methods, i);
    const jint modifiers = env->CallIntMethod(method, getModifiers);
    ASSERT_FALSE(env->ExceptionCheck());
    natives += (modifiers & 0x100) != 0;  // Modifier.NATIVE
    env->DeleteLocalRef(method);
  }
  EXPECT_EQ(natives, callbackNativesCount);
}

TEST_F(CallbackNatives, WithoutADatabaseTheNativesThatNeedOneRefuse) {
  ASSERT_EQ(db, nullptr);
  const std::vector<std::pair<const char*, std::function<void()>>> calls = {
      {"writeTables", [&] { callVoid("writeTables", "(II[I)V", jint(0), jint(1), intArray({0})); }},
      {"addSnapshotInfo", [&] { callVoid("addSnapshotInfo", "(Ljava/lang/String;J)V", string("a"), jlong(1)); }},
      {"findSnapshot", [&] { callBoolean("findSnapshot", "(Ljava/lang/String;)Z", string("a")); }},
      {"getDatabaseStatistics", [&] { callObject("getDatabaseStatistics", "()Ljava/lang/String;"); }},
      {"findPropertyRecordIndex", [&] { callInt("findPropertyRecordIndex", "(I)I", jint(1)); }},
      {"setProperty",
       [&] { callInt("setProperty", "(Ljava/lang/String;Ljava/lang/String;)I", string("k"), string("v")); }},
      {"setPropertyByRecordIndex", [&] { callVoid("setPropertyByRecordIndex", "(II)V", jint(1), jint(1)); }},
      {"setMinimumRecordedLastingEventTime",
       [&] { callVoid("setMinimumRecordedLastingEventTime", "(II)V", jint(32), jint(1)); }},
      {"getStrID", [&] { callInt("getStrID", "(Ljava/lang/String;)I", string("a")); }},
      {"storeTelemetryRecord",
       [&] {
         callVoid("storeTelemetryRecord", "([I[I[I[I)V", intArray({0}), intArray(std::vector<jint>(12)), intArray({}),
                  intArray({}));
       }},
      {"clearAllocationData", [&] { callVoid("clearAllocationData", "()V"); }},
      {"clearCpuData", [&] { callVoid("clearCpuData", "()V"); }},
      {"clearExceptions", [&] { callVoid("clearExceptions", "()V"); }},
      {"clearMonitorData", [&] { callVoid("clearMonitorData", "()V"); }},
      {"advanceGeneration", [&] { callVoid("advanceGeneration", "(Ljava/lang/String;)V", string("g")); }},
      {"createEventTable",
       [&] {
         callInt("createEventTable", "(Ljava/lang/String;Ljava/lang/String;)I", string("p"),
                 string("T\n1\nuptime_ns\n1\n"));
       }},
      {"getEventTableDescription", [&] { callObject("getEventTableDescription", "(I)Ljava/lang/String;", jint(32)); }},
      {"getTopEventTableNames", [&] { callObject("getTopEventTableNames", "()Ljava/lang/String;"); }},
      {"clearEventTables", [&] { callVoid("clearEventTables", "(Ljava/lang/String;)V", string("T")); }},
      {"createEventTableRow", [&] { callInt("createEventTableRow", "(I)I", jint(32)); }},
      {"closeEventTableRow",
       [&] { callVoid("closeEventTableRow", "(IIZLjava/lang/String;)V", jint(32), jint(1), JNI_FALSE, string("x")); }},
      {"deleteEventTableRow", [&] { callVoid("deleteEventTableRow", "(II)V", jint(32), jint(1)); }},
      {"setEventTableInt32Column",
       [&] { callVoid("setEventTableInt32Column", "(IIII)V", jint(32), jint(1), jint(1), jint(1)); }},
      {"setEventTableLongColumn",
       [&] { callVoid("setEventTableLongColumn", "(IIIJ)V", jint(32), jint(1), jint(1), jlong(1)); }},
      {"setEventTableStringColumn",
       [&] {
         callVoid("setEventTableStringColumn", "(IIILjava/lang/String;)V", jint(32), jint(1), jint(1), string("x"));
       }},
      {"createMarker", [&] { callVoid("createMarker", "(II)V", jint(1), jint(1)); }},
      {"message", [&] { callVoid("message", "(Ljava/lang/String;Ljava/lang/String;)V", string("m"), string("d")); }},
      {"messageToTable",
       [&] {
         callVoid("messageToTable", "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)V", string("c"),
                  string("m"), string("d"));
       }},
      {"startCpuProfiling",
       [&] { callObject("startCpuProfiling", "(JLjava/lang/String;)Ljava/lang/String;", jlong(4), jstring(nullptr)); }},
      {"stopCpuProfiling", [&] { callVoid("stopCpuProfiling", "(Z)V", JNI_TRUE); }},
      {"startStackTelemetry", [&] { callVoid("startStackTelemetry", "()V"); }},
      {"stopStackTelemetry", [&] { callVoid("stopStackTelemetry", "()V"); }},
  };
  for (const auto& [name, call] : calls) {
    call();
    EXPECT_EQ(pendingRuntimeException(), "must run with the profiler agent") << name;
  }
  EXPECT_EQ(db, nullptr);
  // Nothing to look up: the null text answers 0 before the database is needed.
  EXPECT_EQ(callInt("getStrID", "(Ljava/lang/String;)I", jstring(nullptr)), 0);
  EXPECT_EQ(pendingRuntimeException(), "<none>");
}

TEST_F(CallbackNatives, NativesThatNeedNoDatabaseAnswerWithoutOneAndRefuseBadArgumentsByName) {
  EXPECT_EQ(callLong("dispatchLong", "(Ljava/lang/String;)J", string("d_anything")), 0);
  EXPECT_EQ(pendingRuntimeException(), "unexpected dispatch key 'd_anything'");
  callVoid("deleteObjectMap", "(J)V", jlong(1));
  EXPECT_EQ(pendingRuntimeException(), "unknown object map: 1");
  const jobject probes = callObject("getProbes", "(I)[Ljava/lang/String;", jint(1));
  EXPECT_EQ(pendingRuntimeException(), "<none>");
  ASSERT_NE(probes, nullptr);
  EXPECT_EQ(env->GetArrayLength(static_cast<jobjectArray>(probes)), 0);
}

TEST_F(CallbackNativesWithDatabase, WriteTablesSendsTheRowsChangedSinceTheClientsStampAndAdvancesIt) {
  loopback::Connection connection(0, 0);
  const int32_t firstText = stringId("a string the client has not seen");
  const int32_t stamp = database->currentStamp;

  callVoid("writeTables", "(II[I)V", jint(connection.sender()), jint(0x1), intArray({0}));
  ASSERT_EQ(pendingRuntimeException(), "<none>");
  const tablereply::Reply first = tablereply::parseTableReply(connection.drain(300ms));
  ASSERT_EQ(first.tables.size(), 1u);
  ASSERT_EQ(first.tables.count(0), 1u);
  bool sent = false;
  for (const rowstream::Row& row : first.tables.at(0)) sent |= row.index == firstText;
  EXPECT_TRUE(sent);
  EXPECT_EQ(database->currentStamp, stamp + 1);

  // Asked since the stamp of the first reply, only what came after it is sent.
  const int32_t laterText = stringId("a string made after the reply");
  callVoid("writeTables", "(II[I)V", jint(connection.sender()), jint(0x1), intArray({stamp}));
  ASSERT_EQ(pendingRuntimeException(), "<none>");
  const tablereply::Reply second = tablereply::parseTableReply(connection.drain(300ms));
  ASSERT_EQ(second.tables.count(0), 1u);
  ASSERT_EQ(second.tables.at(0).size(), 1u);
  EXPECT_EQ(second.tables.at(0)[0].index, laterText);
  EXPECT_EQ(second.tables.at(0)[0].text, "a string made after the reply");
}

TEST_F(CallbackNativesWithDatabase, ABrokenInvariantReachesJavaAsARuntimeExceptionAndIsLogged) {
  LogCapture log;
  callVoid("writeTables", "(II[I)V", jint(0), jint(0x1), jintArray(nullptr));
  EXPECT_EQ(pendingRuntimeException(), assertionText);
  EXPECT_TRUE(logContains(log, "error: exception caught at CoreNatives:"));

  callVoid("setPropertyByRecordIndex", "(II)V", jint(-1), jint(5));
  EXPECT_EQ(pendingRuntimeException(), assertionText);
}

TEST_F(CallbackNativesWithDatabase, CaptureSnapshotWritesTheFileOrAnswersWhyNot) {
  TempDir dir;
  const uint64_t savedFlags = agentFlags.exchange(AGENT_NO_SUSPEND);
  const std::string path = dir.pathOf("natives.bzps");
  callInt("setProperty", "(Ljava/lang/String;Ljava/lang/String;)I", string("test.snapshot.key"), string("v"));
  const jobject result =
      callObject("captureSnapshot", "(Ljava/lang/String;IJ)Ljava/lang/String;", string(path.c_str()), 0, jlong(0));
  EXPECT_EQ(pendingRuntimeException(), "<none>");
  EXPECT_EQ(result, nullptr) << textOf(result);
  const snapshotfile::Snapshot snapshot = snapshotfile::readSnapshotFile(path);
  ASSERT_EQ(snapshot.tableRecords.size(), 1u);
  EXPECT_EQ(snapshot.tableRecords[0].tables.size(), 20u);
  bool keyWritten = false;
  for (const rowstream::Row& row : snapshot.tableRecords[0].tables.at(0)) {
    keyWritten |= row.text == std::string("test.snapshot.key");
  }
  EXPECT_TRUE(keyWritten);

  const std::string unwritable = dir.pathOf("missing/natives.bzps");
  EXPECT_EQ(textOf(callObject("captureSnapshot", "(Ljava/lang/String;IJ)Ljava/lang/String;", string(unwritable.c_str()),
                              0, jlong(0))),
            "Cannot open file to write snapshot");
  EXPECT_EQ(pendingRuntimeException(), "<none>");

  {
    LogCapture log;
    ScopedValue<jvmtiEnv*> noJvmti(mainJvmti, nullptr);
    EXPECT_EQ(
        callObject("captureSnapshot", "(Ljava/lang/String;IJ)Ljava/lang/String;", string(path.c_str()), 0, jlong(0)),
        nullptr);
    EXPECT_EQ(pendingRuntimeException(), assertionText);
    EXPECT_TRUE(logContains(log, "error: exception caught at CoreNatives:"));
  }
  agentFlags = savedFlags;
}

TEST_F(CallbackNativesWithDatabase, SnapshotRecordsAreFoundByTheirExactPath) {
  callVoid("addSnapshotInfo", "(Ljava/lang/String;J)V", string("/tmp/one.bzps"), jlong(0x1011));
  EXPECT_TRUE(callBoolean("findSnapshot", "(Ljava/lang/String;)Z", string("/tmp/one.bzps")));
  EXPECT_FALSE(callBoolean("findSnapshot", "(Ljava/lang/String;)Z", string("/tmp/one.bzp")));
  EXPECT_EQ(pendingRuntimeException(), "<none>");
}

TEST_F(CallbackNativesWithDatabase, PropertiesAreSetByKeyOrByRowAndStampedOnlyWhenTheyChange) {
  const jint keyId =
      callInt("setProperty", "(Ljava/lang/String;Ljava/lang/String;)I", string("test.property"), string("first"));
  EXPECT_EQ(keyId, stringId("test.property"));
  const jint row = callInt("findPropertyRecordIndex", "(I)I", keyId);
  ASSERT_GE(row, 1);
  const PropertyRecord& property = *database->properties.getRow(row, false);
  EXPECT_EQ(property.value, stringId("first"));
  callInt("setProperty", "(Ljava/lang/String;Ljava/lang/String;)I", string("test.property"), jstring(nullptr));
  EXPECT_EQ(property.value, 0);
  EXPECT_EQ(callInt("findPropertyRecordIndex", "(I)I", stringId("no such property")), -1);

  database->currentStamp = 9;
  callVoid("setPropertyByRecordIndex", "(II)V", row, jint(42));
  EXPECT_EQ(property.value, 42);
  EXPECT_EQ(property.stamp, 9);
  database->currentStamp = 10;
  callVoid("setPropertyByRecordIndex", "(II)V", row, jint(42));
  EXPECT_EQ(property.stamp, 9);

  // A row that holds no property is not made: its id stays the next property's.
  const int32_t nextId = database->properties.ids.peek();
  callVoid("setPropertyByRecordIndex", "(II)V", jint(nextId), jint(7));
  EXPECT_EQ(database->properties.getRow(nextId, false), nullptr);
  EXPECT_EQ(pendingRuntimeException(), "<none>");
}

TEST_F(CallbackNativesWithDatabase, StringIdsAreTheDatabasesAndNullIsZero) {
  const jint id = callInt("getStrID", "(Ljava/lang/String;)I", string("interned by the Java side"));
  EXPECT_GT(id, 0);
  EXPECT_EQ(textOfId(id), "interned by the Java side");
  EXPECT_EQ(callInt("getStrID", "(Ljava/lang/String;)I", string("interned by the Java side")), id);
  EXPECT_EQ(callInt("getStrID", "(Ljava/lang/String;)I", jstring(nullptr)), 0);
  EXPECT_EQ(pendingRuntimeException(), "<none>");
}

TEST_F(CallbackNativesWithDatabase, ATelemetryCallStoresOnePointAndTheReservedProperties) {
  const uint64_t savedModes = profilingFlags.exchange(PROFILING_STACK_TELEMETRY);
  std::vector<jint> values;
  for (jint i = 0; i < 12; i++) values.push_back(100 + i);
  database->currentStamp = 4;
  const int64_t before = stopwatchElapsedMs(agentUptimeStopwatch()) / 100;
  callVoid("storeTelemetryRecord", "([I[I[I[I)V", intArray({-1, 11, 12}), intArray(values), intArray({5, 6}),
           intArray({50, 60}));
  const int64_t after = stopwatchElapsedMs(agentUptimeStopwatch()) / 100;
  ASSERT_EQ(pendingRuntimeException(), "<none>");
  EXPECT_EQ(database->properties.getRow(1, false)->value, 11);
  EXPECT_EQ(database->properties.getRow(2, false)->value, 12);
  EXPECT_EQ(database->properties.getRow(2, false)->stamp, 4);
  ASSERT_EQ(database->telemetry.rows.next, 1);
  const TelemetryRecord& point = *database->telemetry.rows.find(0);
  EXPECT_EQ(point.stamp, 4);
  EXPECT_TRUE(point.itemsPresent);
  EXPECT_EQ(point.items.size, 0);
  ASSERT_EQ(point.values.size, 16);
  for (int32_t i = 0; i < 11; i++) EXPECT_EQ(point.values[i], 100 + i);
  EXPECT_GE(point.values[11], before);
  EXPECT_LE(point.values[11], after);
  EXPECT_EQ(std::vector<int32_t>(point.values.data + 12, point.values.data + 16), std::vector<int32_t>({5, 50, 6, 60}));

  // Without pairs, or with a first key of 0, the point holds the 12 values alone.
  profilingFlags = 0;
  callVoid("storeTelemetryRecord", "([I[I[I[I)V", intArray({}), intArray(values), intArray({}), intArray({}));
  callVoid("storeTelemetryRecord", "([I[I[I[I)V", intArray({}), intArray(values), intArray({0, 6}), intArray({50, 60}));
  ASSERT_EQ(pendingRuntimeException(), "<none>");
  for (int64_t index : {1, 2}) {
    EXPECT_EQ(database->telemetry.rows.find(index)->values.size, 12);
    EXPECT_FALSE(database->telemetry.rows.find(index)->itemsPresent);
  }

  // A malformed call leaves no point behind.
  callVoid("storeTelemetryRecord", "([I[I[I[I)V", intArray({}), intArray({1, 2}), intArray({}), intArray({}));
  EXPECT_EQ(pendingRuntimeException(), assertionText);
  callVoid("storeTelemetryRecord", "([I[I[I[I)V", intArray({}), intArray(values), intArray({1}), intArray({}));
  EXPECT_EQ(pendingRuntimeException(), assertionText);
  EXPECT_EQ(database->telemetry.rows.next, 3);
  profilingFlags = savedModes;
}

TEST_F(CallbackNativesWithDatabase, ClearsEmptyTheirDataAndAnnounceItEachTime) {
  LogCapture log;
  const int32_t exceptionRow = database->exceptions.ids.allocate();
  database->exceptions.getRow(exceptionRow, true)->stamp = database->currentStamp;
  database->currentStamp = 6;
  const std::vector<std::pair<const char*, const char*>> clears = {
      {"clearAllocationData", "Allocation data cleared"}, {"clearCpuData", "CPU profiling data cleared"},
      {"clearCpuData", "CPU profiling data cleared"},     {"clearExceptions", "Exceptions cleared"},
      {"clearMonitorData", "Monitor data cleared"},
  };
  for (const auto& [native, message] : clears) {
    callVoid(native, "()V");
    EXPECT_EQ(pendingRuntimeException(), "<none>") << native;
  }
  EXPECT_EQ(database->exceptions.findRow(exceptionRow), nullptr);
  for (int32_t table : {tableAllocInfo, tableCpuProfiling, tableException, tableMonitor}) {
    EXPECT_EQ(database->tableGenerations.getGeneration(table), 6) << table;
  }
  std::vector<std::string> announced;
  for (const std::string& line : log.entries()) {
    if (line.find("cleared") != std::string::npos) announced.push_back(line);
  }
  // The events of probes in mode Auto go with the CPU data; there are none here.
  const std::string autoEvents = "Events from Auto probes cleared:\n";
  EXPECT_EQ(announced, std::vector<std::string>({"Allocation data cleared", autoEvents, "CPU profiling data cleared",
                                                 autoEvents, "CPU profiling data cleared", "Exceptions cleared",
                                                 "Monitor data cleared"}));
}

TEST_F(CallbackNativesWithDatabase, AdvancingTheGenerationAnnouncesItsNumberAndDescription) {
  LogCapture log;
  callVoid("advanceGeneration", "(Ljava/lang/String;)V", string("warm-up"));
  const int32_t first = getCurrentGeneration();
  callVoid("advanceGeneration", "(Ljava/lang/String;)V", jstring(nullptr));
  EXPECT_EQ(pendingRuntimeException(), "<none>");
  EXPECT_EQ(getCurrentGeneration(), first + 1);
  EXPECT_EQ(textOfId(database->generations.getRow(first, false)->nameId), "warm-up");
  EXPECT_TRUE(logHas(log, "Generation advanced: #" + std::to_string(first) + ": warm-up"));
  EXPECT_TRUE(logHas(log, "Generation advanced: #" + std::to_string(first + 1) + ": "));
}

TEST_F(CallbackNativesWithDatabase, AddedProbePathsReachTheJvmAndTheProbeList) {
  TempDir dir;
  const YVector<unsigned char> archive = assembleCallbackJar();
  const std::string jar =
      dir.write("probes.jar", std::string(reinterpret_cast<const char*>(archive.data), size_t(archive.size)));
  const int32_t entries = probePathList.size;
  if (jclass reachable = env->FindClass("com/brantel/runtime/Core")) {
    env->DeleteLocalRef(reachable);
    GTEST_SKIP() << "an earlier test of this process put the archive on a class path";
  }
  env->ExceptionClear();

  callVoid("addProbePath", "(Ljava/lang/String;)V", string(jar.c_str()));
  ASSERT_EQ(pendingRuntimeException(), "<none>");
  const jclass core = env->FindClass("com/brantel/runtime/Core");
  EXPECT_NE(core, nullptr);
  env->ExceptionClear();
  ASSERT_EQ(probePathList.size, entries + 1);
  EXPECT_STREQ(probePathList[entries].data, jar.c_str());
  probePathList.pop();
}

TEST_F(CallbackNativesWithDatabase, StatusQueriesAnswerTheAgentsWords) {
  EXPECT_EQ(uint64_t(callLong("getStatus", "()J")), profilingFlags.load());
  EXPECT_EQ(uint64_t(callLong("getCapabilities", "()J")), agentFlags.load());
  EXPECT_EQ(callInt("getTelemetryPeriodMs", "()I"), globalOptions().telemetryPeriodMs);
  EXPECT_EQ(callInt("getPhase", "()I"), JVMTI_PHASE_LIVE);
  EXPECT_EQ(pendingRuntimeException(), "<none>");
}

TEST_F(CallbackNativesWithDatabase, ProcessTimesComeWholeAndSplit) {
  const auto split = static_cast<jlongArray>(callObject("getProcessCpuTimeSplitNs", "()[J"));
  ASSERT_EQ(pendingRuntimeException(), "<none>");
  ASSERT_EQ(env->GetArrayLength(split), 2);
  jlong times[2];
  env->GetLongArrayRegion(split, 0, 2, times);
  EXPECT_GE(times[1], 0);
  EXPECT_GE(times[0], times[1]);
  EXPECT_GE(callLong("getProcessCpuTimeNs", "()J"), times[0]);
  EXPECT_GT(callLong("getProcessPhysicalMemoryUsage", "()J"), 0);
  EXPECT_EQ(pendingRuntimeException(), "<none>");
}

TEST_F(CallbackNativesWithDatabase, TheUptimeIsCorrectedForwardOnly) {
  LogCapture log;
  const jlong uptime = callLong("getUptimeMs", "()J");
  callVoid("correctUptimeMs", "(J)V", jlong(uptime + 60000));
  EXPECT_GE(callLong("getUptimeMs", "()J"), uptime + 60000);
  const jlong corrected = callLong("getUptimeMs", "()J");
  callVoid("correctUptimeMs", "(J)V", jlong(0));
  EXPECT_GE(callLong("getUptimeMs", "()J"), corrected);
  EXPECT_TRUE(logContains(log, "Uptime corrected: etalon=0ms diff=-"));
  EXPECT_EQ(pendingRuntimeException(), "<none>");
}

TEST_F(CallbackNativesWithDatabase, LoadedClassesAreFoundByTheirSignatureOnly) {
  const jclass objectClass = env->FindClass("java/lang/Object");
  const jobject found =
      callObject("findLoadedClass", "(Ljava/lang/String;)Ljava/lang/Class;", string("Ljava/lang/Object;"));
  EXPECT_TRUE(env->IsSameObject(found, objectClass));
  EXPECT_EQ(callObject("findLoadedClass", "(Ljava/lang/String;)Ljava/lang/Class;", string("java.lang.Object")),
            nullptr);
  EXPECT_EQ(pendingRuntimeException(), "<none>");
}

TEST_F(CallbackNativesWithDatabase, ThreadsOfTheAgentAreSkippedOthersNot) {
  EXPECT_FALSE(callBoolean("shouldSkipThread", "()Z"));
  ThreadInfo* record;
  {
    YCriticalSectionLock held(&ourLock(), "Test:2");
    record = new ThreadInfo(YString("BZPAgent-Test"), YString(), 0, 0, nullptr, false);
  }
  ASSERT_EQ(setThreadRecord(nullptr, record), JVMTI_ERROR_NONE);
  EXPECT_TRUE(callBoolean("shouldSkipThread", "()Z"));
  setThreadRecord(nullptr, nullptr);
  YCriticalSectionLock held(&ourLock(), "Test:3");
  delete record;
}

TEST_F(CallbackNativesWithDatabase, GarbageCollectionIsForcedUnlessSwitchedOff) {
  EXPECT_TRUE(callBoolean("forceGarbageCollectionJvmti", "()Z"));
  HiddenOption off("_no_jvmti_gc");
  EXPECT_FALSE(callBoolean("forceGarbageCollectionJvmti", "()Z"));
  EXPECT_EQ(pendingRuntimeException(), "<none>");
}

TEST_F(CallbackNativesWithDatabase, DatabaseStatisticsAndLogLinesComeFromTheAgent) {
  LogCapture log;
  const std::string statistics = textOf(callObject("getDatabaseStatistics", "()Ljava/lang/String;"));
  EXPECT_NE(statistics.find("telemetryLimit=3600"), std::string::npos) << statistics;
  callVoid("messageToLogFile", "(Ljava/lang/String;)V", string("a line from the Java side"));
  EXPECT_TRUE(logHas(log, "a line from the Java side"));
  EXPECT_EQ(pendingRuntimeException(), "<none>");
}

TEST_F(CallbackNativesWithDatabase, TheMarkerCarriesTheSessionNameAndItsPortIsNotOffered) {
  const std::string base = "tallyscope-test-natives-" + std::to_string(getpid());
  useMarkerSectionsForTest({("Global\\" + base + " SHARE G").c_str(), ("Global\\" + base + " MUTEX G").c_str()},
                           {("Local\\" + base + " SHARE L").c_str(), ("Local\\" + base + " MUTEX L").c_str()},
                           markerSlotCount);
  const loopback::Listener released;  // a port that was free a moment ago
  const jint port = released.port() == 65535 ? 65534 : released.port();

  callVoid("createMarker", "(II)V", port, jint(3));
  EXPECT_EQ(pendingRuntimeException(), "<none>");
  EXPECT_STREQ(getSessionNameFromMarker(getpid()).data, db->sessionName.data);
  const auto ports = [&](jint from, jint to) {
    const auto array = static_cast<jintArray>(callObject("getFreePorts", "(II)[I", from, to));
    std::vector<jint> values(array == nullptr ? 0 : size_t(env->GetArrayLength(array)));
    if (!values.empty()) env->GetIntArrayRegion(array, 0, jsize(values.size()), values.data());
    env->DeleteLocalRef(array);
    return values;
  };
  EXPECT_EQ(ports(port, port), std::vector<jint>{});
  EXPECT_EQ(ports(port + 1, port), std::vector<jint>{});
  {
    ScopedValue<bool> skip(globalOptions().skipAdvancedPortCheck, true);
    EXPECT_EQ(ports(port, port + 1), (std::vector<jint>{port, port + 1}));
  }
  EXPECT_EQ(pendingRuntimeException(), "<none>");
  shm_unlink(("/" + base + " SHARE G").c_str());
  shm_unlink(("/" + base + " SHARE L." + std::to_string(geteuid())).c_str());
  unlink(("/tmp/" + base + " MUTEX G.mutex").c_str());
  unlink(("/tmp/tallyscope-" + std::to_string(geteuid()) + "/" + base + " MUTEX L.mutex").c_str());
}
