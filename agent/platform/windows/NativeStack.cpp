#include "agent/platform/NativeStack.h"

#include <windows.h>
#include <psapi.h>

int32_t captureReturnAddresses(void** addresses, int32_t maxFrames) {
  return RtlCaptureStackBackTrace(0, static_cast<DWORD>(maxFrames), addresses, nullptr);
}

void findModuleOfAddress(const void* address, YString& modulePath, uint64_t& moduleBase) {
  modulePath = YString();
  moduleBase = 0;
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId());
  if (process == nullptr) return;
  HMODULE modules[512];
  DWORD bytesNeeded = 0;
  if (K32EnumProcessModules(process, modules, sizeof(modules), &bytesNeeded)) {
    const DWORD listed = bytesNeeded / sizeof(HMODULE);
    const DWORD count = listed < 512 ? listed : 512;
    const uintptr_t target = reinterpret_cast<uintptr_t>(address);
    for (DWORD i = 0; i < count; i++) {
      MODULEINFO info;
      if (!K32GetModuleInformation(process, modules[i], &info, sizeof(info))) continue;
      const uintptr_t start = reinterpret_cast<uintptr_t>(info.lpBaseOfDll);
      if (target < start || target - start >= info.SizeOfImage) continue;
      wchar_t name[520];
      const DWORD length = K32GetModuleFileNameExW(process, modules[i], name, 520);
      if (length > 0 && length < 520) {
        name[length] = 0;
        modulePath = toUtf8String(YWideString(reinterpret_cast<const char16_t*>(name)));
      }
      moduleBase = start;
      break;
    }
  }
  CloseHandle(process);
}
