#pragma once

#include <jni.h>

#include <cstdint>

#include "agent/support/YString.h"

// The computer's DNS host name, read once for the process; empty when it cannot be had.
YString getHostName();
// Whether the process has administrator rights, asked once and remembered for the process.
bool isAdministrator();
// Exported for the host application: non-zero when isAdministrator() holds.
extern "C" JNIEXPORT int32_t isAdministratorImpl();
