#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/RowStreamReader.h"
#include "tests/support/SnapshotReader.h"
#include "tests/support/TableReplyReader.h"
#include "tests/support/TempDir.h"

// The readers of snapshot files and socket replies are test tools: these tests hold them to the format
// on hand-built bytes, so that a reader that accepts too much cannot hide a writer's fault.

using rowstream::Endian;
using rowstream::Row;

namespace {

class Bytes {
 public:
  explicit Bytes(Endian endian) : endian(endian) {}

  Bytes& byte(uint8_t value) {
    out += char(value);
    return *this;
  }
  Bytes& int32(int64_t value) { return put(uint64_t(value), 4); }
  Bytes& int64(int64_t value) { return put(uint64_t(value), 8); }
  Bytes& raw(const std::string& bytes) {
    out += bytes;
    return *this;
  }
  Bytes& vector(const std::string& bytes) { return int32(int64_t(bytes.size())).raw(bytes); }

  const std::string& str() const { return out; }

 private:
  Bytes& put(uint64_t value, int32_t width) {
    for (int32_t i = 0; i < width; i++) {
      const int32_t shift = endian == Endian::big ? 8 * (width - 1 - i) : 8 * i;
      out += char(uint8_t(value >> shift));
    }
    return *this;
  }

  Endian endian;
  std::string out;
};

Bytes big() { return Bytes(Endian::big); }
Bytes little() { return Bytes(Endian::little); }

constexpr int64_t creationTime = 1700000000000;
const std::string classLoading =
    "Class Loading\n5\nuptime_ns\n1\nthread\n0\nframe\n0\nClass\n4\nLoaded or Unloaded\n2\n";
const std::string unpatchedCount = "         0";

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs headerValues() {
  return {{"header", "Brantel TallyScope snapshot\n"},
          {"snapshot_version", "90"},
          {"created_by_version", "Brantel TallyScope 2021.6-b257"},
          {"agent_version", "Brantel TallyScope 2021.6-b257"},
          {"platform", "linux64"},
          {"session_id", "-17"},
          {"session_name", "demo"},
          {"snapshot_flags", "33280"},
          {"creation_time_ms", std::to_string(creationTime)},
          {"sizeof_pointer", "8"}};
}

struct HeaderParts {
  int32_t count = 11;
  Pairs values = headerValues();
  std::string oidCount = unpatchedCount;
  std::vector<std::pair<int32_t, std::string>> eventTables = {{32, classLoading}};
};

std::string head() { return big().raw(std::string("BRANTEL_FILE_60000", 19)).int32(4).int64(creationTime).str(); }

std::string record(uint8_t tag, const std::string& content, int64_t length) {
  return big().byte(tag).int32(0).int32(length).raw(content).str();
}
std::string record(uint8_t tag, const std::string& content) { return record(tag, content, int64_t(content.size())); }

std::string headerContent(const HeaderParts& parts = {}) {
  Bytes content = big();
  content.byte(1).int32(parts.count);
  for (const auto& [key, value] : parts.values) content.vector(key).vector(value);
  content.vector("oid_count").vector(parts.oidCount);
  for (const auto& [id, description] : parts.eventTables) content.byte(3).int32(id).vector(description);
  return content.str();
}
std::string headerRecord(const HeaderParts& parts = {}) { return record(37, headerContent(parts)); }
std::string headerOnly(const HeaderParts& parts) { return head() + headerRecord(parts); }

HeaderParts withCount(int32_t count) {
  HeaderParts parts;
  parts.count = count;
  return parts;
}
HeaderParts withFirstKeysSwapped() {
  HeaderParts parts;
  std::swap(parts.values[0], parts.values[1]);
  return parts;
}
HeaderParts withOidCount(const std::string& value) {
  HeaderParts parts;
  parts.oidCount = value;
  return parts;
}
HeaderParts withEventTables(std::vector<int32_t> ids) {
  HeaderParts parts;
  parts.eventTables.clear();
  for (const int32_t id : ids) parts.eventTables.emplace_back(id, classLoading);
  return parts;
}

// The "string" table as one kind-2 sub-record: a live row 1 "main" and row 2 deleted.
std::string stringTable() {
  return big().byte(2).int32(0).int32(2).int32(1).int32(3).vector("main").int32(2).int32(-3).str();
}

Row stringRow(int32_t index, int32_t stamp, std::optional<std::string> text) {
  Row row;
  row.index = index;
  row.stamp = stamp;
  row.text = std::move(text);
  return row;
}

Row valueRow(int32_t index, int32_t stamp, std::vector<int64_t> values) {
  Row row;
  row.index = index;
  row.stamp = stamp;
  row.values = std::move(values);
  return row;
}

const std::vector<Row> stringRows = {stringRow(1, 3, "main"), stringRow(2, -3, std::nullopt)};

std::string formatErrorOf(const std::function<void()>& parse) {
  try {
    parse();
  } catch (const rowstream::FormatError& error) {
    return error.what();
  }
  return "no FormatError";
}

struct Malformed {
  const char* name;
  std::string bytes;
  const char* message;  // a part of the error's text: the case fails for the reason it stands for
};

std::string withByte(std::string bytes, size_t offset, char value) {
  bytes[offset] = value;
  return bytes;
}

}  // namespace

