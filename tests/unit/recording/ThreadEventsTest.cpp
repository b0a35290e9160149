#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "agent/db/DB.h"
#include "agent/recording/FrameTree.h"
#include "agent/recording/ThreadEvents.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/recording/YNodeTree.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestDatabase.h"

namespace {

constexpr int32_t bufferWords = ThreadInfo::eventBufferWords;

// A kind-13 record: the size low word first, then the site.
std::array<uint32_t, 4> allocation(int64_t size, int32_t site) {
  return {eventAllocation, uint32_t(uint64_t(size)), uint32_t(uint64_t(size) >> 32), uint32_t(site)};
}

// A record of 3, 5, 6 or 7 words that leaves the allocation rows alone: all zeros, it names no method
// and no stack.
std::vector<uint32_t> steppedRecord(int32_t words) {
  std::vector<uint32_t> record(size_t(words), 0);
  record[0] = words == 3   ? eventRowDelete
              : words == 5 ? eventMethodExit
              : words == 6 ? eventMethodEntry
                           : eventTracedStack;
  return record;
}

struct AllocTotals {
  int64_t count = -1;  // -1: no row
  int64_t bytes = 0;
  int32_t stamp = 0;
};

class ThreadEventsTest : public DatabaseTest {
 protected:
  std::unique_ptr<ThreadInfo> makeThread(const char* name = "worker") {
    return std::make_unique<ThreadInfo>(YString(name), YString("main"), 0, 0, nullptr, false);
  }
  void append(ThreadInfo& thread, const std::array<uint32_t, 4>& record) {
    thread.appendEvent(record.data(), int32_t(record.size()), false);
  }
  void replay(ThreadInfo& thread) { processThreadEvents(&thread, held); }

  // The "alloc_info" row of (the thread's number, frame).
  AllocTotals allocOf(const ThreadInfo& thread, int32_t frame) {
    AllocTotals totals;
    const int32_t pair = database->getThreadFrameId(thread.threadNumber, frame, false);
    const AllocInfoRecord* row = pair < 0 ? nullptr : database->allocInfo.getRow(pair, false);
    if (row == nullptr || row->stamp < 1) return totals;
    totals.count = row->objectCount;
    totals.bytes = row->totalSize;
    totals.stamp = row->stamp;
    return totals;
  }

  // Appends kind-13 records to `site`, with sizes 1, 2, ..., and a stepped-over record that makes up
  // exactly `words` words; the number of allocations.
  int64_t fill(ThreadInfo& thread, int32_t words, int32_t site) {
    const int32_t padWords = words % 4 == 0 ? 0 : 4 + words % 4;
    int64_t count = 0;
    while (count * 4 < words - padWords) append(thread, allocation(++count, site));
    if (padWords != 0) {
      const std::vector<uint32_t> pad = steppedRecord(padWords);
      thread.appendEvent(pad.data(), padWords, false);
    }
    return count;
  }
};

int64_t sumUpTo(int64_t n) { return n * (n + 1) / 2; }

std::vector<std::string> unexpectedKindEntries(const LogCapture& log) {
  std::vector<std::string> found;
  for (const std::string& entry : log.entries()) {
    if (entry.rfind("error: unexpected eventId: ", 0) == 0) found.push_back(entry);
  }
  return found;
}

}  // namespace

TEST_F(ThreadEventsTest, RecordLengthsFollowTheirKind) {
  const int32_t expected[] = {0, 7, 6, 5, 6, 7, 3, 5, 6, 6, 5, 6, 5, 4, 0};
  for (uint32_t kind = 0; kind < 15; kind++) EXPECT_EQ(threadEventWords(kind), expected[kind]) << kind;
  EXPECT_EQ(threadEventWords(0xFFFFFFFFu), 0);
}

