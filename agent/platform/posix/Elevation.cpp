#include "agent/platform/Elevation.h"

#include <unistd.h>

bool queryAdministratorMembership() { return geteuid() == 0; }

bool runAsAdministrator(const YString&, const YString&, int32_t*, bool) { return false; }
