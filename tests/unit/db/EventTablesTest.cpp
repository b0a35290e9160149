#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "agent/db/DB.h"
#include "agent/db/EventRows.h"
#include "agent/db/EventTable.h"
#include "agent/recording/JavaObjectMaps.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/TestDatabase.h"

namespace {

const char* const classLoading =
    "Class Loading\n5\nuptime_ns\n1\nthread\n0\nframe\n0\nClass\n4\nLoaded or Unloaded\n2\n";

// A table with a start time and, when `master` is not empty, a master column of that name.
std::string describe(const std::string& name, const std::string& master = "") {
  if (master.empty()) return name + "\n1\nuptime_ns\n1\n";
  return name + "\n2\nuptime_ns\n1\n" + master + "\n3\n";
}

class EventTablesTest : public DatabaseTest {
 protected:
  int32_t create(const std::string& description) { return database->createEventTable(YString(description.c_str())); }

  EventTable& table(int32_t id) { return *database->eventTables[id]; }

  // Opens a row of the table under a key of its own.
  void open(int32_t tableId, int32_t rowKey) {
    ASSERT_NE(openEventRow(held, tableId, rowKey, 1000, 0, 0), nullptr) << "key " << rowKey;
  }

  std::string clearById(const std::vector<int32_t>& ids) {
    YVector<int32_t> list;
    for (int32_t id : ids) list.add(id);
    YString report;
    database->clearEventTablesById(report, list);
    return report.data;
  }

  std::string clearByName(const char* names) {
    YString report;
    database->clearEventTables(report, YString(names));
    return report.data;
  }

  std::string topNames(int32_t minimum) {
    YString names;
    database->getTopEventTableNames(names, minimum);
    return names.data;
  }

  // Whether the key's row is gone: no longer in the key map, its row deleted at the current stamp.
  bool deleted(int32_t rowKey, int32_t rowId) {
    const EventRecord* row = database->events.getRow(rowId, false);
    return getEventRowIdOfKey(rowKey) == 0 && row != nullptr && row->stamp == -database->currentStamp;
  }
};

}  // namespace

TEST_F(EventTablesTest, ClassLoadingDescriptionLaysOutItsColumns) {
  ASSERT_EQ(create(classLoading), 32);
  const EventTable& loading = table(32);
  EXPECT_STREQ(loading.name.data, "Class Loading");
  EXPECT_STREQ(loading.description.data, classLoading);
  EXPECT_EQ(loading.slotCount, 6);
  EXPECT_EQ(std::vector<int32_t>(loading.columnFirstSlots.data, loading.columnFirstSlots.data + 5),
            (std::vector<int32_t>{0, 2, 3, 4, 5}));
  EXPECT_EQ(std::vector<int32_t>(loading.columnTypes.data, loading.columnTypes.data + 5),
            (std::vector<int32_t>{1, 0, 0, 4, 2}));
  EXPECT_EQ(loading.columnTypes.size, 5);
  EXPECT_EQ(loading.uptimeColumn, 0);
  EXPECT_EQ(loading.threadColumn, 1);
  EXPECT_EQ(loading.frameColumn, 2);
  EXPECT_EQ(loading.uptimeEndColumn, -1);
  EXPECT_EQ(loading.exceptionColumn, -1);
  EXPECT_EQ(loading.masterId, -1);
  EXPECT_EQ(loading.rowCount, 0);
  EXPECT_EQ(loading.minimumLastingMs, 0);
  EXPECT_EQ(database->nextEventTableId, 33);
}

TEST_F(EventTablesTest, ThreadBlockDescriptionHasAStartAndAnEnd) {
  ASSERT_EQ(create("Thread block\n4\nuptime_ns\n1\nuptime_ns.end\n1\nthread\n0\nframe\n0\n"), 32);
  const EventTable& block = table(32);
  EXPECT_STREQ(block.name.data, "Thread block");
  EXPECT_EQ(block.slotCount, 6);
  EXPECT_EQ(std::vector<int32_t>(block.columnFirstSlots.data, block.columnFirstSlots.data + 4),
            (std::vector<int32_t>{0, 2, 4, 5}));
  EXPECT_EQ(block.uptimeColumn, 0);
  EXPECT_EQ(block.uptimeEndColumn, 1);
  EXPECT_EQ(block.threadColumn, 2);
  EXPECT_EQ(block.frameColumn, 3);
  EXPECT_EQ(block.exceptionColumn, -1);
}

