#pragma once

#include "agent/db/Records.h"

class DB;

// Every method counts as a wall-time method: the CPU settings' wall-time lines are "*" alone.
extern bool allMethodsWallTime;

// Recomputes the record's filter bits: methodWallTime for a wall-time method, methodAllWallTime while
// allMethodsWallTime is set; the adaptive filter's exclusions are cleared. A changed flag word is
// stamped with the current generation. Runs under "ourLock"; a null database is fatal.
void updateMethodFilterFlags(DB* database, MethodRecord& record);
