#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "agent/platform/YCriticalSection.h"
#include "agent/support/NamedLocks.h"

namespace {

// Whether another thread gets `lock` within a generous wait; a lock still held would hang it for good.
bool anotherThreadCanTake(YCriticalSection& lock) {
  auto taken = std::async(std::launch::async, [&lock] { YCriticalSectionLock guard(&lock, "Test:1"); });
  return taken.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
}

}  // namespace

TEST(YCriticalSection, TheHolderMayEnterAgainAndAllEntriesMustBeLeft) {
  YCriticalSection& lock = ourLock();
  EXPECT_STREQ(lock.name.data, "ourLock");
  {
    YCriticalSectionLock outer(&lock, "Test:1");
    YCriticalSectionLock inner(&lock, "Test:2");
    EXPECT_EQ(inner.lock, &lock);
  }
  EXPECT_TRUE(anotherThreadCanTake(lock));
}

TEST(YCriticalSection, KeepsOtherThreadsOutWhileHeld) {
  YCriticalSection lock("TestLock");
  int64_t counter = 0;  // deliberately not atomic: only the lock keeps the increments whole
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; t++) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; i++) {
        YCriticalSectionLock guard(&lock, "Test:3");
        YCriticalSectionLock again(&lock, "Test:4");
        const int64_t seen = counter;
        if (i % 1000 == 0) std::this_thread::yield();
        counter = seen + 1;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter, 8 * 20000);
}

TEST(YCriticalSection, AnExceptionLeavingTheBlockReleasesTheLock) {
  YCriticalSection lock("TestLock");
  EXPECT_THROW(
      {
        YCriticalSectionLock guard(&lock, "Test:5");
        throw std::runtime_error("leaving");
      },
      std::runtime_error);
  EXPECT_TRUE(anotherThreadCanTake(lock));
}

TEST(YCriticalSection, AGuardOfNoLockDoesNothing) {
  YCriticalSectionLock guard(nullptr, "Test:6");
  EXPECT_EQ(guard.lock, nullptr);
}

TEST(YCriticalSection, TheProcessWideLocksCarryTheirNames) {
  EXPECT_STREQ(processListenerLock().name.data, "ProcessListenerLock");
  EXPECT_STREQ(javaObjectMapLock().name.data, "JavaObjectMapLock");
  EXPECT_STREQ(javaObjectMapLock2().name.data, "JavaObjectMapLock2");
  EXPECT_EQ(&ourLock(), &ourLock());
}
