#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/platform/Clocks.h"
#include "agent/platform/Processes.h"

namespace {

constexpr int64_t ms = 1000000;

// Keeps the calling thread on the processor for `wallMs` milliseconds of wall-clock time.
void spin(int64_t wallMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wallMs);
  volatile uint64_t sink = 0;
  while (std::chrono::steady_clock::now() < end) {
    for (int i = 0; i < 1000; i++) sink = sink + uint64_t(i);
  }
}

}  // namespace

// Each call must return at least the largest value any thread had been given before the call began.
TEST(Clocks, TheMonotonicClockNeverGoesBackAcrossThreads) {
  std::atomic<int64_t> largestGiven{0};
  std::atomic<int64_t> backwards{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; t++) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200000; i++) {
        const int64_t before = largestGiven.load();
        const int64_t value = getMonotonicTimeNs();
        if (value < before) backwards++;
        int64_t largest = before;
        while (value > largest && !largestGiven.compare_exchange_weak(largest, value)) {
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(backwards.load(), 0);
  EXPECT_GT(largestGiven.load(), 0);
}

TEST(Clocks, BothClocksCountNanosecondsOfTheCounter) {
  // The standard clock's interval encloses both of ours, so theirs can only be shorter, whatever the
  // scheduler does in between.
  const auto steadyBefore = std::chrono::steady_clock::now();
  const int64_t monotonicBefore = getMonotonicTimeNs();
  const int64_t plainBefore = getTimeNs();
  sleepMs(50);
  const int64_t plainElapsed = getTimeNs() - plainBefore;
  const int64_t monotonicElapsed = getMonotonicTimeNs() - monotonicBefore;
  const int64_t steadyElapsed =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - steadyBefore).count();
  // Windows ends a sleep on a timer tick, which may come a little early.
  EXPECT_GE(plainElapsed, 40 * ms);
  EXPECT_GE(monotonicElapsed, 40 * ms);
  EXPECT_LE(plainElapsed, steadyElapsed + 5 * ms);
  EXPECT_LE(monotonicElapsed, steadyElapsed + 5 * ms);

  const int64_t frequency = readPerformanceFrequency();
  EXPECT_GT(frequency, 0);
  EXPECT_EQ(std::string(logPerformanceFrequency().data), "PerformanceFrequency=" + std::to_string(frequency));
#ifndef _WIN32
  EXPECT_EQ(frequency, 1000000000);
#endif
}

TEST(Clocks, SystemTimeIsMillisecondsSince1970) {
  const int64_t expected = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
  EXPECT_NEAR(double(getSystemTimeMs()), double(expected), 1000.0);
}

TEST(Clocks, ThreadCpuTimeGrowsWhileBusyAndNotWhileAsleep) {
  const int64_t start = getCurrentThreadCpuTimeNs();
  ASSERT_GE(start, 0);
  spin(300);
  const int64_t afterSpin = getCurrentThreadCpuTimeNs();
  sleepMs(300);
  const int64_t afterSleep = getCurrentThreadCpuTimeNs();
  EXPECT_GE(afterSpin - start, 30 * ms);
  EXPECT_LT(afterSleep - afterSpin, 30 * ms);
}

TEST(Clocks, ThreadCpuTimeThroughAHandle) {
  std::mutex mutex;
  std::condition_variable changed;
  ThreadHandle handle = 0;
  bool spun = false;
  bool mayEnd = false;
  const int64_t askingBefore = getCurrentThreadCpuTimeNs();
  std::thread worker([&] {
    const ThreadHandle own = getCurrentThreadHandle();
    spin(200);
    std::unique_lock<std::mutex> lock(mutex);
    handle = own;
    spun = true;
    changed.notify_all();
    changed.wait(lock, [&] { return mayEnd; });
  });
  int64_t whileAlive;
  {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return spun; });
    ASSERT_NE(handle, 0);
    whileAlive = getThreadCpuTimeNs(handle);
    // The worker's time, not that of the asking thread, which has only waited meanwhile.
    EXPECT_GE(whileAlive, 20 * ms);
    EXPECT_GT(whileAlive, getCurrentThreadCpuTimeNs() - askingBefore + 10 * ms);
    mayEnd = true;
    changed.notify_all();
  }
  worker.join();
#ifdef _WIN32
  // Windows keeps the final times of an ended thread for as long as a handle is open; wine answers 0.
  const int64_t afterEnd = getThreadCpuTimeNs(handle);
  EXPECT_TRUE(afterEnd == 0 || afterEnd >= whileAlive) << afterEnd;
#else
  // The join returns once the thread is done with its stack; the kernel lets go of the task a little
  // later, and from then on its clock answers the failure value.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (getThreadCpuTimeNs(handle) != 0 && std::chrono::steady_clock::now() < deadline) sleepMs(1);
  EXPECT_EQ(getThreadCpuTimeNs(handle), 0);
#endif
  closeThreadHandle(handle);
  EXPECT_EQ(getThreadCpuTimeNs(0), 0);
}

TEST(Clocks, ProcessCpuTimeSplitsOffTheKernelPart) {
  spin(50);
  const int64_t thread = getCurrentThreadCpuTimeNs();
  int64_t kernel = -2;
  const int64_t before = getProcessCpuTimeNs(&kernel);
  EXPECT_GE(kernel, 0);
  EXPECT_LE(kernel, before);
  const int64_t viaPid = getOtherProcessCpuTimeNs(getOwnPid());
  const int64_t after = getProcessCpuTimeNs(nullptr);
  // The sources differ in how they round and in how much of the running slice they count yet, by less
  // than a few scheduler ticks.
  EXPECT_GE(before, thread - 16 * ms);
  EXPECT_GE(viaPid, before - 16 * ms);
  EXPECT_LE(viaPid, after + 16 * ms);
  EXPECT_GE(after, before);
}

TEST(Clocks, SystemCpuTimeIsBusyTimeWithItsKernelPart) {
  int64_t kernel = -2;
  const int64_t before = getSystemCpuTimeNs(&kernel);
  EXPECT_GT(before, 0);
  EXPECT_GE(kernel, 0);
  EXPECT_LE(kernel, before);
  spin(100);
  EXPECT_GE(getSystemCpuTimeNs(nullptr), before);
}
