#include "agent/recording/TracingSettings.h"

#include <charconv>

#include "agent/core/Options.h"
#include "agent/support/CommonUtils.h"
#include "agent/support/Formatting.h"
#include "agent/support/Log.h"

TracingSettings tracingSettings;

namespace {

constexpr char builtInText[] =
    "walltime=*\n"
    "adaptive=true\n"
    "adaptive_min_method_invocation_count=20000\n"
    "adaptive_max_average_method_time_ns=1000\n"
    "adaptive_min_method_time_percent=0.1\n";

// The leading decimal number (blanks and a "+" before it allowed), 0 when there is none. Not strtod:
// the JVM or its libraries may set a locale whose decimal separator is not ".".
double leadingDecimal(const YString& text) {
  const char* begin = text.data;
  const char* end = text.data + text.length;
  while (begin < end && (*begin == ' ' || (*begin >= '\t' && *begin <= '\r'))) begin++;
  if (begin < end && *begin == '+') begin++;
  double value = 0.0;
  if (std::from_chars(begin, end, value).ec != std::errc()) return 0.0;
  return value;
}

}  // namespace

void parseTracingSettings(TracingSettings& settings, const YString& text) {
  YVector<YString> lines;
  parseLines(&lines, text);
  YString rest;
  for (int32_t i = 0; i < lines.size; i++) {
    const YString& line = lines[i];
    if (startsWithRest(line, "walltime=", &rest)) {
      settings.wallTimePatterns.add(rest);
    } else if (startsWithRest(line, "adaptive=", &rest)) {
      if (rest.equals("true")) settings.adaptive = true;
      if (rest.equals("false")) settings.adaptive = false;
    } else if (startsWithRest(line, "adaptive_min_method_invocation_count=", &rest)) {
      settings.adaptiveMinMethodInvocationCount = rest.parseInt();
    } else if (startsWithRest(line, "adaptive_max_average_method_time_ns=", &rest)) {
      settings.adaptiveMaxAverageMethodTimeNs = rest.parseInt();
    } else if (startsWithRest(line, "adaptive_min_method_time_percent=", &rest)) {
      settings.adaptiveMinMethodTimePercent = leadingDecimal(rest);
    }
  }
}

void initTracingSettings(TracingSettings& settings, const YString& text) {
  parseTracingSettings(settings, builtInText);
  settings.wallTimePatterns.size = 0;
  parseTracingSettings(settings, text);
  YString message("TracingSettings: a=");
  message.append(settings.adaptive ? "1" : "0");
  message.append(" min_cnt=");
  message.appendLong(settings.adaptiveMinMethodInvocationCount);
  message.append(" max_avg=");
  message.appendLong(settings.adaptiveMaxAverageMethodTimeNs);
  message.append(" min_%=");
  message.append(formatDouble(settings.adaptiveMinMethodTimePercent, 3));
  appendSettingsText(message, text, builtInText);
  logMessage(message);
}

YString getTracingSettingsText(const YString* text) {
  if (text != nullptr) return *text;
  return readSettingsFile(globalOptions().tracingSettingsPath, "tracing.txt", builtInText);
}
