#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "agent/heap/DominatorDriver.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"
#include "tests/unit/heap/DominatorFixtures.h"
#include "tests/unit/heap/HeapLogText.h"

namespace fs = std::filesystem;

namespace {

using Values = std::vector<int32_t>;

struct Outcome {
  int32_t code;
  std::vector<std::string> log;
  bool outputExists;
  Values output;
};

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The process's open descriptors, to see that no path leaks one; 0 where the system does not list them.
int32_t openDescriptors() {
#ifdef _WIN32
  return 0;
#else
  return int32_t(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
#endif
}

Outcome runOn(const TempDir& work, const std::string& inputBytes, const std::string& algorithm = "snca",
              std::string output = "") {
  const std::string input = work.write("in.bin", inputBytes);
  if (output.empty()) output = work.pathOf("out.bin");
  fs::remove(output);
  const int32_t before = openDescriptors();
  LogCapture log;
  Outcome outcome;
  outcome.code = computeDominatorsCaught(YString(input.c_str()), YString(output.c_str()),
                                         YString(algorithm.c_str()), YString(work.path().c_str()));
  EXPECT_EQ(before, openDescriptors()) << "a descriptor stayed open";
  for (const fs::directory_entry& entry : fs::directory_iterator(work.path())) {
    EXPECT_NE(0u, entry.path().filename().string().rfind("bzptmp_", 0)) << "left behind: " << entry.path();
  }
  outcome.log = log.entries();
  outcome.outputExists = fs::exists(output);
  if (outcome.outputExists) outcome.output = littleEndianValues(readWhole(output));
  return outcome;
}


bool hasEntry(const std::vector<std::string>& log, const std::string& text) {
  return std::find(log.begin(), log.end(), text) != log.end();
}

bool hasPrefix(const std::vector<std::string>& log, const std::string& prefix) {
  return std::any_of(log.begin(), log.end(), [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
}

struct GraphCase {
  const char* name;
  Values input;
  Values idom;
};

const std::vector<std::string> algorithms{"snca", "low_mem"};

}  // namespace

TEST(DominatorDriver, TinyGraphsGiveTheirImmediateDominators) {
  const std::vector<GraphCase> cases{
      {"one object", {2, 0, 1, 1}, {0}},
      {"chain of two", {3, 1, 2, 0, 1, 1}, {0, 1}},
      {"both roots", {3, 1, 2, 0, 2, 1, 2}, {0, 0}},
      {"chain of three", {4, 1, 2, 1, 3, 0, 1, 1}, {0, 1, 2}},
      {"diamond", {5, 2, 2, 3, 1, 4, 1, 4, 0, 1, 1}, {0, 1, 1, 1}},
      {"two roots share a child", {4, 1, 3, 1, 3, 0, 2, 1, 2}, {0, 0, 0}},
      {"cycle", {4, 1, 2, 1, 3, 1, 2, 1, 1}, {0, 1, 2}},
      // Duplicates, a self-reference, a root referred to and bytes after the last root change nothing.
      {"noise", {4, 3, 2, 2, 1, 2, 1, 3, 1, 1, 3, 1, 1, 1, 77, 78}, {0, 1, 2}},
  };
  TempDir work;
  for (const std::string& algorithm : algorithms) {
    for (const GraphCase& c : cases) {
      const Outcome outcome = runOn(work, littleEndianBytes(c.input), algorithm);
      EXPECT_EQ(0, outcome.code) << c.name << ", " << algorithm;
      EXPECT_EQ(c.idom, outcome.output) << c.name << ", " << algorithm;
      EXPECT_EQ("OK", memoryLogTexts(outcome.log).back()) << c.name << ", " << algorithm;
    }
  }
}

TEST(DominatorDriver, ReadingLogsNodesReferencesAndRootsInOrder) {
  TempDir work;
  const Outcome outcome = runOn(work, littleEndianBytes({5, 2, 2, 3, 1, 4, 1, 4, 0, 1, 1}));
  ASSERT_EQ(0, outcome.code);
  const std::string in = work.pathOf("in.bin");
  const std::string out = work.pathOf("out.bin");
  const std::vector<std::string> expected{"Reading input: " + in, "creating idom...",
                                          "starting DominatorComputerSnca...", "Writing output: " + out, "OK"};
  std::vector<std::string> driverLines;
  for (const std::string& text : memoryLogTexts(outcome.log)) {
    if (std::find(expected.begin(), expected.end(), text) != expected.end()) driverLines.push_back(text);
  }
  EXPECT_EQ(expected, driverLines);
  const std::vector<std::string> plain{"N = 5", "refs: 4", "roots: 1"};
  for (const std::string& line : plain) EXPECT_TRUE(hasEntry(outcome.log, line)) << line;
}

struct FailureCase {
  const char* name;
  std::string input;  // bytes
  const char* algorithm;
  int32_t code;
  const char* line;  // a log entry, whole, or the start of one when it ends in '*'
};

// Codes 4 to 7 and 101 leave the output created and empty. Each "snca" case holds for "low_mem" too.
TEST(DominatorDriver, EveryFormatAndComputationFailureHasItsCodeAndLine) {
  const std::vector<FailureCase> cases{
      {"count -1 in node 1", littleEndianBytes({3, -1, 2, 0, 1, 1}), "snca", 4, "bad refCount: -1"},
      {"target 0", littleEndianBytes({3, 1, 0, 0, 1, 1}), "snca", 5, "bad target: 0"},
      {"target N", littleEndianBytes({3, 1, 3, 0, 1, 1}), "snca", 5, "bad target: 3"},
      {"cut short in a list", littleEndianBytes({3, 2, 2}), "snca", 5, "bad target: 0"},
      {"root N", littleEndianBytes({3, 1, 2, 0, 1, 3}), "snca", 6, "bad root: 3"},
      {"negative root", littleEndianBytes({3, 1, 2, 0, 2, 1, -4}), "snca", 6, "bad root: -4"},
      {"case matters", littleEndianBytes({3, 1, 2, 0, 1, 1}), "SNCA", 7, "error: unsupported algorithm: SNCA"},
      {"the other case matters too", littleEndianBytes({3, 1, 2, 0, 1, 1}), "LOW_MEM", 7,
       "error: unsupported algorithm: LOW_MEM"},
      {"name checked after reading", littleEndianBytes({3, 1, 9}), "SNCA", 5, "bad target: 9"},
      {"no root", littleEndianBytes({3, 1, 2, 0, 0, 0}), "snca", 101, "roots: 0"},
      {"negative root count", littleEndianBytes({3, 1, 2, 0, -2, 0}), "snca", 101, "roots: -2"},
      {"unreachable object", littleEndianBytes({4, 1, 2, 0, 0, 1, 1}), "snca", 101,
       "error: exception caught at Dominators:*"},
      {"N of 0", littleEndianBytes({0, 1, 1}), "snca", 101, "error at Dominators:*"},
      {"negative N", littleEndianBytes({-7}), "snca", 101, "error at Dominators:*"},
      {"empty file", "", "snca", 101, "N = 0"},
      // Far more nodes or targets than the file can hold: checked as the values come, nothing reserved.
      {"N beyond the file", littleEndianBytes({3, 0, 0, 1}), "snca", 6, "bad root: 0"},
      {"N far beyond the file", littleEndianBytes({INT32_MAX, 0, 1, 0}), "snca", 5, "bad target: 0"},
      {"N beyond the file, no root", littleEndianBytes({INT32_MAX, 0, 0}), "snca", 101, "roots: 0"},
      {"N beyond the file, bad name", littleEndianBytes({INT32_MAX, 0, 0}), "x", 7, "error: unsupported algorithm: x"},
      {"count beyond the file", littleEndianBytes({3, INT32_MAX, 2, 2, 2, 2}), "snca", 5, "bad target: 0"},
      {"count beyond the file, bad target first", littleEndianBytes({3, INT32_MAX, 2, 5, 2, 2}), "snca", 5,
       "bad target: 5"},
  };
  TempDir work;
  std::vector<FailureCase> both = cases;
  for (FailureCase c : cases) {
    if (std::string(c.algorithm) != "snca") continue;
    c.algorithm = "low_mem";
    both.push_back(c);
  }
  for (const FailureCase& c : both) {
    SCOPED_TRACE(c.algorithm);
    const Outcome outcome = runOn(work, c.input, c.algorithm);
    EXPECT_EQ(c.code, outcome.code) << c.name;
    const std::string line = c.line;
    if (line.back() == '*') {
      const std::string prefix = line.substr(0, line.size() - 1);
      EXPECT_TRUE(hasPrefix(outcome.log, prefix) || hasPrefix(memoryLogTexts(outcome.log), prefix)) << c.name;
    } else {
      EXPECT_TRUE(hasEntry(outcome.log, line) || hasEntry(memoryLogTexts(outcome.log), line)) << c.name;
    }
    EXPECT_TRUE(outcome.outputExists) << c.name;
    EXPECT_TRUE(outcome.output.empty()) << c.name;
    if (c.code == 101) {
      EXPECT_TRUE(hasPrefix(memoryLogTexts(outcome.log), "error: exception caught at Dominators:")) << c.name;
    }
  }
}

// A file too short for its N fails without the N-sized arrays being made; a fitting one makes them.
TEST(DominatorDriver, NodeArraysAreMadeOnlyForAFileThatCanHoldTheGraph) {
  TempDir work;
  EXPECT_EQ(0, mentionsOf("BIA_P=r-s", runOn(work, littleEndianBytes({INT32_MAX, 0, 1, 1})).log));
  EXPECT_EQ(0, mentionsOf("BIA_P=r-s", runOn(work, littleEndianBytes({100000000})).log));
  EXPECT_EQ(1, mentionsOf("BIA_P=r-s size=3", runOn(work, littleEndianBytes({3, 1, 2, 0, 1, 1})).log));
  // A last root whose high bytes are missing reads them as 0 and still counts.
  std::string cut = littleEndianBytes({3, 1, 2, 0, 1, 1});
  cut.resize(cut.size() - 3);
  const Outcome outcome = runOn(work, cut);
  EXPECT_EQ(0, outcome.code);
  EXPECT_EQ((Values{0, 1}), outcome.output);
}

TEST(DominatorDriver, FilesThatCannotBeOpenedOrWrittenHaveTheirCodes) {
  TempDir work;
  const std::string valid = littleEndianBytes({3, 1, 2, 0, 1, 1});
  const std::string missing = work.pathOf("none/in.bin");
  LogCapture log;
  EXPECT_EQ(2, computeDominatorsCaught(YString(missing.c_str()), YString(work.pathOf("o").c_str()), YString("snca"),
                                       YString("")));
  EXPECT_TRUE(hasEntry(log.entries(), "Failed to open input file: " + missing));
  EXPECT_FALSE(fs::exists(work.pathOf("o")));

  const Outcome unopened = runOn(work, valid, "snca", work.pathOf("none/out.bin"));
  EXPECT_EQ(3, unopened.code);
  EXPECT_TRUE(hasEntry(unopened.log, "Failed to open output file: " + work.pathOf("none/out.bin")));

#ifndef _WIN32
  const int32_t before = openDescriptors();
  LogCapture full;
  EXPECT_EQ(8, computeDominatorsCaught(YString(work.write("in.bin", valid).c_str()), YString("/dev/full"),
                                       YString("snca"), YString("")));
  EXPECT_EQ(before, openDescriptors());
  EXPECT_TRUE(hasEntry(memoryLogTexts(full.entries()), "write error: No space left on device"));
  EXPECT_FALSE(hasEntry(memoryLogTexts(full.entries()), "OK"));
#endif
}

namespace {

// The file's rules read plainly: missing bytes are 0, every list is kept, and a graph that passes is
// computed only when a root reaches every node. The code computeDominators must give.
int32_t expectedCode(const std::string& bytes) {
  size_t at = 0;
  auto next = [&] {
    uint32_t value = 0;
    for (int32_t k = 0; k < 4; k++, at++) value |= at < bytes.size() ? uint32_t(uint8_t(bytes[at])) << (8 * k) : 0;
    return int32_t(value);
  };
  const int32_t n = next();
  if (n < 1) return 101;
  std::vector<std::vector<int32_t>> lists(size_t(std::min(n, 1 << 20)));
  for (int32_t k = 1; k < n; k++) {
    if (at >= bytes.size()) break;  // all further counts are 0
    const int32_t count = next();
    if (count < 0) return 4;
    for (int32_t j = 0; j < count; j++) {
      const int32_t t = next();
      if (t < 1 || t >= n) return 5;
      lists[size_t(k)].push_back(t);
    }
  }
  const int32_t rootCount = next();
  std::vector<int32_t> stack;
  for (int32_t j = 0; j < rootCount; j++) {
    const int32_t r = next();
    if (r < 1 || r >= n) return 6;
    stack.push_back(r);
  }
  if (stack.empty()) return 101;
  std::vector<bool> seen(size_t(n), false);
  int32_t reached = 1;
  while (!stack.empty()) {
    const int32_t v = stack.back();
    stack.pop_back();
    if (seen[size_t(v)]) continue;
    seen[size_t(v)] = true;
    reached++;
    for (const int32_t t : lists[size_t(v)]) stack.push_back(t);
  }
  return reached == n ? 0 : 101;
}

}  // namespace

TEST(DominatorDriver, EveryTruncationOfAValidFileGivesTheCodeOfItsZeroPaddedReading) {
  TempDir work;
  const std::string valid = littleEndianBytes({6, 2, 2, 3, 2, 4, 4, 1, 5, 1, 5, 0, 2, 1, 3, 1});
  ASSERT_EQ(0, expectedCode(valid));
  for (const std::string& algorithm : algorithms) {
    for (size_t length = 0; length <= valid.size(); length++) {
      const std::string cut = valid.substr(0, length);
      const Outcome outcome = runOn(work, cut, algorithm);
      EXPECT_EQ(expectedCode(cut), outcome.code) << "length " << length << ", " << algorithm;
      if (outcome.code == 0) {
        EXPECT_EQ(5u, outcome.output.size()) << "length " << length << ", " << algorithm;
      }
    }
  }
}

TEST(DominatorDriver, RandomValueFlipsGiveTheCodeOfTheirReading) {
  TempDir work;
  const Values valid{6, 2, 2, 3, 2, 4, 4, 1, 5, 1, 5, 0, 2, 1, 3, 1};
  const Values replacements{0, 1, 2, 5, 6, 7, -1, INT32_MIN, INT32_MAX, 1 << 20, 256};
  std::mt19937 random(39);
  for (int32_t round = 0; round < 300; round++) {
    Values values = valid;
    for (int32_t flips = 1 + int32_t(random() % 3); flips > 0; flips--) {
      values[random() % values.size()] = replacements[random() % replacements.size()];
    }
    std::string bytes = littleEndianBytes(values);
    bytes.resize(bytes.size() - random() % 6);
    const Outcome outcome = runOn(work, bytes);
    ASSERT_EQ(expectedCode(bytes), outcome.code) << "round " << round;
    const Outcome lowMem = runOn(work, bytes, "low_mem");
    ASSERT_EQ(outcome.code, lowMem.code) << "round " << round;
    EXPECT_EQ(outcome.output, lowMem.output) << "round " << round;
    if (outcome.code != 0) continue;
    for (const int32_t idom : outcome.output) EXPECT_TRUE(idom >= 0 && idom < values[0]) << "round " << round;
  }
}
