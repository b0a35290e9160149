#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "agent/heap/DominatorDriver.h"
#include "agent/heap/NewDominatorSupport.h"
#include "agent/heap/ObjectStorage.h"
#include "agent/heap/ReferenceSearches.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"
#include "tests/unit/heap/DominatorDriverRun.h"
#include "tests/unit/heap/DominatorFixtures.h"
#include "tests/unit/heap/HeapLogText.h"

#ifdef TALLYSCOPE_BOOST_GRAPH
#include "tests/support/BoostObjectDominators.h"
#endif

namespace {

using Lists = std::vector<std::vector<int32_t>>;  // lists[i]: the slots of object i, 0 for an empty slot

void fill(ObjectStorage& storage, const Lists& lists) {
  for (int32_t i = 1; i < int32_t(lists.size()); i++) {
    storage.references.allocate(i, int32_t(lists[i].size()));
    for (int32_t j = 0; j < int32_t(lists[i].size()); j++) storage.references.setRef(i, lists[i][j], j);
  }
}

std::vector<int32_t> bitsOf(const std::vector<int32_t>& objects, int32_t words = 1) {
  std::vector<int32_t> bits(words, 0);
  for (int32_t i : objects) bits[i >> 5] |= int32_t(1u << (i & 31));
  return bits;
}

ObjectSet selectionOf(const std::vector<int32_t>& bits) { return {bits.data(), int32_t(bits.size())}; }

YString y(const std::string& text) { return YString(text.c_str()); }

std::vector<int32_t> dominatorsOf(const ObjectStorage& storage) {
  return std::vector<int32_t>(storage.immediateDominators.data, storage.immediateDominators.data + storage.n);
}

// Objects 1 to 9; 2 -> 5, 5 -> 9, 9 -> 5; objects 2, 5 and 9 selected, 2 and 9 the roots.
struct WorkedExample {
  ObjectStorage storage{9};
  std::vector<int32_t> selected = bitsOf({2, 5, 9});
  std::vector<int32_t> roots{2, 9};

  WorkedExample() {
    Lists lists(10);
    lists[2] = {5};
    lists[5] = {9};
    lists[9] = {5};
    fill(storage, lists);
  }
};

}  // namespace

TEST(NewDominatorSupport, TheWorkedExampleWritesThisFile) {
  TempDir work;
  LogCapture log;
  WorkedExample example;
  const std::string path = work.pathOf("input.bin");
  EXPECT_EQ(NewDominatorSupport::createInput(y(path), example.storage, selectionOf(example.selected),
                                             example.roots.data(), 2),
            4);
  // Object 5 refers only to the root 9, so its list is empty; a leaf is no error.
  EXPECT_EQ(littleEndianValues(wholeFile(path)), (std::vector<int32_t>{4, 1, 2, 0, 1, 2, 2, 1, 3}));
  const std::vector<std::string> texts = memoryLogTexts(log.entries());
  EXPECT_NE(std::find(texts.begin(), texts.end(),
                      "NewDominatorSupport::createInput: all_refs=3 not_null_refs=3 written_refs=2"),
            texts.end());
  EXPECT_EQ(mentionsOf("NewDominatorSupport::createInput: roots=2\n  N=10\n  NC=4", log.entries()), 1);
}

