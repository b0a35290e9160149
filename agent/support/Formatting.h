#pragma once

#include <cstdint>

#include "agent/support/YString.h"

// The local date as eight digits, year, month and day: "20261209".
YString formatLocalTime();
// The local date and time "2026-12-09 22:23:09.042".
YString formatLocalTimeOfDay();
// `value` printed with "%.<decimals>f".
YString formatDouble(double value, int32_t decimals);
// The runtime library's message for an errno value, or "Unknown error", followed by " (code <n>)".
YString getSystemErrorText(int32_t code);
// An optional "-" and decimal digits, read up to the first other character; "" gives 0. A null text is
// an assertion failure.
int64_t parseSignedDecimal(const char* text);
