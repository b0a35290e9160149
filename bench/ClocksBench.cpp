// The clocks that sit on hot paths: the monotonic clock stamps every event and sample, the plain clock
// and the thread CPU time time every traced call. The monotonic clock is also measured from eight
// threads at once, where its one compare-and-swap is contended. The raw counter underneath them is the
// reference: what the clocks add to it is their own cost.

#include <benchmark/benchmark.h>

#include "agent/platform/Clocks.h"

namespace {

void BM_ReadPerformanceCounter(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(readPerformanceCounter());
}
BENCHMARK(BM_ReadPerformanceCounter);

void BM_GetMonotonicTimeNs(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(getMonotonicTimeNs());
}
BENCHMARK(BM_GetMonotonicTimeNs);
BENCHMARK(BM_GetMonotonicTimeNs)->Threads(8)->UseRealTime();

void BM_GetTimeNs(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(getTimeNs());
}
BENCHMARK(BM_GetTimeNs);

void BM_GetCurrentThreadCpuTimeNs(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(getCurrentThreadCpuTimeNs());
}
BENCHMARK(BM_GetCurrentThreadCpuTimeNs);

}  // namespace
