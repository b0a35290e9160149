#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "agent/db/CodePointKey.h"
#include "tests/tools/CpuHotPaths.h"

// The rankings of the hot-path tool over a small table set: two threads, a stack of three methods whose
// leaf sampled at a line, time spent in a caller's own line, an overloaded method, two classes of one
// simple name and a frame without a line frame beneath it.

namespace {

using cpuhotpaths::CpuProfile;
using cpuhotpaths::HotPath;
using cpuhotpaths::NamedTime;
using Strings = std::vector<std::string>;

constexpr int64_t ms = 1000000;

rowstream::Row row(int32_t index, std::vector<int64_t> values) { return {index, 1, std::move(values), {}, {}}; }

class CpuHotPathsTest : public testing::Test {
 protected:
  snapshotfile::TablesRecord tables;
  int32_t nextPair = 1;

  void SetUp() override {
    // String ids 1 to 17.
    const Strings strings{"Main$$Lambda$1.0x0000000800c01234", "run", "()", "Main", "work", "hot", "own", "<<own>>",
                          "void", "help", "pkg.a.Util", "pkg.b.Util", "(int)", "(long)", "worker-1", "worker-2",
                          "ended"};
    for (size_t i = 0; i < strings.size(); i++) {
      tables.tables[profilemodel::stringTable].push_back({int32_t(i + 1), 1, {}, strings[i], {}});
    }
    // name, parameters, class, return type, source file, flags
    tables.tables[profilemodel::methodTable] = {
        row(1, {2, 3, 1, 9, 0, 0}),     // the lambda's run()
        row(2, {5, 3, 4, 9, 0, 0}),     // Main.work()
        row(3, {6, 3, 4, 9, 0, 0}),     // Main.hot()
        row(4, {8, 3, 7, 9, 0, 0}),     // the line pseudo-method
        row(5, {10, 13, 11, 9, 0, 0}),  // pkg.a.Util.help(int)
        row(6, {10, 14, 11, 9, 0, 0}),  // pkg.a.Util.help(long)
        row(7, {10, 13, 12, 9, 0, 0}),  // pkg.b.Util.help(int)
    };
    tables.tables[profilemodel::codePointTable] = {row(3, {3, 20})};
    // parent, code-point key, first child, next sibling (the tool follows the parents)
    const auto frame = [](int32_t id, int32_t parent, int32_t key) { return row(id, {parent, key, -1, -1}); };
    tables.tables[profilemodel::frameTable] = {
        frame(0, -1, 0),
        frame(1, 0, 1),
        frame(2, 1, codePointKeyWithoutRow(2, 10)),
        frame(3, 2, rowCodePointKey(3)),  // Main.hot, called at line 20 of work: a "code_point" row
        frame(4, 3, codePointKeyWithoutRow(4, 30)),
        frame(5, 2, codePointKeyWithoutRow(4, 11)),
        frame(6, 2, codePointKeyWithoutRow(5, 12)),
        frame(7, 6, codePointKeyWithoutRow(4, 40)),
        frame(8, 2, codePointKeyWithoutRow(7, 13)),  // a leaf without a line
        frame(9, 2, codePointKeyWithoutRow(6, 14)),
        frame(10, 9, codePointKeyWithoutRow(4, 41)),
    };
    // name, group name, thread number, sequence, key, daemon, start, end; a purged thread has number 0
    tables.tables[profilemodel::threadTable] = {row(1, {15, 0, 1, 1, 101, 0, 0, 0}),
                                               row(2, {16, 0, 2, 2, 102, 0, 0, 0}),
                                               row(3, {17, 0, 0, 3, 103, 0, 0, 9})};
    // Inclusive times, as the sampler charges them: each sampled stack's time to each of its frames.
    sample(1, {1, 2, 3, 4}, 50 * ms);
    sample(1, {1, 2, 5}, 10 * ms);
    sample(1, {1, 2, 6, 7}, 5 * ms);
    sample(2, {1, 2, 3, 4}, 20 * ms);
    sample(2, {1, 2, 8}, 30 * ms);
    sample(2, {1, 2, 9, 10}, 3 * ms);
    // A deleted pair's row has no fields.
    tables.tables[profilemodel::threadFrameTable].push_back({nextPair, -2, {}, {}, {}});
    tables.tables[cpuhotpaths::cpuProfilingTable].push_back({nextPair++, -2, {}, {}, {}});
  }

