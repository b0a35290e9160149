#pragma once

#include <cstdint>

// The process identifier behind a process handle as the Java side holds it (a jlong); 0 when the handle
// names no process. On Windows the handle is a HANDLE with query rights. Linux has no process handles:
// there the Java side holds the process id itself, which comes back while that process exists.
uint32_t getProcessIdOfHandle(int64_t handle);
