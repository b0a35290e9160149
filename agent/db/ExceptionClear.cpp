#include "agent/db/ExceptionClear.h"

#include "agent/db/DB.h"
#include "agent/db/WriteInProgress.h"
#include "agent/recording/ThreadEvents.h"

void clearExceptionStatistics(const YCriticalSectionLock& held) {
  WriteInProgress writing;
  DB& database = requireDatabase();
  processAllThreadEvents(held);
  database.exceptions.clear();
  database.tableGenerations.setGeneration(tableException, database.currentStamp);
}
