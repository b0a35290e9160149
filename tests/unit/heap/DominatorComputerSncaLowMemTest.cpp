#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "agent/platform/Directories.h"
#include "agent/support/Log.h"
#include "tests/support/TempDir.h"
#include "tests/unit/heap/DominatorDriverRun.h"
#include "tests/unit/heap/DominatorFixtures.h"
#include "tests/unit/heap/HeapLogText.h"

namespace fs = std::filesystem;

// "low_mem" through the driver, on real files. A log sink watches the computation's phase lines and can
// look at, or change, a file at a chosen moment, as another program could while the computation runs.

namespace {

using Values = std::vector<int32_t>;

class PhaseWatch {
 public:
  // `action` runs once, when the memory-usage line `moment` ("_dcc: 5") is logged.
  PhaseWatch(std::string moment, std::function<void()> action) {
    state() = State{std::move(moment), std::move(action), {}};
    previous = setLogSink(&record);
  }
  ~PhaseWatch() { setLogSink(previous); }
  PhaseWatch(const PhaseWatch&) = delete;
  PhaseWatch& operator=(const PhaseWatch&) = delete;

  static const std::vector<std::string>& entries() { return state().entries; }

  // The path of the temporary file with this suffix, from its "File opened for writing: " line.
  static std::string tempPath(const std::string& suffix) {
    const std::string prefix = "File opened for writing: ";
    for (const std::string& entry : state().entries) {
      if (entry.rfind(prefix, 0) == 0 && entry.size() > suffix.size() &&
          entry.compare(entry.size() - suffix.size(), suffix.size(), suffix) == 0) {
        return entry.substr(prefix.size());
      }
    }
    return "";
  }

 private:
  struct State {
    std::string moment;
    std::function<void()> action;
    std::vector<std::string> entries;
  };
  static State& state() {
    static State instance;
    return instance;
  }
  static void record(const YString& entry) {
    State& s = state();
    s.entries.emplace_back(entry.data, size_t(entry.length));
    const std::string tail = "] " + s.moment;
    const std::string& text = s.entries.back();
    if (s.action && text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0) {
      std::function<void()> action = std::move(s.action);
      s.action = nullptr;
      action();
    }
  }

  LogSink previous;
};

Values fileValues(const std::string& path) { return littleEndianValues(wholeFile(path)); }

// Overwrites value `index` of the file in place: the computation's open descriptor sees the change.
void overwriteValue(const std::string& path, int64_t index, int32_t value) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(index * 4);
  const std::string bytes = littleEndianBytes({value});
  file.write(bytes.data(), 4);
}

bool hasText(const std::vector<std::string>& entries, const std::string& text) {
  const std::vector<std::string> texts = memoryLogTexts(entries);
  return std::find(entries.begin(), entries.end(), text) != entries.end() ||
         std::find(texts.begin(), texts.end(), text) != texts.end();
}

bool hasMatch(const std::vector<std::string>& entries, const std::string& pattern) {
  const std::regex re(pattern);
  return std::any_of(entries.begin(), entries.end(), [&](const std::string& e) {
    return std::regex_search(e.substr(0, e.find('\n')), re);
  });
}

std::vector<std::string> leftovers(const std::string& directory) {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("bzptmp_", 0) == 0) names.push_back(name);
  }
  return names;
}

// The diamond 1 -> 2, 1 -> 3, 2 -> 4, 3 -> 4 with root 1. The search numbers 1, 2, 4, 3 as 1 to 4.
const Values diamond{5, 2, 2, 3, 1, 4, 1, 4, 0, 1, 1};

}  // namespace

TEST(DominatorComputerSncaLowMem, LogsEveryPhaseAndRemovesItsFiles) {
  TempDir work;
  const std::string input = work.write("in.bin", littleEndianBytes(diamond));
  PhaseWatch watch("", nullptr);
  const DriverRun run = runDriver(input, work.pathOf("out.bin"), "low_mem", work.path());
  ASSERT_EQ(run.code, 0);
  EXPECT_EQ(littleEndianValues(run.output), (Values{0, 1, 1, 1}));
  std::vector<std::string> texts;
  for (const std::string& text : memoryLogTexts(watch.entries())) {
    if (text.rfind("_dcc:", 0) == 0 || text.rfind("starting", 0) == 0) texts.push_back(text);
  }
  const std::vector<std::string> expected{
      "starting DominatorComputerSnca_LowMem (with files)...",
      "_dcc: enter: N=5", "_dcc: dfsd: 1 begin", "_dcc: dfsd: 2 begin", "_dcc: dfsd: 3 begin",
      "_dcc: dfsd: 3 end", "_dcc: dfsd: 2 end", "_dcc: dfsd: 1 end", "_dcc: 1: n=5", "_dcc: 2", "_dcc: 3",
      "_dcc: brt: 1", "_dcc: brt: 2", "_dcc: brt: 3", "_dcc: brt: 4", "_dcc: 4", "_dcc: 5",
      "_dcc: 6: stack size (bytes): 4104", "_dcc: 7", "_dcc: 8", "_dcc: exit"};
  EXPECT_EQ(texts, expected);
  const std::string stem = R"(.*bzptmp_\d+_\d+)";
  EXPECT_TRUE(std::regex_match(PhaseWatch::tempPath("_parent.tmp"), std::regex(stem + "_parent.tmp")));
  EXPECT_EQ(0u, PhaseWatch::tempPath("_brt.tmp").rfind(work.path(), 0));
  EXPECT_TRUE(leftovers(work.path()).empty());
}

