#include "agent/platform/Clocks.h"

#include <windows.h>

namespace {

int64_t valueOf(const FILETIME& time) { return int64_t((uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime); }

// The kernel counts CPU time in units of 100 nanoseconds.
int64_t threadCpuTimeNs(HANDLE thread, int64_t failure) {
  FILETIME creation, exit, kernel, user;
  if (!GetThreadTimes(thread, &creation, &exit, &kernel, &user)) return failure;
  return (valueOf(kernel) + valueOf(user)) * 100;
}

HANDLE handleOf(ThreadHandle thread) { return reinterpret_cast<HANDLE>(thread); }

}  // namespace

int64_t readPerformanceCounter() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return counter.QuadPart;
}

int64_t readPerformanceFrequency() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return frequency.QuadPart;
}

ThreadHandle getCurrentThreadHandle() {
  HANDLE duplicate = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &duplicate, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return 0;
  }
  return reinterpret_cast<ThreadHandle>(duplicate);
}

int64_t getCurrentThreadId() { return int64_t(GetCurrentThreadId()); }

void closeThreadHandle(ThreadHandle thread) {
  if (thread != 0) CloseHandle(handleOf(thread));
}

int64_t getCurrentThreadCpuTimeNs() { return threadCpuTimeNs(GetCurrentThread(), -1); }

int64_t getThreadCpuTimeNs(ThreadHandle thread) {
  if (thread == 0) return 0;
  return threadCpuTimeNs(handleOf(thread), 0);
}

int64_t getProcessCpuTimeNs(int64_t* kernel) {
  if (kernel != nullptr) *kernel = -1;
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId());
  if (process == nullptr) assertionFailed("assertion failed: value is NULL", "OsSpecific", 393);
  FILETIME creation, exit, kernelTime, userTime;
  const BOOL read = GetProcessTimes(process, &creation, &exit, &kernelTime, &userTime);
  CloseHandle(process);
  if (!read) assertionFailed("assertion failed", "OsSpecific", 395);
  if (kernel != nullptr) *kernel = valueOf(kernelTime) * 100;
  return (valueOf(userTime) + valueOf(kernelTime)) * 100;
}

int64_t getOtherProcessCpuTimeNs(uint32_t pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (process == nullptr) return -1;
  FILETIME creation, exit, kernel, user;
  const BOOL read = GetProcessTimes(process, &creation, &exit, &kernel, &user);
  CloseHandle(process);
  if (!read) return -1;
  return (valueOf(kernel) + valueOf(user)) * 100;
}

// The kernel time that GetSystemTimes reports includes the idle time.
int64_t getSystemCpuTimeNs(int64_t* kernel) {
  if (kernel != nullptr) *kernel = -1;
  FILETIME idle, kernelTime, user;
  if (!GetSystemTimes(&idle, &kernelTime, &user)) return -1;
  const int64_t busyKernel = valueOf(kernelTime) - valueOf(idle);
  if (kernel != nullptr) *kernel = busyKernel * 100;
  return (valueOf(user) + busyKernel) * 100;
}

int64_t getSystemTimeMs() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (valueOf(now) - 116444736000000000LL) / 10000;
}

void sleepMs(int32_t milliseconds) { Sleep(DWORD(milliseconds < 0 ? 0 : milliseconds)); }
