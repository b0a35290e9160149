#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/core/Options.h"
#include "agent/db/DBTable.h"
#include "agent/db/IdAllocator.h"
#include "agent/db/Progress.h"
#include "agent/db/YIntChunkMap.h"
#include "agent/db/YRollingArray.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LoopbackSockets.h"
#include "tests/support/RecordingWriter.h"
#include "tests/support/RowStreamReader.h"

using rowstream::Row;

namespace {

using CallCountTable = DBTable<CallCountRecord>;

std::string be32(int32_t value) {
  const uint32_t bits = uint32_t(value);
  return {char(bits >> 24), char(bits >> 16), char(bits >> 8), char(bits)};
}

std::string be64(int64_t value) { return be32(int32_t(uint64_t(value) >> 32)) + be32(int32_t(value)); }

// The whole stream of `table` since `since`, big-endian, with a reporter that tells nobody.
template <class Table>
std::string streamOf(Table& table, int32_t since) {
  RecordingWriter writer(byteOrderBigEndian);
  Progress progress;
  table.writeRows(writer, since, 0, 0, &progress);
  return writer.bytes();
}

template <class Table>
std::vector<Row> rowsOf(Table& table, int32_t since, int32_t tableIndex) {
  return rowstream::parseTableStream(streamOf(table, since), rowstream::Endian::big, tableIndex);
}

Row deletedRow(int32_t index, int32_t stamp) {
  Row row;
  row.index = index;
  row.stamp = stamp;
  return row;
}

Row liveRow(int32_t index, int32_t stamp, std::vector<int64_t> values) {
  Row row = deletedRow(index, stamp);
  row.values = std::move(values);
  return row;
}

void putCallCount(CallCountTable& table, int32_t index, int32_t stamp, int64_t count) {
  CallCountRecord& row = *table.getRow(index, true);
  row.count = count;
  row.base = 0;
  row.stamp = stamp;
}

// Turns a debug category on in the global option store for a test's length.
class DebugCategory {
 public:
  explicit DebugCategory(const char* category) { globalOptions().debugCategories.add(YString(category)); }
  ~DebugCategory() { globalOptions().debugCategories.pop(); }
  DebugCategory(const DebugCategory&) = delete;
  DebugCategory& operator=(const DebugCategory&) = delete;
};

// The percents of the 16-byte progress messages that arrived, after checking their fixed words.
std::vector<int32_t> progressPercents(const std::string& received) {
  const std::string head = be32(0) + be32(123456789) + be32(100600);
  EXPECT_EQ(received.size() % 16, 0u);
  std::vector<int32_t> percents;
  for (size_t at = 0; at + 16 <= received.size(); at += 16) {
    EXPECT_EQ(received.substr(at, 12), head) << "message at " << at;
    rowstream::Cursor in(received, rowstream::Endian::big, at + 12);
    percents.push_back(in.readInt("percent"));
  }
  return percents;
}

std::vector<int32_t> range(int32_t from, int32_t to) {
  std::vector<int32_t> values;
  for (int32_t v = from; v < to; v++) values.push_back(v);
  return values;
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

constexpr std::chrono::milliseconds quiet{200};

}  // namespace

// --- row ids

TEST(IdAllocator, ReleasedIdsComeBackLastFirstBeforeFreshOnes) {
  IdAllocator ids(1);
  for (int32_t expected = 1; expected <= 10; expected++) EXPECT_EQ(ids.allocate(), expected);
  ids.release(7);
  ids.release(9);
  EXPECT_EQ(ids.peek(), 9);
  EXPECT_EQ(ids.allocate(), 9);
  EXPECT_EQ(ids.peek(), 7);
  EXPECT_EQ(ids.allocate(), 7);
  EXPECT_EQ(ids.peek(), 11);
  EXPECT_EQ(ids.allocate(), 11);
}

TEST(IdAllocator, MoreReleasesThanTheInlineStackHoldsAreAllKept) {
  IdAllocator ids(0);
  for (int32_t id = 100; id < 130; id++) ids.release(id);
  for (int32_t id = 129; id >= 100; id--) EXPECT_EQ(ids.allocate(), id);
  EXPECT_EQ(ids.allocate(), 0);
}

TEST(IdAllocator, ResetStartsAgainAtTheFirstIdAndForgetsReleases) {
  IdAllocator ids(32);
  for (int32_t i = 0; i < 10; i++) ids.allocate();
  ids.release(35);
  ids.reset();
  EXPECT_EQ(ids.peek(), 32);
  EXPECT_EQ(ids.allocate(), 32);
  EXPECT_EQ(ids.allocate(), 33);
}

// --- chunk map

TEST(YIntChunkMap, InitialCapacityIsRoundedUpToWholeChunksPlusOne) {
  const struct {
    int32_t initial;
    int32_t chunks;
  } cases[] = {{1, 1}, {255, 1}, {256, 2}, {1024, 5}, {10000, 40}};
  for (const auto& c : cases) {
    YIntChunkMap<CallCountRecord> map(c.initial);
    EXPECT_EQ(map.chunkCount, c.chunks) << c.initial;
    EXPECT_EQ(map.capacity(), int64_t(c.chunks) * 256) << c.initial;
    EXPECT_EQ(map.madeChunks(), 0) << c.initial;
  }
}

TEST(YIntChunkMap, InitialCapacityBelowOneIsFatal) {
  for (int32_t initial : {0, -1, INT32_MIN}) {
    EXPECT_EQ(fatalErrorOf([&] { YIntChunkMap<CallCountRecord> map(initial); }),
              "error at YIntChunkMap:18: assertion failed")
        << initial;
  }
}

TEST(YIntChunkMap, AWriteBeyondTheEndGrowsThePointerArrayToExactlyTheChunkNeeded) {
  YIntChunkMap<CallCountRecord> map(1024);
  CallCountRecord& early = map.create(3);
  early.count = 42;
  map.create(5000);
  EXPECT_EQ(map.chunkCount, 20);
  EXPECT_EQ(map.capacity(), 5120);
  EXPECT_EQ(map.madeChunks(), 2);
  // Growing moves only the pointers: rows keep their address and contents.
  EXPECT_EQ(map.existing(3), &early);
  EXPECT_EQ(early.count, 42);

  map.create(5120);  // the first row of chunk 20
  EXPECT_EQ(map.chunkCount, 21);
  map.create(100);
  EXPECT_EQ(map.chunkCount, 21);
}

// A reader without the lock may still hold the pointer array that a growth replaced: it stays readable,
// with the chunks made before the growth, until the map dies.
TEST(YIntChunkMap, APointerArrayReplacedByGrowthStaysReadable) {
  YIntChunkMap<CallCountRecord> map(256);
  map.create(3).count = 7;
  std::atomic<CallCountRecord*>* const first = map.chunks.load();
  for (int32_t index = 512; index < 100 * 256; index += 256) map.create(index);
  EXPECT_EQ(map.chunkCount, 100);
  EXPECT_NE(map.chunks.load(), first);
  EXPECT_EQ(first[0].load(), map.existing(0));
  EXPECT_EQ(first[0].load()[3].count, 7);
}

TEST(YIntChunkMap, AChunkIsMadeWholeWithEmptyRowsOnItsFirstWrite) {
  YIntChunkMap<FrameRecord> map(1024);
  EXPECT_EQ(map.existing(600), nullptr);
  map.create(600).stamp = 4;
  ASSERT_NE(map.existing(512), nullptr);
  ASSERT_NE(map.existing(767), nullptr);
  EXPECT_EQ(map.existing(768), nullptr);
  EXPECT_EQ(map.existing(511), nullptr);
  const FrameRecord& neighbour = *map.existing(601);
  // The empty frame: no parent, no children, no sibling.
  EXPECT_EQ(neighbour.stamp, 0);
  EXPECT_EQ(neighbour.parent, -1);
  EXPECT_EQ(neighbour.codePointKey, 0);
  EXPECT_EQ(neighbour.firstChild, -1);
  EXPECT_EQ(neighbour.nextSibling, -1);
  EXPECT_EQ(map.existing(100000), nullptr);
  map.create(0).stamp = 1;
  EXPECT_EQ(map.existing(-1), nullptr);  // never the chunk before the array
  EXPECT_EQ(map.existing(INT32_MIN), nullptr);
}

// --- rolling array

TEST(YRollingArray, TheNewestIndicesStayInTheirSlots) {
  TelemetryTable table("tele", 0, 3);
  for (int32_t i = 0; i < 5; i++) table.rows.append().stamp = 10 + i;
  EXPECT_EQ(table.rows.oldest, 2);
  EXPECT_EQ(table.rows.next, 5);
  EXPECT_EQ(table.rows.find(2), &table.rows.slots[2]);
  EXPECT_EQ(table.rows.find(3), &table.rows.slots[0]);
  EXPECT_EQ(table.rows.find(4), &table.rows.slots[1]);
  EXPECT_EQ(table.rows.slots[0].stamp, 13);
  EXPECT_EQ(table.getGeneration(1), 0);
  EXPECT_EQ(table.getGeneration(2), 12);
  EXPECT_EQ(table.getGeneration(4), 14);
  EXPECT_EQ(table.getGeneration(5), 0);
  EXPECT_EQ(table.getGeneration(-1), 0);
}

TEST(YRollingArray, AClearEmptiesTheWindowAndIndicesGoOn) {
  TelemetryTable table("tele", 0, 3);
  for (int32_t i = 0; i < 5; i++) table.rows.append().stamp = 1;
  table.ids.allocate();
  table.clear();
  EXPECT_EQ(table.ids.peek(), 0);
  EXPECT_EQ(table.getGeneration(4), 0);
  EXPECT_EQ(streamOf(table, 0), be32(0));
  table.rows.append().stamp = 7;
  EXPECT_EQ(table.rows.next, 6);
  EXPECT_EQ(table.getGeneration(5), 7);
  EXPECT_EQ(table.getGeneration(4), 0);
}

TEST(YRollingArray, StampsAreSetOnlyInsideTheWindow) {
  TelemetryTable table("tele", 0, 3);
  for (int32_t i = 0; i < 5; i++) table.rows.append().stamp = 1;
  EXPECT_EQ(*table.setGeneration(3, -9), -9);
  EXPECT_EQ(table.getGeneration(3), -9);
  for (int32_t outside : {-1, 1, 5}) {
    EXPECT_EQ(fatalErrorOf([&] { table.setGeneration(outside, 2); }), "error at DB:107: assertion failed")
        << outside;
  }
}

// --- table rows and stamps

TEST(DBTable, RowsAreMadeOnRequestAndFoundOnlyOnceStamped) {
  CallCountTable table("call_count", 1, 1024);
  EXPECT_EQ(table.getRow(5, false), nullptr);
  CallCountRecord* made = table.getRow(5, true);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->stamp, 0);
  EXPECT_EQ(table.getRow(5, false), nullptr);  // its chunk exists, its stamp is still empty
  EXPECT_EQ(table.getGeneration(5), 0);
  made->stamp = -3;
  EXPECT_EQ(table.getRow(5, false), made);
  EXPECT_EQ(table.getRow(5, true), made);
  EXPECT_EQ(table.getGeneration(5), -3);
}

