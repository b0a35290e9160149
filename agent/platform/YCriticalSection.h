#pragma once

#include <cstdint>

#include "agent/support/YString.h"

// A named, re-entrant in-process lock: the thread that holds it may enter it again, and each entry is
// matched by one leave. The OS lock lives inside the object, so a lock is never copied or moved. It is
// never torn down either: a process-wide lock may still be held by a thread that runs while the process
// exits, so only the name's storage is released.
class YCriticalSection {
 public:
  explicit YCriticalSection(const char* lockName);
  YCriticalSection(const YCriticalSection&) = delete;
  YCriticalSection& operator=(const YCriticalSection&) = delete;

  // Blocks until the calling thread holds the lock. Used bare only where a lock is taken for good.
  void enter();
  void leave();

  YString name;

 private:
  alignas(16) unsigned char osLock[64];
};

// Holds `lock` for the life of the guard, so that leaving a block by any road releases it. A null lock
// makes the guard do nothing. `site` names the place of the call ("CoreNatives:2065").
class YCriticalSectionLock {
 public:
  YCriticalSectionLock(YCriticalSection* held, const char* site) : lock(held) {
    (void)site;
    if (lock != nullptr) lock->enter();
  }
  ~YCriticalSectionLock() {
    if (lock != nullptr) lock->leave();
  }
  YCriticalSectionLock(const YCriticalSectionLock&) = delete;
  YCriticalSectionLock& operator=(const YCriticalSectionLock&) = delete;

  YCriticalSection* const lock;
};
