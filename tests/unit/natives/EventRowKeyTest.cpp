#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "agent/db/EventRows.h"

TEST(EventRowKeys, KeysFollowEachOtherAndStayPositivePastTheLargestInt) {
  const int32_t saved = lastEventRowKey.load();
  const int32_t first = nextEventRowKey();
  EXPECT_GE(first, 1);
  EXPECT_EQ(nextEventRowKey(), first + 1);

  lastEventRowKey = INT32_MAX - 1;
  EXPECT_EQ(nextEventRowKey(), INT32_MAX);
  EXPECT_EQ(nextEventRowKey(), 1);
  EXPECT_EQ(nextEventRowKey(), 2);
  lastEventRowKey = saved;
}

TEST(EventRowKeys, ThreadsDrawingAtOnceNeverGetTheSameKey) {
  constexpr int threads = 4, perThread = 20000;
  std::vector<std::vector<int32_t>> drawn(threads);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; t++) {
    workers.emplace_back([&drawn, t] {
      for (int i = 0; i < perThread; i++) drawn[size_t(t)].push_back(nextEventRowKey());
    });
  }
  for (std::thread& worker : workers) worker.join();
  std::set<int32_t> keys;
  for (const std::vector<int32_t>& some : drawn) keys.insert(some.begin(), some.end());
  EXPECT_EQ(keys.size(), size_t(threads * perThread));
}
