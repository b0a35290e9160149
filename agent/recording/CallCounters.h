#pragma once

#include "agent/db/DBTable.h"

// Makes every row's value (count - base) 0 by setting its base to its count; rows whose base changes are
// stamped. Runs under "ourLock".
void resetCallCountBaseline(DBTable<CallCountRecord>& table, int32_t stamp);
void resetAllocationCountBaseline(DBTable<AllocObjectCountRecord>& table, int32_t stamp);
