#include "agent/db/ExceptionClear.h"

#include "agent/core/JvmtiEnvironments.h"
#include "agent/db/DB.h"
#include "agent/db/WriteInProgress.h"
#include "agent/recording/ExceptionRecording.h"
#include "agent/recording/ThreadEvents.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/FatalError.h"

void clearExceptionStatistics(const YCriticalSectionLock& held) {
  WriteInProgress writing;
  processAllThreadEvents(held);
  exceptionRows().init();
  // The rows the threads' last exceptions point at are gone.
  forEachLiveThread([](ThreadInfo* thread) {
    thread->lastExceptionTag = 0;
    thread->lastExceptionRow = 0;
  });
  // Every class and object tag of the exception environment goes back to 0: classes are named afresh at
  // their next exception, and no object cleared here is taken for a rethrow later.
  if (exceptionJvmti != nullptr) {
    exceptionJvmti->IterateOverHeap(JVMTI_HEAP_OBJECT_TAGGED, clearTagCallback, nullptr);
  }
  DB* database = db;
  if (database == nullptr) fatalError("db is NULL", "Exceptions", 60);
  database->exceptions.clear();
  database->tableGenerations.setGeneration(tableException, database->currentStamp);
}
