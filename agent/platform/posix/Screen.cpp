#include "agent/platform/Screen.h"

// The agent has no display connection of its own to ask.
int32_t getScreenLogicalDpiX() { return 0; }
