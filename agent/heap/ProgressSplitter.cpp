#include "agent/heap/ProgressSplitter.h"

#include "agent/support/FatalError.h"

void ProgressSplitter::report(int32_t percent) {
  if (percent <= progress.lastPercent) return;
  reportSnapshotProgress(progress, percent);
  progress.lastPercent = percent;
}

void ProgressSplitter::setRange(int32_t rangeFrom, int32_t rangeTo, int64_t units) {
  if (rangeTo <= rangeFrom || rangeTo < 1) assertionFailed("assertion failed: progress range", "ProgressSplitter", __LINE__);
  from = rangeFrom;
  to = rangeTo;
  total = units;
  count = 0;
  step = total / (to - from);
  if (step < 1) step = 1;
  nextThreshold = step;
  report(from);
}

void ProgressSplitter::unitDone() {
  count++;
  if (count < nextThreshold) return;
  nextThreshold += step;
  if (count > total) return;
  report(int32_t(from + (to - from) * count / total));
}
