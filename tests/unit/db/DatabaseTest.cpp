#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "agent/core/Options.h"
#include "agent/db/DB.h"
#include "agent/platform/Processes.h"
#include "agent/recording/MethodStore.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/NamedLocks.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/HiddenOption.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedValue.h"
#include "tests/support/TestDatabase.h"

namespace {

const char* const tableNames[tableCount] = {
    "string",           "thread",   "method",     "thread_frame", "monitor", "cpu_profiling", "instance_count",
    "frame",            "table_generation", "snapshot", "alloc_info", "generation", "properties", "tele",
    "exception",        "event",    "code_point", "call_count",   "alloc_point", "alloc_object_count"};

std::vector<std::string> linesOf(const YString& text) {
  std::vector<std::string> lines;
  std::istringstream in(std::string(text.data, size_t(text.length)));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool startsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The byte count of the memory figure "<MB> MB (=<bytes> bytes)" at the end of a line.
int64_t bytesOf(const std::string& line) {
  const size_t open = line.rfind("(=");
  EXPECT_NE(open, std::string::npos) << line;
  return open == std::string::npos ? -1 : std::stoll(line.substr(open + 2));
}

std::string textOf(int32_t stringId) {
  const StringRecord* row = db->strings.findRow(stringId);
  return row == nullptr || row->body == nullptr ? std::string("<none>") : std::string(row->body);
}

const PropertyRecord& propertyRow(int32_t row) { return *db->properties.getRow(row, true); }

// The value of the property, or "<absent>"; a string id's text unless `number`.
std::string property(const char* key, bool number = false) {
  const int32_t row = db->findPropertyRecordIndex(getStringId(key));
  if (row < 0) return "<absent>";
  return number ? std::to_string(propertyRow(row).value) : textOf(propertyRow(row).value);
}

std::string entryStartingWith(const LogCapture& log, const std::string& prefix) {
  for (const std::string& entry : log.entries()) {
    if (startsWith(entry, prefix)) return entry;
  }
  return std::string();
}

}  // namespace

TEST(Database, CreatesTheTwentyTablesInIndexOrder) {
  TestDatabase database(3600);
  DBTableBase* const typed[tableCount] = {
      &database->strings,     &database->threads,     &database->methods,     &database->threadFrames,
      &database->monitors,    &database->cpuProfiling, &database->instanceCounts, &database->frames,
      &database->tableGenerations, &database->snapshots, &database->allocInfo, &database->generations,
      &database->properties,  &database->telemetry,   &database->exceptions,  &database->events,
      &database->codePoints,  &database->callCounts,  &database->allocPoints, &database->allocObjectCounts};
  for (int32_t index = 0; index < tableCount; index++) {
    SCOPED_TRACE(tableNames[index]);
    EXPECT_EQ(database->tables[index], typed[index]);
    EXPECT_EQ(database->tables[index]->ids.start, index == tableTele ? 0 : 1);
  }
  EXPECT_STREQ(database->methods.name.data, "method");
  EXPECT_STREQ(database->threadFrames.name.data, "thread_frame");
  EXPECT_EQ(methodTable, &database->methods);
  EXPECT_EQ(frameTable, &database->frames);
  EXPECT_EQ(database->telemetryLimit, 3600);
  EXPECT_EQ(database->telemetry.rows.capacity, 3600);
  EXPECT_EQ(database->nextEventTableId, 32);
  EXPECT_EQ(database->currentStamp, 1);
}

TEST(Database, StatisticsNameEveryTableWithItsCapacity) {
  TestDatabase database(3600);
  const std::vector<std::string> lines = linesOf(database->getDatabaseStatistics());
  int32_t index = 0;
  for (const std::string& line : lines) {
    if (index == tableCount || !startsWith(line, tableNames[index])) continue;
    SCOPED_TRACE(line);
    std::string name = tableNames[index];
    name.resize(20, ' ');
    EXPECT_TRUE(startsWith(line, name + " records="));
    const std::string range = line.substr(line.find('/') + 1, line.find(" allocated=") - line.find('/') - 1);
    const char* expected = index == tableMethod ? "       0 - 10486016"
                           : index == tableTele ? "       0 -        0"
                                                : "       0 -     1280";
    EXPECT_EQ(range, expected);
    index++;
  }
  EXPECT_EQ(index, tableCount);
}

TEST(Database, StatisticsTextHasItsFixedForm) {
  TestDatabase database(3600);
  const std::vector<std::string> lines = linesOf(database->getDatabaseStatistics());
  std::vector<std::string> afterEvent;
  for (size_t i = 0; i < lines.size(); i++) {
    if (startsWith(lines[i], "event ")) afterEvent.assign(lines.begin() + long(i) + 1, lines.begin() + long(i) + 4);
  }
  const std::vector<std::string> eventLines = {"   counted records: total=0 with_excess=0",
                                               "   myValues length: total=0 avg=0 max=0",
                                               "   myValues bytes: total=0 avg=0 max=0"};
  EXPECT_EQ(afterEvent, eventLines);

  const std::string text = database->getDatabaseStatistics().data;
  EXPECT_NE(text.find("\n\ntelemetryLimit=3600\n\nString bodies: "), std::string::npos) << text;
  EXPECT_NE(text.find(" bytes)\nTFI: "), std::string::npos);
  EXPECT_NE(text.find(" bytes)\n\nTotal size: "), std::string::npos);
  EXPECT_TRUE(endsWith(text, " bytes)\n"));
}

TEST(Database, StatisticsTotalIsTheSumOfTheFigures) {
  TestDatabase database;
  YCriticalSectionLock held(&ourLock(), "Test:1");
  database->getThreadFrameId(3, 10, true);
  int64_t sum = 0, total = -1, tfi = -1;
  for (const std::string& line : linesOf(database->getDatabaseStatistics())) {
    if (line.find(" allocated=") != std::string::npos || startsWith(line, "String bodies: ")) sum += bytesOf(line);
    if (startsWith(line, "TFI: ")) tfi = bytesOf(line);
    if (startsWith(line, "Total size: ")) total = bytesOf(line);
  }
  EXPECT_EQ(tfi, int64_t(database->threadFrameIndex.sizeBytes()));
  EXPECT_EQ(total, sum + tfi);
}

TEST(Database, StatisticsCountStringBodiesByTheirLength) {
  TestDatabase database;
  YCriticalSectionLock held(&ourLock(), "Test:1");
  const auto stringBodies = [&] {
    for (const std::string& line : linesOf(database->getDatabaseStatistics())) {
      if (startsWith(line, "String bodies: ")) return bytesOf(line);
    }
    return int64_t(-1);
  };
  const int64_t before = stringBodies();
  getStringId(std::string(5000, 'x').c_str());
  getStringId("");
  EXPECT_EQ(stringBodies(), before + 5000);
}

TEST(Database, StatisticsDescribeTheEventRowsSlotVectors) {
  TestDatabase database;
  YCriticalSectionLock held(&ourLock(), "Test:1");
  const int32_t slotCounts[] = {10, 12, 0};  // 10 fit the inline slots, 12 do not
  int64_t bytes = 0, maxBytes = 0;
  for (int32_t row = 1; row <= 3; row++) {
    EventRecord& event = *database->events.getRow(row, true);
    for (int32_t i = 0; i < slotCounts[row - 1]; i++) event.slots.add(i);
    event.stamp = row == 3 ? -1 : 1;  // a deleted row counts too
    bytes += 4 * int64_t(event.slots.capacity) + 8;
    maxBytes = std::max(maxBytes, 4 * int64_t(event.slots.capacity) + 8);
  }
  const std::string text = database->getDatabaseStatistics().data;
  EXPECT_NE(text.find("\n   counted records: total=3 with_excess=1\n   myValues length: total=22 avg=7 max=12\n"),
            std::string::npos)
      << text;
  const std::string bytesLine = "   myValues bytes: total=" + std::to_string(bytes) + " avg=" + std::to_string(bytes / 3) +
                                " max=" + std::to_string(maxBytes) + "\n";
  EXPECT_NE(text.find(bytesLine), std::string::npos) << text;
}

TEST(Database, MakesTheFourSpecialThreadEntries) {
  TestDatabase database;
  const ThreadInfo* const entries[] = {oldestFinishedThreads, vmStartThread, unretrievedThread, unknownThread};
  const char* const names[] = {"<Oldest finished threads>", "VM Start", "<Thread could not be retrieved>", "<unknown>"};
  const YSet<int64_t>& live = threadRegistry().liveThreads;
  for (int32_t i = 0; i < 4; i++) {
    SCOPED_TRACE(names[i]);
    ASSERT_NE(entries[i], nullptr);
    EXPECT_STREQ(entries[i]->name.data, names[i]);
    EXPECT_EQ(entries[i]->sequenceNumber, uint32_t(i + 1));
    EXPECT_EQ(entries[i]->threadNumber, i + 1);
    const ThreadRecord& row = *database->threads.getRow(entries[i]->threadRow, false);
    EXPECT_EQ(textOf(row.nameId), names[i]);
    EXPECT_EQ(row.sequenceNumber, i + 1);
    EXPECT_EQ(row.threadNumber, i + 1);
    EXPECT_EQ(row.stamp, 1);
    EXPECT_EQ(live.contains(reinterpret_cast<int64_t>(entries[i])), i != 0);
  }
  EXPECT_EQ(live.count, 3);
}

TEST(Database, ReservesPropertyRowsOneToSixForTelemetryNumbers) {
  TestDatabase database;
  const char* const keys[] = {"telec.non.heap.memory.max.kb", "telec.unloaded.class.count",
                              "telec.peak.thread.count",      "telec.total.started.thread.count",
                              "telec.deadlock.found",         "telec.heap.memory.max.kb"};
  for (int32_t row = 1; row <= 6; row++) {
    SCOPED_TRACE(row);
    EXPECT_EQ(textOf(propertyRow(row).keyId), keys[row - 1]);
    EXPECT_EQ(propertyRow(row).value, 0);
    EXPECT_EQ(propertyRow(row).stamp, 1);
  }
  EXPECT_EQ(database->properties.getRow(0, false), nullptr);
}

TEST(Database, SetsTheSystemPropertiesInOrder) {
  TestDatabase database;
  const char* const keys[] = {"user.home.bzp",       "os.name.bzp",      "os.version.bzp", "bq.system.physical.memory.mb",
                              "bzp.vm.starttime",    "bq.env",           "bq.logFilePath", "bq.pid",
                              "bq.workingDirectory", "bzp.command.line", "bzp.ide_project_name"};
  for (int32_t i = 0; i < 11; i++) {
    SCOPED_TRACE(keys[i]);
    EXPECT_EQ(database->findPropertyRecordIndex(getStringId(keys[i])), 7 + i);
    EXPECT_EQ(propertyRow(7 + i).stamp, 1);
  }
  EXPECT_EQ(property("bq.pid"), std::to_string(getOwnPid()));
  const int64_t memoryMb = std::stoll(property("bq.system.physical.memory.mb", true));
  EXPECT_TRUE(memoryMb > 0 || memoryMb == -1) << memoryMb;
  const int64_t startMs = std::stoll(property("bzp.vm.starttime"));
  EXPECT_LE(std::abs(startMs / 1000 - int64_t(std::time(nullptr))), 5);
  EXPECT_NE(property("os.name.bzp"), "");
  EXPECT_NE(property("user.home.bzp"), "");
  EXPECT_EQ(property("bzp.ide_project_name"), "");
  EXPECT_EQ(database->findPropertyRecordIndex(getStringId("no.such.property")), -1);
}

TEST(Database, TakesTheIdeProjectNameFromItsHiddenOption) {
  HiddenOption option("_ide_project_name=demo project");
  TestDatabase database;
  EXPECT_EQ(property("bzp.ide_project_name"), "demo project");
}

TEST(Database, SetPropertyStampsOnlyChanges) {
  TestDatabase database;
  const int32_t keyId = database->setProperty("test.key", 5);
  EXPECT_EQ(keyId, getStringId("test.key"));
  const int32_t row = database->findPropertyRecordIndex(keyId);
  EXPECT_EQ(row, 18);  // after the six reserved rows and the eleven system properties
  EXPECT_EQ(propertyRow(row).stamp, 1);

  database->currentStamp = 2;
  EXPECT_EQ(database->setProperty("test.key", 5), keyId);
  EXPECT_EQ(propertyRow(row).stamp, 1);

  database->currentStamp = 3;
  EXPECT_EQ(database->setProperty("test.key", 6), keyId);
  EXPECT_EQ(database->findPropertyRecordIndex(keyId), row);
  EXPECT_EQ(propertyRow(row).value, 6);
  EXPECT_EQ(propertyRow(row).stamp, 3);
  EXPECT_EQ(database->properties.getRow(row + 1, false), nullptr);
}

TEST(Database, RegistersTheLineMethod) {
  LogCapture log;
  TestDatabase database;
  EXPECT_GE(lineMethodId, 1);
  EXPECT_EQ(entryStartingWith(log, "line_method: "), "line_method: " + std::to_string(lineMethodId));
  EXPECT_EQ(getOrCreateMethod("own", "<<own>>", "()", "void", "", false), lineMethodId);
  const MethodRecord& row = *database->methods.getRow(lineMethodId, false);
  EXPECT_EQ(textOf(row.classNameId), "own");
  EXPECT_EQ(textOf(row.nameId), "<<own>>");
}

TEST(Database, CopiesTheSessionNameOfTheOptions) {
  ScopedValue<YString> name(globalOptions().sessionName, YString("my session"));
  TestDatabase database;
  EXPECT_STREQ(database->sessionName.data, "my session");
}

TEST(Database, TakesTheProvidedSessionId) {
  ScopedValue<int64_t> id(globalOptions().sessionId, 77);
  LogCapture log;
  TestDatabase database;
  EXPECT_EQ(database->sessionId, 77);
  EXPECT_EQ(entryStartingWith(log, "session_id: "), "session_id: 77 (provided)");
}

TEST(Database, ComputesTheSessionIdFromTimeAndPid) {
  ScopedValue<int64_t> id(globalOptions().sessionId, 0);
  LogCapture log;
  const int64_t before = int64_t(std::time(nullptr));
  TestDatabase database;
  const int64_t after = int64_t(std::time(nullptr));

  const std::string entry = entryStartingWith(log, "session_id: ");
  long long logged = 0, seconds = 0, pid = 0;
  ASSERT_EQ(std::sscanf(entry.c_str(), "session_id: %lld (%lld,%lld)", &logged, &seconds, &pid), 3) << entry;
  EXPECT_EQ(entry, "session_id: " + std::to_string(logged) + " (" + std::to_string(seconds) + "," +
                       std::to_string(pid) + ")");
  EXPECT_EQ(logged, database->sessionId);
  EXPECT_GE(seconds, before);
  EXPECT_LE(seconds, after);
  EXPECT_EQ(pid, int32_t(getOwnPid()));
  EXPECT_EQ(database->sessionId, seconds ^ int64_t(uint64_t(pid) << 32));
  EXPECT_EQ((database->sessionId ^ seconds) >> 32, pid);
}

TEST(Database, RefusesATelemetryLimitBelowOne) {
  for (const int32_t limit : {0, -5}) {
    SCOPED_TRACE(limit);
    const std::string error = fatalErrorOf([limit] { createDatabase(limit); });
    EXPECT_TRUE(endsWith(error, ": assertion failed")) << error;
    EXPECT_EQ(db, nullptr);
    EXPECT_EQ(oldestFinishedThreads, nullptr);
  }
}

TEST(Database, RequireDatabaseWithoutOneIsFatal) {
  ASSERT_EQ(db, nullptr);
  const std::string error = fatalErrorOf([] { requireDatabase(); });
  EXPECT_TRUE(endsWith(error, ": db is NULL")) << error;
}
