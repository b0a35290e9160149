#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "agent/core/AgentFlags.h"
#include "agent/core/Options.h"
#include "agent/db/Clears.h"
#include "agent/db/DB.h"
#include "agent/recording/AdaptiveFilter.h"
#include "agent/recording/FrameTree.h"
#include "agent/recording/MethodFilterFlags.h"
#include "agent/recording/MethodStore.h"
#include "agent/recording/ThreadEvents.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/TracingSettings.h"
#include "agent/recording/YNodeTree.h"
#include "agent/support/Stopwatch.h"
#include "tests/support/FreshProcess.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedValue.h"
#include "tests/support/TestDatabase.h"

// The adaptive tracing filter: when a method is tested, what excludes it, and which callees go with it.

namespace {

constexpr int64_t second = 1000000000;
constexpr int32_t exclusionMask = methodAdaptiveExcluded | methodAdaptiveCalleeExcluded | methodNeverExcluded;

// The built-in thresholds: adaptive, tested from 20000 exits, below 1000 ns on average, above 0.1%.
TracingSettings builtInSettings() {
  TracingSettings settings;
  LogCapture quiet;
  initTracingSettings(settings, YString(""));
  return settings;
}

int32_t newMethod(const char* name) {
  return getOrCreateMethod("test.Adaptive", name, "()", "void", "Adaptive.java", false);
}

int32_t exclusionFlags(int32_t methodId) { return getMethodFlags(methodId) & exclusionMask; }

class AdaptiveFilter : public DatabaseTest {
 protected:
  AdaptiveFilter() { clearAdaptiveTracingFilter(held); }

  // The exit (1, 2, ...) at which the method became excluded, taking `elapsed` each, with the tracing
  // time of every exit `tracingTimeNs`; -1 when it still was not after `exits`.
  int32_t exitsUntilExcluded(int32_t methodId, int64_t elapsed, int64_t tracingTimeNs, int32_t exits) {
    for (int32_t n = 1; n <= exits; n++) {
      adaptiveTracingStepAt(methodId, elapsed, tracingStartUptimeNs + tracingTimeNs, held);
      if ((getMethodFlags(methodId) & methodAdaptiveExcluded) != 0) return n;
    }
    return -1;
  }

  ScopedValue<TracingSettings> settings{tracingSettings, builtInSettings()};
};

// A chain of child frames, outermost first, without lines.
int32_t frame(int32_t parent, std::initializer_list<int32_t> stack) {
  for (int32_t m : stack) parent = getOrCreateChildFrame(parent, m, 0);
  return parent;
}

std::string decimal(int64_t value) { return std::to_string(value); }

}  // namespace

