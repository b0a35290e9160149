#pragma once

#include <jni.h>

#include <atomic>
#include <cstdint>

#include "agent/db/DBTable.h"
#include "agent/platform/YCriticalSection.h"
#include "agent/support/YVector.h"

// Native counters of calls and allocations: unsigned 64-bit words in chunks of 4096 counters, each
// counter in S stripes 32768 bytes apart (S = 4 with "_cf4", else 8), made zeroed on first use and never
// moved or freed, so that instrumented code may hold a counter's address for the life of the process.
// Counter n lies in chunk n >> 12, slot n & 0xFFF; the address handed out is that of its stripe 0.
using CounterSet = YVector<uint64_t*>;

constexpr int32_t countersPerChunk = 4096;

// Set once the Java side has confirmed that it can write native memory, and never cleared: until then no
// counter has counted, and the flushes leave the tables alone.
extern std::atomic<bool> unsafeCreated;

// By method id.
CounterSet& callCounters();
// By "alloc_point" row.
CounterSet& allocPointCounters();

// The stripe count, read from the options once.
int32_t getCounterStripeCount();
// The address of stripe 0 of counter n of the set, its chunk made when missing. A negative n is fatal.
uint64_t* getCountingSlot(int32_t n, CounterSet& counters);

// Adds 1 to one stripe (0 to the stripe count - 1) of the counter whose stripe 0 is at `counter`. Any
// thread may count at any time: the flushes read the words with atomic loads and sum every stripe.
inline void countInStripe(uint64_t* counter, int32_t stripe) {
  __atomic_fetch_add(counter + int64_t(stripe) * countersPerChunk, uint64_t(1), __ATOMIC_RELAXED);
}

// Whether the Java side can write the counters: asks its Callback class once, until it says yes. A class
// without "ensureUnsafeCreated" "()Z" is fatal, and so is an exception it throws.
bool ensureUnsafeCreated(JNIEnv* env);

// The "alloc_point" row of an allocation point (the code-point key of the allocating method and line,
// the string id of the allocated class's name), made stamped when missing. Runs under "ourLock"; fatal
// "db is NULL" without a database.
int32_t getAllocPointRow(int32_t codePointKey, int32_t classNameId);
// key << 32 | class: how maps of allocation points keep a point, hashing as key XOR class.
inline int64_t allocPointPair(int32_t codePointKey, int32_t classNameId) {
  return int64_t(uint64_t(uint32_t(codePointKey)) << 32 | uint32_t(classNameId));
}

// Sum the stripes of every counter of callCounters() into "call_count" and of allocPointCounters() into
// "alloc_object_count", row id = counter index: a row whose count differs from its total takes the total
// and the current stamp; a counter that never counted gets no row. The counters keep counting. Nothing
// before unsafeCreated; fatal "db is NULL" without a database.
void flushCallCounters(const YCriticalSectionLock& held);
void flushAllocationCounters(const YCriticalSectionLock& held);

// Makes every row's value (count - base) 0 by setting its base to its count; rows whose base changes are
// stamped. Runs under "ourLock".
void resetCallCountBaseline(DBTable<CallCountRecord>& table, int32_t stamp);
void resetAllocationCountBaseline(DBTable<AllocObjectCountRecord>& table, int32_t stamp);

// Whether a CPU mode that records stacks runs: sampling or tracing, not call counting.
bool isCpuProfilingOn();