// One selected object with these slots, beside the selected 3, 7 (no root) and 8 (a root).
TEST(NewDominatorSupport, ListsHoldEachSelectedTargetOnce) {
  struct Case {
    std::string name;
    std::vector<int32_t> slots;
    std::vector<int32_t> written;  // compact numbers, sorted
    std::string counters;
  };
  const std::vector<Case> cases{
      {"no slots", {}, {}, "all_refs=0 not_null_refs=0 written_refs=0"},
      {"null slots and a duplicate", {0, 7, 7, 0}, {3}, "all_refs=4 not_null_refs=2 written_refs=1"},
      {"only a root", {8, 8}, {}, "all_refs=2 not_null_refs=2 written_refs=0"},
      {"a self-reference", {1, 3, 1}, {1, 2}, "all_refs=3 not_null_refs=3 written_refs=2"},
      {"200 slots of one target", std::vector<int32_t>(200, 7), {3}, "all_refs=200 not_null_refs=200 written_refs=1"},
      {"130 slots of four kinds",
       [] {
         std::vector<int32_t> slots;
         for (int32_t k = 0; k < 130; k++) slots.push_back(std::vector<int32_t>{3, 0, 7, 8, 1}[k % 5]);
         return slots;
       }(),
       {1, 2, 3},
       "all_refs=130 not_null_refs=104 written_refs=3"},
  };
  for (const Case& c : cases) {
    TempDir work;
    LogCapture log;
    ObjectStorage storage(8);
    Lists lists(9);
    lists[1] = c.slots;
    fill(storage, lists);
    const std::vector<int32_t> selected = bitsOf({1, 3, 7, 8});
    const std::vector<int32_t> roots{8};
    const std::string path = work.pathOf("input.bin");
    ASSERT_EQ(NewDominatorSupport::createInput(y(path), storage, selectionOf(selected), roots.data(), 1), 5) << c.name;
    const std::vector<int32_t> values = littleEndianValues(wholeFile(path));
    ASSERT_GE(values.size(), 2u) << c.name;
    const int32_t count = values[1];
    ASSERT_EQ(values.size(), size_t(2 + count + 3 + 2)) << c.name;
    std::vector<int32_t> written(values.begin() + 2, values.begin() + 2 + count);
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, c.written) << c.name;
    EXPECT_EQ(std::vector<int32_t>(values.begin() + 2 + count, values.end()), (std::vector<int32_t>{0, 0, 0, 1, 4}))
        << c.name;
    EXPECT_EQ(mentionsOf("NewDominatorSupport::createInput: " + c.counters, log.entries()), 1) << c.name;
  }
}

TEST(NewDominatorSupport, RootsAndTargetsOutsideTheRulesAreRefused) {
  TempDir work;
  WorkedExample example;
  const ObjectSet selected = selectionOf(example.selected);
  const std::string path = work.pathOf("input.bin");

  // A root that is not selected is written as 0, which the driver refuses.
  const std::vector<int32_t> unselected{2, 3};
  {
    LogCapture quiet;
    ASSERT_EQ(NewDominatorSupport::createInput(y(path), example.storage, selected, unselected.data(), 2), 4);
  }
  const std::vector<int32_t> values = littleEndianValues(wholeFile(path));
  EXPECT_EQ(std::vector<int32_t>(values.end() - 3, values.end()), (std::vector<int32_t>{2, 1, 0}));

  // A root outside the storage is refused before it touches a table, and before the file is made.
  for (const int32_t root : {10, -1, -32}) {
    const std::vector<int32_t> roots{2, root};
    const std::string fresh = work.pathOf("refused" + std::to_string(root) + ".bin");
    const std::string refusal = "op=p_vector::[] " + std::to_string(root) + " 10";
    EXPECT_NE(fatalErrorOf([&] {
                NewDominatorSupport::createInput(y(fresh), example.storage, selected, roots.data(), 2);
              }).find(refusal),
              std::string::npos);
    EXPECT_NE(fatalErrorOf([&] {
                NewDominatorSupport::fingerprintOf(example.storage, selected, roots.data(), 2);
              }).find(refusal),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(fresh));
  }

  // A target that is neither selected nor a root breaks the selection's closure.
  const std::vector<int32_t> partial = bitsOf({2, 9});
  const std::vector<int32_t> roots{2};
  EXPECT_NE(fatalErrorOf([&] {
              NewDominatorSupport::createInput(y(path), example.storage, selectionOf(partial), roots.data(), 1);
            }).find("object 2 refers to 5, which is neither selected nor a root"),
            std::string::npos);

  // A file that cannot be made.
  LogCapture log;
  EXPECT_EQ(NewDominatorSupport::createInput(y(work.pathOf("missing/input.bin")), example.storage, selected,
                                             example.roots.data(), 2),
            -1);
  EXPECT_EQ(mentionsOf("NewDominatorSupport::createInput: error: file could not be created", log.entries()), 1);
}

