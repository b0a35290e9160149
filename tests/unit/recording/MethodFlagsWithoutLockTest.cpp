#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "agent/recording/MethodStore.h"
#include "tests/support/TestDatabase.h"

// The method-entry natives read a method's flags without "ourLock" while other threads make methods
// under it, which grows the method table, and while the adaptive filter changes flags. Under the
// sanitizers a read of a freed or half-published array shows here.

namespace {

using MethodFlagsWithoutTheLock = DatabaseTest;

TEST_F(MethodFlagsWithoutTheLock, ReadsWhileMethodsAreMadeAndFlagsChangeSeeWholeFlagWords) {
  const int32_t toggled = getOrCreateMethod("Worker", "toggled", "()", "void", "", false);
  std::atomic<int32_t> newest{0};
  std::atomic<bool> done{false};
  std::atomic<int64_t> reads{0};
  std::atomic<int64_t> wrong{0};
  std::thread reader([&] {
    while (!done.load()) {
      const int32_t flags = getMethodFlags(toggled);
      if (flags != 0 && flags != methodAdaptiveExcluded) wrong++;
      // Methods named "invoke..." are never excluded, and that is the only flag they get.
      const int32_t id = newest.load(std::memory_order_acquire);
      if (id != 0 && getMethodFlags(id) != methodNeverExcluded) wrong++;
      reads++;
    }
  });
  // The writes start once the reader runs: on a loaded machine the thread may start late.
  while (reads.load() == 0) std::this_thread::yield();
  // The test holds the lock, as the agent's writers do; the reader needs none.
  for (int32_t i = 0; i < 40000; i++) {
    const int32_t id = getOrCreateMethod("Worker", ("invoke" + std::to_string(i)).c_str(), "()", "void", "", false);
    newest.store(id, std::memory_order_release);
    if (i % 2 == 0) {
      setMethodFlags(toggled, methodAdaptiveExcluded);
    } else {
      clearMethodFlags(toggled, methodAdaptiveExcluded);
    }
  }
  done.store(true);
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(0, wrong.load());
}

}  // namespace
