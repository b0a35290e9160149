#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "agent/classfile/LineLookup.h"

namespace {

struct Entry {
  int64_t start;
  int32_t line;
};

int32_t lineAt(const std::vector<Entry>& table, int64_t location) {
  return lineAtLocation(table.data(), int32_t(table.size()), location, [](const Entry& e) { return e.start; },
                        [](const Entry& e) { return e.line; });
}

}  // namespace

TEST(LineLookup, TheGreatestStartAtOrBeforeTheLocationWinsInAnyOrder) {
  const std::vector<Entry> sorted{{0, 10}, {5, 11}, {9, 12}};
  const std::vector<Entry> shuffled{{9, 12}, {0, 10}, {5, 11}};
  const std::vector<Entry> late{{3, 10}, {5, 11}};
  struct Case {
    const std::vector<Entry>* table;
    int64_t location;
    int32_t line;
  };
  const Case cases[] = {{&sorted, 7, 11},   {&sorted, 9, 12},  {&sorted, 100, 12}, {&sorted, 0, 10},
                        {&shuffled, 7, 11}, {&shuffled, 4, 10}, {&shuffled, 9, 12}, {&late, 1, 0}};
  for (const Case& c : cases) EXPECT_EQ(lineAt(*c.table, c.location), c.line) << c.location;
  EXPECT_EQ(lineAt({}, 3), 0);
  // Of equal starts the later entry.
  EXPECT_EQ(lineAt({{2, 20}, {2, 21}}, 2), 21);
}

// The index gives lineAtLocation's answer for every location, in unsorted tables with equal starts.
TEST(LineLookup, TheIndexAnswersAsTheWholeSearch) {
  std::mt19937 random(17);
  for (int32_t round = 0; round < 200; round++) {
    std::vector<Entry> table(random() % 12);
    for (Entry& entry : table) entry = {int64_t(random() % 40), int32_t(random() % 1000)};
    const LineIndex index(table.data(), int32_t(table.size()), [](const Entry& e) { return e.start; },
                          [](const Entry& e) { return e.line; });
    for (int64_t location = 0; location < 45; location++) {
      ASSERT_EQ(lineAt(table, location), index.lineAt(location)) << "round " << round << " at " << location;
    }
  }
}
