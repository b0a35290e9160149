#pragma once

#include "agent/platform/YCriticalSection.h"

// Clears the exception statistics: events still buffered by threads are replayed first, so that none
// lands after the clear; then the key map is made anew, every tag of the exception environment cleared,
// the "exception" table emptied and its "table_generation" row stamped, so that a reader drops the older
// rows. Object tags keep counting up from where they were. The caller holds "ourLock" (`held`);
// `dbWriteInProgress` is set meanwhile. Fatal "db is NULL" without a database.
void clearExceptionStatistics(const YCriticalSectionLock& held);