TEST(SnapshotReader, ReadsHeaderHeapRecordsAndTables) {
  const std::string header = headerRecord();
  const std::string segment = record(28, "");
  const std::string bytes = head() + header + segment + record(44, "") + record(37, stringTable());

  const snapshotfile::Snapshot snapshot = snapshotfile::parseSnapshot(bytes);

  EXPECT_EQ(snapshot.kind, 4);
  EXPECT_EQ(snapshot.creationTimeMs, creationTime);
  std::vector<std::pair<int32_t, size_t>> framing;
  for (const snapshotfile::Record& r : snapshot.records) framing.emplace_back(r.tag, r.contentOffset);
  const size_t segmentAt = 31 + header.size();
  EXPECT_EQ(framing, (std::vector<std::pair<int32_t, size_t>>{
                         {37, 40}, {28, segmentAt + 9}, {44, segmentAt + 18}, {37, segmentAt + 27}}));
  EXPECT_EQ(snapshot.records[1].length, 0u);

  EXPECT_EQ(snapshot.header.values, headerValues());
  ASSERT_NE(snapshot.header.value("platform"), nullptr);
  EXPECT_EQ(*snapshot.header.value("platform"), "linux64");
  EXPECT_EQ(snapshot.header.value("oid_count"), nullptr);  // not one of the named values
  EXPECT_EQ(snapshot.header.oidCount, unpatchedCount);
  EXPECT_EQ(bytes.substr(snapshot.header.oidCountLengthOffset, 14), std::string("\0\0\0\x0A", 4) + unpatchedCount);
  EXPECT_EQ(snapshot.header.eventTables, (std::vector<std::pair<int32_t, std::string>>{{32, classLoading}}));

  ASSERT_EQ(snapshot.tableRecords.size(), 1u);
  EXPECT_EQ(snapshot.tableRecords[0].tables, (std::map<int32_t, std::vector<Row>>{{0, stringRows}}));
}

TEST(SnapshotReader, HeaderAloneWithPatchedCountAndNoEventTables) {
  HeaderParts parts = withEventTables({});
  parts.oidCount = "       123";

  const snapshotfile::Snapshot snapshot = snapshotfile::parseSnapshot(headerOnly(parts));

  EXPECT_EQ(snapshot.records.size(), 1u);
  EXPECT_EQ(snapshot.header.oidCount, "       123");
  EXPECT_TRUE(snapshot.header.eventTables.empty());
  EXPECT_TRUE(snapshot.tableRecords.empty());
}

