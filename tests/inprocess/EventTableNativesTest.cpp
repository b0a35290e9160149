#include <gtest/gtest.h>
#include <jvmti.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "agent/core/JvmtiEnvironments.h"
#include "agent/core/Options.h"
#include "agent/db/Clears.h"
#include "agent/db/DB.h"
#include "agent/db/EventRows.h"
#include "agent/db/EventTable.h"
#include "agent/probes/ProbeRegistry.h"
#include "agent/recording/FrameTree.h"
#include "agent/recording/MethodStore.h"
#include "agent/recording/ThreadEvents.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/NamedLocks.h"
#include "tests/inprocess/CallbackFixture.h"
#include "tests/inprocess/FrameRows.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedValue.h"
#include "tests/support/TestDatabase.h"

// Event tables made, filled, cleared and described through the Callback natives, and the messages that
// land in the "Message" table. The row natives append to the calling thread's buffer: their rows appear
// once the buffers are replayed.

namespace {

// Columns: 0 uptime_ns (slots 0-1), 1 uptime_ns.end (2-3), 2 thread (4), 3 Count (5), 4 Bytes (6-7),
// 5 Name (8).
constexpr char callsDescription[] =
    "Calls\n6\nuptime_ns\n1\nuptime_ns.end\n1\nthread\n0\nCount\n0\nBytes\n1\nName\n2\n";
constexpr jint endColumn = 1, countColumn = 3, bytesColumn = 4, nameColumn = 5;

using Message = std::tuple<std::string, std::string, std::string>;  // category, message, detail

class EventTableNatives : public CallbackTest {
 protected:
  jint createTable(const char* description) {
    return callInt("createEventTable", "(Ljava/lang/String;Ljava/lang/String;)I", string("com.example.Probe"),
                   string(description));
  }
  jint createRow(jint table) { return callInt("createEventTableRow", "(I)I", table); }
  void setInt(jint table, jint key, jint column, jint value) {
    callVoid("setEventTableInt32Column", "(IIII)V", table, key, column, value);
  }
  void setLong(jint table, jint key, jint column, jlong value) {
    callVoid("setEventTableLongColumn", "(IIIJ)V", table, key, column, value);
  }
  void setString(jint table, jint key, jint column, const char* value) {
    callVoid("setEventTableStringColumn", "(IIILjava/lang/String;)V", table, key, column,
             value == nullptr ? jstring(nullptr) : string(value));
  }
  void close(jint table, jint key, bool noEndTime) {
    callVoid("closeEventTableRow", "(IIZLjava/lang/String;)V", table, key, noEndTime ? JNI_TRUE : JNI_FALSE,
             jstring(nullptr));
  }

  // Replays every buffer, the test thread's own record's too (it is in no registry).
  void replay() {
    YCriticalSectionLock held(&ourLock(), "Test:3");
    if (ownRecord != nullptr) processThreadEvents(ownRecord, held);
    processAllThreadEvents(held);
  }

  // The live row of a key, or null.
  const EventRecord* rowOf(jint key) {
    const int32_t id = getEventRowIdOfKey(key);
    const EventRecord* row = id < 1 ? nullptr : database->events.getRow(id, false);
    return row != nullptr && row->stamp > 0 ? row : nullptr;
  }
  int64_t longCell(const EventRecord* row, int32_t slot) {
    return int64_t(uint64_t(uint32_t(row->slots[slot + 1])) << 32 | uint32_t(row->slots[slot]));
  }
  std::string textOfId(int32_t id) {
    const StringRecord* row = database->strings.findRow(id);
    return row == nullptr || row->body == nullptr ? "<none>" : row->body;
  }
  int32_t liveRows(jint table) {
    int32_t live = 0;
    database->events.forEachRow(
        [&](int64_t, const EventRecord& row) { live += row.stamp > 0 && row.tableId == table; });
    return live;
  }

  // The rows of the "Message" table in the order of their keys.
  std::vector<Message> messages() {
    int32_t table = -1;
    for (int32_t id = firstEventTableId; id < eventTableIdLimit; id++) {
      if (database->eventTables[id] != nullptr && database->eventTables[id]->name.equals("Message")) table = id;
    }
    std::vector<std::pair<int32_t, Message>> keyed;
    database->events.forEachRow([&](int64_t, const EventRecord& row) {
      if (row.stamp < 1 || row.tableId != table) return;
      keyed.emplace_back(row.rowKey, Message(textOfId(row.slots[2]), textOfId(row.slots[3]), textOfId(row.slots[4])));
    });
    std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<Message> found;
    for (const auto& entry : keyed) found.push_back(entry.second);
    return found;
  }

