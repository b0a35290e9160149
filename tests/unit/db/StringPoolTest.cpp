#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "agent/db/DB.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/support/NamedLocks.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestDatabase.h"

namespace {

// Adds texts "<prefix><n>" until the pool holds `size` texts; their ids.
std::vector<int32_t> fillPoolTo(int32_t size, const std::string& prefix) {
  std::vector<int32_t> ids;
  for (int32_t n = 0; db->stringPool.size() < size; n++) ids.push_back(getStringId((prefix + std::to_string(n)).c_str()));
  return ids;
}

std::vector<std::string> collectionLines(const LogCapture& log) {
  std::vector<std::string> lines;
  for (const std::string& entry : log.entries()) {
    if (entry.rfind("SP: gc", 0) == 0) lines.push_back(entry);
  }
  return lines;
}

bool isDropped(int32_t id) {
  const StringRecord* row = db->strings.findRow(id);
  return row != nullptr && row->body == nullptr && row->stamp == -db->currentStamp;
}

bool holds(int32_t id, const std::string& text) {
  const StringRecord* row = db->strings.findRow(id);
  return row != nullptr && row->body != nullptr && text == row->body && row->stamp > 0;
}

// Fills one row of a table through `set` and stamps it.
template <class Record, class Set>
void plant(DBTable<Record>& table, int32_t row, Set set, int32_t stamp = 1) {
  Record& record = *table.getRow(row, true);
  set(record);
  record.stamp = stamp;
}

using StringPoolTest = DatabaseTest;

}  // namespace

TEST_F(StringPoolTest, SameTextGivesTheSameIdAndOneRow) {
  database->currentStamp = 3;
  const int32_t size = database->stringPool.size();
  const int32_t id = getStringId("com.example.Worker");
  const int32_t nextId = database->strings.ids.peek();
  EXPECT_GE(id, 1);
  EXPECT_EQ(getStringId("com.example.Worker"), id);
  EXPECT_EQ(getStringId(std::string("com.example.Worker").c_str()), id);  // by content, not by pointer
  EXPECT_EQ(database->strings.ids.peek(), nextId);
  EXPECT_EQ(database->stringPool.size(), size + 1);
  EXPECT_TRUE(holds(id, "com.example.Worker"));
  EXPECT_EQ(database->strings.findRow(id)->stamp, 3);

  const int32_t empty = getStringId("");
  EXPECT_GE(empty, 1);
  EXPECT_NE(empty, id);
}

TEST_F(StringPoolTest, NullTextIsZeroAndAddsNothing) {
  const int32_t size = database->stringPool.size();
  const int32_t nextId = database->strings.ids.peek();
  EXPECT_EQ(getStringId(nullptr), 0);
  EXPECT_EQ(getStringId(nullptr, true), 0);
  EXPECT_EQ(database->stringPool.size(), size);
  EXPECT_EQ(database->strings.ids.peek(), nextId);
}

TEST_F(StringPoolTest, FirstPinOfAnIdIsLogged) {
  const int32_t plain = getStringId("pinned later");
  LogCapture log;
  EXPECT_EQ(getStringId("pinned later", true), plain);
  EXPECT_EQ(getStringId("pinned later", true), plain);
  const int32_t atOnce = getStringId("pinned at once", true);
  getStringId("pinned at once", true);
  getStringId("never pinned");
  EXPECT_EQ(log.entries(), (std::vector<std::string>{"SP: pin pinned later", "SP: pin pinned at once"}));
  EXPECT_TRUE(database->stringPool.isPinned(plain));
  EXPECT_TRUE(database->stringPool.isPinned(atOnce));
  EXPECT_FALSE(database->stringPool.isPinned(getStringId("never pinned")));
}

TEST_F(StringPoolTest, CollectsAtTenThousandTextsThenAfterTwoThousandMore) {
  // Texts that begin with "tele." are always kept, so the pool keeps its size across collections.
  LogCapture log;
  fillPoolTo(9999, "tele.point.");
  database->stringPool.collect(*database);
  EXPECT_TRUE(collectionLines(log).empty());

  fillPoolTo(10000, "tele.point.");
  database->stringPool.collect(*database);
  std::vector<std::string> lines = collectionLines(log);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex("SP: gc #0 0 ms=\\d+ sz=10000 p=0 t=\\d+"))) << lines[0];
  EXPECT_EQ(database->stringPool.size(), 10000);

  fillPoolTo(11999, "tele.more.");
  database->stringPool.collect(*database);
  EXPECT_EQ(collectionLines(log).size(), 1u);

  fillPoolTo(12000, "tele.more.");
  database->stringPool.collect(*database);
  lines = collectionLines(log);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(std::regex_match(lines[1], std::regex("SP: gc #1 0 ms=\\d+ sz=12000 p=0 t=\\d+"))) << lines[1];
}

