#include "agent/recording/SamplingSettings.h"

#include <algorithm>

#include "agent/core/Options.h"
#include "agent/support/CommonUtils.h"
#include "agent/support/Log.h"

SamplingSettings samplingSettings;

namespace {

constexpr char builtInText[] =
    "walltime=java.io.RandomAccessFile : readBytes(byte[], int, int)\n"
    "walltime=java.io.RandomAccessFile : read()\n"
    "walltime=java.io.RandomAccessFile : write(int)\n"
    "walltime=java.io.RandomAccessFile : writeBytes(byte[], int, int)\n"
    "walltime=java.net.SocketInputStream : socketRead0(java.io.FileDescriptor, byte[], int, int, int)\n"
    "walltime=java.net.SocketOutputStream : socketWrite0(java.io.FileDescriptor, byte[], int, int)\n"
    "walltime=java.lang.Thread : sleep(*)\n"
    "\n"
    "sampling_period_ms=20\n";

// Stores the value of an optional "-" and one or more digits when it is 1 or more. The magnitude stops
// growing at 2147483647, so that any number of digits saturates instead of overflowing.
void setPositive(const YString& text, int32_t& setting) {
  const bool negative = text.length > 0 && text.data[0] == '-';
  int32_t i = negative ? 1 : 0;
  if (i == text.length) return;
  int64_t magnitude = 0;
  for (; i < text.length; i++) {
    const char c = text.data[i];
    if (c < '0' || c > '9') return;
    magnitude = std::min<int64_t>(magnitude * 10 + (c - '0'), INT32_MAX);
  }
  if (!negative && magnitude >= 1) setting = int32_t(magnitude);
}

}  // namespace

void SamplingSettings::parse(const YString& text) {
  YVector<YString> lines;
  parseLines(&lines, text);
  YString rest;
  for (int32_t i = 0; i < lines.size; i++) {
    const YString& line = lines[i];
    if (startsWithRest(line, "walltime=", &rest)) {
      wallTimePatterns.add(rest);
    } else if (startsWithRest(line, "sampling_period_ms=", &rest)) {
      setPositive(rest, samplingPeriodMs);
    } else if (startsWithRest(line, "cpu_threshold_ms=", &rest)) {
      setPositive(rest, cpuThresholdMs);
    }
  }
}

void SamplingSettings::load(const YString& text) {
  cpuThresholdMs = 10;
  parse(builtInText);
  wallTimePatterns.size = 0;
  parse(text);
  YString message("SamplingSettings: sampling_period_ms = ");
  message.appendLong(samplingPeriodMs);
  appendSettingsText(message, text, builtInText);
  logMessage(message);
}

YString getSamplingSettingsText(const YString* text) {
  if (text != nullptr) return *text;
  return readSettingsFile(globalOptions().samplingSettingsPath, "sampling.txt", builtInText);
}
