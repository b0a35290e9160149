#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/FatalErrorOutput.h"
#include "tests/support/LogCapture.h"
#include "tests/unit/heap/DominatorComputerSncaTestGraph.h"
#include "tests/unit/heap/HeapLogText.h"

namespace {

std::vector<std::string> dccLines(const std::vector<std::string>& entries) {
  std::vector<std::string> lines;
  for (const std::string& text : memoryLogTexts(entries)) {
    if (text.rfind("_dcc:", 0) == 0) lines.push_back(text);
  }
  return lines;
}

}  // namespace

TEST(DominatorComputerSnca, SmallGraphs) {
  struct Case {
    const char* name;
    TestGraph graph;
    std::vector<int32_t> expected;
  };
  const std::vector<Case> cases{
      {"chain", {{{}, {2}, {3}, {}}, {1}}, {0, 0, 1, 2}},
      {"diamond", {{{}, {2, 3}, {4}, {4}, {}}, {1}}, {0, 0, 1, 1, 1}},
      {"two roots share a child", {{{}, {3}, {3}, {}}, {1, 2}}, {0, 0, 0, 0}},
      {"cycle", {{{}, {2}, {3}, {2}}, {1}}, {0, 0, 1, 2}},
      {"self references", {{{}, {1, 2}, {2, 3}, {3}}, {1}}, {0, 0, 1, 2}},
      {"root listed twice", {{{}, {2}, {3}, {}}, {1, 1, 1}}, {0, 0, 1, 2}},
      {"root referred to by others", {{{}, {2}, {3, 1}, {1, 4}, {}}, {1, 3}}, {0, 0, 1, 0, 3}},
      // Whichever root the search takes first, it reaches the other through its own tree.
      {"roots reached through each other", {{{}, {3}, {4}, {2, 5}, {1, 5}, {}}, {1, 2}}, {0, 0, 0, 1, 2, 0}},
      {"empty slots are no references", {{{}, {0, 2, 0}, {0}}, {1}}, {0, 0, 1}},
      {"duplicate references", {{{}, {2, 2, 3}, {3, 3}, {}}, {1}}, {0, 0, 1, 1}},
      {"loop back to the entry", {{{}, {2}, {3, 4}, {5}, {5}, {1, 2}}, {1}}, {0, 0, 1, 2, 2, 2}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sncaDominators(c.graph), c.expected) << c.name;
  }
}

TEST(DominatorComputerSnca, LogsEveryPhaseWithItsArrays) {
  LogCapture log;
  sncaDominators({{{}, {2, 3}, {4}, {4}, {}}, {1}});
  std::vector<std::string> texts;
  for (const std::string& text : memoryLogTexts(log.entries())) {
    if (text.find(" done") == std::string::npos && text.rfind("BIA_P=r-", 0) != 0) texts.push_back(text);
  }
  const std::vector<std::string> expected{
      "BIA_P=i size=5 (0 MB)",     "BIA_P=da_1 size=5 (0 MB)",  "BIA_P=da_2 size=5 (0 MB)",
      "_dcc: enter: N=5",          "BIA_P=dfsd size=5 (0 MB)",  "_dcc: dfsd: 1",
      "_dcc: dfsd: 2",             "_dcc: 1: n=5",              "_dcc: 2",
      "BIA_P=brt-s size=5 (0 MB)", "BIA_P=brt-c size=5 (0 MB)", "_dcc: 3",
      "_dcc: 4",                   "BIA_P=da_3 size=5 (0 MB)",  "BIA_P=da_4 size=5 (0 MB)",
      "_dcc: 5",                   "_dcc: 6: stack size (bytes): 4104",
      "_dcc: 7",                   "_dcc: 8",                   "_dcc: exit"};
  EXPECT_EQ(texts, expected);
}

TEST(DominatorComputerSnca, BrokenInvariants) {
  {
    LogCapture log;
    const TestGraph graph{{{}, {2}, {}}, {}};
    EXPECT_TRUE(isAssertionIn(fatalErrorOf([&] { sncaDominators(graph); }), "YSet"));
    EXPECT_EQ(mentionsOf("_dcc:", log.entries()), 0);
  }
  {
    // Node 4 is unreachable: the count of numbered nodes is logged, and nothing after it runs.
    LogCapture log;
    const TestGraph graph{{{}, {2}, {3}, {1}, {1}}, {1}};
    EXPECT_TRUE(isAssertionIn(fatalErrorOf([&] { sncaDominators(graph); }), "DominatorComputerSnca"));
    const std::vector<std::string> lines = dccLines(log.entries());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "_dcc: 1: n=4");
  }
}

// The chain 1 -> 2 -> ... -> n - 1 with root 1, built straight into the storage: a graph of vectors would
// spend most of the test's time allocating. `lastRef`, when not 0, is a reference of the last node.
std::vector<int32_t> chainDominators(int32_t n, int32_t lastRef) {
  auto refs = std::make_unique<ObjectRefStorage>("r", n);
  for (int32_t u = 1; u + 1 < n; u++) {
    refs->allocate(u, 1);
    refs->setRef(u, u + 1, 0);
  }
  if (lastRef != 0) {
    refs->allocate(n - 1, 1);
    refs->setRef(n - 1, lastRef, 0);
  }
  FlatIntArray idom("i", n);
  const int32_t root = 1;
  DominatorComputerSnca::compute(n, std::move(refs), &root, 1, idom);
  return std::vector<int32_t>(idom.data, idom.data + n);
}

// A chain long enough to overflow the thread's stack if the search or the path compression recursed. The
// reference from the last node back to node 2 makes one compression walk the whole chain.
TEST(DominatorComputerSnca, LongChainNeedsNoRecursionAndReportsProgress) {
  const int32_t n = (1 << 21) + 1;
  LogCapture log;
  const std::vector<int32_t> idom = chainDominators(n, 2);
  int32_t wrong = 0;
  for (int32_t v = 2; v < n; v++) wrong += idom[v] == v - 1 ? 0 : 1;
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(idom[1], 0);

  int64_t capacity = 1024;
  while (capacity < n - 2) capacity *= 2;
  const std::vector<std::string> lines = dccLines(log.entries());
  const std::vector<std::string> tail{"_dcc: 6: stack size (bytes): " + std::to_string(capacity * 4 + 8),
                                      "_dcc: 7",
                                      "_dcc: 7: i=1048576 (49%)",
                                      "_dcc: 7: i=2097152 (99%)",
                                      "_dcc: 8",
                                      "_dcc: exit"};
  ASSERT_GE(lines.size(), tail.size());
  EXPECT_EQ(std::vector<std::string>(lines.end() - tail.size(), lines.end()), tail);
}

TEST(DominatorComputerSnca, NoProgressLineUpToTheFirstStep) {
  LogCapture log;
  chainDominators(1 << 20, 0);
  EXPECT_EQ(mentionsOf("_dcc: 7: i=", log.entries()), 0);
}
