#include "agent/platform/ProcessHandles.h"

#include <windows.h>

uint32_t getProcessIdOfHandle(int64_t handle) {
  return uint32_t(GetProcessId(reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle))));
}
