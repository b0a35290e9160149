#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent/db/DB.h"
#include "agent/recording/FrameTree.h"
#include "agent/recording/ThreadEvents.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/support/NamedLocks.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestDatabase.h"

// Appends racing with replays on other threads: every record must be replayed exactly once, whole.
// Allocation sizes are all different, so that a record replayed twice or lost shows in the byte totals.

namespace {

constexpr int32_t siteCount = 4;

struct Totals {
  int64_t count = 0;
  int64_t bytes = 0;
};

// Without the lock: the threads of a test take it as the agent's do.
class ThreadEventsStressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    YCriticalSectionLock held(&ourLock(), "Test:1");
    for (int32_t i = 0; i < siteCount; i++) frames.push_back(getOrCreateChildFrame(0, 5 + i, 0));
  }

  static void appendAllocation(ThreadInfo* thread, int64_t size, int32_t frame) {
    const uint32_t record[] = {eventAllocation, uint32_t(uint64_t(size)), uint32_t(uint64_t(size) >> 32),
                               uint32_t(-frame)};
    thread->appendEvent(record, 4, true);
  }

  // Replays the thread under "ourLock" over and over until `done`, then once more.
  void replayUntil(ThreadInfo* thread, const std::atomic<bool>& done) {
    for (bool last = false; !last;) {
      last = done.load();
      {
        YCriticalSectionLock held(&ourLock(), "Test:2");
        processThreadEvents(thread, held);
      }
      replays.fetch_add(1);
      std::this_thread::yield();
    }
  }
  // For a writer: returns after the next replay, so that replays fall between the writer's appends and
  // not only before or after them all.
  void awaitReplay() {
    for (const int32_t seen = replays.load(); replays.load() == seen;) std::this_thread::yield();
  }

  Totals allocOf(const ThreadInfo& thread, int32_t frame) {
    YCriticalSectionLock held(&ourLock(), "Test:3");
    Totals totals;
    const int32_t pair = database->getThreadFrameId(thread.threadNumber, frame, false);
    const AllocInfoRecord* row = pair < 0 ? nullptr : database->allocInfo.getRow(pair, false);
    if (row != nullptr) totals = Totals{row->objectCount, row->totalSize};
    return totals;
  }

  TestDatabase database;
  std::vector<int32_t> frames;
  std::atomic<int32_t> replays{0};
};

constexpr int32_t recordsPerReplay = 256;

}  // namespace

TEST_F(ThreadEventsStressTest, TheOwnerAppendsWhileAnotherThreadReplays) {
  // Sixteen buffers' worth, so that the owner's full-buffer replays meet the other thread's.
  constexpr int32_t records = 16 * ThreadInfo::eventBufferWords / 4;
  std::unique_ptr<ThreadInfo> owner;
  {
    YCriticalSectionLock held(&ourLock(), "Test:4");
    owner = std::make_unique<ThreadInfo>(YString("owner"), YString("main"), 0, 0, nullptr, false);
  }
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int32_t i = 0; i < records; i++) {
      if (i % recordsPerReplay == 0) awaitReplay();
      appendAllocation(owner.get(), i + 1, frames[i % siteCount]);
    }
    done.store(true);
  });
  replayUntil(owner.get(), done);
  writer.join();

  Totals expected[siteCount];
  for (int32_t i = 0; i < records; i++) {
    expected[i % siteCount].count++;
    expected[i % siteCount].bytes += i + 1;
  }
  for (int32_t site = 0; site < siteCount; site++) {
    SCOPED_TRACE(site);
    const Totals totals = allocOf(*owner, frames[site]);
    EXPECT_EQ(totals.count, expected[site].count);
    EXPECT_EQ(totals.bytes, expected[site].bytes);
  }
  YCriticalSectionLock held(&ourLock(), "Test:5");
  owner.reset();
}

TEST_F(ThreadEventsStressTest, ThreadsWithoutARecordShareOneAndLoseNoRecord) {
  // One writer per site, each with a range of sizes of its own.
  constexpr int32_t perWriter = 20000;
  LogCapture log;
  std::atomic<int32_t> running{siteCount};
  std::atomic<bool> done{false};
  std::vector<std::thread> writers;
  for (int32_t site = 0; site < siteCount; site++) {
    writers.emplace_back([&, site] {
      for (int32_t i = 0; i < perWriter; i++) {
        if (i % recordsPerReplay == 0) awaitReplay();
        appendAllocation(unretrievedThread, site * perWriter + i + 1, frames[site]);
      }
      if (running.fetch_sub(1) == 1) done.store(true);
    });
  }
  replayUntil(unretrievedThread, done);
  for (std::thread& writer : writers) writer.join();

  for (int32_t site = 0; site < siteCount; site++) {
    SCOPED_TRACE(site);
    const int64_t first = int64_t(site) * perWriter + 1;
    const Totals totals = allocOf(*unretrievedThread, frames[site]);
    EXPECT_EQ(totals.count, perWriter);
    EXPECT_EQ(totals.bytes, (first + first + perWriter - 1) * perWriter / 2);
  }
  for (const std::string& entry : log.entries()) EXPECT_EQ(entry.find("unexpected eventId"), std::string::npos) << entry;
}
