#pragma once

#include <cstdint>

#include "agent/support/BZPRuntimeException.h"

// Reports a broken invariant and unwinds to the nearest native entry point with BZPRuntimeException.
// `file` is the bare source name callers use in their messages ("YString", "YMap"), `line` their line.
[[noreturn]] void fatalError(const char* message, const char* file, int32_t line);
[[noreturn]] void assertionFailed(const char* message, const char* file, int32_t line);
