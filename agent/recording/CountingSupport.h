#pragma once

#include <cstdint>

#include "agent/db/DBTable.h"
#include "agent/support/YVector.h"

// Native counters of calls and allocations: unsigned 64-bit words in chunks of 4096 counters, each
// counter in S stripes 32768 bytes apart (S = 4 with "_cf4", else 8), made zeroed on first use and never
// moved or freed, so that instrumented code may hold a counter's address for the life of the process.
// Counter n lies in chunk n >> 12, slot n & 0xFFF; the address handed out is that of its stripe 0.
using CounterSet = YVector<uint64_t*>;

// By method id.
CounterSet& callCounters();
// By "alloc_point" row.
CounterSet& allocPointCounters();

// The stripe count, read from the options once.
int32_t getCounterStripeCount();
// The address of stripe 0 of counter n of the set, its chunk made when missing. A negative n is fatal.
uint64_t* getCountingSlot(int32_t n, CounterSet& counters);

// The "alloc_point" row of an allocation point (the code-point key of the allocating method and line,
// the string id of the allocated class's name), made stamped when missing. Runs under "ourLock"; fatal
// "db is NULL" without a database.
int32_t getAllocPointRow(int32_t codePointKey, int32_t classNameId);
// key << 32 | class: how maps of allocation points keep a point, hashing as key XOR class.
inline int64_t allocPointPair(int32_t codePointKey, int32_t classNameId) {
  return int64_t(uint64_t(uint32_t(codePointKey)) << 32 | uint32_t(classNameId));
}

// Makes every row's value (count - base) 0 by setting its base to its count; rows whose base changes are
// stamped. Runs under "ourLock".
void resetCallCountBaseline(DBTable<CallCountRecord>& table, int32_t stamp);
void resetAllocationCountBaseline(DBTable<AllocObjectCountRecord>& table, int32_t stamp);