TEST(DBTable, SetGenerationMakesTheRowAndReturnsItsStamp) {
  CallCountTable table("call_count", 1, 1024);
  int32_t* stamp = table.setGeneration(5000, 8);
  EXPECT_EQ(*stamp, 8);
  EXPECT_EQ(stamp, &table.getRow(5000, false)->stamp);
  EXPECT_EQ(table.getGeneration(5000), 8);
  EXPECT_EQ(table.rows.chunkCount, 20);
}

TEST(DBTable, GenerationsOutsideTheTableAreZeroAndMakeNothing) {
  CallCountTable table("call_count", 1, 1024);
  for (int32_t index : {-1, INT32_MIN, 1280, 5000, INT32_MAX}) EXPECT_EQ(table.getGeneration(index), 0) << index;
  EXPECT_EQ(table.rows.chunkCount, 5);
  EXPECT_EQ(table.rows.madeChunks(), 0);
}

TEST(DBTable, ANegativeRowIndexIsFatal) {
  CallCountTable table("call_count", 1, 1024);
  const std::string failure = "error at DB:107: assertion failed";
  EXPECT_EQ(fatalErrorOf([&] { table.getRow(-1, false); }), failure);
  EXPECT_EQ(fatalErrorOf([&] { table.getRow(-1, true); }), failure);
  EXPECT_EQ(fatalErrorOf([&] { table.setGeneration(-1, 5); }), failure);
  EXPECT_EQ(fatalErrorOf([&] { table.setGeneration(INT32_MIN, 5); }), failure);
  EXPECT_EQ(table.rows.madeChunks(), 0);
}

