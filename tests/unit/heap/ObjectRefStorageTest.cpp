#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/heap/ObjectRefStorage.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/LogCapture.h"
#include "tests/unit/heap/HeapLogText.h"

namespace {

constexpr int32_t chunk = BigIntArrayPaged::chunkSize;

std::vector<int32_t> walk(ObjectRefStorage& refs, int32_t i) {
  std::vector<int32_t> values;
  for (RefIterator it = refs.getRefIterator(i); it.hasNext();) values.push_back(it.next());
  return values;
}

std::vector<int32_t> refsOf(ObjectRefStorage& refs, int32_t i) {
  std::vector<int32_t> values;
  for (int32_t j = 0; j < refs.getRefCount(i); j++) values.push_back(refs.getRef(i, j));
  return values;
}

using Refs = std::vector<int32_t>;

}  // namespace

TEST(ObjectRefStorage, MakesItsNamedHeadArrays) {
  LogCapture log;
  ObjectRefStorage refs("brt", 5);
  const std::vector<std::string> expected{"BIA_P=brt-s size=5 (0 MB)", "BIA_P=brt-s done",
                                          "BIA_P=brt-c size=5 (0 MB)", "BIA_P=brt-c done"};
  EXPECT_EQ(memoryLogTexts(log.entries()), expected);
  EXPECT_EQ(refs.size(), 5);
  EXPECT_EQ(refs.packedEnd(), 0);
  for (int32_t i = 0; i < 5; i++) EXPECT_TRUE(walk(refs, i).empty());
}

TEST(ObjectRefStorage, PackedListsLieEndToEnd) {
  ObjectRefStorage refs("r", 5);
  refs.allocate(1, 3);
  refs.allocate(2, 0);
  refs.allocate(3, 2);
  EXPECT_EQ(refs.packedEnd(), 5);
  EXPECT_EQ(refsOf(refs, 1), (Refs{0, 0, 0}));

  for (int32_t j = 0; j < 3; j++) refs.setRef(1, 10 + j, j);
  refs.setRef(3, 4, 1);
  refs.setRef(3, 2, 0);
  EXPECT_EQ(refsOf(refs, 1), (Refs{10, 11, 12}));
  EXPECT_EQ(walk(refs, 1), (Refs{10, 11, 12}));
  EXPECT_EQ(walk(refs, 3), (Refs{2, 4}));
  EXPECT_EQ(refs.getRefCount(2), 0);
  EXPECT_TRUE(walk(refs, 2).empty());
}

TEST(ObjectRefStorage, ListsPastThePackLimitGetPrivateArrays) {
  LogCapture log;
  ObjectRefStorage refs("r", 8, 100);
  refs.allocate(1, 90);
  refs.allocate(2, 10);  // ends exactly at the limit: still packed
  EXPECT_EQ(refs.packedEnd(), 100);
  EXPECT_EQ(mentionsOf("with extraRefs", log.entries()), 0);

  refs.allocate(3, 1);
  refs.allocate(4, 3);
  refs.allocate(5, 0);  // an empty list always fits
  EXPECT_EQ(refs.packedEnd(), 100);
  EXPECT_EQ(mentionsOf("with extraRefs", log.entries()), 1);

  EXPECT_EQ(refsOf(refs, 4), (Refs{0, 0, 0}));
  EXPECT_TRUE(walk(refs, 4).empty());  // no array yet
  refs.setRef(4, 7, 2);
  refs.setRef(3, 6, 0);
  refs.setRef(2, 5, 9);
  EXPECT_EQ(refsOf(refs, 4), (Refs{0, 0, 7}));
  EXPECT_EQ(walk(refs, 4), (Refs{0, 0, 7}));
  EXPECT_EQ(walk(refs, 3), (Refs{6}));
  EXPECT_EQ(refs.getRef(2, 9), 5);
  EXPECT_EQ(refs.getRef(1, 89), 0);
}

TEST(ObjectRefStorage, SetNewRefCountGivesAnEmptyPrivateList) {
  ObjectRefStorage refs("r", 4);
  refs.allocate(1, 3);
  for (int32_t j = 0; j < 3; j++) refs.setRef(1, 5 + j, j);
  refs.allocate(2, 1);
  refs.setRef(2, 9, 0);

  refs.setNewRefCount(1, 2);
  EXPECT_EQ(refs.getRefCount(1), 2);
  EXPECT_EQ(refsOf(refs, 1), (Refs{0, 0}));
  refs.setRef(1, 3, 1);
  EXPECT_EQ(walk(refs, 1), (Refs{0, 3}));
  EXPECT_EQ(walk(refs, 2), (Refs{9}));  // the packed neighbour is untouched

  // Twice: the first array is freed and the list grows in place of it.
  refs.setNewRefCount(1, 4);
  EXPECT_EQ(refsOf(refs, 1), (Refs{0, 0, 0, 0}));
  refs.setRef(1, 8, 3);
  EXPECT_EQ(walk(refs, 1), (Refs{0, 0, 0, 8}));

  refs.setNewRefCount(3, 1);  // an object never given a list
  refs.setRef(3, 2, 0);
  EXPECT_EQ(walk(refs, 3), (Refs{2}));
  EXPECT_EQ(walk(refs, 1), (Refs{0, 0, 0, 8}));
}