TEST_F(ThreadEventsTest, ARecordEndingAtTheLastWordFitsAndTheNextOneReplaysTheBufferFirst) {
  const int32_t site = -getOrCreateChildFrame(0, 5, 0);
  const int32_t lastSite = -getOrCreateChildFrame(0, 6, 0);
  struct Case {
    int32_t length;
    bool overflows;  // the record ends one word past the buffer
  };
  std::vector<Case> cases;
  for (int32_t length = 3; length <= 7; length++) {
    cases.push_back({length, false});
    cases.push_back({length, true});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.length) + (c.overflows ? " words, one too many" : " words, exactly full"));
    const std::unique_ptr<ThreadInfo> thread = makeThread();
    const int64_t filled = fill(*thread, bufferWords - c.length + (c.overflows ? 1 : 0), site);
    const std::array<uint32_t, 4> last = allocation(1000000, lastSite);
    const std::vector<uint32_t> record = c.length == 4 ? std::vector<uint32_t>(last.begin(), last.end())
                                                       : steppedRecord(c.length);
    thread->appendEvent(record.data(), c.length, false);

    EXPECT_EQ(thread->replayPosition, 0);
    if (c.overflows) {
      EXPECT_EQ(thread->eventsUsed.load(), c.length);
      EXPECT_EQ(std::vector<uint32_t>(thread->events, thread->events + c.length), record);
      const AllocTotals replayed = allocOf(*thread, -site);
      EXPECT_EQ(replayed.count, filled);
      EXPECT_EQ(replayed.bytes, sumUpTo(filled));
    } else {
      EXPECT_EQ(thread->eventsUsed.load(), bufferWords);
      EXPECT_EQ(std::vector<uint32_t>(thread->events + bufferWords - c.length, thread->events + bufferWords), record);
      EXPECT_EQ(allocOf(*thread, -site).count, -1);
    }
    EXPECT_EQ(allocOf(*thread, -lastSite).count, -1);

    // Whatever the road, each record is replayed once.
    replay(*thread);
    EXPECT_EQ(thread->replayPosition, thread->eventsUsed.load());
    EXPECT_EQ(allocOf(*thread, -site).count, filled);
    EXPECT_EQ(allocOf(*thread, -site).bytes, sumUpTo(filled));
    EXPECT_EQ(allocOf(*thread, -lastSite).count, c.length == 4 ? 1 : -1);
  }
}

TEST_F(ThreadEventsTest, AnAllocationCountsOneObjectOfItsSizeInTheRowOfItsThreadAndFrame) {
  // Methods 5 -> 6 -> 7 on the thread's node tree; the site of a negative id is the frame itself.
  const std::unique_ptr<ThreadInfo> thread = makeThread();
  const std::unique_ptr<ThreadInfo> other = makeThread("other");
  YNodeTree& tree = *getThreadNodeTree(thread.get());
  const int32_t leafNode = tree.getChildByKey(tree.getChildByKey(tree.getChildByKey(0, 5), 6), 7);
  const int32_t leafFrame = getOrCreateChildFrame(getOrCreateChildFrame(getOrCreateChildFrame(0, 5, 0), 6, 0), 7, 0);
  const int32_t frame = getOrCreateChildFrame(0, 9, 0);
  struct Case {
    const char* name;
    int32_t site;
    int32_t frame;
  };
  const Case cases[] = {
      {"node of the thread's tree", leafNode, leafFrame},
      {"minus a frame", -frame, frame},
      {"root node", 0, 0},
  };
  const int64_t big = int64_t(3) << 32 | 16;  // the high word counts
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    database->currentStamp = 4;
    append(*thread, allocation(24, c.site));
    append(*thread, allocation(big, c.site));
    replay(*thread);
    AllocTotals totals = allocOf(*thread, c.frame);
    EXPECT_EQ(totals.count, 2);
    EXPECT_EQ(totals.bytes, 24 + big);
    EXPECT_EQ(totals.stamp, 4);

    database->currentStamp = 5;
    append(*thread, allocation(8, c.site));
    replay(*thread);
    totals = allocOf(*thread, c.frame);
    EXPECT_EQ(totals.count, 3);
    EXPECT_EQ(totals.bytes, 32 + big);
    EXPECT_EQ(totals.stamp, 5);
    EXPECT_EQ(allocOf(*other, c.frame).count, -1);
  }
}

TEST_F(ThreadEventsTest, ASecondReplayWithoutNewRecordsChangesNothing) {
  const std::unique_ptr<ThreadInfo> thread = makeThread();
  const int32_t frame = getOrCreateChildFrame(0, 5, 0);
  database->currentStamp = 2;
  append(*thread, allocation(40, -frame));
  const std::vector<uint32_t> stepped = steppedRecord(7);
  thread->appendEvent(stepped.data(), 7, false);
  replay(*thread);
  EXPECT_EQ(thread->replayPosition, 11);

  database->currentStamp = 3;
  replay(*thread);
  EXPECT_EQ(thread->replayPosition, 11);
  EXPECT_EQ(thread->eventsUsed.load(), 11);
  const AllocTotals totals = allocOf(*thread, frame);
  EXPECT_EQ(totals.count, 1);
  EXPECT_EQ(totals.bytes, 40);
  EXPECT_EQ(totals.stamp, 2);

  // Later records go behind the replayed ones.
  append(*thread, allocation(2, -frame));
  replay(*thread);
  EXPECT_EQ(thread->eventsUsed.load(), 15);
  EXPECT_EQ(allocOf(*thread, frame).count, 2);
  EXPECT_EQ(allocOf(*thread, frame).bytes, 42);
}

