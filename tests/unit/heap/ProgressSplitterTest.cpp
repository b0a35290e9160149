#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "agent/heap/ProgressSplitter.h"
#include "tests/support/FatalErrorOutput.h"

// The percents a heap pass reports as its units are done.

namespace {

// The percents reported over a pass of `total` units in the range, each unit done in turn.
std::vector<int32_t> percentsOfPass(int32_t from, int32_t to, int64_t total) {
  Progress progress;
  ProgressSplitter splitter(progress);
  std::vector<int32_t> percents;
  splitter.setRange(from, to, total);
  percents.push_back(progress.lastPercent);
  for (int64_t unit = 0; unit < total; unit++) {
    const int32_t before = progress.lastPercent;
    splitter.unitDone();
    if (progress.lastPercent != before) percents.push_back(progress.lastPercent);
  }
  return percents;
}

}  // namespace

TEST(ProgressSplitter, APassReportsItsRangeInRisingStepsUpToItsEnd) {
  const struct {
    int32_t from, to;
    int64_t total;
    std::vector<int32_t> expected;
  } cases[] = {
      {25, 37, 12, {25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37}},
      {25, 37, 24, {25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37}},
      // Fewer units than percents: each unit is a step, and the pass still ends at its range's end.
      {25, 37, 3, {25, 29, 33, 37}},
      {52, 95, 1, {52, 95}},
      // A pass without units only reports where it starts.
      {37, 50, 0, {37}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, percentsOfPass(c.from, c.to, c.total)) << c.from << ".." << c.to << " over " << c.total;
  }
}

TEST(ProgressSplitter, OnlyAHigherPercentIsReported) {
  Progress progress;
  ProgressSplitter splitter(progress);
  splitter.report(20);
  splitter.report(18);
  EXPECT_EQ(20, progress.lastPercent);
  splitter.setRange(10, 15, 5);  // reports 10, lower than the last report: nothing
  splitter.unitDone();
  EXPECT_EQ(20, progress.lastPercent);
}

TEST(ProgressSplitter, AnEmptyRangeIsABrokenInvariant) {
  Progress progress;
  ProgressSplitter splitter(progress);
  EXPECT_NE(std::string::npos, fatalErrorOf([&] { splitter.setRange(30, 30, 100); }).find("assertion failed: progress range"));
}