// --- writing changed rows

TEST(DBTableWriteRows, OnlyRowsChangedSinceTheGivenStampAreWrittenDeletedOnesWithoutFields) {
  CallCountTable table("call_count", 1, 1024);
  putCallCount(table, 1, -7, 111);
  putCallCount(table, 2, 3, 222);
  putCallCount(table, 4, 6, 0x0102030405060708);
  putCallCount(table, 6, 5, 555);   // |stamp| not above since
  putCallCount(table, 8, -5, 888);  // neither
  EXPECT_EQ(streamOf(table, 5), be32(2) + be32(1) + be32(-7) + be32(4) + be32(6) + be64(0x0102030405060708));
  EXPECT_EQ(rowsOf(table, 0, 17), (std::vector<Row>{deletedRow(1, -7), liveRow(2, 3, {222}),
                                                    liveRow(4, 6, {0x0102030405060708}), liveRow(6, 5, {555}),
                                                    deletedRow(8, -5)}));
}

TEST(DBTableWriteRows, RowsComeInAscendingIndexOrderAcrossChunks) {
  CallCountTable table("call_count", 1, 16);
  putCallCount(table, 700, 2, 7);
  putCallCount(table, 3, 2, 3);
  putCallCount(table, 300, 2, 30);
  putCallCount(table, 255, 2, 25);
  EXPECT_EQ(rowsOf(table, 0, 17), (std::vector<Row>{liveRow(3, 2, {3}), liveRow(255, 2, {25}),
                                                    liveRow(300, 2, {30}), liveRow(700, 2, {7})}));
}

