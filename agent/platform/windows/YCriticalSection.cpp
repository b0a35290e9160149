#include "agent/platform/YCriticalSection.h"

#include <windows.h>

#include <new>

static_assert(sizeof(CRITICAL_SECTION) <= 64, "the lock storage holds a critical section");

static CRITICAL_SECTION* osSection(unsigned char* storage) { return reinterpret_cast<CRITICAL_SECTION*>(storage); }

// The locks guard short sections, so a contended entry spins a little before it sleeps.
YCriticalSection::YCriticalSection(const char* lockName) : name(lockName) {
  InitializeCriticalSectionAndSpinCount(new (osLock) CRITICAL_SECTION, 4000);
}

void YCriticalSection::enter() { EnterCriticalSection(osSection(osLock)); }

void YCriticalSection::leave() { LeaveCriticalSection(osSection(osLock)); }