  // Adds the time to the (thread, frame) pairs of the stack, making the pairs that are missing.
  void sample(int32_t thread, const std::vector<int32_t>& stack, int64_t ns) {
    auto& pairs = tables.tables[profilemodel::threadFrameTable];
    auto& times = tables.tables[cpuhotpaths::cpuProfilingTable];
    for (int32_t frame : stack) {
      const auto isPair = [&](const rowstream::Row& pair) {
        return pair.stamp > 0 && pair.values[0] == thread && pair.values[1] == frame;
      };
      size_t at = 0;
      while (at < pairs.size() && !isPair(pairs[at])) at++;
      if (at == pairs.size()) {
        pairs.push_back(row(nextPair, {thread, frame}));
        times.push_back(row(nextPair++, {0, 0}));
      }
      times[at].values[0] += ns;
    }
  }
};

Strings framesOf(const std::vector<HotPath>& paths, size_t i) { return paths.at(i).frames; }

}  // namespace

TEST_F(CpuHotPathsTest, PathsRankFramesByOwnTimeOverAllThreadsEachFrameAtTheLineItIsAt) {
  const CpuProfile profile = cpuhotpaths::readCpuProfile(tables);
  EXPECT_EQ(118 * ms, profile.totalNs);
  const struct {
    Strings frames;
    int64_t ownNs;
  } expected[] = {
      {{"Main$$Lambda$1.run:10", "Main.work:20", "Main.hot:30"}, 70 * ms},
      {{"Main$$Lambda$1.run:10", "Main.work:13", "pkg.b.Util.help"}, 30 * ms},
      {{"Main$$Lambda$1.run:10", "Main.work:11"}, 10 * ms},
      {{"Main$$Lambda$1.run:10", "Main.work:12", "pkg.a.Util.help(int):40"}, 5 * ms},
      {{"Main$$Lambda$1.run:10", "Main.work:14", "pkg.a.Util.help(long):41"}, 3 * ms},
  };
  ASSERT_EQ(std::size(expected), profile.paths.size());
  for (size_t i = 0; i < profile.paths.size(); i++) {
    EXPECT_EQ(expected[i].frames, framesOf(profile.paths, i)) << "path " << i;
    EXPECT_EQ(expected[i].ownNs, profile.paths[i].ownNs) << "path " << i;
  }
}

TEST_F(CpuHotPathsTest, MethodsAndThreadsAddUpTheirTimeAndEveryListStopsAtItsLimit) {
  const CpuProfile all = cpuhotpaths::readCpuProfile(tables);
  const std::vector<std::pair<std::string, int64_t>> methods{
      {"Main.hot", 70 * ms}, {"pkg.b.Util.help", 30 * ms}, {"Main.work", 10 * ms},
      {"pkg.a.Util.help(int)", 5 * ms}, {"pkg.a.Util.help(long)", 3 * ms}};
  ASSERT_EQ(methods.size(), all.methods.size());
  for (size_t i = 0; i < methods.size(); i++) {
    EXPECT_EQ(methods[i].first, all.methods[i].name);
    EXPECT_EQ(methods[i].second, all.methods[i].ns) << methods[i].first;
  }
  ASSERT_EQ(2u, all.threads.size());
  EXPECT_EQ("worker-1", all.threads[0].name);
  EXPECT_EQ(65 * ms, all.threads[0].ns);
  EXPECT_EQ("worker-2", all.threads[1].name);
  EXPECT_EQ(53 * ms, all.threads[1].ns);

  const CpuProfile cut = cpuhotpaths::readCpuProfile(tables, {2, 1, 1});
  EXPECT_EQ(2u, cut.paths.size());
  ASSERT_EQ(1u, cut.methods.size());
  EXPECT_EQ("Main.hot", cut.methods[0].name);
  ASSERT_EQ(1u, cut.threads.size());
  EXPECT_EQ(2u, cut.sampledThreadCount);
  EXPECT_EQ(118 * ms, cut.totalNs);
}

TEST_F(CpuHotPathsTest, FramesWhoseParentsRunInACycleAreAFormatError) {
  tables.tables[profilemodel::frameTable].push_back(row(11, {12, 3, -1, -1}));
  tables.tables[profilemodel::frameTable].push_back(row(12, {11, 2, -1, -1}));
  sample(1, {11}, 100 * ms);
  EXPECT_THROW(cpuhotpaths::readCpuProfile(tables), rowstream::FormatError);
}