TEST(DBTableWriteRows, EmptyTablesAndUnstampedRowsWriteOnlyACountOfZero) {
  CallCountTable empty("call_count", 1, 1024);
  EXPECT_EQ(streamOf(empty, 0), be32(0));

  CallCountTable unstamped("call_count", 1, 1024);
  unstamped.getRow(5, true)->count = 9;
  unstamped.getRow(700, true);
  EXPECT_EQ(streamOf(unstamped, 0), be32(0));
  EXPECT_EQ(streamOf(unstamped, -1), be32(0));
}

TEST(DBTableWriteRows, TelemetryRowsCarryTheirAbsoluteIndex) {
  TelemetryTable table("tele", 0, 3);
  for (int32_t i = 0; i < 5; i++) {
    TelemetryRecord& row = table.rows.append();
    row.reset();
    row.values.data[0] = 100 + i;
    row.stamp = 1 + i;
  }
  const std::vector<Row> rows = rowsOf(table, 3, rowstream::telemetryTable);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].index, 3);
  EXPECT_EQ(rows[0].stamp, 4);
  EXPECT_EQ(rows[0].values[2], 103);
  EXPECT_EQ(rows[1].index, 4);
  EXPECT_EQ(rows[1].values[2], 104);
}

TEST(DBTableWriteRows, AMissingProgressReporterIsFatal) {
  CallCountTable table("call_count", 1, 1024);
  RecordingWriter writer(byteOrderBigEndian);
  EXPECT_EQ(fatalErrorOf([&] { table.writeRows(writer, 0, 10, 20, nullptr); }),
            "error at DB:143: assertion failed: value is NULL");
  EXPECT_EQ(writer.bytes(), "");
}

// --- progress

class TableProgress : public ::testing::Test {
 protected:
  // Writes `rows` rows of a fresh table over the range, reporting to the client of `progress`.
  void writeTable(int32_t rows, int32_t from, int32_t to) {
    CallCountTable table("call_count", 1, 1024);
    for (int32_t i = 0; i < rows; i++) putCallCount(table, i, 1, i);
    RecordingWriter writer(byteOrderLittleEndian, 4096);
    table.writeRows(writer, 0, from, to, &progress);
  }

  loopback::Connection connection{0, 0};
  Progress progress{connection.sender(), 0};
};

TEST_F(TableProgress, EveryWholePercentOfTheRangeIsReportedOnce) {
  writeTable(1000, 10, 20);
  EXPECT_EQ(progressPercents(connection.drain(quiet)), range(10, 20));
  EXPECT_EQ(progress.lastPercent, 19);
}

TEST_F(TableProgress, PercentsFollowTheRowsWrittenSoFarTruncated) {
  writeTable(3, 10, 90);  // 10 + 80 * k / 3 for k = 0, 1, 2
  EXPECT_EQ(progressPercents(connection.drain(quiet)), (std::vector<int32_t>{10, 36, 63}));
}

