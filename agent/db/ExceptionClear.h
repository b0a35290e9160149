#pragma once

#include "agent/platform/YCriticalSection.h"

// Clears the exception statistics: the "exception" table is emptied and its "table_generation" row
// stamped, so that a reader drops the older rows. The caller holds "ourLock" (`held`). Events still
// buffered by threads are replayed first, so that none lands after the clear. `dbWriteInProgress` is set
// meanwhile. Fatal "db is NULL" without a database.
void clearExceptionStatistics(const YCriticalSectionLock& held);