  // A record of the calling thread with this name, for the length of the test.
  void announceThread(const char* name) {
    YCriticalSectionLock held(&ourLock(), "Test:1");
    ownRecord = new ThreadInfo(YString(name), YString(), 0, 0, nullptr, false);
    ASSERT_EQ(setThreadRecord(nullptr, ownRecord), JVMTI_ERROR_NONE);
  }
  void TearDown() override {
    if (ownRecord != nullptr) {
      setThreadRecord(nullptr, nullptr);
      YCriticalSectionLock held(&ourLock(), "Test:2");
      delete ownRecord;
    }
    CallbackTest::TearDown();
  }

  TestDatabase database;
  ThreadInfo* ownRecord = nullptr;
};

}  // namespace

TEST_F(EventTableNatives, AProbesRowIsMadeFilledAndClosedThroughTheNatives) {
  const jint table = createTable(callsDescription);
  ASSERT_EQ(table, firstEventTableId);
  const jint key = createRow(table);
  ASSERT_GT(key, 0);
  setInt(table, key, countColumn, 7);
  setLong(table, key, bytesColumn, (jlong(1) << 40) + 5);
  setString(table, key, nameColumn, "a name");
  close(table, key, false);
  ASSERT_EQ(pendingRuntimeException(), "<none>");
  // Nothing reaches the table before the replay.
  EXPECT_EQ(rowOf(key), nullptr);
  replay();

  const EventRecord* row = rowOf(key);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->tableId, table);
  EXPECT_GT(longCell(row, 0), 0);
  EXPECT_GE(longCell(row, 2), longCell(row, 0));
  // A thread without a record of its own writes to the shared record of such threads.
  EXPECT_EQ(row->slots[4], int32_t(unretrievedThread->sequenceNumber));
  EXPECT_EQ(row->slots[5], 7);
  EXPECT_EQ(longCell(row, 6), (int64_t(1) << 40) + 5);
  EXPECT_EQ(textOfId(row->slots[8]), "a name");

  // Keys are never handed out twice, across tables too.
  EXPECT_GT(createRow(table), key);

  callVoid("deleteEventTableRow", "(II)V", table, key);
  EXPECT_NE(rowOf(key), nullptr);
  replay();
  EXPECT_EQ(rowOf(key), nullptr);
  EXPECT_EQ(pendingRuntimeException(), "<none>");
}

TEST_F(EventTableNatives, AThreadWithARecordWritesToItsOwnBuffer) {
  announceThread("worker");
  const jint table = createTable(callsDescription);
  const int32_t sharedWords = unretrievedThread->eventsUsed.load();
  const jint key = createRow(table);
  setInt(table, key, countColumn, 3);
  EXPECT_EQ(ownRecord->eventsUsed.load(), 6 + 5);
  EXPECT_EQ(unretrievedThread->eventsUsed.load(), sharedWords);
  replay();
  ASSERT_NE(rowOf(key), nullptr);
  EXPECT_EQ(rowOf(key)->slots[4], int32_t(ownRecord->sequenceNumber));
  EXPECT_EQ(rowOf(key)->slots[5], 3);
}

TEST_F(EventTableNatives, ARowTakesTheTracedFrameOrTheJavaStackWhenItsTableHasAFrameColumn) {
  announceThread("worker");
  const jint withFrame = createTable("Framed\n2\nuptime_ns\n1\nframe\n0\n");
  const int32_t method = getOrCreateMethod("com.example.Shop", "checkout", "()", "void", "", false);
  const int32_t traced = getOrCreateChildFrame(0, method, 0);

  // A thread whose traced stack is in step with this tracing period: its traced frame at replay, no
  // stack capture.
  ownRecord->stackSynchronised = true;
  ownRecord->epochSeen = tracingEpoch.load();
  ownRecord->currentTracedFrame = traced;
  const jint tracedKey = createRow(withFrame);
  replay();
  EXPECT_EQ(rowOf(tracedKey)->slots[2], traced);

  // Otherwise the Java stack of the caller: NativeCaller.main -> relay -> inNative, which makes the row.
  ownRecord->stackSynchronised = false;
  const jclass caller = env->FindClass("NativeCaller");
  ASSERT_NE(caller, nullptr);
  static jint framedTable = 0;
  static jint capturedKey = 0;
  framedTable = withFrame;
  JNINativeMethod natives[] = {{const_cast<char*>("inNative"), const_cast<char*>("(Ljava/lang/String;I)V"),
                                reinterpret_cast<void*>(+[](JNIEnv* nativeEnv, jclass, jstring, jint) {
                                  capturedKey = createEventTableRow(nativeEnv, framedTable);
                                })}};
  ASSERT_EQ(env->RegisterNatives(caller, natives, 1), 0);
  const jobjectArray arguments = env->NewObjectArray(0, env->FindClass("java/lang/String"), nullptr);
  env->CallStaticVoidMethod(caller, env->GetStaticMethodID(caller, "main", "([Ljava/lang/String;)V"), arguments);
  const bool threw = env->ExceptionCheck();
  env->UnregisterNatives(caller);
  ASSERT_FALSE(threw);
  replay();
  ASSERT_NE(rowOf(capturedKey), nullptr);
  const int32_t frame = rowOf(capturedKey)->slots[2];
  ASSERT_GT(frame, 0);
  std::string names;
  for (const FrameStep& step : framePath(frame)) {
    const MethodRecord* method = database->methods.findRow(step.method);
    names += (method == nullptr ? "?" : textOfId(method->nameId)) + ">";
  }
  EXPECT_NE(names.find("main>relay>inNative>"), std::string::npos) << names;
}