TEST(ObjectRefStorage, IteratorStepsOverChunksNeverMade) {
  ObjectRefStorage refs("r", 3);
  refs.allocate(1, chunk - 2);
  refs.allocate(2, 5);  // offsets chunk - 2 to chunk + 2, across the first chunk boundary
  EXPECT_EQ(walk(refs, 2), (Refs{0, 0, 0, 0, 0}));

  refs.setRef(2, 7, 0);
  EXPECT_EQ(walk(refs, 2), (Refs{7, 0, 0, 0, 0}));  // the second chunk is still missing
  refs.setRef(2, 9, 4);
  refs.setRef(2, 8, 2);
  EXPECT_EQ(walk(refs, 2), (Refs{7, 0, 8, 0, 9}));

  const std::vector<int32_t> first = walk(refs, 1);
  EXPECT_EQ(first.size(), size_t(chunk - 2));
  EXPECT_EQ(std::count(first.begin(), first.end(), 0), chunk - 2);
}

TEST(ObjectRefStorage, BrokenInvariantsFail) {
  struct Case {
    const char* what;
    void (*call)(ObjectRefStorage&);
    const char* file;
  };
  const Case cases[] = {
      {"setRef on a private list of 0", [](ObjectRefStorage& r) { r.setNewRefCount(1, 0), r.setRef(1, 5, 0); },
       "YAllocator"},
      {"setRef on a packed list of 0", [](ObjectRefStorage& r) { r.allocate(1, 0), r.setRef(1, 5, 0); },
       "ObjectRefStorage"},
      {"setRef past a packed list", [](ObjectRefStorage& r) { r.allocate(1, 2), r.setRef(1, 5, 2); },
       "ObjectRefStorage"},
      {"setRef before a packed list", [](ObjectRefStorage& r) { r.allocate(1, 2), r.setRef(1, 5, -1); },
       "ObjectRefStorage"},
      {"setRef past a private list", [](ObjectRefStorage& r) { r.setNewRefCount(1, 2), r.setRef(1, 5, 2); },
       "ObjectRefStorage"},
      {"negative allocate", [](ObjectRefStorage& r) { r.allocate(1, -1); }, "ObjectRefStorage"},
      {"negative setNewRefCount", [](ObjectRefStorage& r) { r.setNewRefCount(1, -1); }, "ObjectRefStorage"},
  };
  for (const Case& c : cases) {
    ObjectRefStorage refs("r", 3);
    const std::string line = fatalErrorOf([&] { c.call(refs); });
    EXPECT_TRUE(isAssertionIn(line, c.file)) << c.what << ": " << line;
    EXPECT_EQ(refs.getRef(2, 0), 0) << c.what;
  }
  EXPECT_TRUE(isAssertionIn(fatalErrorOf([] { ObjectRefStorage bad("r", -1); }), "FlatIntArray"));
}

TEST(ObjectRefStorage, IndexQueries) {
  ObjectRefStorage refs("r", 4, 10);
  refs.allocate(1, 2);
  refs.allocate(2, 20);  // private
  refs.setNewRefCount(3, 0);
  struct Case {
    int64_t i;
    bool valid;
  };
  for (const Case& c : {Case{-1, false}, Case{0, true}, Case{3, true}, Case{4, false}, Case{INT64_MAX, false}}) {
    EXPECT_EQ(refs.isValidObjectIndex(c.i), c.valid) << c.i;
  }
  struct RefCase {
    int32_t i;
    int64_t j;
    bool valid;
  };
  for (const RefCase& c : {RefCase{1, -1, false}, RefCase{1, 0, true}, RefCase{1, 1, true}, RefCase{1, 2, false},
                           RefCase{2, 19, true}, RefCase{2, 20, false}, RefCase{2, int64_t(1) << 32, false},
                           RefCase{3, 0, false}, RefCase{0, 0, false}}) {
    EXPECT_EQ(refs.isValidRefIndex(c.i, c.j), c.valid) << c.i << " " << c.j;
  }
}
