#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/jvm/AgentRun.h"
#include "tests/jvm/ProfileTables.h"
#include "tests/support/SnapshotReader.h"

// The built-in Class Loading probe in real JVMs: a class loaded by a loader of its own and unloaded
// again, seen in the "Class Loading" table of the exit's snapshot as the probe's start-up mode allows.

namespace {

using namespace profiletables;

constexpr char probeName[] = "com.brantel.probes.builtin.ClassLoading";
constexpr char tableDescription[] =
    "Class Loading\n5\nuptime_ns\n1\nthread\n0\nframe\n0\nClass\n4\nLoaded or Unloaded\n2\n";
constexpr char unloadedClass[] = "ClassUnloading$Unloaded";

// An event row's values: table id, row key, slot count, then the slots: uptime_ns (two), thread, frame,
// Class, Loaded or Unloaded.
constexpr size_t threadSlot = 5, classSlot = 7, kindSlot = 8;

struct ClassEvent {
  std::string className;
  std::string kind;
  int64_t thread;
};

class ClassLoadingProbeTest : public AgentRunTest {
 protected:
  // The rows of the snapshot's "Class Loading" table; the table is described in the header.
  std::vector<ClassEvent> classEvents(const std::string& options) {
    fs::remove_all(snapshotDir());
    const fs::path classes = fs::path(work.path()) / ("classes" + std::to_string(runs));
    fs::create_directories(classes);
    const ProgramRun run = runUnderAgent({"ClassUnloading", classes.string()},
                                         "dir=" + snapshotDir().string() + ",onexit=snapshot," + options);
    EXPECT_EQ(0, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("unloaded")) << run.output;
    const snapshotfile::Snapshot snapshot = onlySnapshot();
    int64_t table = -1;
    for (const auto& [id, description] : snapshot.header.eventTables) {
      if (description == tableDescription) table = id;
    }
    EXPECT_GE(table, 32) << "no \"Class Loading\" table";
    std::vector<const Tables*> records;
    for (const snapshotfile::TablesRecord& record : snapshot.tableRecords) records.push_back(&record.tables);
    const ProfileTables tables(records);
    std::vector<ClassEvent> events;
    tables.forEachLive(rowstream::eventTable, [&](const rowstream::Row& row) {
      if (row.values[0] != table) return;
      EXPECT_EQ(6, row.values[2]) << row;
      events.push_back({tables.text(row.values[classSlot]), tables.text(row.values[kindSlot]), row.values[threadSlot]});
    });
    return events;
  }
};

std::vector<ClassEvent> eventsOf(const std::vector<ClassEvent>& events, const std::string& className) {
  std::vector<ClassEvent> found;
  for (const ClassEvent& event : events) {
    if (event.className == className) found.push_back(event);
  }
  return found;
}

TEST_F(ClassLoadingProbeTest, LoadsAndUnloadsAreRecordedWhileTheProbeIsActive) {
  const struct {
    const char* name;
    std::string options;
    bool recorded;
  } cases[] = {
      {"on", std::string("probe_on=") + probeName, true},
      {"off", std::string("probe_off=") + probeName, false},
      {"auto without CPU recording", std::string("probe_auto=") + probeName, false},
      {"auto while sampling", std::string("probe_auto=") + probeName + ",sampling", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<ClassEvent> events = classEvents(c.options);
    const std::vector<ClassEvent> apart = eventsOf(events, unloadedClass);
    if (!c.recorded) {
      EXPECT_TRUE(events.empty()) << events.size() << " rows, the first of " << events.front().className;
      continue;
    }
    ASSERT_EQ(2u, apart.size()) << events.size() << " rows";
    // The load is the program's main thread's; the unload comes from the JVM and names no thread.
    EXPECT_EQ("loaded", apart[0].kind);
    EXPECT_GT(apart[0].thread, 0);
    EXPECT_EQ("unloaded", apart[1].kind);
    EXPECT_EQ(0, apart[1].thread);
    // Every class the program prepares after start-up is there, in Java form.
    EXPECT_EQ(1u, eventsOf(events, "ClassUnloading").size());
    EXPECT_EQ("loaded", eventsOf(events, "ClassUnloading")[0].kind);
  }
}

}  // namespace