TEST_F(EventTablesTest, RefusedDescriptionsChangeNothing) {
  struct Case {
    const char* description;
    int32_t result;
  };
  const Case cases[] = {
      {"", -3},
      {"\n\n\n", -3},
      {"Name\n", -4},
      {"Name\n0\nuptime_ns\n1\n", -5},
      {"Name\ntwo\nuptime_ns\n1\n", -5},
      // The carriage return stays in its line, so the count is no number.
      {"Name\r\n1\r\nuptime_ns\r\n1\r\n", -5},
      {"Name\n2\nuptime_ns\n1\n", -6},
      {"Name\n1\nuptime_ns\n", -7},
      {"Name\n1\nuptime_ns\n6\n", -8},
      {"Name\n1\nuptime_ns\n-1\n", -8},
      {"Name\n1\nvalue\n0\n", -9},                                  // no start time
      {"Name\n1\nuptime_ns\n5\n", -9},                              // start time of the wrong type
      {"Name\n2\nuptime_ns\n1\nuptime_ns\n1\n", -9},                // given twice
      {"Name\n2\nuptime_ns\n1\nthread\n2\n", -9},                   // thread of the wrong type
      {"Name\n2\nuptime_ns\n1\nexception_str\n0\n", -9},
      {"Name\n3\nuptime_ns\n1\n40\n3\n41\n3\n", -9},                // two masters
      {"Name\n2\nuptime_ns\n1\n0\n3\n", -10},
      {"Name\n2\nuptime_ns\n1\nparent\n3\n", -10},
      {"Name\n2\nuptime_ns\n1\n40x\n3\n", -10},
      {"Name\n2\nuptime_ns\n1\n99999999999\n3\n", -10},
      {"Name\n2\nuptime_ns\n1\n32\n3\n", -11},                      // its own id as master
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description);
    EXPECT_EQ(create(c.description), c.result);
  }
  EXPECT_EQ(database->nextEventTableId, 32);
  for (int32_t id = 0; id < eventTableIdLimit; id++) EXPECT_TRUE(database->eventTables[id] == nullptr);
  EXPECT_EQ(create(classLoading), 32);
}

TEST_F(EventTablesTest, BlankLinesExtraLinesAndAMissingFinalNewlineAreAccepted) {
  const char* const accepted[] = {
      "\n\nName\n\n1\n\nuptime_ns\n\n\n1\n\n",
      "Name\n1\nuptime_ns\n1\nlines after\nthe last column\n",
      "Name\n1\nuptime_ns\n1",
  };
  int32_t expected = 32;
  for (const char* description : accepted) {
    SCOPED_TRACE(description);
    ASSERT_EQ(create(description), expected);
    EXPECT_STREQ(table(expected).name.data, "Name");
    EXPECT_STREQ(table(expected).description.data, description);
    EXPECT_EQ(table(expected).slotCount, 2);
    EXPECT_EQ(table(expected).uptimeColumn, 0);
    expected++;
  }
}

TEST_F(EventTablesTest, NinetySixTablesTakeEveryIdentifier) {
  for (int32_t id = 32; id < 128; id++) {
    // Refusals on the way use no identifier.
    if (id == 40) {
      EXPECT_EQ(create("Broken\n1\nuptime_ns\n0\n"), -9);
    }
    ASSERT_EQ(create(describe("T" + std::to_string(id))), id);
  }
  EXPECT_EQ(database->nextEventTableId, 128);
  EXPECT_EQ(create(classLoading), -1);
  EXPECT_EQ(create(""), -1);  // tested before the description
}

