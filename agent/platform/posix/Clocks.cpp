#include "agent/platform/Clocks.h"

#include <errno.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

namespace {

int64_t nanosecondsOf(const timespec& time) { return int64_t(time.tv_sec) * 1000000000 + time.tv_nsec; }

int64_t nanosecondsOf(const timeval& time) { return int64_t(time.tv_sec) * 1000000000 + int64_t(time.tv_usec) * 1000; }

// The kernel's CPU clock of one thread, as pthread_getcpuclockid makes it from the thread id: the
// complemented id shifted past the three clock bits, then "per thread" (4) and "scheduler time" (2).
clockid_t threadCpuClock(pid_t tid) { return clockid_t((~unsigned(tid) << 3) | 4 | 2); }

}  // namespace

int64_t readPerformanceCounter() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return nanosecondsOf(now);
}

int64_t readPerformanceFrequency() { return 1000000000; }

ThreadHandle getCurrentThreadHandle() { return ThreadHandle(syscall(SYS_gettid)); }

int64_t getCurrentThreadId() { return int64_t(syscall(SYS_gettid)); }

// A thread id holds nothing to release.
void closeThreadHandle(ThreadHandle) {}

int64_t getCurrentThreadCpuTimeNs() {
  timespec time;
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time) != 0) return -1;
  return nanosecondsOf(time);
}

// The kernel refuses the clock of an id that is not a live thread of this process. Only when the id
// space has wrapped around can an ended thread's id name a newer thread; the answer is then that
// thread's time, still a defined result.
int64_t getThreadCpuTimeNs(ThreadHandle thread) {
  if (thread <= 0 || thread > ThreadHandle(INT32_MAX)) return 0;  // id 0 would mean the calling thread
  timespec time;
  if (clock_gettime(threadCpuClock(pid_t(thread)), &time) != 0) return 0;
  return nanosecondsOf(time);
}

int64_t getProcessCpuTimeNs(int64_t* kernel) {
  if (kernel != nullptr) *kernel = -1;
  rusage usage;
  if (getrusage(RUSAGE_SELF, &usage) != 0) assertionFailed("assertion failed", "OsSpecific", 395);
  const int64_t kernelNs = nanosecondsOf(usage.ru_stime);
  if (kernel != nullptr) *kernel = kernelNs;
  return nanosecondsOf(usage.ru_utime) + kernelNs;
}

int64_t getOtherProcessCpuTimeNs(uint32_t pid) {
  if (pid == 0 || pid > uint32_t(INT32_MAX)) return -1;
  clockid_t clock;
  timespec time;
  if (clock_getcpuclockid(pid_t(pid), &clock) != 0 || clock_gettime(clock, &time) != 0) return -1;
  return nanosecondsOf(time);
}

// The first line of /proc/stat counts clock ticks of all processors: user, nice, system, idle, iowait,
// irq, softirq, steal. Busy time is user work (nice included) and kernel work (interrupts included);
// waiting for I/O is idle, and time stolen by a hypervisor was not spent here at all.
int64_t getSystemCpuTimeNs(int64_t* kernel) {
  if (kernel != nullptr) *kernel = -1;
  FILE* file = std::fopen("/proc/stat", "r");
  if (file == nullptr) return -1;
  unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0;
  const int fields =
      std::fscanf(file, "cpu %llu %llu %llu %llu %llu %llu %llu", &user, &nice, &system, &idle, &iowait, &irq, &softirq);
  std::fclose(file);
  const long ticksPerSecond = sysconf(_SC_CLK_TCK);
  if (fields != 7 || ticksPerSecond <= 0) return -1;
  const int64_t nanosecondsPerTick = 1000000000 / ticksPerSecond;
  const int64_t kernelNs = int64_t(system + irq + softirq) * nanosecondsPerTick;
  if (kernel != nullptr) *kernel = kernelNs;
  return int64_t(user + nice) * nanosecondsPerTick + kernelNs;
}

int64_t getSystemTimeMs() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void sleepMs(int32_t milliseconds) {
  if (milliseconds < 0) milliseconds = 0;
  timespec remaining{milliseconds / 1000, long(milliseconds % 1000) * 1000000};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}
