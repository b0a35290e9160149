#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/core/AgentFlags.h"
#include "agent/core/Options.h"
#include "agent/db/Clears.h"
#include "agent/db/CodePointKey.h"
#include "agent/db/DB.h"
#include "agent/db/TableRequest.h"
#include "agent/platform/Clocks.h"
#include "agent/recording/FrameTree.h"
#include "agent/recording/MethodFilterFlags.h"
#include "agent/recording/MethodStore.h"
#include "agent/recording/ThreadEvents.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/recording/TracingReplay.h"
#include "agent/recording/YNodeTree.h"
#include "tests/support/FreshProcess.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LoopbackSockets.h"
#include "tests/support/ScopedValue.h"
#include "tests/support/TableReplyReader.h"
#include "tests/support/TestDatabase.h"

// Traced entries and exits replayed from a thread's buffer into "cpu_profiling" rows: synthetic records
// of kinds 1 to 3 go through ThreadInfo::appendEvent and processThreadEvents, as the entry natives'
// records do.

namespace {

using namespace std::chrono_literals;

class ScopedProfilingFlags {
 public:
  explicit ScopedProfilingFlags(uint64_t value) : old(profilingFlags.exchange(value)) {}
  ~ScopedProfilingFlags() { profilingFlags.store(old); }
  ScopedProfilingFlags(const ScopedProfilingFlags&) = delete;
  ScopedProfilingFlags& operator=(const ScopedProfilingFlags&) = delete;

 private:
  const uint64_t old;
};

// A record of the thread registry's live set for a test's length.
class LiveThread {
 public:
  explicit LiveThread(ThreadInfo* thread) : thread(thread) {
    threadRegistry().liveThreads.add(reinterpret_cast<int64_t>(thread));
  }
  ~LiveThread() { threadRegistry().liveThreads.remove(reinterpret_cast<int64_t>(thread)); }
  LiveThread(const LiveThread&) = delete;
  LiveThread& operator=(const LiveThread&) = delete;

 private:
  ThreadInfo* const thread;
};

using Record = std::vector<uint32_t>;

uint32_t low(int64_t value) { return uint32_t(uint64_t(value)); }
uint32_t high(int64_t value) { return uint32_t(uint64_t(value) >> 32); }

Record tracedStack(int32_t node, int64_t wallNs, int64_t cpuNs, int32_t epoch) {
  return {eventTracedStack, uint32_t(node), low(wallNs), high(wallNs), low(cpuNs), high(cpuNs), uint32_t(epoch)};
}
Record entered(int32_t method, int64_t startNs, int32_t epoch, int32_t line = 0) {
  return {eventMethodEntry, uint32_t(method), low(startNs), high(startNs), uint32_t(epoch), uint32_t(line)};
}
Record exited(int32_t method, int64_t exitNs, int32_t epoch) {
  return {eventMethodExit, uint32_t(method), low(exitNs), high(exitNs), uint32_t(epoch)};
}

// What a thread's "cpu_profiling" row of a frame holds.
struct Charge {
  int64_t time;
  int64_t count;
  bool operator==(const Charge& o) const { return time == o.time && count == o.count; }
};
std::ostream& operator<<(std::ostream& out, const Charge& c) {
  return out << "{" << c.time << " ns, " << c.count << "}";
}

// The methods main, work and leaf; io, a wall-time method; two methods the adaptive filter excluded.
class TracingReplay : public DatabaseTest {
 protected:
  void SetUp() override {
    main = method("main");
    work = method("work");
    leaf = method("leaf");
    io = method("io");
    excluded = method("excluded");
    excludedInner = method("excludedInner");
    database->methods.getRow(io, false)->flags |= methodWallTime;
    for (int32_t m : {excluded, excludedInner}) database->methods.getRow(m, false)->flags |= methodAdaptiveExcluded;
  }

  int32_t method(const char* name) {
    const int32_t id = getOrCreateMethod("test.Traced", name, "()", "void", "Traced.java", false);
    names[id] = name;
    return id;
  }

  std::unique_ptr<ThreadInfo> makeThread(ThreadHandle handle = 0) {
    return std::make_unique<ThreadInfo>(YString("worker"), YString("main"), handle, 0, nullptr, false);
  }

