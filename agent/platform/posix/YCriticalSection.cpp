#include "agent/platform/YCriticalSection.h"

#include <pthread.h>

#include <new>

static_assert(sizeof(pthread_mutex_t) <= 64, "the lock storage holds a pthread mutex");

static pthread_mutex_t* osMutex(unsigned char* storage) { return reinterpret_cast<pthread_mutex_t*>(storage); }

YCriticalSection::YCriticalSection(const char* lockName) : name(lockName) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(new (osLock) pthread_mutex_t, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

void YCriticalSection::enter() { pthread_mutex_lock(osMutex(osLock)); }

void YCriticalSection::leave() { pthread_mutex_unlock(osMutex(osLock)); }
