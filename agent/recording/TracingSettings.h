#pragma once

#include <cstdint>

#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// The CPU tracing settings of "tracing.txt": the wall-time method patterns and the thresholds of the
// adaptive filter, which excludes methods that are called often, run briefly and still take a share of
// the tracing time.
struct TracingSettings {
  YVector<YString> wallTimePatterns;  // as written after "walltime="
  bool adaptive = false;
  int32_t adaptiveMinMethodInvocationCount = -1;
  int32_t adaptiveMaxAverageMethodTimeNs = -1;
  double adaptiveMinMethodTimePercent = 0.0;
};

// Those of the running CPU tracing. Changed under "ourLock".
extern TracingSettings tracingSettings;

// Applies the text's lines: "walltime=" appends a pattern; "adaptive=" takes "true" or "false" and
// leaves the flag for any other value; the two counts take an optional "-" and digits (0 for anything
// else); "adaptive_min_method_time_percent=" takes the leading decimal number of its value (0 when
// none). Other lines are ignored.
void parseTracingSettings(TracingSettings& settings, const YString& text);

// The built-in settings without their wall-time patterns, then the text's lines, which keep only their
// own patterns. Logs the thresholds ("(default)" for an empty or the built-in text, else the text).
void initTracingSettings(TracingSettings& settings, const YString& text);

// A copy of the given text; without one (null), the file the option "tracing_settings_path=" names,
// else "tracing.txt" in the settings directory, and the built-in text when that cannot be opened.
YString getTracingSettingsText(const YString* text);