TEST_F(EventTablesTest, ConstructorTakesBrokenColumnsForABrokenInvariant) {
  const auto build = [&](const char* name, int32_t type) {
    YVector<YString> lines;
    lines.add(YString("Name"));
    YVector<YString> names;
    names.add(YString(name));
    YVector<int32_t> types;
    types.add(type);
    EventTable table(*database, lines, YString("Name"), names, types);
  };
  EXPECT_EQ(fatalErrorOf([&] { build("thread", 0); }), "error at EventTable:74: assertion failed");
  EXPECT_EQ(fatalErrorOf([&] { build("uptime_ns", 7); }), "error at EventTable:68: unexpected column type: 7");
}

TEST_F(EventTablesTest, AMasterChainThatLeadsBackIsRefused) {
  ASSERT_EQ(create(describe("Early", "33")), 32);  // names a master that comes later
  EXPECT_EQ(create(describe("Loop", "32")), -11);  // 33 -> 32 -> 33
  ASSERT_EQ(create(describe("Middle", "34")), 33);
  EXPECT_EQ(create(describe("Loop", "32")), -11);  // 34 -> 32 -> 33 -> 34
  ASSERT_EQ(create(describe("Top")), 34);
  EXPECT_EQ(table(32).getRootTable(), &table(34));
  EXPECT_EQ(table(34).getRootTable(), &table(34));
  // A master that names no table leaves the table its own root.
  ASSERT_EQ(create(describe("Dangling", "-7")), 35);
  EXPECT_EQ(table(35).getRootTable(), &table(35));
}

TEST_F(EventTablesTest, AFamilyCountsAgainstItsRootAndIsClearedWithIt) {
  ASSERT_EQ(create(describe("Unrelated")), 32);
  ASSERT_EQ(create(describe("Master")), 33);
  ASSERT_EQ(create(describe("Child", "33")), 34);
  ASSERT_EQ(create(describe("Grandchild", "34")), 35);
  EXPECT_EQ(table(34).masterId, 33);
  EXPECT_EQ(table(35).getRootTable(), &table(33));
  open(32, 1);
  open(33, 2);
  open(34, 3);
  open(34, 4);
  open(35, 5);
  EXPECT_EQ(table(32).rowCount, 1);
  EXPECT_EQ(table(33).rowCount, 4);
  EXPECT_EQ(table(34).rowCount, 0);
  const std::vector<int32_t> rowIds = {getEventRowIdOfKey(2), getEventRowIdOfKey(3), getEventRowIdOfKey(4),
                                       getEventRowIdOfKey(5)};

  database->currentStamp = 4;
  EXPECT_EQ(clearById({33}), "#33 Master\n#34 Child\n#35 Grandchild\n");
  for (int32_t i = 0; i < 4; i++) EXPECT_TRUE(deleted(i + 2, rowIds[size_t(i)])) << "key " << i + 2;
  EXPECT_EQ(table(33).rowCount, 0);
  EXPECT_NE(getEventRowIdOfKey(1), 0);
  EXPECT_EQ(table(32).rowCount, 1);
  // The tables stay and take rows again, in the ids given back.
  EXPECT_EQ(database->nextEventTableId, 36);
  open(35, 6);
  EXPECT_EQ(table(33).rowCount, 1);
  EXPECT_EQ(getEventRowIdOfKey(6), rowIds.back());
}

TEST_F(EventTablesTest, AMasterMadeLaterTakesOverTheRowsOfItsDependents) {
  ASSERT_EQ(create(describe("Child", "33")), 32);
  open(32, 1);
  open(32, 2);
  EXPECT_EQ(table(32).rowCount, 2);
  ASSERT_EQ(create(describe("Master")), 33);
  EXPECT_EQ(table(33).rowCount, 2);
  EXPECT_EQ(table(32).rowCount, 0);
  table(32).removeRow(getEventRowIdOfKey(1), database->currentStamp);
  EXPECT_EQ(table(33).rowCount, 1);
  EXPECT_EQ(table(32).rowCount, 0);
}

TEST_F(EventTablesTest, ClearingByIdentifierReportsOnlyIdentifiersInRange) {
  ASSERT_EQ(create(describe("First")), 32);
  ASSERT_EQ(create(describe("Second")), 33);
  open(32, 1);
  open(33, 2);
  EXPECT_EQ(clearById({}), "");
  // 0 and -1 are what probes without a table hold; 200 lies outside 32 to 127.
  EXPECT_EQ(clearById({200, 33, 0, -1}), "#33 Second\n");
  EXPECT_EQ(getEventRowIdOfKey(2), 0);
  EXPECT_NE(getEventRowIdOfKey(1), 0);
  // An identifier in range without a table is reported bare.
  EXPECT_EQ(clearById({40}), "#40\n");
}