TEST_F(AdaptiveFilter, AMethodIsTestedAtTheThresholdAndEvery32768ExitsAfterIt) {
  struct Case {
    const char* name;
    int64_t elapsed;
    int64_t tracingTimeNs;
    int32_t excludedAt;
    int32_t minCount = 20000;
    bool adaptive = true;
  };
  const Case cases[] = {
      {"short and a large share: tested and excluded at exit 20000", 100, 1 * second, 20000},
      // 0.08% at exit 20000; any later exit before the next test would already be above 0.1%.
      {"too small a share at the first test: the next is at exit 52768", 100, 2500000000, 52768},
      {"an average of exactly the maximum is not short", 1000, 1 * second, -1},
      {"an average just below the maximum is", 999, 1 * second, 20000},
      {"a share of exactly the minimum percent is not enough", 50, 1 * second, 52768},
      {"with a threshold of 0 every 32768th exit is tested", 100, 1 * second, 32768, 0},
      {"not adaptive: never tested", 100, 1 * second, -1, 20000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tracingSettings.adaptiveMinMethodInvocationCount = c.minCount;
    tracingSettings.adaptive = c.adaptive;
    const int32_t method = newMethod(c.name);
    EXPECT_EQ(exitsUntilExcluded(method, c.elapsed, c.tracingTimeNs, 90000), c.excludedAt);
  }
}

TEST_F(AdaptiveFilter, IdsBelowOneNameNoMethodAndAreIgnored) {
  const int32_t method = newMethod("bystander");
  for (int32_t id : {0, -1, -4096}) {
    SCOPED_TRACE(id);
    for (int32_t n = 0; n < 20000; n++) {
      ASSERT_NO_THROW(adaptiveTracingStepAt(id, 100, tracingStartUptimeNs + 1 * second, held));
    }
  }
  // They counted for no other method either.
  EXPECT_EQ(exitsUntilExcluded(method, 100, 1 * second, 20000), 20000);
}

TEST_F(AdaptiveFilter, WithoutTracingTimeTheTestWarnsAndExcludesNothing) {
  const int32_t method = newMethod("early");
  for (int64_t tracingTime : {int64_t(0), int64_t(-5)}) {
    SCOPED_TRACE(tracingTime);
    clearAdaptiveTracingFilter(held);
    LogCapture log;
    EXPECT_EQ(exitsUntilExcluded(method, 100, tracingTime, 20000), -1);
    EXPECT_EQ(log.entries(),
              std::vector<std::string>{"adaptive_filter: warning: tracingTimeNs=" + decimal(tracingTime)});
  }
  // Its next test, with time gone by, can still exclude it.
  EXPECT_EQ(exitsUntilExcluded(method, 100, 1 * second, 32768), 32768);
}

TEST_F(AdaptiveFilter, AnExcludedMethodTakesEveryMethodBelowItsOutermostCallsWithIt) {
  // entry -> hot -> helper -> hot -> inner; entry -> other -> hot -> deep -> deeper; entry -> sibling.
  const int32_t entry = newMethod("entry"), hot = newMethod("hot"), helper = newMethod("helper");
  const int32_t inner = newMethod("inner"), other = newMethod("other"), deep = newMethod("deep");
  const int32_t deeper = newMethod("deeper"), sibling = newMethod("sibling"), before = newMethod("before");
  const int32_t root = frame(0, {entry});
  frame(root, {hot, helper, hot, inner});
  frame(root, {other, hot, deep, deeper});
  frame(root, {sibling});
  // A callee excluded on its own account keeps its own mark.
  frame(root, {hot, before});
  setMethodFlags(before, methodAdaptiveExcluded);
  for (int32_t m : {entry, hot, helper, inner, other, deep, deeper, sibling})
    database->methods.getRow(m, false)->stamp = 3;
  database->currentStamp = 9;

  EXPECT_EQ(exitsUntilExcluded(hot, 100, 1 * second, 20000), 20000);
  EXPECT_EQ(exclusionFlags(hot), methodAdaptiveExcluded);
  for (int32_t callee : {helper, inner, deep, deeper}) {
    EXPECT_EQ(exclusionFlags(callee), methodAdaptiveExcluded | methodAdaptiveCalleeExcluded) << callee;
    EXPECT_EQ(database->methods.getRow(callee, false)->stamp, 9) << callee;
  }
  EXPECT_EQ(exclusionFlags(before), methodAdaptiveExcluded);
  for (int32_t untouched : {entry, other, sibling}) {
    EXPECT_EQ(exclusionFlags(untouched), 0) << untouched;
    EXPECT_EQ(database->methods.getRow(untouched, false)->stamp, 3) << untouched;
  }
  EXPECT_EQ(database->methods.getRow(hot, false)->stamp, 9);
}

TEST_F(AdaptiveFilter, AMethodNeverToBeExcludedStaysSoButItsCalleesDoNot) {
  // Names beginning with "invoke" are never excluded.
  const int32_t guarded = newMethod("invokeHandler"), hot = newMethod("hot"), below = newMethod("below");
  ASSERT_EQ(exclusionFlags(guarded), methodNeverExcluded);
  frame(0, {hot, guarded, below});

  LogCapture log;
  // Short enough, and 1.8% of the tracing time at its first test.
  EXPECT_EQ(exitsUntilExcluded(guarded, 900, 1 * second, 60000), -1);
  EXPECT_EQ(exitsUntilExcluded(hot, 100, 1 * second, 20000), 20000);
  EXPECT_EQ(exclusionFlags(guarded), methodNeverExcluded);
  EXPECT_EQ(exclusionFlags(below), methodAdaptiveExcluded | methodAdaptiveCalleeExcluded);
  EXPECT_EQ(log.entries(), std::vector<std::string>{});  // the diagnostics belong to the debug category
}

TEST_F(AdaptiveFilter, TheClearOfCpuDataForgetsTheCountsAndStartsTheTracingTime) {
  const int32_t method = newMethod("cleared");
  EXPECT_EQ(exitsUntilExcluded(method, 100, 1 * second, 19999), -1);
  const int64_t before = stopwatchElapsedNs(agentUptimeStopwatch());
  clearCpuProfilingData(held);
  const int64_t after = stopwatchElapsedNs(agentUptimeStopwatch());
  EXPECT_GE(tracingStartUptimeNs, before);
  EXPECT_LE(tracingStartUptimeNs, after);
  // Counted from the clear on: exit 20000 of the old count would have been this one.
  EXPECT_EQ(exitsUntilExcluded(method, 100, 1 * second, 20000), 20000);
}

TEST_F(AdaptiveFilter, ReplayedExitsFeedTheFilterAndLaterExitsPassOverTheExcludedCalls) {
  const uint64_t savedMode = profilingFlags.exchange(PROFILING_CPU_TRACING);
  ScopedValue<bool> cpuClock(allMethodsWallTime, false);
  // A second of tracing so far: 20000 exits of 100 ns are 0.2% of it.
  ScopedValue<int64_t> start(tracingStartUptimeNs, stopwatchElapsedNs(agentUptimeStopwatch()) - 1 * second);
  const int32_t main = newMethod("main"), hot = newMethod("hot");
  ThreadInfo thread(YString("worker"), YString("main"), 0, 0, nullptr, false);
  const int32_t epoch = tracingEpoch.load();
  const auto append = [&](std::vector<uint32_t> record) {
    thread.appendEvent(record.data(), int32_t(record.size()), false);
  };
  append(
      {eventTracedStack, uint32_t(getThreadNodeTree(&thread)->getChildByKey(0, main)), 0, 0, 10, 0, uint32_t(epoch)});
  for (uint32_t i = 0; i < 20000; i++) {
    append({eventMethodEntry, uint32_t(hot), 1000 + 1000 * i, 0, uint32_t(epoch), 0});
    append({eventMethodExit, uint32_t(hot), 1100 + 1000 * i, 0, uint32_t(epoch)});
  }
  processThreadEvents(&thread, held);
  EXPECT_EQ(exclusionFlags(hot), methodAdaptiveExcluded);

  // An entry recorded before the mark was seen: its exit never comes, the caller's does.
  append({eventMethodEntry, uint32_t(hot), 30000000, 0, uint32_t(epoch), 0});
  append({eventMethodExit, uint32_t(main), 40000010, 0, uint32_t(epoch)});
  processThreadEvents(&thread, held);
  EXPECT_EQ(thread.currentTracedFrame, 0);
  const CpuProfilingRecord& mainRow = *thread.getCpuProfilingRow(frame(0, {main}));
  const CpuProfilingRecord& hotRow = *thread.getCpuProfilingRow(frame(0, {main, hot}));
  EXPECT_EQ(mainRow.time, 40000000);
  EXPECT_EQ(hotRow.time, 20000 * 100);
  EXPECT_EQ(hotRow.invocationCount, 20001);
  profilingFlags.store(savedMode);
}

#ifndef _WIN32
// The debug category is read once per process: a fresh one sees it set here.
TEST(AdaptiveFilterDebug, TheDebugCategoryShowsWhatIsExcludedAndWhy) {
  inFreshProcess([] {
    globalOptions().debugCategories.add(YString("tracing"));
    TestDatabase database;
    YCriticalSectionLock held(&ourLock(), "Test:1");
    ScopedValue<TracingSettings> settings(tracingSettings, builtInSettings());
    const int32_t hot = newMethod("hot"), callee = newMethod("callee");
    frame(0, {hot, callee});
    clearAdaptiveTracingFilter(held);
    LogCapture log;
    for (int32_t n = 0; n < 52768; n++) adaptiveTracingStepAt(hot, 100, tracingStartUptimeNs + 1 * second, held);
    const std::vector<std::string> expected = {
        "adaptive_filter: method #" + decimal(hot) +
            ": test.Adaptive.hot()\n  cnt=20000 avg_ns=100 time_ns=2000000 (0.200% at tracing_time_ms=1000)",
        "adaptive_filter: (exclude callee) method #" + decimal(callee) + ": test.Adaptive.callee()",
        "adaptive_filter: (already excluded) method #" + decimal(hot) + ": test.Adaptive.hot()"};
    std::string logged;
    for (const std::string& entry : log.entries()) logged += "[" + entry + "]";
    return log.entries() == expected ? std::string() : "logged " + logged;
  });
}
#endif
