#include "agent/support/HostQueries.h"

#include "agent/platform/Elevation.h"
#include "agent/platform/SystemInfo.h"

YString getHostName() {
  static const YString name = getComputerName();
  return name;
}

bool isAdministrator() {
  static const bool administrator = queryAdministratorMembership();
  return administrator;
}

int32_t isAdministratorImpl() { return isAdministrator() ? 1 : 0; }
