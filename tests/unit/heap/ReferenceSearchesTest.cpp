#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "agent/heap/ObjectRefStorage.h"
#include "agent/heap/ReferenceSearches.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/LogCapture.h"

namespace {

using Lists = std::vector<std::vector<int32_t>>;  // lists[u]: the slots of object u, 0 for an empty slot

std::unique_ptr<ObjectRefStorage> storageOf(const Lists& lists) {
  auto references = std::make_unique<ObjectRefStorage>("r", int32_t(lists.size()));
  for (int32_t u = 1; u < int32_t(lists.size()); u++) {
    references->allocate(u, int32_t(lists[u].size()));
    for (int32_t j = 0; j < int32_t(lists[u].size()); j++) references->setRef(u, lists[u][j], j);
  }
  return references;
}

using Bits = std::vector<int32_t>;

Bits bitsOf(int32_t words, const std::vector<int32_t>& objects) {
  Bits bits(words, 0);
  for (int32_t i : objects) bits[i >> 5] |= int32_t(1u << (i & 31));
  return bits;
}

std::vector<int32_t> objectsOf(const Bits& bits) {
  std::vector<int32_t> objects;
  for (int32_t i = 0; i < int32_t(bits.size()) * 32; i++) {
    if ((uint32_t(bits[i >> 5]) >> (i & 31) & 1) != 0) objects.push_back(i);
  }
  return objects;
}

ObjectMarks marksOf(Bits& bits) { return {bits.data(), int32_t(bits.size())}; }
ObjectSet setOf(const Bits& bits) { return {bits.data(), int32_t(bits.size())}; }

// Objects 1 to 11 and one word of bits. 5 -> 6 -> 7, 5 -> 5, 8 -> (K = 10, 9), 9 -> 11.
Lists smallGraph() {
  Lists lists(12);
  lists[5] = {6, 5};
  lists[6] = {7};
  lists[8] = {10, 9};
  lists[9] = {11};
  return lists;
}

// ~ of a word-wide set minus the given objects, for the complements of f0m and f0o.
std::vector<int32_t> allBut(const std::vector<int32_t>& left) {
  std::vector<int32_t> objects;
  for (int32_t i = 0; i < 32; i++) {
    if (std::find(left.begin(), left.end(), i) == left.end()) objects.push_back(i);
  }
  return objects;
}

}  // namespace

