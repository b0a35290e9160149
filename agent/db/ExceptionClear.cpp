#include "agent/db/ExceptionClear.h"

#include "agent/db/DB.h"
#include "agent/db/WriteInProgress.h"

void clearExceptionStatistics(const YCriticalSectionLock&) {
  WriteInProgress writing;
  DB& database = requireDatabase();
  database.exceptions.clear();
  database.tableGenerations.setGeneration(tableException, database.currentStamp);
}
