#include "agent/platform/Processes.h"

#include <unistd.h>

void exitProcessImmediately(int32_t exitCode) { _exit(exitCode); }
