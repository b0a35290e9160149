#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "agent/support/PrimeTable.h"

namespace {

bool isPrime(int64_t n) {
  if (n < 2) return false;
  if (n % 2 == 0) return n == 2;
  for (int64_t divisor = 3; divisor * divisor <= n; divisor += 2) {
    if (n % divisor == 0) return false;
  }
  return true;
}

// The table's rule: chains from the seeds, each member the smallest prime at least twice the previous
// one while that stays within 32 bits, plus 2147483647 on its own.
std::vector<int32_t> primesByChainRule() {
  std::set<int64_t> primes{kLargestTablePrime};
  for (int64_t member : {3, 5, 31, 43, 311, 379, 433, 599, 953, 1039}) {
    while (member <= kLargestTablePrime) {
      primes.insert(member);
      member *= 2;
      while (!isPrime(member)) member++;
    }
  }
  return std::vector<int32_t>(primes.begin(), primes.end());
}

}  // namespace

TEST(PrimeTable, FollowsTheChainRule) {
  std::vector<int32_t> table(primeTable, primeTable + kPrimeTableSize);
  EXPECT_EQ(table, primesByChainRule());

  std::vector<int32_t> beginning{3,   5,   7,   11,  17,  23,  31,  37,  43,  47,  67,  79,   89,   97,
                                 137, 163, 179, 197, 277, 311, 331, 359, 379, 397, 433, 557,  599,  631,
                                 673, 719, 761, 797, 877, 953, 1039, 1117, 1201, 1277, 1361, 1439};
  EXPECT_TRUE(std::equal(beginning.begin(), beginning.end(), table.begin()));
  std::vector<int32_t> end{1600153859, 1685759167, 1854585413, 2004663929, 2147483647};
  EXPECT_TRUE(std::equal(end.begin(), end.end(), table.end() - end.size()));
}

TEST(PrimeTable, FindsTheIndexOrTheComplementOfTheNextLarger) {
  struct Case {
    int32_t n;
    int32_t index;
  };
  for (Case c : {Case{11, 3}, Case{12, ~4}, Case{1, ~0}, Case{0, ~0}, Case{-7, ~0}, Case{3, 0},
                 Case{4, ~1}, Case{2147483647, 244}, Case{2147483646, ~244}, Case{2004663929, 243}}) {
    EXPECT_EQ(findPrimeCapacityIndex(c.n), c.index) << c.n;
  }
}

TEST(PrimeTable, CapacitiesAndFillLimits) {
  struct Case {
    int32_t requested;
    int32_t capacity;
  };
  for (Case c : {Case{1, 3}, Case{3, 3}, Case{10, 11}, Case{12, 17}, Case{1024, 1039}}) {
    EXPECT_EQ(primeCapacityFor(c.requested), c.capacity) << c.requested;
  }

  // Twice the capacity, up to the largest prime, where growth stops.
  struct Growth {
    int32_t capacity;
    int32_t grown;
  };
  for (Growth g : {Growth{3, 7}, Growth{7, 17}, Growth{11, 23}, Growth{1039, 2081}, Growth{1002331963, 2004663929},
                   Growth{1175484103, 2147483647}, Growth{2147483647, 2147483647}}) {
    EXPECT_EQ(grownCapacity(g.capacity), g.grown) << g.capacity;
  }

  // min(capacity - 1, 6/10 of it); the large ones would overflow 32-bit arithmetic.
  struct Fill {
    int32_t capacity;
    int32_t maxFill;
  };
  for (Fill f : {Fill{3, 1}, Fill{7, 4}, Fill{11, 6}, Fill{17, 10}, Fill{1175484103, 705290461},
                 Fill{2147483647, 1288490188}}) {
    EXPECT_EQ(maxFillFor(f.capacity), f.maxFill) << f.capacity;
  }
}
