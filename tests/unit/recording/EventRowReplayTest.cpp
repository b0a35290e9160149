#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "agent/db/DB.h"
#include "agent/db/EventRows.h"
#include "agent/db/EventTable.h"
#include "agent/recording/EventRowReplay.h"
#include "agent/recording/FrameTree.h"
#include "agent/recording/MethodStore.h"
#include "agent/recording/ThreadEvents.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/YNodeTree.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestDatabase.h"

// Event-row records of a thread's buffer replayed into event tables: rows opened with their stack,
// filled, closed and deleted, the master row a dependent names, and the records that name no table.
// Owned texts are heap copies: the sanitizer build checks that each is freed once, whatever the record's
// fate.

namespace {

// 32 "Request" (master): 0 uptime_ns (slots 0-1), 1 uptime_ns.end (2-3), 2 exception_str (4), 3 thread (5),
// 4 frame (6), 5 URL (7), 6 Bytes (8-9), 7 Count (10).
// 33 "Query": 0 uptime_ns (0-1), 1 the Request row's key (2).
// 34 "Point": 0 uptime_ns (0-1), a master without an end column; 35 "Mark": 0 uptime_ns, 1 its key (2).
constexpr int32_t request = 32, query = 33, point = 34, mark = 35;
constexpr int32_t urlColumn = 5, bytesColumn = 6, countColumn = 7;
constexpr int64_t ms = 1000000;

std::vector<uint32_t> withWide(std::vector<uint32_t> words, int64_t value) {
  words.push_back(uint32_t(uint64_t(value)));
  words.push_back(uint32_t(uint64_t(value) >> 32));
  return words;
}
std::vector<uint32_t> withText(std::vector<uint32_t> words, const char* text) {
  words.resize(words.size() + 2);
  putOwnedText(words.data() + words.size() - 2, text == nullptr ? nullptr : new YString(text));
  return words;
}

std::vector<uint32_t> openRecord(int32_t table, int32_t key, int64_t start, uint32_t node = 0) {
  std::vector<uint32_t> words = withWide({eventRowOpen, uint32_t(table), uint32_t(key)}, start);
  words.push_back(node);
  return words;
}
std::vector<uint32_t> closeRecord(int32_t table, int32_t key, int64_t end, const char* text = nullptr) {
  return withText(withWide({eventRowClose, uint32_t(table), uint32_t(key)}, end), text);
}
std::vector<uint32_t> deleteRecord(int32_t table, int32_t key) {
  return {eventRowDelete, uint32_t(table), uint32_t(key)};
}
std::vector<uint32_t> intRecord(int32_t table, int32_t key, int32_t column, int32_t value) {
  return {eventRowInt, uint32_t(table), uint32_t(key), uint32_t(column), uint32_t(value)};
}
std::vector<uint32_t> longRecord(int32_t table, int32_t key, int32_t column, int64_t value) {
  return withWide({eventRowLong, uint32_t(table), uint32_t(key), uint32_t(column)}, value);
}
std::vector<uint32_t> stringRecord(int32_t table, int32_t key, int32_t column, const char* text) {
  return withText({eventRowString, uint32_t(table), uint32_t(key), uint32_t(column)}, text);
}

class EventRowReplayTest : public DatabaseTest {
 protected:
  void SetUp() override {
    for (const char* description :
         {"Request\n8\nuptime_ns\n1\nuptime_ns.end\n1\nexception_str\n2\nthread\n0\nframe\n0\nURL\n2\nBytes\n1\n"
          "Count\n0\n",
          "Query\n2\nuptime_ns\n1\n32\n3\n", "Point\n1\nuptime_ns\n1\n", "Mark\n2\nuptime_ns\n1\n34\n3\n"}) {
      ASSERT_GT(database->createEventTable(YString(description)), 0) << description;
    }
  }

  void replay(const std::vector<std::vector<uint32_t>>& records) {
    for (const std::vector<uint32_t>& record : records) {
      thread->appendEvent(record.data(), int32_t(record.size()), false);
    }
    processThreadEvents(thread.get(), held);
  }

  const EventRecord* rowOf(int32_t key) {
    const int32_t id = getEventRowIdOfKey(key);
    const EventRecord* row = id < 1 ? nullptr : database->events.getRow(id, false);
    return row != nullptr && row->stamp > 0 ? row : nullptr;
  }
  int64_t wide(const EventRecord* row, int32_t slot) {
    return int64_t(uint64_t(uint32_t(row->slots[slot + 1])) << 32 | uint32_t(row->slots[slot]));
  }
  std::string textOfId(int32_t id) {
    const StringRecord* row = database->strings.findRow(id);
    return row == nullptr || row->body == nullptr ? "<none>" : row->body;
  }
  int32_t liveRows() {
    int32_t live = 0;
    database->events.forEachRow([&](int64_t, const EventRecord& row) { live += row.stamp > 0; });
    return live;
  }