TEST_F(StringPoolTest, DropsTextsNoRowRefersTo) {
  const int32_t pinned = getStringId("keep.pinned", true);
  const int32_t telemetry = getStringId("tele.keep");
  const int32_t propertyValue = getStringId("keep.property.value");
  database->setProperty("test.property", propertyValue);
  const int32_t deadThreadName = getStringId("keep.dead.thread");
  ThreadRecord& deadThread = *database->threads.getRow(database->threads.ids.allocate(), true);
  deadThread.nameId = deadThreadName;
  deadThread.stamp = -1;
  const int32_t unreferenced = getStringId("drop.me");
  const int32_t deletedRow = getStringId("keep.deleted.row");
  database->strings.findRow(deletedRow)->stamp = -1;
  const int32_t threadName = vmStartThread->cachedNameId;
  const std::vector<int32_t> fillers = fillPoolTo(10000, "filler.");

  database->currentStamp = 5;
  LogCapture log;
  database->stringPool.collect(*database);

  EXPECT_TRUE(holds(pinned, "keep.pinned"));
  EXPECT_TRUE(holds(telemetry, "tele.keep"));
  EXPECT_TRUE(holds(propertyValue, "keep.property.value"));
  EXPECT_TRUE(holds(deadThreadName, "keep.dead.thread"));
  EXPECT_TRUE(holds(threadName, "VM Start"));
  EXPECT_TRUE(isDropped(unreferenced));
  EXPECT_STREQ(database->strings.findRow(deletedRow)->body, "keep.deleted.row");
  EXPECT_EQ(database->strings.findRow(deletedRow)->stamp, -1);
  for (const int32_t id : fillers) ASSERT_TRUE(isDropped(id)) << id;

  const int32_t dropped = 10000 - database->stringPool.size();
  EXPECT_GE(dropped, int32_t(fillers.size()) + 1);
  const std::vector<std::string> lines = collectionLines(log);
  ASSERT_EQ(lines.size(), 1u);
  const std::string expected = "SP: gc #0 " + std::to_string(dropped) + " ms=\\d+ sz=" +
                               std::to_string(database->stringPool.size()) + " p=1 t=1";
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(expected))) << lines[0];

  // The kept texts keep their ids; a dropped text asked again is a new text.
  EXPECT_EQ(getStringId("keep.pinned"), pinned);
  EXPECT_EQ(getStringId("tele.keep"), telemetry);
  const int32_t again = getStringId("drop.me");
  EXPECT_TRUE(holds(again, "drop.me"));
  EXPECT_EQ(database->stringPool.size(), 10000 - dropped + 1);
}

TEST_F(StringPoolTest, DroppedIdGoesToTheNextNewText) {
  const std::vector<int32_t> fillers = fillPoolTo(10000, "filler.");
  database->stringPool.collect(*database);
  const std::set<int32_t> dropped(fillers.begin(), fillers.end());
  const int32_t size = database->stringPool.size();

  database->currentStamp = 7;
  const int32_t id = getStringId("brand new");
  EXPECT_EQ(dropped.count(id), 1u) << id;
  EXPECT_TRUE(holds(id, "brand new"));
  EXPECT_EQ(database->strings.findRow(id)->stamp, 7);
  EXPECT_EQ(database->stringPool.size(), size + 1);
  EXPECT_EQ(getStringId("brand new"), id);
}

