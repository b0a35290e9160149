#pragma once

#include <cstdint>

// Capacities of YMap and YSet: every table has a prime number of slots taken from one fixed list, so
// that the double-hash probe walk reaches every slot.

constexpr int32_t kPrimeTableSize = 245;
constexpr int32_t kLargestTablePrime = 2147483647;

// Ascending, from 3 to 2147483647: the union of chains that each start at a seed prime and continue
// with the smallest prime at least twice the previous member.
extern const int32_t primeTable[kPrimeTableSize];

// Index of n in the table, or the bitwise complement of the index of the first larger prime.
int32_t findPrimeCapacityIndex(int32_t n);

// The first table prime not below n (3 for any n below 3).
int32_t primeCapacityFor(int32_t n);

// The capacity a full table grows to: the first table prime not below twice the current one, or the
// largest prime when twice the capacity leaves the 32-bit range.
int32_t grownCapacity(int32_t capacity);

// The largest count before a table of the capacity grows: min(capacity - 1, 6/10 of it truncated),
// computed wide because 6 * capacity leaves the 32-bit range for the larger primes.
inline int32_t maxFillFor(int32_t capacity) {
  int64_t sixTenths = static_cast<int64_t>(capacity) * 6 / 10;
  return static_cast<int32_t>(sixTenths < capacity - 1 ? sixTenths : capacity - 1);
}
