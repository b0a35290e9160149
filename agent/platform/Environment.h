#pragma once

#include "agent/support/YString.h"

// The variable's value; an unset and an empty variable both give the empty string.
YString y_getenv(const char* name);
// Logs "y_setenv: <name>=<value>", then sets the variable in the own process.
void y_setenv(const char* name, const char* value);
// Every variable as "name=value" lines joined by "\n", in the order the OS keeps them, without the
// hidden entries whose names begin with "=".
YString getEnvironment();