TEST(SnapshotReader, MalformedSnapshotsAreFormatErrors) {
  const std::string valid = head() + headerRecord() + record(37, stringTable());
  const std::string tables = stringTable();

  const std::vector<Malformed> cases = {
      {"bad magic", withByte(valid, 17, '1'), "does not begin with"},
      {"magic without its zero byte", withByte(valid, 18, ' '), "does not begin with"},
      {"truncated head", valid.substr(0, 30), "fewer than its fixed head"},
      {"no records", head(), "no header record"},
      {"record head cut short", head() + headerRecord() + std::string("\x25\0\0", 3), "record 1 at offset"},
      {"time field not 0", head() + big().byte(37).int32(1).int32(0).str(), "always 0"},
      {"length past the end", head() + headerRecord() + record(37, tables, int64_t(tables.size()) + 1),
       "runs past the end of the file"},
      {"sub-records stop short of the record's end",
       head() + headerRecord() + record(37, tables, int64_t(tables.size()) + 9) + record(44, ""), "sub-record kind 44"},
      {"sub-records run over the record's end",
       head() + headerRecord() + record(37, tables, int64_t(tables.size()) - 1), "needs 4 bytes"},
      {"unknown tag", head() + headerRecord() + record(5, ""), "unknown record tag 5"},
      {"heap record before the header", head() + record(44, "") + headerRecord(), "opens with its header record"},
      {"class-load record of 15 bytes", head() + headerRecord() + record(2, std::string(15, '\0')), "length 15"},
      {"header count 10", headerOnly(withCount(10)), "header count 10"},
      {"header count 12", headerOnly(withCount(12)), "header count 12"},
      {"header keys out of order", headerOnly(withFirstKeysSwapped()), "header key \"snapshot_version\""},
      {"oid_count value of 9 characters", headerOnly(withOidCount("        0")), "right-aligned in 10"},
      {"oid_count value padded on the right", headerOnly(withOidCount("0         ")), "right-aligned in 10"},
      {"oid_count value of spaces only", headerOnly(withOidCount("          ")), "right-aligned in 10"},
      {"event-table id 31", headerOnly(withEventTables({31})), "outside 32 to 127"},
      {"event-table id 128", headerOnly(withEventTables({128})), "outside 32 to 127"},
      {"event-table ids not increasing", headerOnly(withEventTables({33, 33})), "increasing order"},
      {"a second header record", head() + headerRecord() + headerRecord(), "sub-record kind 1"},
      {"class references in a tables record", head() + headerRecord() + record(37, "\x08"), "class references belong"},
      {"table index 20", head() + headerRecord() + record(37, big().byte(2).int32(20).int32(0).str()),
       "outside 0 to 19"},
      {"table indexes not increasing", head() + headerRecord() + record(37, tables + tables), "increasing order"},
  };
  for (const Malformed& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string message = formatErrorOf([&] { snapshotfile::parseSnapshot(c.bytes); });
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
  }
}

TEST(SnapshotReader, ReadsFilesAndNamesTheMissingOne) {
  TempDir dir;
  const std::string path = dir.write("s.bzp", head() + headerRecord() + record(37, stringTable()));

  EXPECT_EQ(snapshotfile::readSnapshotFile(path).tableRecords.at(0).tables.at(0), stringRows);
  const std::string missing = dir.pathOf("missing.bzp");
  const std::string message = formatErrorOf([&] { snapshotfile::readSnapshotFile(missing); });
  EXPECT_NE(message.find(missing), std::string::npos) << message;
}

TEST(SnapshotReaderReply, ReadsTablesUpToTheEndMark) {
  const std::string reply = little()
                                .int32(0)
                                .int32(2)
                                .int32(1)
                                .int32(3)
                                .vector("main")
                                .int32(2)
                                .int32(-3)
                                .int32(17)  // "call_count": one row of count - base
                                .int32(1)
                                .int32(4)
                                .int32(2)
                                .int64(6)
                                .int32(-1)
                                .str();

  EXPECT_EQ(tablereply::parseTableReply(reply).tables,
            (std::map<int32_t, std::vector<Row>>{{0, stringRows}, {17, {valueRow(4, 2, {6})}}}));
  EXPECT_TRUE(tablereply::parseTableReply(std::string(4, '\xFF')).tables.empty());
}