TEST(ReferenceSearches, TheQuestionsOnASmallGraph) {
  struct Case {
    std::string name;
    std::vector<int32_t> before;  // bits set on entry
    std::function<void(ObjectRefStorage&, ObjectMarks)> search;
    std::vector<int32_t> after;
  };
  const std::vector<int32_t> none;
  const Bits set6 = bitsOf(1, {6});
  const std::vector<int32_t> objects68{6, 8};
  const std::vector<Case> cases{
      {"f through a marked object stops there",
       {6},
       [](ObjectRefStorage& r, ObjectMarks m) { findReachable(r, std::vector<int32_t>{5}.data(), 1, m); },
       {5, 6}},
      {"f with no roots changes nothing",
       {3},
       [](ObjectRefStorage& r, ObjectMarks m) { findReachable(r, nullptr, 0, m); },
       {3}},
      {"f follows a self-reference once",
       none,
       [](ObjectRefStorage& r, ObjectMarks m) {
         findReachable(r, std::vector<int32_t>{5, 5}.data(), 2, m);
       },
       {5, 6, 7}},
      {"fStrong leaves out reference 1 of holders whose reference 0 is 10",
       none,
       [](ObjectRefStorage& r, ObjectMarks m) {
         const Bits start = bitsOf(1, {8});
         const std::vector<int32_t> excluded{10, 1};
         findStronglyReachable(r, setOf(start), m, excluded.data(), 2, 0, 0);
       },
       {8, 10}},
      {"fStrong leaves out one reference",
       none,
       [](ObjectRefStorage& r, ObjectMarks m) {
         const Bits start = bitsOf(1, {8});
         findStronglyReachable(r, setOf(start), m, nullptr, 0, 8, 0);
       },
       {8, 9, 11}},
      {"fStrong starts from every object of the set",
       {11},
       [](ObjectRefStorage& r, ObjectMarks m) {
         const Bits start = bitsOf(1, {5, 9, 11});
         findStronglyReachable(r, setOf(start), m, nullptr, 0, 0, 0);
       },
       {5, 6, 7, 9, 11}},
      {"f0m: what 6 keeps alive, and every index the roots do not reach", none,
       [&](ObjectRefStorage& r, ObjectMarks m) {
         findRetainedBySet(r, setOf(set6), std::vector<int32_t>{5}.data(), 1, m);
       },
       allBut({5})},
      {"f0m: a bit set on entry is a barrier and is cleared",
       {8},
       [&](ObjectRefStorage& r, ObjectMarks m) {
         findRetainedBySet(r, setOf(set6), std::vector<int32_t>{5, 8}.data(), 2, m);
       },
       allBut({5, 8})},
      {"f0o with objects[0, 1) is f0m of {6}", none,
       [&](ObjectRefStorage& r, ObjectMarks m) {
         findRetainedByObjects(r, objects68.data(), 2, 0, 1, std::vector<int32_t>{5}.data(), 1, m);
       },
       allBut({5})},
      {"f0o: an empty slice keeps nothing alive", none,
       [&](ObjectRefStorage& r, ObjectMarks m) {
         findRetainedByObjects(r, objects68.data(), 2, 1, 1, std::vector<int32_t>{5, 8}.data(), 2, m);
       },
       allBut({5, 6, 7, 8, 9, 10, 11})},
  };
  const auto references = storageOf(smallGraph());
  for (const Case& c : cases) {
    Bits marks = bitsOf(1, c.before);
    c.search(*references, marksOf(marks));
    EXPECT_EQ(objectsOf(marks), c.after) << c.name;
  }
}

// A search never reads or writes a bit outside the bitset: the words past it (a guard here) stay as they
// were, and the index that would leave it is refused.
TEST(ReferenceSearches, IndicesOutsideTheStorageOrTheBitsetAreRefused) {
  Lists lists(80);
  lists[1] = {2};
  lists[2] = {70};  // past a one-word bitset
  const auto references = storageOf(lists);
  const int32_t guard = 0x5a5a5a5a;
  struct Case {
    std::string name;
    std::function<void(ObjectMarks)> search;
  };
  const std::vector<int32_t> odd{1, 2, 3};
  const std::vector<Case> cases{
      {"root 0", [&](ObjectMarks m) { findReachable(*references, std::vector<int32_t>{0}.data(), 1, m); }},
      {"negative root", [&](ObjectMarks m) { findReachable(*references, std::vector<int32_t>{-40}.data(), 1, m); }},
      {"root past the storage",
       [&](ObjectMarks m) { findReachable(*references, std::vector<int32_t>{80}.data(), 1, m); }},
      {"root past the bitset",
       [&](ObjectMarks m) {
         findReachable(*references, std::vector<int32_t>{3, 40}.data(), 2, m);
       }},
      {"reference past the bitset",
       [&](ObjectMarks m) { findReachable(*references, std::vector<int32_t>{1}.data(), 1, m); }},
      {"start past the bitset",
       [&](ObjectMarks m) {
         const Bits start = bitsOf(3, {64});
         findStronglyReachable(*references, setOf(start), m, nullptr, 0, 0, 0);
       }},
      {"odd excluded fields",
       [&](ObjectMarks m) {
         const Bits start = bitsOf(1, {3});
         findStronglyReachable(*references, setOf(start), m, odd.data(), 3, 0, 0);
       }},
      {"f0m root past the bitset",
       [&](ObjectMarks m) {
         const Bits set = bitsOf(1, {3});
         findRetainedBySet(*references, setOf(set), std::vector<int32_t>{33}.data(), 1, m);
       }},
      {"f0o object past the bitset",
       [&](ObjectMarks m) {
         findRetainedByObjects(*references, std::vector<int32_t>{3, 50}.data(), 2, 0, 2, nullptr, 0, m);
       }},
      {"f0o slice past the objects",
       [&](ObjectMarks m) {
         findRetainedByObjects(*references, std::vector<int32_t>{3}.data(), 1, 0, 2, nullptr, 0, m);
       }},
      {"f0o reversed slice",
       [&](ObjectMarks m) {
         findRetainedByObjects(*references, std::vector<int32_t>{3}.data(), 1, 1, 0, nullptr, 0, m);
       }},
  };
  for (const Case& c : cases) {
    Bits words{0, guard, guard};
    const std::string error = fatalErrorOf([&] { c.search({words.data(), 1}); });
    EXPECT_NE(error.find("error at ReferenceSearches:"), std::string::npos) << c.name << ": " << error;
    EXPECT_EQ(words[1], guard) << c.name;
    EXPECT_EQ(words[2], guard) << c.name;
  }
}