TEST_F(TableProgress, OnlyPercentsAboveTheLastReportedAreSent) {
  progress.lastPercent = 15;
  writeTable(1000, 10, 20);
  writeTable(1000, 10, 20);
  EXPECT_EQ(progressPercents(connection.drain(quiet)), range(16, 20));
}

TEST_F(TableProgress, AnEmptyRangeReportsItsValueOnceAndNothingAfter) {
  writeTable(5, 30, 30);
  writeTable(5, 30, 30);
  EXPECT_EQ(progressPercents(connection.drain(quiet)), std::vector<int32_t>{30});
}

TEST_F(TableProgress, TheRangeOfATableRequestNeverReports) {
  writeTable(50, 0, 0);
  EXPECT_EQ(connection.drain(quiet), "");
  EXPECT_EQ(progress.lastPercent, 0);
}

TEST(SnapshotProgress, AReportSendsTheSixteenByteMessageOnTheClientSocket) {
  loopback::Connection connection(0, 0);
  Progress progress{connection.sender(), 0};
  reportSnapshotProgress(progress, 42);
  const unsigned char expected[] = {0x00, 0x00, 0x00, 0x00, 0x07, 0x5B, 0xCD, 0x15,
                                    0x00, 0x01, 0x88, 0xF8, 0x00, 0x00, 0x00, 0x2A};
  EXPECT_EQ(connection.drain(quiet), std::string(reinterpret_cast<const char*>(expected), sizeof expected));
  reportSnapshotProgress(progress, 1);
  reportSnapshotProgress(progress, 99);
  EXPECT_EQ(progressPercents(connection.drain(quiet)), (std::vector<int32_t>{1, 99}));
}

TEST(SnapshotProgress, APercentOutsideOneToNinetyNineIsFatalAndSendsNothing) {
  loopback::Connection connection(0, 0);
  Progress progress{connection.sender(), 0};
  for (int32_t percent : {0, 100, -1, 1000}) {
    const std::string failure = fatalErrorOf([&] { reportSnapshotProgress(progress, percent); });
    EXPECT_EQ(failure.rfind("error at ", 0), 0u) << failure;
    EXPECT_TRUE(endsWith(failure, ": assertion failed")) << failure;
  }
  EXPECT_EQ(connection.drain(quiet), "");
}

TEST(SnapshotProgress, AReportIsLoggedOnlyWithProgressDebugging) {
  Progress nobody;
  {
    LogCapture log;
    reportSnapshotProgress(nobody, 42);
    EXPECT_EQ(log.entries(), std::vector<std::string>{});
  }
  DebugCategory debug("progress");
  LogCapture log;
  reportSnapshotProgress(nobody, 42);
  reportSnapshotProgress(nobody, 7);
  EXPECT_EQ(log.entries(), (std::vector<std::string>{"snapshot progress: 42", "snapshot progress: 7"}));
}

TEST(SnapshotProgress, AClientThatWentAwayDoesNotStopTheReports) {
  loopback::Connection connection(0, 0);
  connection.closeReceiver();
  Progress progress{connection.sender(), 0};
  CallCountTable table("call_count", 1, 1024);
  for (int32_t i = 0; i < 100; i++) putCallCount(table, i, 1, i);
  RecordingWriter writer(byteOrderLittleEndian, 4096);
  LogCapture log;
  table.writeRows(writer, 0, 10, 90, &progress);
  EXPECT_EQ(progress.lastPercent, 89);
  EXPECT_EQ(rowstream::parseTableStream(writer.bytes(), rowstream::Endian::little, 17).size(), 100u);
}

// --- statistics

TEST(DBTableStatistics, TheLineNamesTheTableAndItsLiveRowsRangeAndMemory) {
  CallCountTable table("call_count", 1, 1024);
  putCallCount(table, 1, 2, 0);
  putCallCount(table, 2, 2, 0);
  putCallCount(table, 3, -2, 0);
  table.getRow(4, true);
  const uint64_t bytes = 8 * 5 + 256 * sizeof(CallCountRecord);
  uint64_t total = 1000;
  EXPECT_EQ(std::string(table.getStatistics(total).data),
            "call_count           records=       2/       0 -     1280 allocated=0 MB (=" +
                std::to_string(bytes) + " bytes)");
  EXPECT_EQ(total, 1000 + bytes);
}