TEST(SnapshotReaderReply, MalformedRepliesAreFormatErrors) {
  const std::string emptyTable = little().int32(0).str();  // a row count of 0
  const std::string end = little().int32(-1).str();
  const std::vector<Malformed> cases = {
      {"nothing", "", "without its end mark"},
      {"no end mark", little().int32(0).raw(emptyTable).str(), "without its end mark"},
      {"bytes after the end mark", end + std::string(1, '\0'), "1 bytes after the end mark"},
      {"indexes not increasing", little().int32(17).raw(emptyTable).int32(0).raw(emptyTable).raw(end).str(),
       "increasing order"},
      {"an index twice", little().int32(3).raw(emptyTable).int32(3).raw(emptyTable).raw(end).str(), "increasing order"},
      {"table index 20", little().int32(20).raw(emptyTable).raw(end).str(), "neither 0 to 19"},
      {"table index -2", little().int32(-2).raw(end).str(), "neither 0 to 19"},
  };
  for (const Malformed& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string message = formatErrorOf([&] { tablereply::parseTableReply(c.bytes); });
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
  }
}

TEST(SnapshotReaderReply, ProgressMessages) {
  const std::string report42("\x00\x00\x00\x00\x07\x5B\xCD\x15\x00\x01\x88\xF8\x00\x00\x00\x2A", 16);
  auto message = [](Bytes bytes, int64_t percent) {
    return bytes.int32(0).int32(123456789).int32(100600).int32(percent).str();
  };

  EXPECT_EQ(tablereply::parseProgressMessages(report42 + message(big(), 99)), (std::vector<int32_t>{42, 99}));
  EXPECT_TRUE(tablereply::parseProgressMessages("").empty());

  const std::vector<Malformed> cases = {
      {"a message cut short", report42.substr(0, 15), "whole number"},
      {"a byte too many", report42 + std::string(1, '\0'), "whole number"},
      {"little-endian", message(little(), 42), "does not begin with"},
      {"percent 0", message(big(), 0), "outside 1 to 99"},
      {"percent 100", message(big(), 100), "outside 1 to 99"},
  };
  for (const Malformed& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string error = formatErrorOf([&] { tablereply::parseProgressMessages(c.bytes); });
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
}

namespace {

// The pieces of a small memory snapshot, each replaceable by a malformed one: class C (id 1) with a
// static int and an int field, its instance 2, an object array 3, a char array 4, one root, and the
// class references.
struct HeapParts {
  std::string oidCount = "         4";
  // The string table names the root kind as row 1.
  std::string tables = big().byte(2).int32(0).int32(1).int32(1).int32(3).vector("JVMTI_HEAP_ROOT_THREAD").str();
  std::string names = record(1, big().int32(10).raw("x").str()) + record(1, big().int32(11).raw("C").str()) +
                      record(2, big().int32(1).int32(1).int32(0).int32(11).str());
  std::string classAttributes = big().byte(7).int32(500).int32(2).int32(66).int32(9).int32(321).int64(1234).str();
  std::string classDump = big()
                              .byte(0x20)
                              .raw(classAttributes)
                              .int32(1).int32(0).int32(0)   // id, serial, super
                              .int32(0).int32(0).int32(0)   // loader, signers, protection domain
                              .int32(0).int32(0)            // reserved
                              .int32(4).byte(0).byte(0)     // instance size, constant pool
                              .byte(0).byte(1).int32(10).byte(10).int32(42)
                              .byte(0).byte(1).int32(10).byte(10).int32(2)
                              .str();
  std::string instance = big().byte(0x21).byte(12).int64(0x80000000LL).int32(2).int32(2).int32(0).int32(1).int32(4)
                             .int32(-7).str();
  std::string objectArray = big().byte(0x22).byte(4).int32(24).int32(2).int32(3).int32(0).int32(2).int32(1)
                                .int32(2).int32(0).str();
  std::string primitiveArray = big().byte(0x23).byte(4).int32(18).int32(2).int32(4).int32(0).int32(1).byte(5)
                                   .raw("\x26\x3A").str();
  std::string root = big().byte(0xFF).int32(2).int32(1).int32(7).int32(0).int32(0).int32(0).str();
  std::string heapEnd = record(44, "");
  std::string classReferences = big().byte(9).int32(1).int32(1).int32(3).int32(2).byte(8).int32(1).int32(1).int32(1).str();

  std::string segments() const { return record(28, classDump + instance + objectArray + primitiveArray + root); }
  std::string bytes() const {
    HeaderParts header;
    header.oidCount = oidCount;
    return head() + headerRecord(header) + record(37, tables) + names + segments() + heapEnd + record(37, tables) +
           record(37, classReferences);
  }
};

}  // namespace

TEST(SnapshotReaderHeap, WalksEveryHeapRecordAndAttributeBlock) {
  const HeapParts parts;
  const snapshotfile::Snapshot snapshot = snapshotfile::parseSnapshot(parts.bytes());

  ASSERT_EQ(snapshot.names.size(), 2u);
  EXPECT_EQ(*snapshot.name(11), "C");
  ASSERT_EQ(snapshot.classLoads.size(), 1u);
  EXPECT_EQ(snapshot.classLoads[0].classId, 1u);
  EXPECT_EQ(snapshot.heap.segmentCount, 1u);
  EXPECT_TRUE(snapshot.heap.ended);

  ASSERT_EQ(snapshot.heap.classes.size(), 1u);
  const snapshotfile::ClassDump& c = snapshot.heap.classes[0];
  snapshotfile::Attributes all;
  all.flags = 7;
  all.size = 500;
  all.generation = 2;
  all.objectMapId = 66;
  all.thread = 9;
  all.frame = 321;
  all.allocationTime = 1234;
  EXPECT_EQ(c.attributes, all);
  EXPECT_EQ(c.instanceSize, 4u);
  ASSERT_EQ(c.statics.size(), 1u);
  EXPECT_EQ(c.statics[0].value, 42u);
  EXPECT_EQ(parts.bytes().substr(c.statics[0].valueOffset, 4), std::string("\0\0\0\x2A", 4));
  ASSERT_EQ(c.fields.size(), 1u);
  EXPECT_EQ(c.fields[0].modifiers, 2u);

  ASSERT_EQ(snapshot.heap.instances.size(), 1u);
  EXPECT_EQ(snapshot.heap.instances[0].attributes.size, 0x80000000u);
  const std::vector<snapshotfile::FieldValue> fields = snapshotfile::instanceFields(snapshot, snapshot.heap.instances[0]);
  ASSERT_EQ(fields.size(), 1u);
  EXPECT_EQ(fields[0].value, 0xFFFFFFF9u);
  EXPECT_EQ(fields[0].declaringClassId, 1u);
  ASSERT_EQ(snapshot.heap.objectArrays.size(), 1u);
  EXPECT_EQ(snapshot.heap.objectArrays[0].elements, (std::vector<uint32_t>{2, 0}));
  ASSERT_EQ(snapshot.heap.primitiveArrays.size(), 1u);
  EXPECT_EQ(snapshot.heap.primitiveArrays[0].elements, "\x26\x3A");
  ASSERT_EQ(snapshot.heap.roots.size(), 1u);
  EXPECT_EQ(snapshot.heap.roots[0], (snapshotfile::Root{2, 1, 7, 0, 0, 0}));

  EXPECT_EQ(snapshot.tableRecords.size(), 2u);
  ASSERT_TRUE(snapshot.classReferences);
  ASSERT_EQ(snapshot.classReferences->size(), 2u);
  EXPECT_EQ((*snapshot.classReferences)[0].constantPool, (std::vector<std::pair<uint32_t, uint32_t>>{{3, 2}}));
  EXPECT_EQ((*snapshot.classReferences)[1].interfaces, (std::vector<uint32_t>{1}));

  HeapParts empty;  // a class reference record may be empty
  empty.classReferences.clear();
  const snapshotfile::Snapshot withEmpty = snapshotfile::parseSnapshot(empty.bytes());
  ASSERT_TRUE(withEmpty.classReferences);
  EXPECT_TRUE(withEmpty.classReferences->empty());
}

TEST(SnapshotReaderHeap, MalformedHeapsAreFormatErrors) {
  auto with = [](const std::function<void(HeapParts&)>& change) {
    HeapParts parts;
    change(parts);
    return parts.bytes();
  };
  const HeapParts valid;
  const std::string before = head() + headerRecord(withOidCount(valid.oidCount)) + record(37, valid.tables);
  const std::vector<Malformed> cases = {
      {"attribute flags without bit 2", with([](HeapParts& p) { p.classDump[1] = 3; }), "bit 2 is always set"},
      {"attribute flag 0x10", with([](HeapParts& p) { p.classDump[1] = 0x17; }), "only bits 0 to 3"},
      {"an 8-byte size that fits in 4",
       with([](HeapParts& p) { p.instance = big().byte(0x21).byte(12).int64(0x7FFFFFFF).int32(2).int32(2).int32(0)
                                                .int32(1).int32(4).int32(0).str(); }),
       "fits the 4-byte form"},
      {"unknown heap sub-record", with([](HeapParts& p) { p.root[0] = char(0xFE); }), "heap sub-record kind 254"},
      {"primitive array of objects", with([](HeapParts& p) { p.primitiveArray[22] = 2; }), "no primitive type"},
      {"a sub-record past the segment's end", with([](HeapParts& p) { p.root.pop_back(); }), "needs 4 bytes"},
      {"instance block of the wrong size",
       with([](HeapParts& p) { p.instance = big().byte(0x21).byte(4).int32(16).int32(2).int32(2).int32(0).int32(1)
                                                .int32(2).byte(0).byte(0).str(); }),
       "2 field bytes where its class has 4"},
      {"instance of an unknown class", with([](HeapParts& p) { p.instance[25] = 5; }), "class id 5 without a class dump"},
      {"an object id twice", with([](HeapParts& p) { p.objectArray[13] = 2; }), "of the instance dump"},
      {"an object id above oid_count", with([](HeapParts& p) { p.oidCount = "         3"; }), "outside 1 to the oid_count"},
      {"a root of an unknown kind", with([](HeapParts& p) { p.root[8] = 2; }), "names no root kind"},
      {"a STRING id with two texts",
       with([](HeapParts& p) { p.names = record(1, big().int32(11).raw("D").str()) + p.names; }), "has two texts"},
      {"LOAD CLASS serials not from 1",
       with([](HeapParts& p) { p.names = p.names.substr(0, p.names.size() - 16) + big().int32(2).int32(1).int32(0)
                                             .int32(11).str(); }),
       "class serial 2"},
      {"a super class without a dump", with([](HeapParts& p) { p.classDump[41] = 9; }), "super class id 9"},
      {"no HEAP DUMP END",
       before + valid.names + valid.segments() + record(37, valid.tables), "inside the heap"},
      {"a segment after the END",
       before + valid.names + valid.segments() + valid.heapEnd + valid.segments(), "after the HEAP DUMP END"},
      {"END without a segment", before + valid.names + valid.heapEnd, "without a heap segment"},
      {"STRING after the heap",
       before + valid.names + valid.segments() + valid.names, "after the LOAD CLASS records or the heap"},
      {"a record after the class references", valid.bytes() + record(37, ""), "which is the last"},
      {"a table in the class reference record", with([](HeapParts& p) { p.classReferences = p.tables; }),
       "only kinds 9 and 8"},
      {"interfaces before constant-pool references",
       with([](HeapParts& p) { p.classReferences = p.classReferences.substr(17) + p.classReferences.substr(0, 17); }),
       "not 9 before 8"},
      {"class references of an unknown class", with([](HeapParts& p) { p.classReferences[4] = 6; }),
       "class id 6 without a class dump"},
  };
  for (const Malformed& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string message = formatErrorOf([&] { snapshotfile::parseSnapshot(c.bytes); });
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
  }
}
