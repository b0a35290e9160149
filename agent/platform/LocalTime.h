#pragma once

#include <cstdint>

// The local date and time, to the millisecond.
struct LocalDateTime {
  int32_t year;
  int32_t month;
  int32_t day;
  int32_t hour;
  int32_t minute;
  int32_t second;
  int32_t millisecond;
};

LocalDateTime getLocalDateTime();

// The Windows FILETIME (100-ns units since 1601-01-01 UTC) of a local calendar time, the time zone's
// daylight saving rule applied; 0 when the fields are no valid date and time (month 1 to 12, a day of
// that month, hour below 24, minute and second below 60, millisecond below 1000, year 1601 to 30827).
int64_t fileTimeOfLocalTime(const LocalDateTime& local);