TEST_F(StringPoolTest, KeepsTheTextsThatEachTableRefersTo) {
  // Each case puts the text's id into one field of one row; only the fields that hold string ids keep it.
  struct Case {
    const char* what;
    std::function<void(int32_t id, int32_t row)> plant;
    bool kept;
  };
  DB& d = *database;
  const std::vector<Case> cases = {
      {"thread name", [&](int32_t id, int32_t row) { plant(d.threads, row, [id](ThreadRecord& r) { r.nameId = id; }); }, true},
      {"thread group name",
       [&](int32_t id, int32_t row) { plant(d.threads, row, [id](ThreadRecord& r) { r.groupNameId = id; }); }, true},
      {"method name", [&](int32_t id, int32_t row) { plant(d.methods, row, [id](MethodRecord& r) { r.nameId = id; }); }, true},
      {"method parameters",
       [&](int32_t id, int32_t row) { plant(d.methods, row, [id](MethodRecord& r) { r.parametersId = id; }); }, true},
      {"method class",
       [&](int32_t id, int32_t row) { plant(d.methods, row, [id](MethodRecord& r) { r.classNameId = id; }); }, true},
      {"method return type",
       [&](int32_t id, int32_t row) { plant(d.methods, row, [id](MethodRecord& r) { r.returnTypeId = id; }); }, true},
      {"method source file",
       [&](int32_t id, int32_t row) { plant(d.methods, row, [id](MethodRecord& r) { r.sourceFileId = id; }); }, true},
      {"monitor class",
       [&](int32_t id, int32_t row) { plant(d.monitors, row, [id](MonitorRecord& r) { r.key.classTag = id; }); }, true},
      {"monitor owner",
       [&](int32_t id, int32_t row) { plant(d.monitors, row, [id](MonitorRecord& r) { r.key.owner = id; }); }, false},
      {"instance count class",
       [&](int32_t id, int32_t row) { plant(d.instanceCounts, row, [id](InstanceCountRecord& r) { r.classNameId = id; }); },
       true},
      {"snapshot path",
       [&](int32_t id, int32_t row) { plant(d.snapshots, row, [id](SnapshotRecord& r) { r.pathId = id; }); }, true},
      {"generation name",
       [&](int32_t id, int32_t row) { plant(d.generations, row, [id](GenerationRecord& r) { r.nameId = id; }); }, true},
      {"absent generation row",
       [&](int32_t id, int32_t row) { plant(d.generations, row, [id](GenerationRecord& r) { r.nameId = id; }, 0); },
       false},
      {"property key",
       [&](int32_t id, int32_t row) { plant(d.properties, row, [id](PropertyRecord& r) { r.keyId = id; }); }, true},
      {"exception class",
       [&](int32_t id, int32_t row) { plant(d.exceptions, row, [id](ExceptionRecord& r) { r.key.className = id; }); },
       true},
      {"exception thread",
       [&](int32_t id, int32_t row) { plant(d.exceptions, row, [id](ExceptionRecord& r) { r.key.thread = id; }); },
       false},
      {"alloc point class",
       [&](int32_t id, int32_t row) { plant(d.allocPoints, row, [id](AllocPointRecord& r) { r.classId = id; }); }, true},
      {"alloc point code point",
       [&](int32_t id, int32_t row) { plant(d.allocPoints, row, [id](AllocPointRecord& r) { r.codePointKey = id; }); },
       false},
      {"telemetry first pair value",
       [&](int32_t id, int32_t) {
         TelemetryRecord& point = d.telemetry.rows.append();
         point.reset();
         point.values.add(id);
         point.values.add(0);
         point.stamp = 1;
       },
       true},
      {"telemetry second pair value",
       [&](int32_t id, int32_t) {
         TelemetryRecord& point = d.telemetry.rows.append();
         point.reset();
         point.values.add(0);
         point.values.add(id);
         point.stamp = 1;
       },
       true},
      {"telemetry fixed value",
       [&](int32_t id, int32_t) {
         TelemetryRecord& point = d.telemetry.rows.append();
         point.reset();
         point.values.data[11] = id;
         point.stamp = 1;
       },
       false},
  };
  std::vector<int32_t> ids;
  for (size_t i = 0; i < cases.size(); i++) {
    ids.push_back(getStringId((std::string("text of ") + cases[i].what).c_str()));
    cases[i].plant(ids.back(), 500 + int32_t(i));
  }
  fillPoolTo(10000, "filler.");
  database->stringPool.collect(*database);
  for (size_t i = 0; i < cases.size(); i++) {
    SCOPED_TRACE(cases[i].what);
    if (cases[i].kept) {
      EXPECT_TRUE(holds(ids[i], std::string("text of ") + cases[i].what));
    } else {
      EXPECT_TRUE(isDropped(ids[i]));
    }
  }
}

TEST(StringPoolWithoutDatabase, NewTextIsFatal) {
  ASSERT_EQ(db, nullptr);
  EXPECT_EQ(getStringId(nullptr), 0);
  const std::string error = fatalErrorOf([] { getStringId("text"); });
  EXPECT_NE(error.find(": db is NULL"), std::string::npos) << error;
}
