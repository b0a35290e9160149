#include "agent/platform/LocalTime.h"

#include <errno.h>
#include <time.h>

namespace {

constexpr int64_t secondsFrom1601To1970 = 11644473600LL;

bool isLeapYear(int32_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int32_t daysInMonth(int32_t year, int32_t month) {
  static const int32_t days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}

// The range that the Windows conversion accepts; mktime would quietly carry anything beyond it over.
bool isValid(const LocalDateTime& t) {
  return t.year >= 1601 && t.year <= 30827 && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
         t.day <= daysInMonth(t.year, t.month) && t.hour >= 0 && t.hour < 24 && t.minute >= 0 && t.minute < 60 &&
         t.second >= 0 && t.second < 60 && t.millisecond >= 0 && t.millisecond < 1000;
}

}  // namespace

LocalDateTime getLocalDateTime() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  tm local;
  localtime_r(&now.tv_sec, &local);
  return LocalDateTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                       local.tm_min,         local.tm_sec,     int32_t(now.tv_nsec / 1000000)};
}

// tm_isdst -1 lets mktime decide whether daylight saving time was in force at that moment. A result of
// -1 is also the valid second before 1970, so errno tells the failure.
int64_t fileTimeOfLocalTime(const LocalDateTime& local) {
  if (!isValid(local)) return 0;
  tm fields = {};
  fields.tm_year = local.year - 1900;
  fields.tm_mon = local.month - 1;
  fields.tm_mday = local.day;
  fields.tm_hour = local.hour;
  fields.tm_min = local.minute;
  fields.tm_sec = local.second;
  fields.tm_isdst = -1;
  errno = 0;
  const time_t seconds = mktime(&fields);
  if (seconds == time_t(-1) && errno != 0) return 0;
  return (int64_t(seconds) + secondsFrom1601To1970) * 10000000 + int64_t(local.millisecond) * 10000;
}