TEST_F(EventTablesTest, ClearingByNameClearsEveryTableOfThatName) {
  ASSERT_EQ(create(describe("Twice")), 32);
  ASSERT_EQ(create(describe("Kept")), 33);
  ASSERT_EQ(create(describe("Twice")), 34);
  ASSERT_EQ(create(describe("Other")), 35);
  open(32, 1);
  open(33, 2);
  open(34, 3);
  open(35, 4);
  EXPECT_EQ(clearByName("Nothing\nTWICE\n"), "");
  for (int32_t key = 1; key <= 4; key++) EXPECT_NE(getEventRowIdOfKey(key), 0);
  EXPECT_EQ(clearByName("\nTwice\n\nOther"), "#32 Twice\n#34 Twice\n#35 Other\n");
  EXPECT_EQ(getEventRowIdOfKey(1), 0);
  EXPECT_NE(getEventRowIdOfKey(2), 0);
  EXPECT_EQ(getEventRowIdOfKey(3), 0);
  EXPECT_EQ(getEventRowIdOfKey(4), 0);
}

TEST_F(EventTablesTest, TopTableNamesListTablesWithoutMaster) {
  EXPECT_EQ(topNames(-1), "");
  ASSERT_EQ(create(describe("Alpha")), 32);
  ASSERT_EQ(create(describe("Empty")), 33);
  ASSERT_EQ(create(describe("Child", "32")), 34);
  ASSERT_EQ(create(describe("Gamma")), 35);
  open(32, 1);
  open(34, 2);
  open(34, 3);
  open(35, 4);
  open(35, 5);
  EXPECT_EQ(topNames(-1), "Alpha\nEmpty\nGamma");
  EXPECT_EQ(topNames(0), "Alpha\nEmpty\nGamma");
  EXPECT_EQ(topNames(2), "Alpha\nGamma");
  EXPECT_EQ(topNames(3), "Alpha");  // its child's rows count
  EXPECT_EQ(topNames(4), "");
}

TEST_F(EventTablesTest, RemovingARowGivesUpItsIdKeyAndLiveValueOnce) {
  ASSERT_EQ(create(describe("Family")), 32);
  ASSERT_EQ(create(describe("Child", "32")), 33);
  open(33, 77);
  open(33, 78);
  const int32_t rowId = getEventRowIdOfKey(77);
  // Both keys are also values of an object map.
  const int64_t map = createObjectMap();
  int32_t previous = 0;
  ASSERT_TRUE(objectMapPut(map, 1, 77, false, 0, previous));
  ASSERT_TRUE(objectMapPut(map, 2, 78, false, 0, previous));
  database->currentStamp = 3;

  table(33).removeRow(rowId, 3);
  const EventRecord& row = *database->events.getRow(rowId, false);
  EXPECT_EQ(row.stamp, -3);
  EXPECT_EQ(row.rowKey, 0);
  EXPECT_EQ(row.tableId, 0);
  EXPECT_EQ(row.slots.size, 0);
  EXPECT_EQ(getEventRowIdOfKey(77), 0);
  EXPECT_FALSE(isLiveId(77));
  EXPECT_TRUE(isLiveId(78));
  EXPECT_EQ(database->events.ids.peek(), rowId);
  EXPECT_EQ(table(32).rowCount, 1);

  table(33).removeRow(rowId, 3);
  table(32).removeRow(rowId, 3);
  EXPECT_EQ(table(32).rowCount, 1);
  EXPECT_EQ(database->events.ids.released.size, 1);
  table(32).removeRow(5000, 3);  // never made
  EXPECT_EQ(table(32).rowCount, 1);
  ASSERT_TRUE(deleteObjectMap(map));

  EXPECT_EQ(fatalErrorOf([&] { table(32).removeRow(-1, 3); }), "error at EventTable:95: assertion failed");
}
