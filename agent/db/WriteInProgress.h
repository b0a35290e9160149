#pragma once

#include "agent/db/DB.h"

// Sets dbWriteInProgress for the life of the guard and then puts back what it was, on every road out:
// a clear run inside another write-out leaves the flag set for it. Made only under "ourLock".
class WriteInProgress {
 public:
  WriteInProgress() : previous(dbWriteInProgress.exchange(true)) {}
  ~WriteInProgress() { dbWriteInProgress.store(previous); }
  WriteInProgress(const WriteInProgress&) = delete;
  WriteInProgress& operator=(const WriteInProgress&) = delete;

 private:
  const bool previous;
};
