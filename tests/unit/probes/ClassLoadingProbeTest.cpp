#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "agent/core/AgentFlags.h"
#include "agent/db/DB.h"
#include "agent/db/EventTable.h"
#include "agent/db/StringPool.h"
#include "agent/probes/ClassLoadingProbe.h"
#include "agent/probes/ProbeRegistry.h"
#include "agent/support/NamedLocks.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestDatabase.h"

// The Class Loading probe's table and its queue of unloaded classes, without a JVM: what the drain makes
// of the names that ObjectFree queued, by the probe's mode then and at the drain.

namespace {

const YString probeName("com.brantel.probes.builtin.ClassLoading");
constexpr char description[] = "Class Loading\n5\nuptime_ns\n1\nthread\n0\nframe\n0\nClass\n4\nLoaded or Unloaded\n2\n";

struct UnloadRow {
  std::string className;
  std::string kind;
  int32_t thread;
  int32_t frame;
  int32_t stamp;
};

std::vector<UnloadRow> rowsOf(const std::vector<UnloadRow>& rows, const std::string& className) {
  std::vector<UnloadRow> found;
  for (const UnloadRow& row : rows) {
    if (row.className == className) found.push_back(row);
  }
  return found;
}

class ClassLoadingProbeTest : public testing::Test {
 protected:
  TestDatabase database;
  LogCapture log;
  const uint64_t savedProfilingFlags = profilingFlags.load();

  void SetUp() override { forgetClassLoadingProbeForTest(); }
  void TearDown() override {
    forgetClassLoadingProbeForTest();
    profilingFlags.store(savedProfilingFlags);
  }

  static void setMode(PROBE_ACTIVITY_MODE mode) { getTopProbe(probeName)->mode = mode; }

  static void queueUnload(const char* className) {
    recordClassUnloadedEvent(int64_t(reinterpret_cast<uintptr_t>(new YString(className))));
  }

  std::vector<int32_t> classLoadingTables() const {
    std::vector<int32_t> ids;
    for (int32_t id = firstEventTableId; id < eventTableIdLimit; id++) {
      const EventTable* table = eventTableById(*database, id);
      if (table != nullptr && table->description.equals(description)) ids.push_back(id);
    }
    return ids;
  }

  std::string text(int32_t id) const {
    const StringRecord* row = database->strings.findRow(id);
    return row != nullptr && row->body != nullptr ? row->body : "<no string>";
  }

  // Drains as the table writers do, under "ourLock", and reads the rows of the one Class Loading table.
  std::vector<UnloadRow> drain() {
    YCriticalSectionLock held(&ourLock(), "Test:drain");
    drainClassLoadingQueue(held, *database);
    std::vector<UnloadRow> rows;
    database->events.forEachRow([&](int64_t, const EventRecord& row) {
      if (row.stamp < 1) return;
      // Slots: uptime_ns (two), thread, frame, Class, Loaded or Unloaded.
      rows.push_back({text(row.slots[4]), text(row.slots[5]), row.slots[2], row.slots[3], row.stamp});
    });
    return rows;
  }
};

TEST_F(ClassLoadingProbeTest, RegistrationMakesOneTableBoundToTheProbeName) {
  const int32_t tablesBefore = getTopProbe(probeName)->tableIds.size;
  createClassLoadingProbe(probeName);
  createClassLoadingProbe(probeName);
  const std::vector<int32_t> tables = classLoadingTables();
  ASSERT_EQ(1u, tables.size());
  const YVector<int32_t>& bound = getTopProbe(probeName)->tableIds;
  ASSERT_EQ(tablesBefore + 1, bound.size);
  EXPECT_EQ(tables[0], bound[bound.size - 1]);
  EXPECT_TRUE(log.entries().empty());
}

// Without a free table id the probe stays without a table and records nothing; the next registration,
// once a table can be made, makes it.
TEST_F(ClassLoadingProbeTest, ATableThatCannotBeMadeIsLoggedAndTriedAgain) {
  {
    YCriticalSectionLock held(&ourLock(), "Test:fill");
    while (database->createEventTable(YString("Filler\n1\nuptime_ns\n1\n")) >= 0) {
    }
  }
  setMode(PROBE_ON);
  createClassLoadingProbe(probeName);
  EXPECT_EQ(std::vector<std::string>{"warning: failed to create Class Loading probe"}, log.entries());
  EXPECT_TRUE(classLoadingTables().empty());
  queueUnload("x.Dropped");
  EXPECT_TRUE(drain().empty());

  destroyDatabaseForTest();
  createDatabase(3600);
  createClassLoadingProbe(probeName);
  EXPECT_EQ(1u, classLoadingTables().size());
  queueUnload("x.Kept");
  const std::vector<UnloadRow> rows = drain();
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ("x.Kept", rows[0].className);
}

// The mode counts twice: when the JVM reports the unload, and again when the queue is drained.
TEST_F(ClassLoadingProbeTest, UnloadsBecomeRowsOnlyWhileTheProbeIsActive) {
  const struct {
    const char* name;
    PROBE_ACTIVITY_MODE modeAtUnload;
    PROBE_ACTIVITY_MODE modeAtDrain;
    uint64_t cpuMode;
    bool recorded;
  } cases[] = {
      {"on", PROBE_ON, PROBE_ON, 0, true},
      {"switched off before the drain", PROBE_ON, PROBE_OFF, 0, false},
      {"off at the unload", PROBE_OFF, PROBE_ON, 0, false},
      {"auto while sampling", PROBE_AUTO, PROBE_AUTO, PROFILING_CPU_SAMPLING, true},
      {"auto while tracing", PROBE_AUTO, PROBE_AUTO, PROFILING_CPU_TRACING, true},
      {"auto while counting calls", PROBE_AUTO, PROBE_AUTO, PROFILING_CALL_COUNTING, false},
      {"auto without CPU recording", PROBE_AUTO, PROBE_AUTO, 0, false},
  };
  createClassLoadingProbe(probeName);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    profilingFlags.store((savedProfilingFlags & ~PROFILING_CPU_MODE_MASK) | c.cpuMode);
    const int32_t stamp = database->currentStamp;
    setMode(c.modeAtUnload);
    queueUnload(c.name);
    setMode(c.modeAtDrain);
    const std::vector<UnloadRow> rows = rowsOf(drain(), c.name);
    if (!c.recorded) {
      EXPECT_TRUE(rows.empty());
      continue;
    }
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ(c.name, rows[0].className);
    EXPECT_EQ("unloaded", rows[0].kind);
    EXPECT_EQ(0, rows[0].thread);
    EXPECT_EQ(0, rows[0].frame);
    EXPECT_EQ(stamp, rows[0].stamp);
  }
}

}  // namespace
