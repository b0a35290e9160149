// YMap against std::unordered_map and YVector against std::vector: insertion and look-up of 10^6
// integer keys. Each benchmark reports ns_per_op, the time per key. Look-ups go in a scattered order,
// not the order of insertion, so that neither container gains from the order of its allocations.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "agent/support/YMap.h"
#include "agent/support/YVector.h"

namespace {

constexpr int32_t kKeys = 1000000;

// Distinct keys that look random: the 32-bit finalizer below is a bijection (xor-shifts and odd
// multipliers are each invertible).
int32_t keyAt(int32_t i) {
  uint32_t x = static_cast<uint32_t>(i);
  x ^= x >> 16;
  x *= 0x85ebca6bu;
  x ^= x >> 13;
  x *= 0xc2b2ae35u;
  x ^= x >> 16;
  return static_cast<int32_t>(x);
}

// A permutation of the indexes below kKeys: the multiplier is coprime with kKeys.
int32_t indexAt(int32_t i) { return static_cast<int32_t>(static_cast<uint64_t>(i) * 2654435761u % kKeys); }

void reportPerKey(benchmark::State& state) {
  state.counters["ns_per_op"] =
      benchmark::Counter(kKeys, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void YMapInsert(benchmark::State& state) {
  for (auto _ : state) {
    YMap<int32_t, int32_t> map;
    for (int32_t i = 0; i < kKeys; i++) map.put(keyAt(i), i);
    benchmark::DoNotOptimize(map.count);
  }
  reportPerKey(state);
}

void UnorderedMapInsert(benchmark::State& state) {
  for (auto _ : state) {
    std::unordered_map<int32_t, int32_t> map;
    for (int32_t i = 0; i < kKeys; i++) map[keyAt(i)] = i;
    benchmark::DoNotOptimize(map.size());
  }
  reportPerKey(state);
}

void YMapLookup(benchmark::State& state) {
  YMap<int32_t, int32_t> map;
  for (int32_t i = 0; i < kKeys; i++) map.put(keyAt(i), i);
  for (auto _ : state) {
    int64_t sum = 0;
    for (int32_t i = 0; i < kKeys; i++) sum += map.get(keyAt(indexAt(i)));
    benchmark::DoNotOptimize(sum);
  }
  reportPerKey(state);
}

void UnorderedMapLookup(benchmark::State& state) {
  std::unordered_map<int32_t, int32_t> map;
  for (int32_t i = 0; i < kKeys; i++) map[keyAt(i)] = i;
  for (auto _ : state) {
    int64_t sum = 0;
    for (int32_t i = 0; i < kKeys; i++) sum += map.find(keyAt(indexAt(i)))->second;
    benchmark::DoNotOptimize(sum);
  }
  reportPerKey(state);
}

void YVectorAdd(benchmark::State& state) {
  for (auto _ : state) {
    YVector<int32_t> vector;
    for (int32_t i = 0; i < kKeys; i++) vector.add(keyAt(i));
    benchmark::DoNotOptimize(vector.data);
  }
  reportPerKey(state);
}

void StdVectorPushBack(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<int32_t> vector;
    for (int32_t i = 0; i < kKeys; i++) vector.push_back(keyAt(i));
    benchmark::DoNotOptimize(vector.data());
  }
  reportPerKey(state);
}

void YVectorGet(benchmark::State& state) {
  YVector<int32_t> vector;
  for (int32_t i = 0; i < kKeys; i++) vector.add(keyAt(i));
  for (auto _ : state) {
    int64_t sum = 0;
    for (int32_t i = 0; i < kKeys; i++) sum += vector.get(indexAt(i));
    benchmark::DoNotOptimize(sum);
  }
  reportPerKey(state);
}

void StdVectorIndex(benchmark::State& state) {
  std::vector<int32_t> vector;
  for (int32_t i = 0; i < kKeys; i++) vector.push_back(keyAt(i));
  for (auto _ : state) {
    int64_t sum = 0;
    for (int32_t i = 0; i < kKeys; i++) sum += vector[indexAt(i)];
    benchmark::DoNotOptimize(sum);
  }
  reportPerKey(state);
}

}  // namespace

BENCHMARK(YMapInsert)->Unit(benchmark::kMillisecond);
BENCHMARK(UnorderedMapInsert)->Unit(benchmark::kMillisecond);
BENCHMARK(YMapLookup)->Unit(benchmark::kMillisecond);
BENCHMARK(UnorderedMapLookup)->Unit(benchmark::kMillisecond);
BENCHMARK(YVectorAdd)->Unit(benchmark::kMillisecond);
BENCHMARK(StdVectorPushBack)->Unit(benchmark::kMillisecond);
BENCHMARK(YVectorGet)->Unit(benchmark::kMillisecond);
BENCHMARK(StdVectorIndex)->Unit(benchmark::kMillisecond);
