#include "agent/platform/InterProcessMutex.h"

#include <windows.h>

#include "agent/platform/windows/WideText.h"
#include "agent/support/YString.h"

InterProcessMutex::InterProcessMutex(const char* name) : handle(nullptr) {
  if (name == nullptr) assertionFailed("assertion failed: value is NULL", "InterProcessMutex", __LINE__);
  const YWideString wideName = toWideString(YString(name));
  handle = CreateMutexW(nullptr, FALSE, wideData(wideName));
  if (handle == nullptr) handle = OpenMutexW(SYNCHRONIZE, FALSE, wideData(wideName));
}

// WAIT_ABANDONED also hands the mutex over: its holder ended while holding it.
void InterProcessMutex::lock() {
  if (handle != nullptr) WaitForSingleObject(handle, INFINITE);
}

void InterProcessMutex::unlock() {
  if (handle != nullptr) ReleaseMutex(handle);
}
