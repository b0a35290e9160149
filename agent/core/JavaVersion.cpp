#include "agent/core/JavaVersion.h"

bool ourIsIbm = false;
