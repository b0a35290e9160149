#pragma once

#include "agent/support/FatalError.h"

// A named mutex shared by the processes of one machine. "Global\<name>" is machine-wide; "Local\<name>"
// and a name without a prefix are per user. It is owned by a thread and recursive for its owner (each
// lock needs its unlock), threads of one process exclude each other through it as processes do, and a
// holder that ends while holding it leaves it to the next waiter. The OS handle stays open until the
// process ends, so objects on the stack simply leave it open.
class InterProcessMutex {
 public:
  explicit InterProcessMutex(const char* name);
  InterProcessMutex(const InterProcessMutex&) = delete;
  InterProcessMutex& operator=(const InterProcessMutex&) = delete;

  // False when the mutex could be neither created nor opened; lock and unlock then do nothing, and the
  // guarded work runs without exclusion.
  bool isValid() const { return handle != nullptr; }
  // Waits without a time-out.
  void lock();
  // Does nothing unless the calling thread holds the mutex.
  void unlock();

 private:
  void* handle;
};

// Holds `mutex` for the life of the guard, so that leaving a block by any road, an exception included,
// releases it.
class InterProcessMutexLock {
 public:
  explicit InterProcessMutexLock(InterProcessMutex* held) : mutex(held) {
    if (mutex == nullptr) assertionFailed("assertion failed: value is NULL", "InterProcessMutex", __LINE__);
    mutex->lock();
  }
  ~InterProcessMutexLock() { mutex->unlock(); }
  InterProcessMutexLock(const InterProcessMutexLock&) = delete;
  InterProcessMutexLock& operator=(const InterProcessMutexLock&) = delete;

 private:
  InterProcessMutex* const mutex;
};
