#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "agent/core/AgentFlags.h"
#include "agent/core/Options.h"
#include "agent/db/Clears.h"
#include "agent/db/EventRows.h"
#include "agent/db/SnapshotFile.h"
#include "agent/db/TableRequest.h"
#include "agent/heap/SnapshotRoutine.h"
#include "agent/platform/Files.h"
#include "agent/platform/SystemInfo.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/BZPRuntimeException.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LoopbackSockets.h"
#include "tests/support/RecordingWriter.h"
#include "tests/support/SnapshotReader.h"
#include "tests/support/TableReplyReader.h"
#include "tests/support/TempDir.h"
#include "tests/support/ScopedValue.h"
#include "tests/support/TestDatabase.h"

// The database leaving the process: snapshot files, read back with the independent reader, and table
// replies on a loopback socket.

namespace {

using namespace std::chrono_literals;

constexpr const char* classLoadingDescription =
    "Class Loading\n5\nuptime_ns\n1\nthread\n0\nframe\n0\nClass\n4\nLoaded or Unloaded\n2\n";
constexpr const char* messageDescription = "Message\n4\nuptime_ns\n1\nCategory\n2\nMessage\n2\nDetail\n2\n";

std::string readFile(const std::string& path) {
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string decimal(int64_t value) { return std::to_string(value); }

// The value of a property row, or nothing when the key has no row.
std::optional<int32_t> propertyValue(const char* key) {
  const int32_t row = db->findPropertyRecordIndex(getStringId(key));
  if (row < 0) return std::nullopt;
  return db->properties.getRow(row, false)->value;
}

class SnapshotFile : public DatabaseTest {
 protected:
  TempDir dir;
  const uint64_t savedAgentFlags = agentFlags.load();

  void TearDown() override { agentFlags = savedAgentFlags; }

  // A snapshot written by the snapshot routine; its error text must be empty.
  std::string writeFileSnapshot(int64_t flags = 0, SocketHandle client = 0) {
    const std::string path = dir.pathOf("snapshot.bzps");
    const int32_t fd = openFileForWrite(YString(path.c_str()));
    EXPECT_GE(fd, 0);
    const YString error = writeSnapshot(held, nullptr, fd, client, flags, YString(path.c_str()));
    EXPECT_EQ(std::string(error.data), "");
    return path;
  }

  snapshotfile::Snapshot snapshotOf(int64_t flags = 0) { return snapshotfile::readSnapshotFile(writeFileSnapshot(flags)); }

  // The header record alone, written straight through a writer on a file.
  std::string headerBytes(int64_t flags, int64_t* oidCountPosition = nullptr) {
    const std::string path = dir.pathOf("header.bzps");
    const int32_t fd = openFileForWrite(YString(path.c_str()));
    {
      SnapshotWriter writer(fd, true, byteOrderBigEndian);
      writeSnapshotHeader(db, writer, flags, snapshotFileKind);
      if (oidCountPosition != nullptr) *oidCountPosition = writer.oidCountPosition;
    }
    closeFile(fd);
    return readFile(path);
  }
};

TEST_F(SnapshotFile, TheFileBeginsWithItsFixedHeadAndTheHeaderValues) {
  const int64_t before = int64_t(std::time(nullptr)) * 1000;
  const std::string bytes = headerBytes(snapshotFlagsWord(0));
  const int64_t after = int64_t(std::time(nullptr)) * 1000;

  EXPECT_EQ(bytes.substr(0, 19), std::string("BRANTEL_FILE_60000", 18) + '\0');
  EXPECT_EQ(hex(bytes.substr(19, 4)), "00 00 00 04");
  EXPECT_EQ(uint8_t(bytes[31]), 37);
  EXPECT_EQ(hex(bytes.substr(40, 5)), "01 00 00 00 0B");

  const snapshotfile::Snapshot snapshot = snapshotfile::parseSnapshot(bytes);
  EXPECT_EQ(snapshot.kind, 4);
  EXPECT_GE(snapshot.creationTimeMs, before);
  EXPECT_LE(snapshot.creationTimeMs, after);
  EXPECT_EQ(snapshot.creationTimeMs % 1000, 0);
  const snapshotfile::Header& header = snapshot.header;
  const std::string banner = *header.value("header");
  EXPECT_EQ(banner.find('\n'), banner.size() - 1) << banner;
  EXPECT_EQ(*header.value("snapshot_version"), "90");
  EXPECT_EQ(*header.value("created_by_version"), "Brantel TallyScope 2021.6-b257");
  EXPECT_EQ(*header.value("agent_version"), "Brantel TallyScope 2021.6-b257");
  EXPECT_EQ(*header.value("platform"), getPlatformDirName());
  EXPECT_EQ(*header.value("session_id"), decimal(db->sessionId));
  EXPECT_EQ(*header.value("session_name"), db->sessionName.data);
  EXPECT_EQ(*header.value("creation_time_ms"), decimal(snapshot.creationTimeMs));
  EXPECT_EQ(*header.value("sizeof_pointer"), "8");
  EXPECT_EQ(header.oidCount, "         0");
}

TEST_F(SnapshotFile, TheFlagsSayHowTheAgentCameAndKeepTheCallersBits) {
  const struct {
    uint64_t agent;
    int64_t caller;
    int64_t expected;
  } cases[] = {{0, 0, 0x8200}, {AGENT_ATTACH_MODE, 0, 0x4200}, {0, 0x1, 0x8201}, {AGENT_ATTACH_MODE, 0x801, 0x4A01}};
  for (const auto& c : cases) {
    agentFlags = c.agent;
    const snapshotfile::Snapshot snapshot = snapshotfile::parseSnapshot(headerBytes(snapshotFlagsWord(c.caller)));
    EXPECT_EQ(*snapshot.header.value("snapshot_flags"), decimal(c.expected)) << c.agent << " " << c.caller;
  }
}

// The heap writer patches the object count where the writer says, and the record keeps its length.
TEST_F(SnapshotFile, TheObjectCountIsPatchedInPlace) {
  int64_t position = -1;
  std::string bytes = headerBytes(0, &position);
  const snapshotfile::Snapshot before = snapshotfile::parseSnapshot(bytes);
  ASSERT_EQ(size_t(position), before.header.oidCountLengthOffset);
  EXPECT_EQ(hex(bytes.substr(size_t(position), 4)), "00 00 00 0A");

  bytes.replace(size_t(position) + 4, 10, "       123");
  const snapshotfile::Snapshot after = snapshotfile::parseSnapshot(bytes);
  EXPECT_EQ(after.header.oidCount, "       123");
  EXPECT_EQ(after.records[0].length, before.records[0].length);
}

TEST_F(SnapshotFile, EventTableDescriptionsFollowTheObjectCountInIdOrder) {
  const snapshotfile::Snapshot empty = snapshotfile::parseSnapshot(headerBytes(0));
  EXPECT_TRUE(empty.header.eventTables.empty());
  EXPECT_EQ(empty.records[0].contentOffset + empty.records[0].length, empty.header.oidCountLengthOffset + 14);

  ASSERT_EQ(db->createEventTable(YString(classLoadingDescription)), 32);
  ASSERT_EQ(db->createEventTable(YString(messageDescription)), 33);
  const snapshotfile::Snapshot snapshot = snapshotfile::parseSnapshot(headerBytes(0));
  const std::vector<std::pair<int32_t, std::string>> expected = {{32, classLoadingDescription},
                                                                 {33, messageDescription}};
  EXPECT_EQ(snapshot.header.eventTables, expected);
}

TEST_F(SnapshotFile, ASnapshotHoldsTheHeaderAndOneRecordOfEveryTable) {
  const int32_t stamp = db->currentStamp;
  addSnapshotRecord(YString("/earlier/one.bzps"), 7);
  const snapshotfile::Snapshot snapshot = snapshotOf();

  ASSERT_EQ(snapshot.records.size(), 2u);
  EXPECT_EQ(snapshot.records[1].tag, 37);
  ASSERT_EQ(snapshot.tableRecords.size(), 1u);
  const auto& tables = snapshot.tableRecords[0].tables;
  ASSERT_EQ(tables.size(), 20u);
  EXPECT_EQ(tables.begin()->first, 0);
  EXPECT_EQ(tables.rbegin()->first, 19);
  EXPECT_EQ(db->currentStamp, stamp + 1);

  // Every live string goes out with its body; the snapshot row names the earlier file.
  std::map<int32_t, std::string> strings;
  for (const rowstream::Row& row : tables.at(0)) {
    if (row.text) strings[row.index] = *row.text;
  }
  int32_t live = 0;
  db->strings.forEachRow([&](int64_t, const StringRecord& row) { live += row.stamp > 0; });
  EXPECT_EQ(int32_t(strings.size()), live);
  ASSERT_EQ(tables.at(9).size(), 1u);
  const rowstream::Row& snapshotRow = tables.at(9)[0];
  EXPECT_EQ(strings[int32_t(snapshotRow.values[0])], "/earlier/one.bzps");
  EXPECT_EQ(snapshotRow.values[1], 7);

  // The properties stored before the tables travel with them.
  std::map<std::string, int64_t> properties;
  for (const rowstream::Row& row : tables.at(12)) properties[strings[int32_t(row.values[0])]] = row.values[1];
  EXPECT_EQ(properties.at("bzp.event.table.limit"), globalOptions().probeTableLengthLimit);
  EXPECT_EQ(properties.count("bzp.uptime.ns.low"), 1u);
  EXPECT_EQ(properties.count("bzp.last.cpu.profiling.mode.high"), 1u);
}

TEST_F(SnapshotFile, TimesAreStoredAsLowAndHighHalvesOnlyWithTheirTableAndOnceRecorded) {
  ScopedValue<int64_t> start(lastCpuClearNs, 0), end(cpuProfilingEndNs, 0);
  RecordingWriter writer(byteOrderBigEndian, 4096);
  Progress progress;

  writeDatabaseTables(held, nullptr, db, writer, 1 << tableCpuProfiling, 0, 0, &progress, nullptr, false);
  EXPECT_FALSE(propertyValue("bzp.cpu.profiling.end.ns.low"));

  lastCpuClearNs = 5;
  cpuProfilingEndNs = (int64_t(1) << 32) + 2;
  writeDatabaseTables(held, nullptr, db, writer, 1 << tableString, 0, 0, &progress, nullptr, false);
  EXPECT_FALSE(propertyValue("bzp.cpu.profiling.end.ns.low"));

  writeDatabaseTables(held, nullptr, db, writer, 1 << tableCpuProfiling, 0, 0, &progress, nullptr, false);
  EXPECT_EQ(propertyValue("bzp.cpu.profiling.end.ns.low"), 2);
  EXPECT_EQ(propertyValue("bzp.cpu.profiling.end.ns.high"), 1);
  EXPECT_EQ(propertyValue("bzp.cpu.profiling.start.ns.low"), 5);
  EXPECT_EQ(propertyValue("bzp.cpu.profiling.start.ns.high"), 0);
}

TEST_F(SnapshotFile, TopLevelTablesAtTheRowLimitAreNamed) {
  ScopedValue<int32_t> limit(globalOptions().probeTableLengthLimit, 1);
  const int32_t classes = db->createEventTable(YString(classLoadingDescription));
  db->createEventTable(YString(messageDescription));
  ASSERT_NE(openEventRow(held, classes, 1, 1000, 0, 0), nullptr);

  RecordingWriter writer(byteOrderBigEndian, 4096);
  Progress progress;
  writeDatabaseTables(held, nullptr, db, writer, 1, 0, 0, &progress, nullptr, false);
  const StringRecord* names = db->strings.findRow(*propertyValue("bzp.full.top.table.names"));
  ASSERT_NE(names, nullptr);
  EXPECT_STREQ(names->body, "Class Loading");
  EXPECT_EQ(propertyValue("bzp.event.table.limit"), 1);
}

TEST_F(SnapshotFile, ThreadsReachedFromJavaTakeTheirCurrentNameIntoTheirRows) {
  ThreadInfo* reached = new ThreadInfo(YString("first"), YString(), 0, 0, nullptr, false);
  ThreadInfo* unreached = new ThreadInfo(YString("first"), YString(), 0, 0, nullptr, false);
  for (ThreadInfo* thread : {reached, unreached}) {
    thread->updateThreadRecordName(db);
    threadRegistry().liveThreads.add(reinterpret_cast<int64_t>(thread));
    thread->setThreadName(YString("renamed"));
  }
  reached->seen = true;

  RecordingWriter writer(byteOrderBigEndian, 4096);
  Progress progress;
  writeDatabaseTables(held, nullptr, db, writer, 1 << tableThread, 0, 0, &progress, nullptr, false);
  EXPECT_EQ(db->threads.getRow(reached->threadRow, false)->nameId, getStringId("renamed"));
  EXPECT_EQ(db->threads.getRow(unreached->threadRow, false)->nameId, getStringId("first"));

  for (ThreadInfo* thread : {reached, unreached}) {
    threadRegistry().liveThreads.remove(reinterpret_cast<int64_t>(thread));
    delete thread;
  }
}

TEST_F(SnapshotFile, AMaskWithoutTablesWritesNoneAndAShortSinceArrayCountsAsZero) {
  RecordingWriter writer(byteOrderLittleEndian, 4096);
  Progress progress;
  writeDatabaseTables(held, nullptr, db, writer, 0, 10, 90, &progress, nullptr, true);
  EXPECT_EQ(writer.bytes(), "");

  // Table 0 since the current stamp (nothing), table 12 beyond the array's end: since 0, every row.
  YVector<int32_t> since;
  since.add(db->currentStamp);
  writeDatabaseTables(held, nullptr, db, writer, 1 << tableString | 1 << tableProperties, 0, 0, &progress, &since,
                      false);
  const std::string bytes = writer.bytes();
  rowstream::Cursor in(bytes, rowstream::Endian::little);
  EXPECT_EQ(in.readInt("index"), 0);
  EXPECT_TRUE(rowstream::readTableStream(in, 0).empty());
  EXPECT_EQ(in.readInt("index"), 12);
  int32_t live = 0;
  db->properties.forEachRow([&](int64_t, const PropertyRecord& row) { live += row.stamp > 0; });
  EXPECT_EQ(int32_t(rowstream::readTableStream(in, 12).size()), live);
  EXPECT_TRUE(in.atEnd());
}

TEST_F(SnapshotFile, ProgressRisesFromOneToNinetyNineUnlessTheFlagsSayNo) {
  [[maybe_unused]] loopback::Session session;
  for (const int64_t flags : {int64_t(0), snapshotNoProgress}) {
    loopback::Connection client(0, 0);
    writeFileSnapshot(flags, client.sender());
    const std::vector<int32_t> percents = tablereply::parseProgressMessages(client.drain(200ms));
    if (flags != 0) {
      EXPECT_TRUE(percents.empty());
      continue;
    }
    ASSERT_GE(percents.size(), 3u);
    EXPECT_EQ(percents.front(), 1);
    EXPECT_EQ(percents.back(), 99);
    for (size_t i = 1; i < percents.size(); i++) EXPECT_GT(percents[i], percents[i - 1]);
    EXPECT_LE(percents[percents.size() - 2], 90);
  }
}

#ifndef _WIN32
TEST_F(SnapshotFile, AFailedWriteGivesTheFirstErrorText) {
  const int32_t fd = openExistingFileForWrite(YString("/dev/full"));
  ASSERT_GE(fd, 0);
  const YString error = writeSnapshot(held, nullptr, fd, 0, 0, YString("/dev/full"));
  EXPECT_EQ(std::string(error.data), "No space left on device");
}
#endif

TEST_F(SnapshotFile, SnapshotRecordsAreFoundByTheirPath) {
  EXPECT_FALSE(findSnapshotRecord(YString("/snapshots/a.bzps")));
  addSnapshotRecord(YString("/snapshots/a.bzps"), snapshotKindJvmHeapDump);
  EXPECT_TRUE(findSnapshotRecord(YString("/snapshots/a.bzps")));
  EXPECT_FALSE(findSnapshotRecord(YString("/snapshots/a.bzp")));
  EXPECT_FALSE(findSnapshotRecord(YString("/snapshots/b.bzps")));
}

// --- table replies

class TableRequest : public DatabaseTest {
 protected:
  [[maybe_unused]] loopback::Session session;
  loopback::Connection client{0, 0};

  std::string request(int32_t mask, const YVector<int32_t>& since) {
    writeTablesToSocket(nullptr, client.sender(), mask, since);
    return client.drain(100ms);
  }
};

TEST_F(TableRequest, AReplyHoldsEachSelectedTableThenMinusOne) {
  const int32_t stamp = db->currentStamp;
  const std::string reply = request(0x1, YVector<int32_t>());
  EXPECT_EQ(hex(reply.substr(0, 4)), "00 00 00 00");
  EXPECT_EQ(hex(reply.substr(reply.size() - 4)), "FF FF FF FF");
  const tablereply::Reply parsed = tablereply::parseTableReply(reply);
  ASSERT_EQ(parsed.tables.size(), 1u);
  int32_t live = 0;
  db->strings.forEachRow([&](int64_t, const StringRecord& row) { live += row.stamp > 0; });
  EXPECT_EQ(int32_t(parsed.tables.at(0).size()), live);
  EXPECT_EQ(db->currentStamp, stamp + 1);

  EXPECT_EQ(hex(request(0, YVector<int32_t>())), "FF FF FF FF");
  const tablereply::Reply all = tablereply::parseTableReply(request(0xFFFFF, YVector<int32_t>()));
  EXPECT_EQ(all.tables.size(), 20u);
}

TEST_F(TableRequest, ARequestSinceTheStampOfTheLastReplyGetsOnlyWhatChangedAfterIt) {
  request(0xFFFFF, YVector<int32_t>());
  const int32_t inForce = db->currentStamp - 1;
  const int32_t id = getStringId("fresh");
  YVector<int32_t> since;
  for (int32_t table = 0; table < tableCount; table++) since.add(inForce);

  const auto le = [](int32_t value) {
    return hex(std::string{char(value), char(value >> 8), char(value >> 16), char(value >> 24)});
  };
  EXPECT_EQ(hex(request(0x1, since)), "00 00 00 00 01 00 00 00 " + le(id) + " " + le(inForce + 1) +
                                          " 05 00 00 00 66 72 65 73 68 FF FF FF FF");
}

TEST_F(TableRequest, AReplyCutShortByAFatalErrorSendsNothing) {
  TelemetryRecord& broken = db->telemetry.rows.append();
  broken.values.size = 0;  // a live telemetry row without its fixed values
  broken.stamp = db->currentStamp;
  LogCapture log;
  EXPECT_THROW(writeTablesToSocket(nullptr, client.sender(), 1 << tableTele, YVector<int32_t>()), BZPRuntimeException);
  const std::vector<std::string> entries = log.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].substr(0, entries[0].find('\n')), "error at DB:861: assertion failed");
  EXPECT_EQ(entries[1], "FileBackedSocketWriter: error: the reply was cut short by an error");
  EXPECT_EQ(client.drain(100ms), "");
  EXPECT_FALSE(dbWriteInProgress.load());
}

}  // namespace
