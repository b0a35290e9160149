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
  const std::string segment = record(28, std::string(5, '\x21'));
  const std::string bytes = head() + header + segment + record(44, "") + record(37, stringTable());

  const snapshotfile::Snapshot snapshot = snapshotfile::parseSnapshot(bytes);

  EXPECT_EQ(snapshot.kind, 4);
  EXPECT_EQ(snapshot.creationTimeMs, creationTime);
  std::vector<std::pair<int32_t, size_t>> framing;
  for (const snapshotfile::Record& r : snapshot.records) framing.emplace_back(r.tag, r.contentOffset);
  const size_t segmentAt = 31 + header.size();
  EXPECT_EQ(framing, (std::vector<std::pair<int32_t, size_t>>{
                         {37, 40}, {28, segmentAt + 9}, {44, segmentAt + 23}, {37, segmentAt + 32}}));
  EXPECT_EQ(snapshot.records[1].length, 5u);

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
      {"object records", head() + headerRecord() + record(37, "\x08"), "layout"},
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
