#include "agent/platform/LocalTime.h"

#include <windows.h>

LocalDateTime getLocalDateTime() {
  SYSTEMTIME local;
  GetLocalTime(&local);
  return LocalDateTime{local.wYear, local.wMonth,  local.wDay,         local.wHour,
                       local.wMinute, local.wSecond, local.wMilliseconds};
}
