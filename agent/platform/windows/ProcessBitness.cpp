#include "agent/platform/ProcessBitness.h"

#include <windows.h>

#include <atomic>

namespace {

using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);

// Kept once found; a failed look-up is tried again on the next call.
std::atomic<IsWow64ProcessFunction> isWow64Process{nullptr};

IsWow64ProcessFunction lookUpIsWow64Process() {
  IsWow64ProcessFunction found = isWow64Process.load();
  if (found != nullptr) return found;
  HMODULE kernel = GetModuleHandleW(L"kernel32");
  if (kernel == nullptr) return nullptr;
  found = reinterpret_cast<IsWow64ProcessFunction>(reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")));
  isWow64Process.store(found);
  return found;
}

}  // namespace

int32_t getProcessBitness(uint32_t pid) {
  const IsWow64ProcessFunction query = lookUpIsWow64Process();
  if (query == nullptr) return -1;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return -2;
  BOOL wow64 = FALSE;
  const int32_t bitness = !query(process, &wow64) ? -3 : wow64 ? 32 : 64;
  CloseHandle(process);
  return bitness;
}