TEST(DBTableStatistics, TheTelemetryLineSpansItsWindow) {
  TelemetryTable table("tele", 0, 3);
  for (int32_t i = 0; i < 5; i++) table.rows.append().stamp = i == 3 ? -1 : 1;
  const uint64_t bytes = 3 * sizeof(TelemetryRecord) + 24;
  uint64_t total = 0;
  EXPECT_EQ(std::string(table.getStatistics(total).data),
            "tele                 records=       2/       2 -        5 allocated=0 MB (=" +
                std::to_string(bytes) + " bytes)");
  EXPECT_EQ(total, bytes);
}

TEST(DBTableStatistics, NamesArePaddedToTwentyAndLongerOnesKeptWhole) {
  const struct {
    const char* name;
    const char* start;
  } cases[] = {
      {"tele", "tele                 records="},
      {"alloc_object_count", "alloc_object_count   records="},
      {"a_name_of_twenty_chr", "a_name_of_twenty_chr records="},
      {"a_name_longer_than_twenty", "a_name_longer_than_twenty records="},
  };
  for (const auto& c : cases) {
    DBTable<AllocObjectCountRecord> table(c.name, 1, 10);
    uint64_t total = 0;
    const std::string line = table.getStatistics(total).data;
    EXPECT_EQ(line.substr(0, std::string(c.start).size()), c.start);
  }
}

TEST(DBTableStatistics, MemoryIsGivenInWholeMegabytesAndBytes) {
  CallCountTable table("call_count", 1, 1);
  const int32_t chunks = 200;
  for (int32_t c = 0; c < chunks; c++) putCallCount(table, c * 256, 1, 0);
  const uint64_t bytes = 8 * uint64_t(chunks) + uint64_t(chunks) * 256 * sizeof(CallCountRecord);
  uint64_t total = 0;
  const std::string line = table.getStatistics(total).data;
  EXPECT_TRUE(endsWith(line, " -    51200 allocated=" + std::to_string(bytes / 1048576) + " MB (=" +
                                 std::to_string(bytes) + " bytes)"))
      << line;
  EXPECT_GE(bytes / 1048576, 1u);
}

// --- clear

TEST(DBTableClear, EveryRowGoesIdsStartAgainAndThePointerArrayKeepsItsLength) {
  CallCountTable table("call_count", 1, 1024);
  for (int32_t i = 0; i < 3; i++) table.ids.allocate();
  table.ids.release(2);
  putCallCount(table, 3, 4, 33);
  putCallCount(table, 5000, -4, 50);
  table.clear();

  EXPECT_EQ(table.ids.allocate(), 1);
  EXPECT_EQ(table.ids.allocate(), 2);
  EXPECT_EQ(table.getGeneration(3), 0);
  EXPECT_EQ(table.getRow(5000, false), nullptr);
  EXPECT_EQ(table.rows.chunkCount, 20);
  EXPECT_EQ(table.rows.capacity(), 5120);
  EXPECT_EQ(table.rows.madeChunks(), 0);
  EXPECT_EQ(streamOf(table, 0), be32(0));
  uint64_t total = 0;
  const std::string start = "call_count           records=       0/       0 -     5120 allocated=";
  EXPECT_EQ(std::string(table.getStatistics(total).data).substr(0, start.size()), start);

  // A row made again starts empty, not with what the cleared row held.
  CallCountRecord& again = *table.getRow(3, true);
  EXPECT_EQ(again.stamp, 0);
  EXPECT_EQ(again.count, 0);
}

TEST(DBTableClear, EventRowsGiveUpTheirSlotsAndCanBeFilledAgain) {
  DBTable<EventRecord> table("event", 1, 16);
  for (int32_t index = 1; index < 600; index += 7) {
    EventRecord& row = *table.getRow(index, true);
    for (int32_t slot = 0; slot < 25; slot++) row.slots.add(slot);  // beyond the inline slots
    row.stamp = 1;
  }
  table.clear();
  EXPECT_EQ(streamOf(table, 0), be32(0));
  EventRecord& row = *table.getRow(8, true);
  EXPECT_EQ(row.slots.size, 0);
  row.slots.add(5);
  row.tableId = 32;
  row.stamp = 2;
  EXPECT_EQ(rowsOf(table, 0, rowstream::eventTable), std::vector<Row>{liveRow(8, 2, {32, 0, 1, 5})});
}
