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
