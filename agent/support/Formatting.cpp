#include "agent/support/Formatting.h"

#include <cstdio>

#include "agent/platform/LocalTime.h"
#include "agent/platform/SystemInfo.h"

YString formatLocalTime() {
  const LocalDateTime now = getLocalDateTime();
  char text[32];
  std::snprintf(text, sizeof(text), "%04d%02d%02d", int(now.year), int(now.month), int(now.day));
  return YString(text);
}

YString formatLocalTimeOfDay() {
  const LocalDateTime now = getLocalDateTime();
  char text[64];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d.%03d", int(now.year), int(now.month),
                int(now.day), int(now.hour), int(now.minute), int(now.second), int(now.millisecond));
  return YString(text);
}

YString formatDouble(double value, int32_t decimals) {
  char text[128];
  std::snprintf(text, sizeof(text), "%.*f", static_cast<int>(decimals), value);
  return YString(text);
}

YString getSystemErrorText(int32_t code) {
  YString text = getRuntimeErrorMessage(code);
  if (text.length == 0) text = YString("Unknown error");
  text.append(" (code ");
  text.appendLong(code);
  text.append(")");
  return text;
}

int64_t parseSignedDecimal(const char* text) {
  if (text == nullptr) assertionFailed("assertion failed: value is NULL", "Formatting", 49);
  const bool negative = *text == '-';
  if (negative) text++;
  uint64_t magnitude = 0;
  for (; *text >= '0' && *text <= '9'; text++) magnitude = magnitude * 10 + uint64_t(*text - '0');
  return negative ? int64_t(0 - magnitude) : int64_t(magnitude);
}
