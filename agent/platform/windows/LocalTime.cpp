#include "agent/platform/LocalTime.h"

#include <windows.h>

LocalDateTime getLocalDateTime() {
  SYSTEMTIME local;
  GetLocalTime(&local);
  return LocalDateTime{local.wYear, local.wMonth,  local.wDay,         local.wHour,
                       local.wMinute, local.wSecond, local.wMilliseconds};
}

// SystemTimeToFileTime checks the fields; fields outside a 16-bit word are refused before they are cut.
int64_t fileTimeOfLocalTime(const LocalDateTime& local) {
  const int32_t fields[] = {local.year,   local.month,  local.day,        local.hour,
                            local.minute, local.second, local.millisecond};
  for (const int32_t field : fields) {
    if (field < 0 || field > 0xFFFF) return 0;
  }
  SYSTEMTIME system = {};
  system.wYear = WORD(local.year);
  system.wMonth = WORD(local.month);
  system.wDay = WORD(local.day);
  system.wHour = WORD(local.hour);
  system.wMinute = WORD(local.minute);
  system.wSecond = WORD(local.second);
  system.wMilliseconds = WORD(local.millisecond);
  FILETIME localTime;
  FILETIME utcTime;
  if (!SystemTimeToFileTime(&system, &localTime) || !LocalFileTimeToFileTime(&localTime, &utcTime)) return 0;
  return int64_t(uint64_t(utcTime.dwHighDateTime) << 32 | utcTime.dwLowDateTime);
}