  std::unique_ptr<ThreadInfo> thread =
      std::make_unique<ThreadInfo>(YString("worker"), YString("main"), 0, 0, nullptr, false);
};

}  // namespace

TEST_F(EventRowReplayTest, ARowIsOpenedFilledAndClosedInTheOrderOfItsRecords) {
  const int32_t stamp = database->currentStamp;
  replay({openRecord(request, 7, 5 * ms), intRecord(request, 7, countColumn, -3),
          longRecord(request, 7, bytesColumn, (int64_t(1) << 40) + 9), stringRecord(request, 7, urlColumn, "/index"),
          stringRecord(request, 7, urlColumn, "/later"), closeRecord(request, 7, 9 * ms, "java.io.IOException")});
  const EventRecord* row = rowOf(7);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->tableId, request);
  EXPECT_EQ(row->stamp, stamp);
  EXPECT_EQ(wide(row, 0), 5 * ms);
  EXPECT_EQ(wide(row, 2), 9 * ms);
  EXPECT_EQ(textOfId(row->slots[4]), "java.io.IOException");
  EXPECT_EQ(row->slots[5], int32_t(thread->sequenceNumber));
  EXPECT_EQ(row->slots[6], 0);  // opened without a stack
  EXPECT_EQ(textOfId(row->slots[7]), "/later");
  EXPECT_EQ(wide(row, 8), (int64_t(1) << 40) + 9);
  EXPECT_EQ(row->slots[10], -3);

  // A cell set for a key nobody opened makes the row; a string record without a text sets id 0.
  replay({stringRecord(request, 8, urlColumn, nullptr)});
  ASSERT_NE(rowOf(8), nullptr);
  EXPECT_EQ(rowOf(8)->slots[7], 0);
}

TEST_F(EventRowReplayTest, TheFrameComesFromTheNodeOrTheTracedFrameAtReplay) {
  const int32_t method = getOrCreateMethod("com.example.Shop", "checkout", "()", "void", "", false);
  const int32_t node = getThreadNodeTree(thread.get())->getChild(0, method, 0);
  const int32_t nodeFrame = thread->getFrameId(node);
  const int32_t tracedFrame = getOrCreateChildFrame(nodeFrame, method, 12);
  ASSERT_GT(nodeFrame, 0);
  struct Case {
    const char* what;
    uint32_t word;
    int32_t currentTracedFrame;
    int32_t frame;
  };
  const Case cases[] = {
      {"no stack", 0, tracedFrame, 0},
      {"a node", uint32_t(node), -1, nodeFrame},
      {"the traced frame", tracedFrameWord, tracedFrame, tracedFrame},
      {"no traced stack", tracedFrameWord, -1, 0},
  };
  int32_t key = 100;
  for (const Case& c : cases) {
    thread->currentTracedFrame = c.currentTracedFrame;
    replay({openRecord(request, ++key, ms, c.word)});
    ASSERT_NE(rowOf(key), nullptr) << c.what;
    EXPECT_EQ(rowOf(key)->slots[6], c.frame) << c.what;
  }
}

TEST_F(EventRowReplayTest, ADependentRowClosesAMasterRowLeftOpenWithAWarning) {
  struct Case {
    const char* what;
    int32_t masterKey;
    std::vector<std::vector<uint32_t>> master;  // the master's records before the dependent's
    int64_t masterEnd;                         // once the dependent has named it
  };
  const int64_t dependentStart = 7 * ms + 999;
  const Case cases[] = {
      {"closed first", 1, {openRecord(request, 1, 2 * ms), closeRecord(request, 1, 3 * ms)}, 3 * ms},
      {"left open", 11, {openRecord(request, 11, 2 * ms)}, dependentStart},
      {"never made", 21, {}, dependentStart},
  };
  for (const Case& c : cases) {
    LogCapture log;
    const int32_t dependentKey = c.masterKey + 1;
    replay(c.master);
    replay({openRecord(query, dependentKey, dependentStart), intRecord(query, dependentKey, 1, c.masterKey)});
    ASSERT_NE(rowOf(dependentKey), nullptr) << c.what;
    EXPECT_EQ(rowOf(dependentKey)->slots[2], c.masterKey) << c.what;
    ASSERT_NE(rowOf(c.masterKey), nullptr) << c.what;
    EXPECT_EQ(rowOf(c.masterKey)->tableId, request) << c.what;
    EXPECT_EQ(wide(rowOf(c.masterKey), 2), c.masterEnd) << c.what;
    std::vector<std::string> expected;
    if (c.masterEnd == dependentStart) {
      expected.push_back(
          "warning: incorrect probe behavior: master table row had not been closed when dependent row's FK was set:\n"
          "  uptime(ms): 7\n"
          "  master: Request; eventId=" + std::to_string(c.masterKey) + "\n"
          "  dependent: Query; eventId=" + std::to_string(dependentKey));
    }
    EXPECT_EQ(log.entries(), expected) << c.what;
  }
}