// What the files hold while the computation runs: parents and ordinals, N values each, and the
// predecessor lists from the highest ordinal down, each root's the virtual root alone.
TEST(DominatorComputerSncaLowMem, TemporaryFilesHoldParentsOrdinalsAndPredecessors) {
  TempDir work;
  const std::string input = work.write("in.bin", littleEndianBytes(diamond));
  Values parents, ordinals, predecessors;
  PhaseWatch watch("_dcc: 5", [&] {
    parents = fileValues(PhaseWatch::tempPath("_parent.tmp"));
    ordinals = fileValues(PhaseWatch::tempPath("_node2ordinal.tmp"));
    predecessors = fileValues(PhaseWatch::tempPath("_brt.tmp"));
  });
  ASSERT_EQ(runDriver(input, work.pathOf("out.bin"), "low_mem", work.path()).code, 0);
  EXPECT_EQ(parents, (Values{0, 0, 1, 2, 1}));
  EXPECT_EQ(ordinals, (Values{0, 1, 2, 4, 3}));
  EXPECT_EQ(predecessors, (Values{1, 1, 2, 4, 2, 1, 1, 1, 0}));
}

TEST(DominatorComputerSncaLowMem, TemporaryDirectories) {
  TempDir work;
  const std::string input = work.write("in.bin", littleEndianBytes(diamond));
  const std::string sep(1, pathSeparator);
  struct Case {
    std::string directory;
    std::string expectedStart;  // of the "_parent.tmp" path
  };
  const std::vector<Case> cases{{"", std::string(getTempDir().data) + "bzptmp_"},
                                {work.path(), work.path() + sep + "bzptmp_"},
                                {work.path() + sep, work.path() + sep + "bzptmp_"}};
  for (const Case& c : cases) {
    PhaseWatch watch("", nullptr);
    EXPECT_EQ(runDriver(input, work.pathOf("out.bin"), "low_mem", c.directory).code, 0) << c.directory;
    EXPECT_EQ(0u, PhaseWatch::tempPath("_parent.tmp").rfind(c.expectedStart, 0)) << c.directory;
    EXPECT_FALSE(fs::exists(PhaseWatch::tempPath("_parent.tmp"))) << c.directory;
  }

  // A directory that does not exist: fatal before any ordinal is handed out.
  PhaseWatch watch("", nullptr);
  const std::string missing = work.pathOf("missing");
  EXPECT_EQ(runDriver(input, work.pathOf("out.bin"), "low_mem", missing).code, 101);
  EXPECT_TRUE(hasMatch(watch.entries(), "^error at DominatorComputerSnca_LowMem:\\d+: Failed to open file for "
                                        "writing: " + std::regex_replace(missing, std::regex(R"([.\\])"), R"(\$&)") +
                                            R"([/\\]bzptmp_\d+_\d+_parent\.tmp$)"));
  EXPECT_FALSE(hasText(watch.entries(), "_dcc: dfsd: 3 begin"));
  EXPECT_TRUE(wholeFile(work.pathOf("out.bin")).empty());
}

namespace {

struct Change {
  const char* name;
  const char* moment;
  std::function<void(const std::string& input)> edit;
  int32_t code;
  const char* line;  // a regular expression the first line of an entry matches
};

}  // namespace