  // The node of the methods' stack, outermost first, in the thread's node tree.
  int32_t node(ThreadInfo& thread, std::initializer_list<int32_t> stack) {
    YNodeTree& tree = *getThreadNodeTree(&thread);
    int32_t current = 0;
    for (int32_t m : stack) current = tree.getChildByKey(current, m);
    return current;
  }
  // The frame of the methods' stack without lines, made when missing.
  static int32_t frame(std::initializer_list<int32_t> stack) {
    int32_t current = 0;
    for (int32_t m : stack) current = getOrCreateChildFrame(current, m, 0);
    return current;
  }

  void replay(ThreadInfo& thread, const std::vector<Record>& records) {
    for (const Record& record : records) thread.appendEvent(record.data(), int32_t(record.size()), false);
    processThreadEvents(&thread, held);
  }

  // "main/work:12" for the frame of work called from line 12 of main; "" for the root, "-1" for none.
  std::string pathOf(int32_t frameId) {
    if (frameId < 0) return "-1";
    std::string path;
    for (int32_t f = frameId; f >= 1; f = database->frames.findRow(f)->parent) {
      const int32_t key = database->frames.findRow(f)->codePointKey;
      std::string step = names[getFrameMethod(f)];
      if (isCompactCodePointKey(key)) step += ":" + std::to_string(compactCodePointLine(key));
      path = path.empty() ? step : step + "/" + path;
    }
    return path;
  }

  // Every "cpu_profiling" row of the thread, by the path of its frame.
  std::map<std::string, Charge> rowsOf(const ThreadInfo& thread) {
    std::map<std::string, Charge> rows;
    database->cpuProfiling.forEachRow([&](int64_t index, const CpuProfilingRecord& row) {
      const ThreadFrameRecord* pair = database->threadFrames.findRow(index);
      if (row.stamp < 1 || pair == nullptr || pair->threadNumber != thread.threadNumber) return;
      rows[pathOf(pair->frameId)] = {row.time, row.invocationCount};
    });
    return rows;
  }

  const int32_t epoch = tracingEpoch.load();
  int32_t main = 0, work = 0, leaf = 0, io = 0, excluded = 0, excludedInner = 0;
  std::map<int32_t, std::string> names;
};

std::string decimal(int64_t value) { return std::to_string(value); }

}  // namespace

