#include "agent/platform/LocalTime.h"

#include <time.h>

LocalDateTime getLocalDateTime() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  tm local;
  localtime_r(&now.tv_sec, &local);
  return LocalDateTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                       local.tm_min,         local.tm_sec,     int32_t(now.tv_nsec / 1000000)};
}