// Another program changes the input between the driver's reading and the computation's, or between the
// computation's counting and filling. A change that breaks a rule of the file gets that rule's code; one
// that keeps the rules is a broken invariant; either way no slot outside its list is written.
TEST(DominatorComputerSncaLowMem, AnInputChangedBetweenItsReadingsIsRefused) {
  // 1 -> 2, 1 -> 3, 2 -> 3, 3 -> 4, root 1: values 0 N, 1 count, 2 and 3 targets, 4 count, 5 target,
  // 6 count, 7 target, 8 count, 9 root count, 10 root.
  const Values graph{5, 2, 2, 3, 1, 3, 1, 4, 0, 1, 1};
  const std::vector<Change> cases{
      {"a target out of range", "_dcc: 3", [](const std::string& p) { overwriteValue(p, 5, 5); }, 5,
       "^bad target: 5$"},
      {"a negative count", "_dcc: 3", [](const std::string& p) { overwriteValue(p, 4, -1); }, 4,
       "^bad refCount: -1$"},
      {"cut inside a list", "_dcc: 3", [](const std::string& p) { fs::resize_file(p, 4 * 7); }, 5,
       "^bad target: 0$"},
      {"cut after a list", "_dcc: 3", [](const std::string& p) { fs::resize_file(p, 4 * 6); }, 101,
       "input changed while it was read$"},
      {"another target in range", "_dcc: 3", [](const std::string& p) { overwriteValue(p, 7, 2); }, 101,
       "input changed while it was read$"},
      {"another N", "_dcc: 3", [](const std::string& p) { overwriteValue(p, 0, 6); }, 101, "assertion failed$"},
      // Between counting and filling: node 3 is met a second time where its one slot is taken already.
      {"a target met more often", "_dcc: brt: 2", [](const std::string& p) { overwriteValue(p, 7, 3); }, 101,
       "input changed while it was read$"},
      {"cut after a list before filling", "_dcc: brt: 2", [](const std::string& p) { fs::resize_file(p, 4 * 6); },
       101, "input changed while it was read$"},
  };
  TempDir work;
  for (const Change& c : cases) {
    const std::string input = work.write("in.bin", littleEndianBytes(graph));
    PhaseWatch watch(c.moment, [&] { c.edit(input); });
    const DriverRun run = runDriver(input, work.pathOf("out.bin"), "low_mem", work.path());
    EXPECT_EQ(run.code, c.code) << c.name;
    EXPECT_TRUE(hasMatch(watch.entries(), c.line)) << c.name;
    EXPECT_TRUE(run.output.empty()) << c.name;
    EXPECT_TRUE(leftovers(work.path()).empty()) << c.name;
  }

  // The roots are not read again, and bytes after them never counted.
  for (const char* moment : {"_dcc: 3", "_dcc: brt: 2"}) {
    const std::string input = work.write("in.bin", littleEndianBytes(graph));
    PhaseWatch watch(moment, [&] {
      overwriteValue(input, 10, 4);
      std::ofstream(input, std::ios::binary | std::ios::app) << "tail";
    });
    const DriverRun run = runDriver(input, work.pathOf("out.bin"), "low_mem", work.path());
    EXPECT_EQ(run.code, 0) << moment;
    EXPECT_EQ(littleEndianValues(run.output), (Values{0, 1, 1, 3})) << moment;
  }
}

namespace {

// The code the computation gives when the lists read again are `changed` in place of `original`: the
// first broken rule in file order, else 101 when they differ at all, else 0.
int32_t codeOfSecondReading(const std::string& original, const std::string& changed) {
  auto valueAt = [](const std::string& bytes, size_t index) {
    uint32_t value = 0;
    for (size_t k = 0; k < 4; k++) {
      const size_t at = index * 4 + k;
      if (at < bytes.size()) value |= uint32_t(uint8_t(bytes[at])) << (8 * k);
    }
    return int32_t(value);
  };
  const int32_t n = valueAt(original, 0);
  if (valueAt(changed, 0) != n) return 101;
  size_t index = 1;
  bool differs = false;
  for (int32_t u = 1; u < n; u++) {
    const int32_t count = valueAt(changed, index);
    differs |= count != valueAt(original, index);
    index++;
    if (count < 0) return 4;
    for (int32_t j = 0; j < count; j++, index++) {
      const int32_t t = valueAt(changed, index);
      differs |= t != valueAt(original, index);
      if (t < 1 || t >= n) return 5;
    }
  }
  return differs ? 101 : 0;
}

}  // namespace