TEST_F(EventTableNatives, NoRowIsMadeForAnUnknownTableAFullOneOrAnAgentThread) {
  const jint table = createTable(callsDescription);
  for (jint id : {20, 31, 128, table + 1}) EXPECT_EQ(createRow(id), 0) << id;

  {
    ScopedValue<int32_t> limit(globalOptions().probeTableLengthLimit, 1);
    ASSERT_GT(createRow(table), 0);
    replay();
    EXPECT_EQ(createRow(table), 0);
    // The callers go on with key 0, which names no row: their cells are dropped and no row appears.
    const int32_t words = unretrievedThread->eventsUsed.load();
    setInt(table, 0, countColumn, 1);
    setLong(table, -1, bytesColumn, 1);
    setString(table, 0, nameColumn, "dropped");
    EXPECT_EQ(unretrievedThread->eventsUsed.load(), words);
    replay();
    EXPECT_EQ(liveRows(table), 1);
  }

  announceThread("BZPAgent-CpuSampler");
  EXPECT_EQ(createRow(table), 0);
  // Its messages are still written.
  callVoid("message", "(Ljava/lang/String;Ljava/lang/String;)V", string("from the agent"), string(""));
  replay();
  EXPECT_EQ(messages(), std::vector<Message>({{"Profiler", "from the agent", ""}}));
  EXPECT_EQ(pendingRuntimeException(), "<none>");
}

TEST_F(EventTableNatives, ClosingWithoutEndTimeOrTooSoonAndDeletingAForeignKey) {
  const jint table = createTable(callsDescription);
  const jint kept = createRow(table);
  close(table, kept, true);
  replay();
  ASSERT_NE(rowOf(kept), nullptr);
  EXPECT_EQ(longCell(rowOf(kept), 2), 0);

  callVoid("setMinimumRecordedLastingEventTime", "(II)V", table, jint(60000));
  const jint tooShort = createRow(table);
  close(table, tooShort, false);
  replay();
  EXPECT_EQ(rowOf(tooShort), nullptr);
  // Ids below 32 are the fixed tables: nothing to tune there.
  callVoid("setMinimumRecordedLastingEventTime", "(II)V", jint(5), jint(60000));

  // The key of a row in one table does not delete it through another.
  const jint other = createTable("Other\n1\nuptime_ns\n1\n");
  callVoid("deleteEventTableRow", "(II)V", other, kept);
  replay();
  EXPECT_NE(rowOf(kept), nullptr);
  EXPECT_EQ(pendingRuntimeException(), "<none>");
}

TEST_F(EventTableNatives, AMasterRowLeftOpenIsClosedWhenADependentNamesIt) {
  LogCapture log;
  const jint master = createTable("Request\n3\nuptime_ns\n1\nuptime_ns.end\n1\nURL\n2\n");
  const std::string dependentDescription = "Query\n2\nuptime_ns\n1\n" + std::to_string(master) + "\n3\n";
  const jint dependent = createTable(dependentDescription.c_str());
  ASSERT_GT(dependent, master);

  const jint open = createRow(master);
  const jint query = createRow(dependent);
  setInt(dependent, query, 1, open);
  replay();
  EXPECT_EQ(longCell(rowOf(open), 2), longCell(rowOf(query), 0));
  bool warned = false;
  for (const std::string& line : log.entries()) {
    warned |= line.rfind("warning: incorrect probe behavior: master table row had not been closed", 0) == 0 &&
              line.find("  master: Request; eventId=" + std::to_string(open)) != std::string::npos &&
              line.find("  dependent: Query; eventId=" + std::to_string(query)) != std::string::npos;
  }
  EXPECT_TRUE(warned);

  const jint closed = createRow(master);
  close(master, closed, false);
  replay();
  const int64_t end = longCell(rowOf(closed), 2);
  setInt(dependent, createRow(dependent), 1, closed);
  replay();
  EXPECT_EQ(longCell(rowOf(closed), 2), end);
  EXPECT_EQ(pendingRuntimeException(), "<none>");
}