TEST_F(EventRowReplayTest, AMasterWithoutAnEndColumnOnlyGetsItsKeyStored) {
  LogCapture log;
  replay({openRecord(mark, 2, ms), intRecord(mark, 2, 1, 1)});
  EXPECT_EQ(rowOf(2)->slots[2], 1);
  EXPECT_EQ(rowOf(1), nullptr);
  EXPECT_TRUE(log.entries().empty());
}

TEST_F(EventRowReplayTest, AClosedRowShorterThanTheMinimumIsDropped) {
  struct Case {
    int32_t minimumMs;
    int64_t end;  // the row starts at 10 ms
    bool kept;
  };
  const Case cases[] = {
      {0, 10 * ms, true},        {5, 15 * ms - 1, false}, {5, 15 * ms, true},
      {5, 0, true},  // no end time: the row stays open
  };
  int32_t key = 0;
  for (const Case& c : cases) {
    database->eventTables[request]->minimumLastingMs = c.minimumMs;
    replay({openRecord(request, ++key, 10 * ms), closeRecord(request, key, c.end, "dropped with the row or kept")});
    EXPECT_EQ(rowOf(key) != nullptr, c.kept) << c.minimumMs << " " << c.end;
    if (c.kept) {
      EXPECT_EQ(wide(rowOf(key), 2), c.end);
    }
  }
}

TEST_F(EventRowReplayTest, ADeleteRemovesTheRowOnlyFromTheTableItNames) {
  replay({openRecord(request, 1, ms), openRecord(point, 2, ms)});
  // The key map spans every table, but a key of a Point row deletes nothing through Request.
  replay({deleteRecord(request, 2), deleteRecord(request, 99), deleteRecord(point, 1)});
  EXPECT_NE(rowOf(1), nullptr);
  EXPECT_NE(rowOf(2), nullptr);
  replay({deleteRecord(request, 1), deleteRecord(point, 2)});
  EXPECT_EQ(rowOf(1), nullptr);
  EXPECT_EQ(rowOf(2), nullptr);
}

TEST_F(EventRowReplayTest, RecordsNamingNoTableChangeNothingAndTheirTextsAreFreed) {
  LogCapture log;
  for (int32_t table : {20, 40, 128, -1}) {
    replay({openRecord(table, 1, ms), intRecord(table, 1, 1, 5), longRecord(table, 1, 0, 5),
            stringRecord(table, 1, 1, "freed unreplayed"), closeRecord(table, 1, 2 * ms, "freed too"),
            deleteRecord(table, 1)});
    EXPECT_EQ(liveRows(), 0) << table;
    EXPECT_EQ(thread->replayPosition, thread->eventsUsed.load()) << table;
  }
  EXPECT_TRUE(log.entries().empty());
}

TEST_F(EventRowReplayTest, AColumnTheTableLacksIsLoggedAndTheReplayGoesOn) {
  LogCapture log;
  replay({openRecord(request, 1, ms), intRecord(request, 1, bytesColumn, 5), longRecord(request, 1, countColumn, 5),
          stringRecord(request, 1, 8, "no such column"), intRecord(request, 1, -1, 5),
          intRecord(request, 1, countColumn, 6)});
  EXPECT_EQ(rowOf(1)->slots[10], 6);
  EXPECT_EQ(wide(rowOf(1), 8), 0);
  EXPECT_EQ(log.entries(), std::vector<std::string>({
                               "error: event table #32 has no 32-bit column 6; the probe's value is dropped",
                               "error: event table #32 has no 64-bit column 7; the probe's value is dropped",
                               "error: event table #32 has no 32-bit column 8; the probe's value is dropped",
                               "error: event table #32 has no 32-bit column -1; the probe's value is dropped",
                           }));
}

TEST_F(EventRowReplayTest, TextsOfRecordsNeverReplayedAreFreedWithTheirThread) {
  const std::vector<std::vector<uint32_t>> records = {closeRecord(request, 1, ms, "closing text"),
                                                      stringRecord(request, 1, urlColumn, "cell text"),
                                                      closeRecord(request, 1, ms, nullptr)};
  for (const std::vector<uint32_t>& record : records) {
    thread->appendEvent(record.data(), int32_t(record.size()), false);
  }
  thread.reset();
  EXPECT_EQ(liveRows(), 0);
}

TEST_F(EventRowReplayTest, ATextTakenFromARecordIsClearedThere) {
  std::vector<uint32_t> record = stringRecord(request, 1, urlColumn, "taken once");
  const std::unique_ptr<YString> text = takeOwnedText(record.data() + 4);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text->data, "taken once");
  EXPECT_EQ(record[4], 0u);
  EXPECT_EQ(record[5], 0u);
  EXPECT_EQ(takeOwnedText(record.data() + 4), nullptr);
}