TEST(NewDominatorSupport, ReadTranslatesCompactNumbersBack) {
  TempDir work;
  WorkedExample example;
  const ObjectSet selected = selectionOf(example.selected);
  const std::string path = work.write("result.bin", littleEndianBytes({0, 1, 0}));
  std::vector<int32_t> expected(10, 0);
  expected[5] = 2;
  for (const int32_t n : {4, -1}) {
    LogCapture log;
    std::fill(example.storage.immediateDominators.data, example.storage.immediateDominators.data + 10, 0);
    EXPECT_TRUE(NewDominatorSupport::read(y(path), example.storage, selected, n)) << n;
    EXPECT_EQ(dominatorsOf(example.storage), expected) << n;
    EXPECT_EQ(mentionsOf("NewDominatorSupport::read: done", log.entries()), 1);
  }

  struct Case {
    std::string name;
    std::string bytes;
    std::string line;
    std::vector<int32_t> stored;  // objects whose entry the failed read wrote
  };
  const std::vector<Case> cases{
      {"one value short", littleEndianBytes({0, 1}), "NewDominatorSupport::read: I/O error", {2, 5}},
      {"half a value short",
       littleEndianBytes({0, 1, 0}).substr(0, 10),
       "NewDominatorSupport::read: I/O error",
       {2, 5}},
      {"a value past N", littleEndianBytes({0, 4, 0}), "NewDominatorSupport::read: error: bad input: 4", {2}},
      {"a negative value", littleEndianBytes({-1, 1, 0}), "NewDominatorSupport::read: error: bad input: -1", {}},
  };
  for (const Case& c : cases) {
    LogCapture log;
    std::fill(example.storage.immediateDominators.data, example.storage.immediateDominators.data + 10, -7);
    EXPECT_FALSE(NewDominatorSupport::read(y(work.write("bad.bin", c.bytes)), example.storage, selected, 4)) << c.name;
    EXPECT_EQ(mentionsOf(c.line, log.entries()), 1) << c.name;
    for (const int32_t object : {2, 5, 9}) {
      const bool stored = std::find(c.stored.begin(), c.stored.end(), object) != c.stored.end();
      EXPECT_EQ(example.storage.immediateDominators[object] != -7, stored) << c.name << " object " << object;
    }
  }

  LogCapture log;
  EXPECT_FALSE(NewDominatorSupport::read(y(work.pathOf("none.bin")), example.storage, selected, 4));
  EXPECT_EQ(mentionsOf("NewDominatorSupport::read: error: file could not be opened", log.entries()), 1);
  // More selected objects than the file's N.
  EXPECT_NE(
      fatalErrorOf([&] { NewDominatorSupport::read(y(path), example.storage, selected, 3); }).find("op=p_vector::set"),
      std::string::npos);
}

// A kept result is read only for the computation it was made for; anything else leaves "i" alone.
TEST(NewDominatorSupport, AKeptResultIsReadOnlyForItsOwnComputation) {
  // Objects 1 to 6: 1 -> 2 -> 3; 4, 5 and 6 without references.
  struct Setup {
    Lists lists = Lists(7);
    std::vector<int32_t> selected = {1, 2, 3, 4, 5};
    std::vector<int32_t> roots = {1, 4};
  };
  Setup made;
  made.lists[1] = {2};
  made.lists[2] = {3};
  struct Case {
    std::string name;
    std::function<void(Setup&, const std::string& result)> change;
    std::string reason;  // empty: the kept result is read
  };
  const std::vector<Case> cases{
      {"the same computation", [](Setup&, const std::string&) {}, ""},
      {"no record", [](Setup&, const std::string& result) { std::filesystem::remove(result + ".fingerprint"); },
       "no fingerprint"},
      {"a record of another kind",
       [](Setup&, const std::string& result) {
         std::ofstream(result + ".fingerprint", std::ios::binary) << std::string(32, '\1');
       },
       "no fingerprint"},
      {"one more object selected", [](Setup& s, const std::string&) { s.selected.push_back(6); },
       "made for another number of objects"},
      {"a longer file",
       [](Setup&, const std::string& result) { std::ofstream(result, std::ios::binary | std::ios::app) << "xxxx"; },
       "not 4 x (N - 1) bytes long"},
      {"another selection of as many objects", [](Setup& s, const std::string&) { s.selected.back() = 6; },
       "made from another graph, selection or roots"},
      {"other roots", [](Setup& s, const std::string&) { s.roots = {1}; },
       "made from another graph, selection or roots"},
      {"roots in another order",
       [](Setup& s, const std::string&) {
         s.roots = {4, 1};
       },
       "made from another graph, selection or roots"},
      {"another reference",
       [](Setup& s, const std::string&) {
         s.lists[1] = {2, 3};
       },
       "made from another graph, selection or roots"},
      {"a result rewritten in place",
       [](Setup&, const std::string& result) {
         std::ofstream(result, std::ios::binary) << littleEndianBytes({0, 1, 1, 0, 0});
       },
       "changed since it was made"},
  };
  const std::vector<int32_t> kept{0, 1, 2, 0, 0};
  for (const Case& c : cases) {
    TempDir work;
    const std::string result = work.write("snapshot.idom", littleEndianBytes(kept));
    {
      LogCapture quiet;
      ObjectStorage storage(6);
      fill(storage, made.lists);
      const std::vector<int32_t> bits = bitsOf(made.selected);
      DominatorInputFingerprint fingerprint;
      ASSERT_EQ(NewDominatorSupport::createInput(y(work.pathOf("input.bin")), storage, selectionOf(bits),
                                                 made.roots.data(), 2, &fingerprint),
                6);
      EXPECT_TRUE(fingerprint == NewDominatorSupport::fingerprintOf(storage, selectionOf(bits), made.roots.data(), 2));
      ASSERT_TRUE(NewDominatorSupport::keepResult(y(result), fingerprint));
    }
    Setup now = made;
    c.change(now, result);
    LogCapture log;
    ObjectStorage storage(6);
    fill(storage, now.lists);
    std::fill(storage.immediateDominators.data, storage.immediateDominators.data + storage.n, -7);
    const std::vector<int32_t> bits = bitsOf(now.selected);
    const bool read = NewDominatorSupport::readKeptResult(y(result), storage, selectionOf(bits), now.roots.data(),
                                                          int32_t(now.roots.size()));
    if (c.reason.empty()) {
      EXPECT_TRUE(read) << c.name;
      EXPECT_EQ(dominatorsOf(storage), (std::vector<int32_t>{-7, 0, 1, 2, 0, 0, -7})) << c.name;
    } else {
      EXPECT_FALSE(read) << c.name;
      EXPECT_EQ(mentionsOf("NewDominatorSupport::readKeptResult: " + result + ": " + c.reason, log.entries()), 1)
          << c.name;
      EXPECT_EQ(dominatorsOf(storage), std::vector<int32_t>(7, -7)) << c.name;
    }
  }
}


