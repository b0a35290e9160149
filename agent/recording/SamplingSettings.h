#pragma once

#include <cstdint>

#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// The CPU sampling settings of "sampling.txt": lines "walltime=<method pattern>" (repeatable),
// "sampling_period_ms=<n>" and "cpu_threshold_ms=<n>".
struct SamplingSettings {
  YVector<YString> wallTimePatterns;  // as written after "walltime="
  int32_t samplingPeriodMs = 20;      // the sampler's sleep between cycles
  int32_t cpuThresholdMs = 10;        // kept with the settings; nothing reads it

  // Applies the text's lines: wall-time patterns are appended; a number is an optional "-" and digits,
  // values above 2147483647 count as 2147483647, and values below 1 or not numbers leave the setting.
  // Other lines are ignored, all without a message.
  void parse(const YString& text);
  // Starts again from the built-in settings without their wall-time patterns, applies the text and logs
  // the period ("(default)" for an empty or the built-in text, else the text itself).
  void load(const YString& text);
};

// Those the sampler thread and the wall-time filters of CPU sampling follow. Changed under "ourLock".
extern SamplingSettings samplingSettings;

// A copy of the given text; without one (null), the file the option "sampling_settings_path=" names,
// else "sampling.txt" in the settings directory, and the built-in text when that cannot be opened.
YString getSamplingSettingsText(const YString* text);