TEST_F(TracingReplay, RecordsBecomeFramesCountsAndTimes) {
  const int32_t e = epoch, old = epoch - 1;
  struct Case {
    const char* name;
    std::vector<Record> records;
    std::map<std::string, Charge> rows;
    std::string frame;             // the current traced frame's path afterwards
    std::vector<uint64_t> starts;  // the open calls' start times afterwards
    std::vector<std::string> log;
    uint64_t mode = PROFILING_CPU_TRACING;
    bool allWallTime = false;
  };
  const std::unique_ptr<ThreadInfo> probe = makeThread();
  // The nodes of a thread's tree depend only on the order they are made in, which each case repeats.
  const auto stackNode = [&](std::initializer_list<int32_t> stack) { return node(*probe, stack); };
  const int32_t mainNode = stackNode({main});
  const int32_t workNode = stackNode({main, work});
  const int32_t ioWorkNode = stackNode({main, io, work});
  const int32_t leafNode = stackNode({main, leaf});
  const int32_t excludedNode = stackNode({excluded});
  const int32_t mainWorkFrame = frame({main, work});
  const std::vector<Case> cases = {
      {"an entry and its exit",
       {tracedStack(mainNode, 50000, 100, e), entered(work, 1000, e), exited(work, 1600, e), exited(main, 2100, e)},
       {{"main", {2000, 1}}, {"main/work", {600, 1}}},
       "",
       {},
       {}},
      {"each entry counts and each exit adds its time",
       {tracedStack(mainNode, 50000, 100, e), entered(work, 1000, e), exited(work, 1250, e), entered(work, 2000, e),
        exited(work, 2100, e)},
       {{"main", {0, 1}}, {"main/work", {350, 2}}},
       "main",
       {100},
       {}},
      {"the line of an entry makes a frame of its own",
       {tracedStack(mainNode, 50000, 100, e), entered(work, 1000, e, 12), exited(work, 1100, e), entered(work, 2000, e),
        exited(work, 2500, e)},
       {{"main", {0, 1}}, {"main/work:12", {100, 1}}, {"main/work", {500, 1}}},
       "main",
       {100},
       {}},
      {"a whole stack starts each open call by its method's clock",
       {tracedStack(ioWorkNode, 90000, 100, e), exited(work, 400, e), exited(io, 90700, e), exited(main, 1000, e)},
       {{"main", {900, 0}}, {"main/io", {700, 0}}, {"main/io/work", {300, 1}}},
       "",
       {},
       {}},
      {"while every method counts as wall time, every clock is the wall clock",
       {tracedStack(workNode, 90000, 100, e), exited(work, 90300, e)},
       {{"main/work", {300, 1}}},
       "main",
       {90000},
       {},
       PROFILING_CPU_TRACING,
       true},
      {"an exit at the root leaves no known stack, and the next entry records nothing",
       {tracedStack(mainNode, 50000, 100, e), exited(main, 600, e), exited(main, 700, e), entered(work, 800, e)},
       {{"main", {500, 1}}},
       "-1",
       {},
       {}},
      {"an exit passes over the excluded calls above its own uncharged",
       {tracedStack(mainNode, 50000, 100, e), entered(excluded, 1000, e), entered(excludedInner, 1100, e),
        exited(main, 3100, e)},
       {{"main", {3000, 1}}, {"main/excluded", {0, 1}}, {"main/excluded/excludedInner", {0, 1}}},
       "",
       {},
       {}},
      {"passing over excluded calls up to the root finds no call to end",
       {tracedStack(excludedNode, 50000, 100, e), exited(work, 500, e)},
       {{"excluded", {0, 1}}},
       "-1",
       {},
       {"warning: p_m_exit: 3_1: " + decimal(work) + " _frame=0 size1=0"}},
      {"an entry of an older epoch resets the thread",
       {tracedStack(mainNode, 50000, 100, e), entered(work, 1000, old), exited(work, 1100, e), entered(work, 1200, e)},
       {{"main", {0, 1}}},
       "-1",
       {},
       {"warning: p_m_enter: 1: " + decimal(work) + " event_gen: " + decimal(old) + " current: " + decimal(e)}},
      {"an exit of an older epoch resets the thread",
       {tracedStack(mainNode, 50000, 100, e), exited(main, 1000, old)},
       {{"main", {0, 1}}},
       "-1",
       {},
       {"warning: p_m_exit: 1: " + decimal(main) + " event_gen: " + decimal(old) + " current: " + decimal(e)}},
      {"a stack of an older epoch installs nothing",
       {tracedStack(workNode, 50000, 100, old), entered(leaf, 1000, e), exited(leaf, 1100, e)},
       {},
       "-1",
       {},
       {}},
      {"a stack of an older epoch drops the open calls",
       {tracedStack(mainNode, 50000, 100, e), entered(work, 1000, e), tracedStack(mainNode, 60000, 2000, old)},
       {{"main", {0, 1}}, {"main/work", {0, 1}}},
       "-1",
       {},
       {}},
      {"a stack of the epoch keeps the open calls it still runs in and charges the ended ones until it",
       {tracedStack(mainNode, 50000, 100, e), entered(work, 1000, e), tracedStack(leafNode, 60000, 5000, e)},
       {{"main", {0, 1}}, {"main/work", {4000, 1}}, {"main/leaf", {0, 1}}},
       "main/leaf",
       {100, 5000},
       {}},
      {"while tracing is off a stack sets the frame but starts no clock",
       {tracedStack(workNode, 50000, 100, e), exited(work, 500, e)},
       {{"main/work", {0, 1}}},
       "-1",
       {},
       {"warning: p_m_exit: 4: " + decimal(work) + " " + decimal(mainWorkFrame) + "->-1 name=worker"},
       PROFILING_CPU_SAMPLING},
      {"an entry of a method id below 1 resets the thread",
       {tracedStack(mainNode, 50000, 100, e), entered(-5, 1000, e), entered(0, 1000, e)},
       {{"main", {0, 1}}},
       "-1",
       {},
       {"warning: p_m_enter: invalid method id: -5"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedProfilingFlags mode(c.mode);
    ScopedValue<bool> allWall(allMethodsWallTime, c.allWallTime);
    database->cpuProfiling.clear();
    const std::unique_ptr<ThreadInfo> thread = makeThread();
    ASSERT_EQ(node(*thread, {main}), mainNode);
    ASSERT_EQ(node(*thread, {main, work}), workNode);
    ASSERT_EQ(node(*thread, {main, io, work}), ioWorkNode);
    ASSERT_EQ(node(*thread, {main, leaf}), leafNode);
    ASSERT_EQ(node(*thread, {excluded}), excludedNode);
    thread->stackSynchronised = true;
    LogCapture log;
    replay(*thread, c.records);
    EXPECT_EQ(rowsOf(*thread), c.rows);
    EXPECT_EQ(pathOf(thread->currentTracedFrame), c.frame);
    const YVector<uint64_t>& starts = thread->openFrameStartTimes;
    EXPECT_EQ(std::vector<uint64_t>(starts.data, starts.data + starts.size), c.starts);
    EXPECT_EQ(log.entries(), c.log);
    // Left without a known stack, the thread records its whole stack at its next entry.
    EXPECT_EQ(thread->stackSynchronised, c.frame != "-1");
  }
}

TEST_F(TracingReplay, AnExitOfAnotherMethodChargesEveryOpenCallUpToNowAndResets) {
  ScopedProfilingFlags mode(PROFILING_CPU_TRACING);
  const std::unique_ptr<ThreadInfo> thread = makeThread(getCurrentThreadHandle());
  const int64_t cpuStart = getCurrentThreadCpuTimeNs() - 1000;
  const int64_t wallStart = getTimeNs() - 5000000;
  // main by the CPU clock, io by the wall clock, work above it by the CPU clock again.
  replay(*thread,
         {tracedStack(node(*thread, {main, io}), wallStart, cpuStart, epoch), entered(work, cpuStart + 500, epoch)});
  LogCapture log;
  const int64_t wallBefore = getTimeNs();
  replay(*thread, {exited(leaf, cpuStart + 700, epoch)});
  const int64_t cpuAfter = getCurrentThreadCpuTimeNs();
  const int64_t wallAfter = getTimeNs();

  EXPECT_EQ(log.entries(),
            std::vector<std::string>{"warning: p_m_exit: 3_2: " + decimal(leaf) + " expected: " + decimal(work)});
  const std::map<std::string, Charge> rows = rowsOf(*thread);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_GE(rows.at("main").time, 1000);
  EXPECT_LE(rows.at("main").time, cpuAfter - cpuStart);
  EXPECT_GE(rows.at("main/io").time, wallBefore - wallStart);
  EXPECT_LE(rows.at("main/io").time, wallAfter - wallStart);
  EXPECT_GE(rows.at("main/io/work").time, 500);
  EXPECT_LE(rows.at("main/io/work").time, cpuAfter - cpuStart - 500);
  EXPECT_EQ(rows.at("main/io").count, 1);
  EXPECT_EQ(rows.at("main/io/work").count, 1);
  EXPECT_EQ(thread->currentTracedFrame, -1);
  EXPECT_EQ(thread->openFrameStartTimes.size, 0);
}

TEST_F(TracingReplay, OpenCallsAreChargedUpToNowAndRestartedFromNow) {
  ScopedProfilingFlags mode(PROFILING_CPU_TRACING);
  const std::unique_ptr<ThreadInfo> thread = makeThread(getCurrentThreadHandle());
  const int64_t cpuStart = getCurrentThreadCpuTimeNs() - 2000;
  const int64_t wallStart = getTimeNs() - 3000000;
  replay(*thread, {tracedStack(node(*thread, {main, io}), wallStart, cpuStart, epoch)});
  const int32_t tracedFrame = thread->currentTracedFrame;
  database->currentStamp = 6;

  const int64_t wallBefore = getTimeNs();
  chargeOpenTracedFrames(thread.get(), held);
  const int64_t cpuCharged = getCurrentThreadCpuTimeNs();
  const int64_t wallCharged = getTimeNs();
  std::map<std::string, Charge> rows = rowsOf(*thread);
  EXPECT_GE(rows["main"].time, 2000);
  EXPECT_LE(rows["main"].time, cpuCharged - cpuStart);
  EXPECT_GE(rows["main/io"].time, wallBefore - wallStart);
  EXPECT_LE(rows["main/io"].time, wallCharged - wallStart);
  EXPECT_EQ(
      database->cpuProfiling.getRow(database->getThreadFrameId(thread->threadNumber, frame({main}), false), false)
          ->stamp,
      6);
  EXPECT_EQ(thread->openFrameStartTimes.size, 0);
  EXPECT_EQ(thread->currentTracedFrame, tracedFrame);

  const int64_t cpuBefore = getCurrentThreadCpuTimeNs();
  const int64_t wallRestart = getTimeNs();
  restartOpenTracedFrames(thread.get(), held);
  const int64_t cpuAfter = getCurrentThreadCpuTimeNs();
  const int64_t wallAfter = getTimeNs();
  const YVector<uint64_t>& starts = thread->openFrameStartTimes;
  ASSERT_EQ(starts.size, 2);
  EXPECT_GE(int64_t(starts[0]), cpuBefore);  // main, outermost, by the CPU clock
  EXPECT_LE(int64_t(starts[0]), cpuAfter);
  EXPECT_GE(int64_t(starts[1]), wallRestart);  // io by the wall clock
  EXPECT_LE(int64_t(starts[1]), wallAfter);

  // The rest of a call is charged from the restart on: the exit adds only that.
  const int64_t ioBefore = rowsOf(*thread)["main/io"].time;
  replay(*thread, {exited(io, int64_t(starts[1]) + 400, epoch)});
  EXPECT_EQ(rowsOf(*thread)["main/io"].time, ioBefore + 400);
  EXPECT_EQ(pathOf(thread->currentTracedFrame), "main");

  // While tracing is off neither touches the open calls.
  {
    ScopedProfilingFlags off(PROFILING_CPU_SAMPLING);
    const std::map<std::string, Charge> before = rowsOf(*thread);
    chargeOpenTracedFrames(thread.get(), held);
    EXPECT_EQ(thread->openFrameStartTimes.size, 1);
    thread->openFrameStartTimes.size = 0;
    restartOpenTracedFrames(thread.get(), held);
    EXPECT_EQ(thread->openFrameStartTimes.size, 0);
    EXPECT_EQ(rowsOf(*thread), before);
  }
}

TEST_F(TracingReplay, ATableReplyAskingForCpuProfilingShowsOpenCallsAndRestartsTheirClocks) {
  ScopedProfilingFlags mode(PROFILING_CPU_TRACING);
  [[maybe_unused]] loopback::Session session;
  loopback::Connection client(0, 0);
  const std::unique_ptr<ThreadInfo> thread = makeThread(getCurrentThreadHandle());
  LiveThread live(thread.get());
  const int64_t wallStart = getTimeNs() - 4000000;
  const int64_t cpuStart = getCurrentThreadCpuTimeNs() - 1000;
  // Still in the buffer when the request comes: the reply replays it first.
  const Record stack = tracedStack(node(*thread, {io, work}), wallStart, cpuStart, epoch);
  thread->appendEvent(stack.data(), int32_t(stack.size()), false);

  const int64_t wallBefore = getTimeNs();
  writeTablesToSocket(nullptr, client.sender(), 1 << tableCpuProfiling, YVector<int32_t>());
  const int64_t cpuAfter = getCurrentThreadCpuTimeNs();
  const int64_t wallAfter = getTimeNs();
  const tablereply::Reply reply = tablereply::parseTableReply(client.drain(300ms));
  std::map<int32_t, std::vector<int64_t>> sent;
  for (const rowstream::Row& row : reply.tables.at(tableCpuProfiling)) sent[row.index] = row.values;
  const std::vector<int64_t> ioRow = sent.at(database->getThreadFrameId(thread->threadNumber, frame({io}), false));
  const std::vector<int64_t> workRow =
      sent.at(database->getThreadFrameId(thread->threadNumber, frame({io, work}), false));
  ASSERT_EQ(ioRow.size(), 2u);
  ASSERT_EQ(workRow.size(), 2u);
  EXPECT_GE(ioRow[0], wallBefore - wallStart);
  EXPECT_LE(ioRow[0], wallAfter - wallStart);
  EXPECT_EQ(ioRow[1], 0);
  EXPECT_GE(workRow[0], 1000);
  EXPECT_LE(workRow[0], cpuAfter - cpuStart);
  EXPECT_EQ(workRow[1], 1);

  const YVector<uint64_t>& starts = thread->openFrameStartTimes;
  ASSERT_EQ(starts.size, 2);
  EXPECT_GE(int64_t(starts[0]), wallBefore);
  EXPECT_LE(int64_t(starts[0]), wallAfter);
  EXPECT_LE(int64_t(starts[1]), cpuAfter);
  EXPECT_GT(int64_t(starts[1]), cpuStart);

  // A reply without the table leaves the open calls alone.
  const std::vector<uint64_t> kept(starts.data, starts.data + starts.size);
  const std::map<std::string, Charge> rows = rowsOf(*thread);
  writeTablesToSocket(nullptr, client.sender(), 1 << tableString, YVector<int32_t>());
  client.drain(300ms);
  EXPECT_EQ(std::vector<uint64_t>(starts.data, starts.data + starts.size), kept);
  EXPECT_EQ(rowsOf(*thread), rows);
}

TEST_F(TracingReplay, OpenCallsChargedForAWriteRestartHoweverTheWriteEnds) {
  ScopedProfilingFlags mode(PROFILING_CPU_TRACING);
  ScopedValue<bool> allWall(allMethodsWallTime, true);
  const std::unique_ptr<ThreadInfo> thread = makeThread();
  const std::unique_ptr<ThreadInfo> notLive = makeThread();
  LiveThread live(thread.get());
  const int64_t wallStart = getTimeNs() - 1000000;
  replay(*thread, {tracedStack(node(*thread, {main, work}), wallStart, 0, epoch)});
  replay(*notLive, {tracedStack(node(*notLive, {main}), wallStart, 0, epoch)});

  const int64_t wallBefore = getTimeNs();
  try {
    OpenTracedCallsCharged charged(true, held);
    EXPECT_EQ(thread->openFrameStartTimes.size, 0);
    EXPECT_GE(rowsOf(*thread)["main/work"].time, wallBefore - wallStart);
    throw std::runtime_error("the write failed");
  } catch (const std::runtime_error&) {
  }
  const int64_t wallAfter = getTimeNs();
  ASSERT_EQ(thread->openFrameStartTimes.size, 2);
  for (int32_t i = 0; i < 2; i++) {
    EXPECT_GE(int64_t(thread->openFrameStartTimes[i]), wallBefore);
    EXPECT_LE(int64_t(thread->openFrameStartTimes[i]), wallAfter);
  }
  // Only live threads are visited.
  EXPECT_EQ(notLive->openFrameStartTimes.size, 1);
  EXPECT_EQ(int64_t(notLive->openFrameStartTimes[0]), wallStart);

  // Not asked to charge: nothing happens on either side of the write.
  const std::vector<uint64_t> kept(thread->openFrameStartTimes.data, thread->openFrameStartTimes.data + 2);
  { OpenTracedCallsCharged untouched(false, held); }
  EXPECT_EQ(std::vector<uint64_t>(thread->openFrameStartTimes.data, thread->openFrameStartTimes.data + 2), kept);
}

TEST_F(TracingReplay, TheClearOfCpuDataResetsTheOpenCallsAndMakesEarlierRecordsStale) {
  ScopedProfilingFlags mode(PROFILING_CPU_TRACING);
  const std::unique_ptr<ThreadInfo> thread = makeThread();
  LiveThread live(thread.get());
  replay(*thread, {tracedStack(node(*thread, {main}), 0, 100, epoch), entered(work, 1000, epoch)});
  const Record lateExit = exited(work, 2000, epoch);  // written before the clear, replayed after it
  clearCpuProfilingData(held);
  EXPECT_EQ(thread->currentTracedFrame, -1);
  EXPECT_EQ(rowsOf(*thread), (std::map<std::string, Charge>{}));

  LogCapture log;
  replay(*thread, {lateExit});
  EXPECT_EQ(log.entries(), std::vector<std::string>{"warning: p_m_exit: 1: " + decimal(work) + " event_gen: " +
                                                    decimal(epoch) + " current: " + decimal(epoch + 1)});
  EXPECT_EQ(rowsOf(*thread), (std::map<std::string, Charge>{}));
}

TEST_F(TracingReplay, LinesAreTracedWhenTheJavaSideHasThem) {
  const bool saved = tracingLinesAvailable.load();
  tracingLinesAvailable = true;
  EXPECT_TRUE(isLineTracingEnabled());
  tracingLinesAvailable = false;
  EXPECT_FALSE(isLineTracingEnabled());
  tracingLinesAvailable = saved;
}

#ifndef _WIN32
// Both are read once per process: a fresh one sees the option set here.
TEST(TracingReplayOptions, WithTheLinesDisabledByOptionNoLineIsTraced) {
  inFreshProcess([] {
    globalOptions().hiddenOptions.add(YString("_tracing_disable_lines"));
    tracingLinesAvailable = true;
    return isLineTracingEnabled() ? std::string("lines traced") : std::string();
  });
}

TEST(TracingReplayOptions, TheDebugCategoryShowsTheDiagnosticsOfTheReplay) {
  inFreshProcess([] {
    globalOptions().debugCategories.add(YString("tracing"));
    ScopedProfilingFlags mode(PROFILING_CPU_TRACING);
    TestDatabase database;
    YCriticalSectionLock held(&ourLock(), "Test:1");
    const int32_t main = getOrCreateMethod("test.Traced", "main", "()", "void", "Traced.java", false);
    const int32_t skipped = getOrCreateMethod("test.Traced", "skipped", "()", "void", "Traced.java", false);
    database->methods.getRow(skipped, false)->flags |= methodAdaptiveExcluded;
    ThreadInfo thread(YString("worker"), YString("main"), 0, 0, nullptr, false);
    const int32_t epoch = tracingEpoch.load();
    const int32_t mainNode = getThreadNodeTree(&thread)->getChildByKey(0, main);
    const std::vector<Record> records = {
        exited(main, 100, epoch),     entered(main, 100, epoch), tracedStack(mainNode, 0, 100, epoch),
        entered(skipped, 200, epoch), exited(main, 300, epoch),  exited(main, 400, epoch)};
    LogCapture log;
    for (const Record& record : records) thread.appendEvent(record.data(), int32_t(record.size()), false);
    processThreadEvents(&thread, held);
    const std::vector<std::string> expected = {
        "warning: p_m_exit: 2: " + decimal(main), "warning: p_m_enter: 2: " + decimal(main),
        "p_m_exit: 3: " + decimal(main) + " skipping excluded: " + decimal(skipped),
        "warning: p_m_exit: leaving root: " + decimal(main)};
    return log.entries() == expected ? std::string() : std::string("unexpected log");
  });
}

// At most ten warnings per process, however many jumps follow.
TEST(TracingReplayTimeJumps, ANegativeTimeChargesNothingAndTheFirstTenAreLogged) {
  inFreshProcess([] {
    ScopedProfilingFlags mode(PROFILING_CPU_TRACING);
    TestDatabase database;
    YCriticalSectionLock held(&ourLock(), "Test:1");
    const int32_t main = getOrCreateMethod("test.Traced", "main", "()", "void", "Traced.java", false);
    const int32_t work = getOrCreateMethod("test.Traced", "work", "()", "void", "Traced.java", false);
    ThreadInfo thread(YString("worker"), YString("main"), 0, 0, nullptr, false);
    const int32_t epoch = tracingEpoch.load();
    std::vector<Record> records = {tracedStack(getThreadNodeTree(&thread)->getChildByKey(0, main), 0, 100, epoch)};
    for (int32_t i = 0; i < 12; i++) {
      records.push_back(entered(work, 5000 + i, epoch));
      records.push_back(exited(work, 4000, epoch));
    }
    LogCapture log;
    for (const Record& record : records) thread.appendEvent(record.data(), int32_t(record.size()), false);
    processThreadEvents(&thread, held);
    std::vector<std::string> expected;
    for (int32_t i = 0; i < 10; i++) expected.push_back("warning: tracing time jump: (1): 4000 " + decimal(5000 + i));
    if (log.entries() != expected) return std::string("unexpected warnings");
    const int32_t workFrame = getOrCreateChildFrame(getOrCreateChildFrame(0, main, 0), work, 0);
    const CpuProfilingRecord& row = *thread.getCpuProfilingRow(workFrame);
    if (row.time != 0 || row.invocationCount != 12) return std::string("charged ") + decimal(row.time);
    return tracingElapsedNs(10, 20, 2) == 0 && tracingElapsedNs(20, 10, 3) == 10 && log.entries().size() == 10
               ? std::string()
               : std::string("a later jump was logged");
  });
}
#endif
