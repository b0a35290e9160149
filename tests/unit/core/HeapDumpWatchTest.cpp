#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "agent/core/HeapDumpWatch.h"
#include "agent/core/Options.h"
#include "agent/db/DB.h"
#include "agent/platform/Processes.h"
#include "agent/support/NamedLocks.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestDatabase.h"

namespace {

constexpr int32_t shortIntervalMs = 5;
constexpr int64_t jvmHeapDumpKind = 0x1011;

using Row = std::pair<std::string, int64_t>;

class HeapDumpWatchTest : public ::testing::Test {
 protected:
  TestDatabase database;
  TempDir dir;
  const std::string dumpFile = dir.pathOf("java_pid" + std::to_string(getOwnPid()) + ".hprof");

  std::vector<Row> snapshotRows() {
    YCriticalSectionLock held(&ourLock(), "Test:1");
    std::vector<Row> rows;
    db->snapshots.forEachRow([&](int64_t, const SnapshotRecord& row) {
      if (row.stamp > 0) rows.emplace_back(db->strings.findRow(row.pathId)->body, row.kind);
    });
    return rows;
  }

};

void writeFile(const std::string& path, const std::string& contents, std::ios::openmode mode) {
  std::ofstream(std::filesystem::u8path(path), std::ios::binary | mode) << contents;
}

// Writes the file from another thread a little later. The flag is set just before the write, so a watch
// that returns too early finds it clear.
std::thread writeLater(const std::string& path, const std::string& contents, std::atomic<bool>& written) {
  return std::thread([path, contents, &written] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    written = true;
    writeFile(path, contents, std::ios::out);
  });
}

}  // namespace

TEST_F(HeapDumpWatchTest, ADumpFileAppearingInTheDirectoryIsRecorded) {
  std::atomic<bool> written{false};
  std::thread writer = writeLater(dumpFile, "JAVA PROFILE 1.0.2", written);
  watchHeapDumpFile(YString(dir.path().c_str()), shortIntervalMs);
  const bool writtenWhenSeen = written;
  writer.join();
  EXPECT_TRUE(writtenWhenSeen);
  EXPECT_EQ(snapshotRows(), std::vector<Row>{Row(dumpFile, jvmHeapDumpKind)});
}

TEST_F(HeapDumpWatchTest, ADumpPathNamingAFileIsWatchedItself) {
  const std::string dumpPath = dir.pathOf("oome.hprof");
  std::atomic<bool> written{false};
  std::thread writer = writeLater(dumpPath, "", written);  // an empty file is seen as well
  watchHeapDumpFile(YString(dumpPath.c_str()), shortIntervalMs);
  const bool writtenWhenSeen = written;
  writer.join();
  EXPECT_TRUE(writtenWhenSeen);
  EXPECT_EQ(snapshotRows(), std::vector<Row>{Row(dumpPath, jvmHeapDumpKind)});
}

TEST_F(HeapDumpWatchTest, ALeftoverDumpCountsOnlyOnceItsSizeChanges) {
  writeFile(dumpFile, "old", std::ios::out);
  std::atomic<bool> grown{false};
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    writeFile(dumpFile, "new", std::ios::in | std::ios::out);  // rewritten in place: the size stays
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    grown = true;
    writeFile(dumpFile, " and more", std::ios::app);
  });
  watchHeapDumpFile(YString(dir.path().c_str()), shortIntervalMs);
  const bool grownWhenSeen = grown;
  writer.join();
  EXPECT_TRUE(grownWhenSeen);
  EXPECT_EQ(snapshotRows(), std::vector<Row>{Row(dumpFile, jvmHeapDumpKind)});
}

TEST_F(HeapDumpWatchTest, AnEmptyDumpPathEndsTheWatchAtOnce) {
  watchHeapDumpFile(YString(), shortIntervalMs);
  // "-XX:HeapDumpPath=" with nothing after it, as the JVM's command line gives it.
  YVectorSafe<YString>& jvmArgs = globalOptions().jvmArgs;
  const int32_t oldSize = jvmArgs.size;
  if (oldSize == 0) jvmArgs.add(YString("java"));  // the first argument is the executable's
  jvmArgs.add(YString("-XX:HeapDumpPath="));
  watchHeapDumpFile();
  while (jvmArgs.size > oldSize) jvmArgs.pop();
  EXPECT_TRUE(snapshotRows().empty());
}
