#include "agent/platform/ProcessWatch.h"

#include <windows.h>

#include <new>

namespace {

HANDLE handleOf(int64_t value) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(value)); }

struct WatchThreadStart {
  void (*routine)(int64_t);
  int64_t watch;
};

DWORD WINAPI runWatchThread(LPVOID argument) {
  const WatchThreadStart start = *static_cast<WatchThreadStart*>(argument);
  delete static_cast<WatchThreadStart*>(argument);
  start.routine(start.watch);
  return 0;
}

}  // namespace

int64_t openProcessWatch(int64_t process, YString* failure) {
  HANDLE duplicate = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), handleOf(process), GetCurrentProcess(), &duplicate, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    *failure = YString("DuplicateHandle failed: ");
    failure->appendLong(int64_t(GetLastError()));
    return -1;
  }
  return int64_t(reinterpret_cast<intptr_t>(duplicate));
}

bool waitForProcessEnd(int64_t watch, int32_t* exitCode, YString* failure) {
  const DWORD waited = WaitForSingleObject(handleOf(watch), INFINITE);
  if (waited != WAIT_OBJECT_0) {
    *failure = YString("WaitForSingleObject failed: ");
    failure->appendLong(int64_t(waited));
    return false;
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(handleOf(watch), &code)) {
    *failure = YString("GetExitCodeProcess failed");
    return false;
  }
  *exitCode = int32_t(code);
  return true;
}

void closeProcessWatch(int64_t watch) { CloseHandle(handleOf(watch)); }

bool startProcessWatchThread(void (*routine)(int64_t watch), int64_t watch) {
  auto* start = new (std::nothrow) WatchThreadStart{routine, watch};
  if (start == nullptr) return false;
  HANDLE thread = CreateThread(nullptr, 0, runWatchThread, start, 0, nullptr);
  if (thread == nullptr) {
    delete start;
    return false;
  }
  CloseHandle(thread);
  return true;
}