// Storages with unreachable objects, duplicates, empty slots, self-references and references into
// roots, the selection being what the roots reach: written, computed by the driver and read back, every
// selected object gets Boost's immediate dominator, and the others keep 0.
TEST(NewDominatorSupport, TheDominatorsOfTheReachableObjectsAreBoosts) {
#if defined(TALLYSCOPE_BOOST_GRAPH_MISSING)
  FAIL() << "this comparison needs Boost's graph headers (Debian libboost-graph-dev)";
#elif !defined(TALLYSCOPE_BOOST_GRAPH)
  GTEST_SKIP() << "the Windows cross-build has no Boost graph headers; the Linux build compares";
#else
  std::mt19937 random(2024);
  TempDir work;
  for (int32_t round = 0; round < 40; round++) {
    const int32_t objects = 2 + int32_t(random() % 3000);
    auto below = [&](int32_t bound) { return int32_t(random() % uint32_t(bound)); };
    Lists lists(objects + 1);
    for (int32_t u = 1; u <= objects; u++) {
      for (int32_t count = below(4); count > 0; count--) {
        const int32_t kind = below(12);
        lists[u].push_back(kind == 0   ? 0
                           : kind == 1 ? u
                           : kind < 8  ? std::min(objects, u + 1 + below(8))
                                       : 1 + below(objects));
      }
      if (below(40) == 0) lists[u].insert(lists[u].end(), 150, 1 + below(objects));  // through the hash set
    }
    std::vector<int32_t> roots;
    for (int32_t k = 1 + below(5); k > 0; k--) roots.push_back(1 + below(objects));
    SCOPED_TRACE("round " + std::to_string(round) + " objects " + std::to_string(objects));

    LogCapture quiet;
    ObjectStorage storage(objects);
    fill(storage, lists);
    std::vector<int32_t> selected(objects / 32 + 1, 0);
    findReachable(storage.references, roots.data(), int32_t(roots.size()), {selected.data(), int32_t(selected.size())});
    const std::string input = work.pathOf("input.bin");
    const std::string output = work.pathOf("output.bin");
    const int32_t n =
        NewDominatorSupport::createInput(y(input), storage, selectionOf(selected), roots.data(), int32_t(roots.size()));
    ASSERT_GT(n, 1);
    ASSERT_EQ(runDriver(input, output, round % 2 == 0 ? "snca" : "low_mem", work.path()).code, 0);
    ASSERT_TRUE(NewDominatorSupport::read(y(output), storage, selectionOf(selected), n));

    std::vector<int32_t> expected = boostObjectDominators(lists, roots, selected);
    for (int32_t& d : expected) d = std::max(d, 0);
    expected[0] = 0;
    ASSERT_EQ(dominatorsOf(storage), expected);
  }
#endif
}
