#pragma once

#include <cstdint>

#include "agent/support/YString.h"

// The calling thread's return addresses, innermost first; at most `maxFrames` of them. Returns the count.
int32_t captureReturnAddresses(void** addresses, int32_t maxFrames);

// The loaded module whose image holds `address`: its full path (UTF-8) and load address. Both are
// cleared first and stay empty and 0 when no module holds it.
void findModuleOfAddress(const void* address, YString& modulePath, uint64_t& moduleBase);