TEST_F(EventTableNatives, ACellOutsideTheTableIsDroppedAtReplayWithoutFailingTheCaller) {
  LogCapture log;
  const jint table = createTable(callsDescription);
  const jint key = createRow(table);
  setInt(table, key, 6, 1);
  setInt(table, key, bytesColumn, 1);  // a two-slot column
  setInt(table, key, countColumn, 2);
  EXPECT_EQ(pendingRuntimeException(), "<none>");
  replay();
  EXPECT_EQ(rowOf(key)->slots[5], 2);
  EXPECT_EQ(longCell(rowOf(key), 6), 0);
  int32_t errors = 0;
  for (const std::string& line : log.entries()) errors += line.rfind("error: event table #32 has no", 0) == 0;
  EXPECT_EQ(errors, 2);
}

TEST_F(EventTableNatives, TablesAreDescribedListedAndClearedByName) {
  const jint table = createTable(callsDescription);
  EXPECT_EQ(textOf(callObject("getEventTableDescription", "(I)Ljava/lang/String;", table)), callsDescription);
  for (jint id : {31, 128, table + 1}) {
    EXPECT_EQ(callObject("getEventTableDescription", "(I)Ljava/lang/String;", id), nullptr) << id;
  }
  // Refused descriptions pass the database's code through.
  EXPECT_EQ(createTable(""), eventTableNoLines);
  EXPECT_EQ(createTable("Calls\n1\nCount\n0\n"), eventTableBrokenColumnRules);
  // The probe keeps the ids of the tables made for it, never a refusal code.
  const TopProbe* probe = findTopProbe(YString("com.example.Probe"));
  ASSERT_NE(probe, nullptr);
  ASSERT_GE(probe->tableIds.size, 1);
  EXPECT_EQ(probe->tableIds[probe->tableIds.size - 1], table);
  for (int32_t i = 0; i < probe->tableIds.size; i++) EXPECT_GE(probe->tableIds[i], firstEventTableId);

  createRow(table);
  replay();
  // A row still in the buffer at the clear is cleared with the rest.
  createRow(table);
  EXPECT_EQ(textOf(callObject("getTopEventTableNames", "()Ljava/lang/String;")), "Calls");
  callVoid("clearEventTables", "(Ljava/lang/String;)V", string("Calls\nNo such table"));
  replay();
  EXPECT_EQ(liveRows(table), 0);
  EXPECT_EQ(
      messages(),
      std::vector<Message>({{"Profiler", "Tables cleared", "Calls\nNo such table\n\nActually cleared:\n#32 Calls\n"}}));
  EXPECT_EQ(pendingRuntimeException(), "<none>");
}

TEST_F(EventTableNatives, MessagesGoToTheLogAndTheMessageTable) {
  LogCapture log;
  callVoid("message", "(Ljava/lang/String;Ljava/lang/String;)V", string("Something happened"), string("details"));
  callVoid("message", "(Ljava/lang/String;Ljava/lang/String;)V", string("Alone"), string(""));
  callVoid("messageToTable", "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)V", string("Probe"),
           string("text"), string("more"));
  ASSERT_EQ(pendingRuntimeException(), "<none>");
  replay();
  EXPECT_EQ(log.entries(), std::vector<std::string>({"Something happened: details", "Alone"}));
  EXPECT_EQ(messages(),
            std::vector<Message>(
                {{"Profiler", "Something happened", "details"}, {"Profiler", "Alone", ""}, {"Probe", "text", "more"}}));

  callVoid("messageToTable", "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)V", string("Probe"),
           jstring(nullptr), string("more"));
  EXPECT_EQ(pendingRuntimeException(), "assertion failed in native code; see agent log for detail");
  replay();
  EXPECT_EQ(messages().size(), 3u);
}

TEST_F(EventTableNatives, WhenTheMessageTableCannotBeMadeMessagesAreDroppedForGood) {
  database->nextEventTableId = eventTableIdLimit;
  callVoid("message", "(Ljava/lang/String;Ljava/lang/String;)V", string("lost"), string(""));
  database->nextEventTableId = 40;
  callVoid("message", "(Ljava/lang/String;Ljava/lang/String;)V", string("lost too"), string(""));
  EXPECT_EQ(pendingRuntimeException(), "<none>");
  EXPECT_EQ(database->eventTables[40], nullptr);
  EXPECT_EQ(database->nextEventTableId, 40);
}
