#include "agent/platform/Clocks.h"

#include <atomic>

#include "agent/support/FatalError.h"

// The clock rules that hold on every platform; the backends give the raw counter and the CPU times.

namespace {

std::atomic<int64_t> lastMonotonicNs{0};

// Every first caller computes the same value, so the guarded initialisation only saves the division.
double nanosecondsPerTick() {
  static const double scale = 1e9 / double(readPerformanceFrequency());
  return scale;
}

}  // namespace

int64_t getTimeNs() { return int64_t(double(readPerformanceCounter()) * nanosecondsPerTick()); }

int64_t getMonotonicTimeNs() {
  const int64_t value = getTimeNs();
  int64_t last = lastMonotonicNs.load();
  if (value <= last) return last;
  int64_t found = last;
  if (lastMonotonicNs.compare_exchange_strong(found, value)) return value;
  // Another thread stored a newer value in between; it is never smaller than `last`.
  if (found < last) assertionFailed("assertion failed", "OsSpecific", 364);
  return found;
}

YString logPerformanceFrequency() {
  YString text("PerformanceFrequency=");
  text.appendLong(readPerformanceFrequency());
  return text;
}