namespace {

// The plain answers, by breadth-first search over the same lists.
struct Reference {
  const Lists& lists;

  using Follows = std::function<bool(int32_t u, int32_t r)>;

  // marks gains everything reached from `from` through unmarked objects.
  void reach(std::vector<bool>& marks, const std::vector<int32_t>& from, const Follows& follows) const {
    std::deque<int32_t> queue;
    for (int32_t s : from) {
      if (marks[s]) continue;
      marks[s] = true;
      queue.push_back(s);
    }
    while (!queue.empty()) {
      const int32_t u = queue.front();
      queue.pop_front();
      for (int32_t r = 0; r < int32_t(lists[u].size()); r++) {
        const int32_t t = lists[u][r];
        if (t == 0 || marks[t] || !follows(u, r)) continue;
        marks[t] = true;
        queue.push_back(t);
      }
    }
  }
};

std::vector<bool> asFlags(const Bits& bits) {
  std::vector<bool> flags(bits.size() * 32);
  for (int32_t i : objectsOf(bits)) flags[i] = true;
  return flags;
}

Bits asBits(const std::vector<bool>& flags) {
  Bits bits(flags.size() / 32, 0);
  for (int32_t i = 0; i < int32_t(flags.size()); i++) {
    if (flags[i]) bits[i >> 5] |= int32_t(1u << (i & 31));
  }
  return bits;
}

}  // namespace

