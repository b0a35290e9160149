#pragma once

#include <cstdint>

#include "agent/support/YString.h"

// All times are signed 64-bit nanoseconds. Wall-clock intervals come from the performance counter,
// CPU times from the kernel's accounting.

// Nanoseconds that never go back across threads: the counter scaled to nanoseconds, raised to the
// largest value any thread has been given before.
int64_t getMonotonicTimeNs();
// The counter scaled to nanoseconds, without the guard; the tracing clock.
int64_t getTimeNs();

// The raw counter and its ticks per second, which the two clocks scale. On Linux the counter is
// CLOCK_MONOTONIC in nanoseconds, so its frequency is 1000000000.
int64_t readPerformanceCounter();
int64_t readPerformanceFrequency();
// "PerformanceFrequency=<ticks per second>", for the log header.
YString logPerformanceFrequency();

// A handle through which another thread may ask for a thread's CPU time; 0 is no thread. On Windows it
// is a duplicated thread HANDLE, owned by whoever asked for it and released with closeThreadHandle. On
// Linux it is the kernel thread id, which owns nothing: the per-thread CPU clock made from it answers
// only for a live thread of this process, so a thread that has ended gives the failure value instead of
// touching freed thread state.
using ThreadHandle = intptr_t;

ThreadHandle getCurrentThreadHandle();
// The operating system's identifier of the calling thread.
int64_t getCurrentThreadId();
void closeThreadHandle(ThreadHandle thread);

// User plus kernel time of the calling thread; -1 on failure.
int64_t getCurrentThreadCpuTimeNs();
// User plus kernel time of the thread behind the handle; 0 on failure, and for an ended thread on Linux.
int64_t getThreadCpuTimeNs(ThreadHandle thread);
// User plus kernel time of the own process; `kernel` (may be null) gets the kernel part, and -1 before
// the query. The own process's times cannot be missing, so a failure is fatal.
int64_t getProcessCpuTimeNs(int64_t* kernel);
// User plus kernel time of another process; -1 when it cannot be opened or queried.
int64_t getOtherProcessCpuTimeNs(uint32_t pid);
// Busy time of all processors of the machine (user plus kernel, idle left out); `kernel` (may be null)
// gets the kernel part. -1 on failure, and `kernel` stays -1.
int64_t getSystemCpuTimeNs(int64_t* kernel);

// Wall-clock milliseconds since 1970-01-01 UTC.
int64_t getSystemTimeMs();
void sleepMs(int32_t milliseconds);
