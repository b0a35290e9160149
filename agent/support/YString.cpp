#include "agent/support/YString.h"

#include <cstring>

bool stringEquals(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return std::strcmp(a, b) == 0;
}

int32_t indexOfBytes(const void* buffer, int32_t length, const void* pattern, int32_t patternLength) {
  return YString::search(static_cast<const char*>(buffer), length, static_cast<const char*>(pattern), patternLength);
}

YString formatLong(int64_t value, int32_t width, char pad) {
  if (width < 1) assertionFailed("assertion failed", "YString", 139);
  const YString digits(value);
  YString result;
  for (int32_t i = digits.length; i < width; i++) result.append(pad);
  result.append(digits);
  return result;
}

YString toHex(int64_t value, int32_t digits) {
  if (digits < 1) assertionFailed("assertion failed", "YString", 691);
  if (digits > 16) assertionFailed("assertion failed", "YString", 692);
  static const char hexDigits[] = "0123456789ABCDEF";
  const uint64_t bits = uint64_t(value);
  YString result;
  for (int32_t shift = (digits - 1) * 4; shift >= 0; shift -= 4) result.append(hexDigits[(bits >> shift) & 0xF]);
  return result;
}

YString formatMemorySize(int64_t bytes) {
  YString result;
  result.appendLong(bytes / 1048576);
  result.append(" MB (=");
  result.appendLong(bytes);
  result.append(" bytes)");
  return result;
}

int32_t absInt(int32_t value) {
  if (value == INT32_MIN) return INT32_MAX;
  return value < 0 ? -value : value;
}

char16_t* newWideBuffer(int32_t count) { return allocZeroed<char16_t>(count); }