TEST_F(ThreadEventsTest, WithoutATracedFrameAReplayForgetsTheTracedStack) {
  struct Case {
    const char* name;
    int32_t tracedFrame;
    int32_t records;  // -1: no buffer yet
    bool forgets;
  };
  const Case cases[] = {
      {"no buffer, no traced frame", -1, -1, true},  {"nothing new, no traced frame", -1, 0, true},
      {"records, no traced frame", -1, 2, true},     {"no buffer, at the root", 0, -1, false},
      {"records, at the root", 0, 2, false},         {"records, in a traced frame", 3, 2, false},
  };
  const int32_t frame = getOrCreateChildFrame(0, 5, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::unique_ptr<ThreadInfo> thread = makeThread();
    if (c.records >= 0) {
      append(*thread, allocation(8, -frame));
      replay(*thread);
    }
    for (int32_t i = 0; i < c.records; i++) append(*thread, allocation(8, -frame));
    const int32_t used = thread->eventsUsed.load();
    thread->currentTracedFrame = c.tracedFrame;
    thread->stackSynchronised = true;
    thread->pendingLine = 12;
    replay(*thread);
    EXPECT_EQ(thread->stackSynchronised, !c.forgets);
    EXPECT_EQ(thread->pendingLine, c.forgets ? 0 : 12);
    EXPECT_EQ(thread->currentTracedFrame, c.tracedFrame);
    EXPECT_EQ(thread->eventsUsed.load(), used);
    EXPECT_EQ(thread->replayPosition, used);
    EXPECT_EQ(thread->events == nullptr, c.records < 0);
    EXPECT_EQ(allocOf(*thread, frame).count, c.records < 0 ? -1 : 1 + c.records);
  }
}

TEST_F(ThreadEventsTest, AnUnknownOrCutRecordIsLoggedAndTheRestDroppedButLaterRecordsReplay) {
  struct Case {
    const char* name;
    std::vector<uint32_t> bad;
    const char* logged;
  };
  const Case cases[] = {
      {"kind 0", {0, 1, 2}, "error: unexpected eventId: 0 "},
      {"kind 14", {14}, "error: unexpected eventId: 14 "},
      {"kind 0xFFFFFFFF", {0xFFFFFFFFu, 0}, "error: unexpected eventId: 4294967295 "},
      {"an allocation cut short", {eventAllocation, 64}, "error: unexpected eventId: 13 "},
  };
  const int32_t frame = getOrCreateChildFrame(0, 5, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::unique_ptr<ThreadInfo> thread = makeThread();
    append(*thread, allocation(1, -frame));
    thread->appendEvent(c.bad.data(), int32_t(c.bad.size()), false);
    // A cut record can only be the last one; a good one behind an unknown kind goes with it.
    const bool cut = c.bad[0] == eventAllocation;
    if (!cut) append(*thread, allocation(2, -frame));
    thread->stackSynchronised = true;
    LogCapture log;
    replay(*thread);
    const std::vector<std::string> logged = unexpectedKindEntries(log);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].rfind(c.logged, 0), 0u) << logged[0];
    EXPECT_EQ(thread->replayPosition, thread->eventsUsed.load());
    EXPECT_EQ(allocOf(*thread, frame).count, 1);
    EXPECT_FALSE(thread->stackSynchronised);

    append(*thread, allocation(4, -frame));
    replay(*thread);
    EXPECT_EQ(unexpectedKindEntries(log).size(), 1u);
    EXPECT_EQ(allocOf(*thread, frame).count, 2);
    EXPECT_EQ(allocOf(*thread, frame).bytes, 5);
  }
}

TEST_F(ThreadEventsTest, AReplayOfAllThreadsTakesEveryLiveRecord) {
  ThreadRegistry& registry = threadRegistry();
  const std::unique_ptr<ThreadInfo> live = makeThread("live");
  const std::unique_ptr<ThreadInfo> ended = makeThread("ended");
  registry.liveThreads.add(reinterpret_cast<int64_t>(live.get()));
  const int32_t frame = getOrCreateChildFrame(0, 5, 0);
  for (ThreadInfo* thread : {live.get(), ended.get(), unretrievedThread}) append(*thread, allocation(8, -frame));
  processAllThreadEvents(held);
  EXPECT_EQ(allocOf(*live, frame).count, 1);
  EXPECT_EQ(allocOf(*unretrievedThread, frame).count, 1);
  EXPECT_EQ(allocOf(*ended, frame).count, -1);
  registry.liveThreads.remove(reinterpret_cast<int64_t>(live.get()));
}
