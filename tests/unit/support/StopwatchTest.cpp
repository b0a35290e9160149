#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "agent/platform/Clocks.h"
#include "agent/support/NamedLocks.h"
#include "agent/support/Stopwatch.h"
#include "tests/support/LogCapture.h"

namespace {

constexpr int64_t ms = 1000000;
const std::string announcement =
    "Uptime correction will be performed (it's the last log entry with non-corrected timestamp)...";

// A stopwatch that was started `agoMs` milliseconds before now.
void startAgo(Stopwatch& stopwatch, int64_t agoMs) {
  stopwatchStart(stopwatch);
  stopwatch.start -= agoMs * ms;
}

// The diff that the second log line of a correction reports, after checking both lines.
int64_t loggedDiff(const LogCapture& log, int64_t etalonMs) {
  const std::vector<std::string> entries = log.entries();
  EXPECT_EQ(entries.size(), 2u);
  if (entries.size() != 2) return 0;
  EXPECT_EQ(entries[0], announcement);
  const std::string prefix = "Uptime corrected: etalon=" + std::to_string(etalonMs) + "ms diff=";
  const std::string& line = entries[1];
  EXPECT_EQ(line.rfind(prefix, 0), 0u) << line;
  EXPECT_EQ(line.substr(line.size() - 2), "ms") << line;
  return std::stoll(line.substr(prefix.size(), line.size() - 2 - prefix.size()));
}

}  // namespace

TEST(Stopwatch, MeasuresFromItsLastStart) {
  Stopwatch stopwatch;
  startAgo(stopwatch, 5000);
  EXPECT_GE(stopwatchElapsedMs(stopwatch), 5000);
  stopwatchStart(stopwatch);
  sleepMs(20);
  const int64_t elapsedNs = stopwatchElapsedNs(stopwatch);
  EXPECT_GE(elapsedNs, 15 * ms);
  EXPECT_LT(elapsedNs, 5000 * ms);
  EXPECT_GE(stopwatchElapsedMs(stopwatch), elapsedNs / ms);
}

TEST(Stopwatch, TheAgentUptimeRunsFromLoadingOn) {
  Stopwatch& uptime = agentUptimeStopwatch();
  EXPECT_EQ(&uptime, &agentUptimeStopwatch());
  EXPECT_NE(uptime.start.load(), 0);
  EXPECT_LE(uptime.start.load(), getMonotonicTimeNs());
}

TEST(Stopwatch, CorrectingToALaterEtalonMovesTheStartBackByTheDiff) {
  Stopwatch stopwatch;
  startAgo(stopwatch, 100);
  const int64_t startBefore = stopwatch.start.load();
  LogCapture log;
  {
    YCriticalSectionLock held(&ourLock(), "StopwatchTest:1");
    correctUptime(stopwatch, held, 60000);
  }
  const int64_t diff = loggedDiff(log, 60000);
  EXPECT_GT(diff, 50000);
  EXPECT_LE(diff, 59900);
  EXPECT_EQ(stopwatch.start.load(), startBefore - diff * ms);
  EXPECT_GE(stopwatchElapsedMs(stopwatch), 60000);
}

TEST(Stopwatch, CorrectingToAnEarlierEtalonLogsANegativeDiffAndChangesNothing) {
  Stopwatch stopwatch;
  startAgo(stopwatch, 3000);
  const int64_t startBefore = stopwatch.start.load();
  LogCapture log;
  YCriticalSectionLock held(&ourLock(), "StopwatchTest:2");
  correctUptime(stopwatch, held, 1000);
  const int64_t diff = loggedDiff(log, 1000);
  EXPECT_LE(diff, -2000);
  EXPECT_GT(diff, -10000);
  EXPECT_EQ(stopwatch.start.load(), startBefore);
}

// The Java side hands any long; the extremes must neither overflow nor wrap the uptime around.
TEST(Stopwatch, CorrectingToExtremeEtalonsKeepsTheUptimeInRange) {
  YCriticalSectionLock held(&ourLock(), "StopwatchTest:3");
  Stopwatch stopwatch;
  stopwatchStart(stopwatch);
  {
    LogCapture log;
    correctUptime(stopwatch, held, INT64_MAX);
    EXPECT_GT(loggedDiff(log, INT64_MAX), 0);
  }
  const int64_t corrected = stopwatchElapsedNs(stopwatch);
  EXPECT_GT(corrected, INT64_MAX / 8);
  EXPECT_LT(corrected, INT64_MAX / 2);
  {
    LogCapture log;
    correctUptime(stopwatch, held, INT64_MAX);
    EXPECT_GT(loggedDiff(log, INT64_MAX), 0);
    EXPECT_GE(stopwatchElapsedNs(stopwatch), corrected);
    EXPECT_LT(stopwatchElapsedNs(stopwatch), INT64_MAX / 2);
  }
  {
    LogCapture log;
    const int64_t startBefore = stopwatch.start.load();
    correctUptime(stopwatch, held, INT64_MIN);
    EXPECT_LT(loggedDiff(log, INT64_MIN), 0);
    EXPECT_EQ(stopwatch.start.load(), startBefore);
  }
}
