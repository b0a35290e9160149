#include "agent/platform/ProcessHandles.h"

#include "agent/platform/Processes.h"

uint32_t getProcessIdOfHandle(int64_t handle) {
  if (handle <= 0 || handle > INT32_MAX) return 0;
  const uint32_t pid = uint32_t(handle);
  return isProcessRunning(pid) ? pid : 0;
}
