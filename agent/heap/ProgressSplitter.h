#pragma once

#include <cstdint>

#include "agent/db/Progress.h"

// Turns the units of work of one heap pass into percents of a snapshot's progress: a range of percents
// is spread over the pass's units, and a percent is reported each time a step's worth of units is done.
class ProgressSplitter {
 public:
  explicit ProgressSplitter(Progress& progress) : progress(progress) {}

  // Reports `percent` when it is higher than the last report.
  void report(int32_t percent);
  // Spreads the percents `from` to `to` over `total` units and reports `from`. `to` must exceed `from`.
  // A step is at least one unit, so a pass with fewer units than percents still runs: it reports
  // fewer percents.
  void setRange(int32_t from, int32_t to, int64_t total);
  void unitDone();

 private:
  Progress& progress;
  int32_t from = 0;
  int32_t to = 0;
  int64_t total = 0;
  int64_t count = 0;
  int64_t step = 1;
  int64_t nextThreshold = 1;
};
