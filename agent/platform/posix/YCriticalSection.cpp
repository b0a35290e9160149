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

// The locks guard short sections, so a contended entry spins a little before it sleeps: a sleep and its
// wake-up cost far more than the section they wait for.
void YCriticalSection::enter() {
  pthread_mutex_t* mutex = osMutex(osLock);
  for (int attempt = 0; attempt < 100; attempt++) {
    if (pthread_mutex_trylock(mutex) == 0) return;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
  pthread_mutex_lock(mutex);
}

void YCriticalSection::leave() { pthread_mutex_unlock(osMutex(osLock)); }