// Random graphs with cycles, duplicates, empty slots and self-references; random roots, pre-set marks
// and exclusions: every search answers what a breadth-first search over the same lists answers.
TEST(ReferenceSearches, EverySearchAgreesWithABreadthFirstSearch) {
  std::mt19937 random(99);
  for (int32_t round = 0; round < 200; round++) {
    const int32_t n = 2 + int32_t(random() % 300);
    const int32_t words = (n - 1) / 32 + 1 + int32_t(random() % 2);
    auto below = [&](int32_t bound) { return int32_t(random() % uint32_t(bound)); };
    Lists lists(n);
    const int32_t keys = 1 + below(3);  // few distinct first references, so that excluded pairs match
    for (int32_t u = 1; u < n; u++) {
      const int32_t count = below(5);
      for (int32_t j = 0; j < count; j++) {
        const int32_t kind = below(10);
        lists[u].push_back(kind == 0 ? 0 : j == 0 && kind < 5 ? 1 + below(std::min(keys, n - 1)) : 1 + below(n - 1));
      }
    }
    const auto references = storageOf(lists);
    const Reference plain{lists};
    auto someObjects = [&](int32_t count) {
      std::vector<int32_t> objects;
      for (int32_t k = 0; k < count; k++) objects.push_back(1 + below(n - 1));
      return objects;
    };
    auto someBits = [&](int32_t count) {
      Bits bits(words, 0);
      for (int32_t i : someObjects(count)) bits[i >> 5] |= int32_t(1u << (i & 31));
      return bits;
    };
    const std::vector<int32_t> roots = someObjects(below(4));
    const Bits before = someBits(below(3));
    SCOPED_TRACE("round " + std::to_string(round));

    Bits marks = before;
    findReachable(*references, roots.data(), int32_t(roots.size()), marksOf(marks));
    std::vector<bool> expected = asFlags(before);
    for (int32_t r : roots) plain.reach(expected, {r}, [](int32_t, int32_t) { return true; });
    ASSERT_EQ(marks, asBits(expected)) << "f";

    const Bits start = someBits(below(4));
    std::vector<int32_t> excluded;
    for (int32_t k = below(3); k > 0; k--) excluded.insert(excluded.end(), {1 + below(keys), below(3)});
    const int32_t excludedObject = below(3) == 0 ? 0 : 1 + below(n - 1);
    const int32_t excludedRefIndex = below(3);
    marks = before;
    findStronglyReachable(*references, setOf(start), marksOf(marks), excluded.data(), int32_t(excluded.size()),
                          excludedObject, excludedRefIndex);
    expected = asFlags(before);
    const Reference::Follows strong = [&](int32_t u, int32_t r) {
      if (u == excludedObject && r == excludedRefIndex) return false;
      for (size_t m = 0; m < excluded.size(); m += 2) {
        if (excluded[m] == lists[u][0] && excluded[m + 1] == r) return false;
      }
      return true;
    };
    for (int32_t i : objectsOf(start)) plain.reach(expected, {i}, strong);
    ASSERT_EQ(marks, asBits(expected)) << "fStrong";

    // f0m and f0o over the same set, one as bits, the other as a slice of a longer list.
    const std::vector<int32_t> members = someObjects(below(4));
    std::vector<int32_t> padded = someObjects(2);
    const int32_t from = int32_t(padded.size());
    padded.insert(padded.end(), members.begin(), members.end());
    const int32_t to = int32_t(padded.size());
    padded.push_back(1 + below(n - 1));
    Bits set(words, 0);
    for (int32_t i : members) set[i >> 5] |= int32_t(1u << (i & 31));
    expected = asFlags(before);
    for (int32_t i : members) expected[i] = true;
    plain.reach(expected, roots, [](int32_t, int32_t) { return true; });
    for (size_t i = 0; i < expected.size(); i++) expected[i] = !expected[i];
    for (int32_t i : members) expected[i] = true;
    Bits retained = before;
    findRetainedBySet(*references, setOf(set), roots.data(), int32_t(roots.size()), marksOf(retained));
    ASSERT_EQ(retained, asBits(expected)) << "f0m";
    retained = before;
    findRetainedByObjects(*references, padded.data(), int32_t(padded.size()), from, to, roots.data(),
                          int32_t(roots.size()), marksOf(retained));
    ASSERT_EQ(retained, asBits(expected)) << "f0o";
  }
}

// Ten million objects in one chain and a star of a million: a search that recursed per object would
// exhaust the thread's stack long before the end.
TEST(ReferenceSearches, LongChainsAndWideFansDoNotRecurse) {
  const int32_t n = 10000001;
  LogCapture quiet;
  ObjectRefStorage references("r", n);
  for (int32_t u = 1; u < n - 1; u++) {
    references.allocate(u, 1);
    references.setRef(u, u + 1, 0);
  }
  Bits marks(n / 32 + 1, 0);
  const auto started = std::chrono::steady_clock::now();
  markReachable(references, 1, marksOf(marks));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  int64_t marked = 0;
  for (int32_t word : marks) marked += __builtin_popcount(uint32_t(word));
  EXPECT_EQ(marked, n - 1);

  const int32_t fan = 1000000;
  ObjectRefStorage star("s", fan + 2);
  star.allocate(1, fan);
  for (int32_t j = 0; j < fan; j++) star.setRef(1, j + 2, j);
  Bits starMarks((fan + 2) / 32 + 1, 0);
  markStronglyReachable(star, 1, marksOf(starMarks), nullptr, 0, 1, 7);
  marked = 0;
  for (int32_t word : starMarks) marked += __builtin_popcount(uint32_t(word));
  EXPECT_EQ(marked, fan);  // all but reference 7
}
