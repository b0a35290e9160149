#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "agent/db/DBTable.h"
#include "agent/db/RowStreams.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/RecordingWriter.h"
#include "tests/support/RowStreamReader.h"

using rowstream::Row;

namespace {

// One field of a row form as the format gives it: 'i' int32, 'l' int64, 's' string (null for -1).
struct Field {
  char kind;
  int64_t value;
  const char* text;
};

Field I(int64_t value) { return {'i', value, nullptr}; }
Field L(int64_t value) { return {'l', value, nullptr}; }
Field S(const char* text) { return {'s', 0, text}; }

std::string bytesOf(int32_t byteOrder, uint64_t value, int32_t width) {
  std::string bytes;
  for (int32_t i = 0; i < width; i++) {
    const int32_t shift = byteOrder == byteOrderLittleEndian ? 8 * i : 8 * (width - 1 - i);
    bytes += char(uint8_t(value >> shift));
  }
  return bytes;
}

std::string int32Bytes(int32_t byteOrder, int64_t value) { return bytesOf(byteOrder, uint64_t(value), 4); }
std::string int64Bytes(int32_t byteOrder, int64_t value) { return bytesOf(byteOrder, uint64_t(value), 8); }

std::string fieldBytes(int32_t byteOrder, const std::vector<Field>& fields) {
  std::string bytes;
  for (const Field& f : fields) {
    if (f.kind == 'i') bytes += int32Bytes(byteOrder, f.value);
    if (f.kind == 'l') bytes += int64Bytes(byteOrder, f.value);
    if (f.kind == 's' && f.text == nullptr) bytes += int32Bytes(byteOrder, -1);
    if (f.kind == 's' && f.text != nullptr) bytes += int32Bytes(byteOrder, int64_t(std::strlen(f.text))) + f.text;
  }
  return bytes;
}

// Every case writes a table holding a live row (index 3, stamp 9) and a deleted row (index 4, stamp -4)
// that holds the same field values.
constexpr int32_t liveIndex = 3;
constexpr int32_t liveStamp = 9;
constexpr int32_t deletedIndex = 4;
constexpr int32_t deletedStamp = -4;

using TableWrite = std::function<std::string(int32_t byteOrder)>;

template <class Table>
std::string allRows(Table& table, int32_t byteOrder) {
  RecordingWriter writer(byteOrder, 16);  // a small buffer: rows cross flushes
  Progress progress;
  table.writeRows(writer, 0, 0, 0, &progress);
  return writer.bytes();
}

template <class Record>
TableWrite chunkTable(void (*fill)(Record&)) {
  return [fill](int32_t byteOrder) {
    DBTable<Record> table("t", 1, 16);
    Record& live = *table.getRow(liveIndex, true);
    fill(live);
    live.stamp = liveStamp;
    Record& deleted = *table.getRow(deletedIndex, true);
    fill(deleted);
    deleted.stamp = deletedStamp;
    return allRows(table, byteOrder);
  };
}

TableWrite telemetryTable(void (*fill)(TelemetryRecord&)) {
  return [fill](int32_t byteOrder) {
    TelemetryTable table("tele", 0, 8);
    for (int32_t i = 0; i < liveIndex; i++) table.rows.append().stamp = 1;
    table.clear();  // the rows to write get indices 3 and 4
    TelemetryRecord& live = table.rows.append();
    fill(live);
    live.stamp = liveStamp;
    TelemetryRecord& deleted = table.rows.append();
    fill(deleted);
    deleted.stamp = deletedStamp;
    return allRows(table, byteOrder);
  };
}

void setTelemetryValues(TelemetryRecord& row, int32_t count) {
  row.values.size = 0;
  for (int32_t i = 0; i < count; i++) row.values.add(0x01000000 * (i + 1) - i);
  row.items.size = 0;
  row.itemsPresent = false;
}

std::vector<Field> telemetryValues(int32_t count) {
  std::vector<Field> fields;
  for (int32_t i = 0; i < count; i++) fields.push_back(I(0x01000000 * (i + 1) - i));
  return fields;
}

std::vector<Field> operator+(std::vector<Field> a, const std::vector<Field>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

char utf8Body[] = "tally\xC3\xA9 s";
char emptyBody[] = "";

struct Case {
  const char* what;
  int32_t table;
  TableWrite write;
  std::vector<Field> fields;  // the live row's form after index and stamp
};

const std::vector<Case>& cases() {
  static const std::vector<Case> all = {
      {"string", 0, chunkTable<StringRecord>([](StringRecord& r) { r.body = utf8Body; }), {S("tally\xC3\xA9 s")}},
      {"thread", 1, chunkTable<ThreadRecord>([](ThreadRecord& r) {
         r.nameId = 0x01020304;
         r.groupNameId = -2;
         r.threadNumber = 7;
         r.sequenceNumber = 300;
         r.osThreadId = 0x1122334455667788;
         r.daemon = 1;
         r.startTime = 1000000007;
         r.endTime = 0x0A0B0C0D0E0F1011;
       }),
       {I(0x01020304), I(-2), I(7), I(300), L(0x1122334455667788), I(1), L(1000000007), L(0x0A0B0C0D0E0F1011)}},
      {"method", 2, chunkTable<MethodRecord>([](MethodRecord& r) { r = {0, 11, 12, 13, 14, 15, 0x44}; }),
       {I(11), I(12), I(13), I(14), I(15), I(0x44)}},
      {"thread_frame", 3, chunkTable<ThreadFrameRecord>([](ThreadFrameRecord& r) { r = {0, 5, 0x7FFFFFFF}; }),
       {I(5), I(0x7FFFFFFF)}},
      {"monitor", 4, chunkTable<MonitorRecord>([](MonitorRecord& r) { r = {0, {1, 2, -3, 4}, 0x100000001, 3}; }),
       {I(1), I(2), I(-3), I(4), L(0x100000001), L(3)}},
      {"cpu_profiling", 5,
       chunkTable<CpuProfilingRecord>([](CpuProfilingRecord& r) { r = {0, 0x0102030405060708, 9}; }),
       {L(0x0102030405060708), L(9)}},
      {"instance_count", 6,
       chunkTable<InstanceCountRecord>([](InstanceCountRecord& r) { r = {0, 21, 1000, 0x1FFFFFFFF}; }),
       {I(21), I(1000), L(0x1FFFFFFFF)}},
      {"frame", 7, chunkTable<FrameRecord>([](FrameRecord& r) { r = {0, 1, int32_t(0xC0080005), -1, -1}; }),
       {I(1), I(int32_t(0xC0080005)), I(-1), I(-1)}},
      {"table_generation", 8, chunkTable<TableGenerationRecord>([](TableGenerationRecord&) {}), {}},
      {"snapshot", 9, chunkTable<SnapshotRecord>([](SnapshotRecord& r) { r = {0, 17, 0x1011}; }),
       {I(17), L(0x1011)}},
      {"alloc_info", 10,
       chunkTable<AllocInfoRecord>([](AllocInfoRecord& r) { r = {0, 0x7000000000000001, -2, 0x300000000}; }),
       {L(0x7000000000000001), L(-2), L(0x300000000)}},
      {"generation", 11, chunkTable<GenerationRecord>([](GenerationRecord& r) { r = {0, 23, 123456789012}; }),
       {I(23), L(123456789012)}},
      {"properties", 12, chunkTable<PropertyRecord>([](PropertyRecord& r) { r = {0, 31, 4096}; }),
       {I(31), I(4096)}},
      {"tele with a pair and an item", 13, telemetryTable([](TelemetryRecord& r) {
         setTelemetryValues(r, 14);
         r.itemsPresent = true;
         r.items.add({5, 6, 7, 0x123456789});
       }),
       std::vector<Field>{I(1), I(1)} + telemetryValues(14) + std::vector<Field>{I(5), I(6), I(7), L(0x123456789)}},
      {"exception", 14,
       chunkTable<ExceptionRecord>([](ExceptionRecord& r) { r = {0, {41, 42, 43, 44}, 0x2000000003}; }),
       {I(41), I(42), I(43), I(44), L(0x2000000003)}},
      {"event with three slots", 15, chunkTable<EventRecord>([](EventRecord& r) {
         r.tableId = 32;
         r.rowKey = 77;
         for (int32_t slot : {1, -1, 0x01020304}) r.slots.add(slot);
       }),
       {I(32), I(77), I(3), I(1), I(-1), I(0x01020304)}},
      {"code_point", 16, chunkTable<CodePointRecord>([](CodePointRecord& r) { r = {0, 0x7FFFF, 2047}; }),
       {I(0x7FFFF), I(2047)}},
      {"call_count 10 base 4", 17, chunkTable<CallCountRecord>([](CallCountRecord& r) { r = {0, 10, 4}; }), {L(6)}},
      {"alloc_point", 18, chunkTable<AllocPointRecord>([](AllocPointRecord& r) { r = {0, int32_t(0x80000007), 99}; }),
       {I(int32_t(0x80000007)), I(99)}},
      {"alloc_object_count", 19,
       chunkTable<AllocObjectCountRecord>([](AllocObjectCountRecord& r) { r = {0, 0x100000005, 5}; }),
       {L(0x100000000)}},

      {"string with a null body", 0, chunkTable<StringRecord>([](StringRecord& r) { r.body = nullptr; }), {S(nullptr)}},
      {"string with an empty body", 0, chunkTable<StringRecord>([](StringRecord& r) { r.body = emptyBody; }), {S("")}},
      {"tele of 12 values without items", 13, telemetryTable([](TelemetryRecord& r) { setTelemetryValues(r, 12); }),
       std::vector<Field>{I(0), I(-1)} + telemetryValues(12)},
      {"tele with items present but none", 13, telemetryTable([](TelemetryRecord& r) {
         setTelemetryValues(r, 12);
         r.itemsPresent = true;
       }),
       std::vector<Field>{I(0), I(0)} + telemetryValues(12)},
      {"tele of 15 values", 13, telemetryTable([](TelemetryRecord& r) { setTelemetryValues(r, 15); }),
       std::vector<Field>{I(1), I(-1)} + telemetryValues(14)},
      {"tele with items not present", 13, telemetryTable([](TelemetryRecord& r) {
         setTelemetryValues(r, 12);
         r.items.add({1, 2, 3, 4});  // left over from an earlier point: not written
       }),
       std::vector<Field>{I(0), I(-1)} + telemetryValues(12)},
      {"event without slots", 15, chunkTable<EventRecord>([](EventRecord& r) {
         r.tableId = 127;
         r.rowKey = -5;
       }),
       {I(127), I(-5), I(0)}},
      {"call_count that wrapped", 17,
       chunkTable<CallCountRecord>([](CallCountRecord& r) { r = {0, INT64_MIN, 1}; }), {L(INT64_MAX)}},
  };
  return all;
}

std::string expectedStream(int32_t byteOrder, const std::vector<Field>& fields) {
  return int32Bytes(byteOrder, 2) + int32Bytes(byteOrder, liveIndex) + int32Bytes(byteOrder, liveStamp) +
         fieldBytes(byteOrder, fields) + int32Bytes(byteOrder, deletedIndex) + int32Bytes(byteOrder, deletedStamp);
}

// The live row as the reader gives it: numbers in `values`, except a telemetry row's items.
Row expectedLiveRow(int32_t table, const std::vector<Field>& fields) {
  Row row;
  row.index = liveIndex;
  row.stamp = liveStamp;
  size_t numbers = fields.size();
  if (table == rowstream::telemetryTable) numbers = 2 + 12 + 2 * size_t(fields[0].value);
  for (size_t i = 0; i < numbers; i++) {
    if (fields[i].kind == 's') {
      if (fields[i].text != nullptr) row.text = std::string(fields[i].text);
    } else {
      row.values.push_back(fields[i].value);
    }
  }
  for (size_t i = numbers; i + 4 <= fields.size(); i += 4) {
    row.items.push_back({int32_t(fields[i].value), int32_t(fields[i + 1].value), int32_t(fields[i + 2].value),
                         fields[i + 3].value});
  }
  return row;
}

rowstream::Endian endianOf(int32_t byteOrder) {
  return byteOrder == byteOrderLittleEndian ? rowstream::Endian::little : rowstream::Endian::big;
}

const int32_t byteOrders[] = {byteOrderBigEndian, byteOrderLittleEndian};

}  // namespace

TEST(RowStreams, EveryRecordTypeWritesItsRowFormInBothByteOrders) {
  for (const Case& c : cases()) {
    for (const int32_t byteOrder : byteOrders) {
      SCOPED_TRACE(std::string(c.what) + (byteOrder == byteOrderLittleEndian ? ", little-endian" : ", big-endian"));
      const std::string written = c.write(byteOrder);
      EXPECT_EQ(hex(written), hex(expectedStream(byteOrder, c.fields)));

      Row deleted;
      deleted.index = deletedIndex;
      deleted.stamp = deletedStamp;
      EXPECT_EQ(rowstream::parseTableStream(written, endianOf(byteOrder), c.table),
                (std::vector<Row>{expectedLiveRow(c.table, c.fields), deleted}));
    }
  }
}

TEST(RowStreams, ALiveThreadRowTakesFiftyTwoBytesWithNoGaps) {
  const std::string written = cases()[1].write(byteOrderBigEndian);
  EXPECT_EQ(hex(written.substr(0, 4 + 52)),
            "00 00 00 02 "
            "00 00 00 03 00 00 00 09 "
            "01 02 03 04 FF FF FF FE 00 00 00 07 00 00 01 2C "
            "11 22 33 44 55 66 77 88 00 00 00 01 "
            "00 00 00 00 3B 9A CA 07 0A 0B 0C 0D 0E 0F 10 11");
  EXPECT_EQ(hex(written.substr(4 + 52)), "00 00 00 04 FF FF FF FC");
}

TEST(RowStreams, ACallCountRowIsOneLittleEndianLongInAReply) {
  const Case& callCount = cases()[17];
  EXPECT_EQ(hex(callCount.write(byteOrderLittleEndian)),
            "02 00 00 00 03 00 00 00 09 00 00 00 06 00 00 00 00 00 00 00 04 00 00 00 FC FF FF FF");
}

TEST(RowStreams, ALiveTelemetryRowWithoutItsFixedValuesIsFatal) {
  for (const int32_t size : {11, 0}) {
    TelemetryTable table("tele", 0, 4);
    TelemetryRecord& row = table.rows.append();
    row.values.size = size;
    row.stamp = 1;
    RecordingWriter writer(byteOrderBigEndian);
    Progress progress;
    EXPECT_EQ(fatalErrorOf([&] { table.writeRows(writer, 0, 0, 0, &progress); }),
              "error at DB:861: assertion failed")
        << size;
  }
}

TEST(RowStreams, ADeletedTelemetryRowNeedsNoValues) {
  TelemetryTable table("tele", 0, 4);
  TelemetryRecord& row = table.rows.append();
  row.values.size = 0;
  row.stamp = -2;
  RecordingWriter writer(byteOrderBigEndian);
  Progress progress;
  table.writeRows(writer, 0, 0, 0, &progress);
  EXPECT_EQ(hex(writer.bytes()), "00 00 00 01 00 00 00 00 FF FF FF FE");
}

// --- the reader itself

TEST(RowStreamReader, EveryShortenedStreamIsRefused) {
  for (const Case& c : cases()) {
    const std::string whole = c.write(byteOrderBigEndian);
    for (size_t length = 0; length < whole.size(); length++) {
      EXPECT_THROW(rowstream::parseTableStream(whole.substr(0, length), rowstream::Endian::big, c.table),
                   rowstream::FormatError)
          << c.what << ", " << length << " of " << whole.size() << " bytes";
    }
    EXPECT_THROW(rowstream::parseTableStream(whole + '\0', rowstream::Endian::big, c.table), rowstream::FormatError)
        << c.what;
  }
}

TEST(RowStreamReader, ImpossibleCountsAndLengthsAreRefused) {
  const int32_t be = byteOrderBigEndian;
  const struct {
    const char* what;
    int32_t table;
    std::vector<Field> stream;
  } inputs[] = {
      {"negative row count", 17, {I(-1)}},
      {"stamp 0", 17, {I(1), I(3), I(0)}},
      {"string length below -1", 0, {I(1), I(3), I(1), I(-2)}},
      {"negative slot count", 15, {I(1), I(3), I(1), I(32), I(0), I(-1)}},
      {"negative pair count", 13, {I(1), I(3), I(1), I(-1), I(-1)}},
      {"item count below -1", 13, {I(1), I(3), I(1), I(0), I(-2)}},
      {"no such table", 20, {I(0)}},
  };
  for (const auto& c : inputs) {
    EXPECT_THROW(rowstream::parseTableStream(fieldBytes(be, c.stream), rowstream::Endian::big, c.table),
                 rowstream::FormatError)
        << c.what;
  }
}

TEST(RowStreamReader, TablesReadOneAfterAnotherFromOneCursor) {
  DBTable<StringRecord> strings("string", 1, 16);
  strings.setGeneration(1, 2);
  strings.getRow(1, false)->body = utf8Body;
  DBTable<CallCountRecord> counts("call_count", 1, 16);
  *counts.getRow(300, true) = {5, 12, 2};

  RecordingWriter writer(byteOrderLittleEndian);
  Progress progress;
  writer.writeInt(0);
  strings.writeRows(writer, 0, 0, 0, &progress);
  writer.writeInt(17);
  counts.writeRows(writer, 0, 0, 0, &progress);
  writer.writeInt(-1);
  const std::string reply = writer.bytes();

  rowstream::Cursor in(reply, rowstream::Endian::little);
  std::vector<std::vector<Row>> tables;
  for (int32_t table = in.readInt("table index"); table != -1; table = in.readInt("table index")) {
    tables.push_back(rowstream::readTableStream(in, table));
  }
  EXPECT_TRUE(in.atEnd());
  ASSERT_EQ(tables.size(), 2u);
  Row string;
  string.index = 1;
  string.stamp = 2;
  string.text = std::string(utf8Body);
  EXPECT_EQ(tables[0], std::vector<Row>{string});
  Row count;
  count.index = 300;
  count.stamp = 5;
  count.values = {10};
  EXPECT_EQ(tables[1], std::vector<Row>{count});
}