// Every cut and random values written over the input while the computation starts its second reading.
TEST(DominatorComputerSncaLowMem, EveryCutOrFlipOfTheSecondReadingGivesItsCode) {
  const Values graph{7, 2, 2, 3, 2, 4, 4, 2, 5, 6, 1, 6, 1, 1, 0, 2, 1, 3, 1};
  const std::string original = littleEndianBytes(graph);
  TempDir work;
  const std::string expected = [&] {
    const std::string input = work.write("in.bin", original);
    return runDriver(input, work.pathOf("out.bin"), "snca").output;
  }();
  ASSERT_EQ(expected.size(), 24u);

  std::vector<std::string> variants;
  for (size_t length = 0; length < original.size(); length++) variants.push_back(original.substr(0, length));
  const Values replacements{0, 1, 2, 5, 6, 7, -1, INT32_MIN, INT32_MAX, 1 << 20};
  std::mt19937 random(1234);
  for (int32_t round = 0; round < 150; round++) {
    Values values = graph;
    for (int32_t flips = 1 + int32_t(random() % 2); flips > 0; flips--) {
      values[random() % values.size()] = replacements[random() % replacements.size()];
    }
    variants.push_back(littleEndianBytes(values));
  }
  for (size_t k = 0; k < variants.size(); k++) {
    const std::string& changed = variants[k];
    const std::string input = work.write("in.bin", original);
    PhaseWatch watch("_dcc: 3", [&] {
      fs::resize_file(input, changed.size());
      std::fstream file(input, std::ios::in | std::ios::out | std::ios::binary);
      file.write(changed.data(), std::streamsize(changed.size()));
    });
    const DriverRun run = runDriver(input, work.pathOf("out.bin"), "low_mem", work.path());
    const int32_t code = codeOfSecondReading(original, changed);
    ASSERT_EQ(run.code, code) << "variant " << k;
    EXPECT_EQ(run.output, code == 0 ? expected : std::string()) << "variant " << k;
    ASSERT_TRUE(leftovers(work.path()).empty()) << "variant " << k;
  }
}

// A temporary file that reads back other than it was written: whatever the change, the value read is never
// used out of its range, and the run fails naming the file.
TEST(DominatorComputerSncaLowMem, AChangedTemporaryFileIsABrokenInvariant) {
  const Values chain{5, 1, 2, 1, 3, 1, 4, 1, 2, 1, 1};  // 1 -> 2 -> 3 -> 4 -> 2, root 1
  struct TempChange {
    const char* name;
    const char* moment;
    const char* suffix;
    std::function<void(const std::string& path)> edit;
  };
  const std::vector<TempChange> cases{
      {"a parent not below its ordinal", "_dcc: 4", "_parent.tmp", [](const std::string& p) { overwriteValue(p, 3, 3); }},
      {"a negative parent", "_dcc: 4", "_parent.tmp", [](const std::string& p) { overwriteValue(p, 2, -1); }},
      {"another parent in range", "_dcc: 4", "_parent.tmp", [](const std::string& p) { overwriteValue(p, 3, 0); }},
      {"parents cut short", "_dcc: 4", "_parent.tmp", [](const std::string& p) { fs::resize_file(p, 8); }},
      {"parents grown", "_dcc: 4", "_parent.tmp",
       [](const std::string& p) { std::ofstream(p, std::ios::binary | std::ios::app) << littleEndianBytes({0}); }},
      {"parents changed for their second reading", "_dcc: 6: stack size (bytes): 4104", "_parent.tmp",
       [](const std::string& p) { overwriteValue(p, 4, 1); }},
      {"a huge predecessor count", "_dcc: 5", "_brt.tmp", [](const std::string& p) { overwriteValue(p, 0, INT32_MAX); }},
      {"a predecessor out of range", "_dcc: 5", "_brt.tmp", [](const std::string& p) { overwriteValue(p, 1, 5); }},
      {"another predecessor in range", "_dcc: 5", "_brt.tmp", [](const std::string& p) { overwriteValue(p, 1, 1); }},
      {"predecessors cut short", "_dcc: 5", "_brt.tmp", [](const std::string& p) { fs::resize_file(p, 12); }},
      {"an ordinal out of range", "_dcc: brt: 2", "_node2ordinal.tmp",
       [](const std::string& p) { overwriteValue(p, 2, 9); }},
      {"ordinals that are no permutation", "_dcc: 7", "_node2ordinal.tmp",
       [](const std::string& p) { overwriteValue(p, 2, 1); }},
      {"ordinals cut short", "_dcc: 7", "_node2ordinal.tmp", [](const std::string& p) { fs::resize_file(p, 4); }},
  };
  TempDir work;
  const std::string input = work.write("in.bin", littleEndianBytes(chain));
  for (const TempChange& c : cases) {
    PhaseWatch watch(c.moment, [&] { c.edit(PhaseWatch::tempPath(c.suffix)); });
    const DriverRun run = runDriver(input, work.pathOf("out.bin"), "low_mem", work.path());
    EXPECT_EQ(run.code, 101) << c.name;
    EXPECT_TRUE(hasMatch(watch.entries(), "^error at DominatorComputerSnca_LowMem:\\d+: temporary file changed: .*" +
                                              std::string(c.suffix) + "$"))
        << c.name;
    EXPECT_TRUE(run.output.empty()) << c.name;
    EXPECT_TRUE(leftovers(work.path()).empty()) << c.name;
  }
}
