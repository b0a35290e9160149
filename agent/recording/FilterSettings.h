#pragma once

#include <cstdint>

#include "agent/support/YString.h"

// At each start of CPU profiling: loads the settings of the starting mode (the profiling mode word's CPU
// bits) from the given text, or from its settings file when there is none (null), and installs their
// wall-time filters. Call counting and asynchronous sampling get no wall-time filters, and call counting
// reads no settings. Returns the settings text used, empty for call counting. The caller holds "ourLock".
YString loadFilterSettings(uint64_t mode, const YString* text);
