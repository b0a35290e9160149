#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "agent/heap/ObjectStorage.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/LogCapture.h"
#include "tests/unit/heap/HeapLogText.h"

namespace {

constexpr int32_t chunk = BigIntArrayPaged::chunkSize;

std::string statisticsOf(const ObjectStorage& storage) {
  const YString text = storage.getStatistics();
  return std::string(text.data, size_t(text.length));
}

}  // namespace

TEST(ObjectStorage, NewStorageReadsTheDefaults) {
  LogCapture log;
  ObjectStorage storage(3);
  const std::vector<std::string> made{"BIA_P=r-s size=4 (0 MB)", "BIA_P=r-s done", "BIA_P=r-c size=4 (0 MB)",
                                      "BIA_P=r-c done",          "BIA_P=i size=4 (0 MB)", "BIA_P=i done"};
  EXPECT_EQ(memoryLogTexts(log.entries()), made);
  EXPECT_EQ(storage.n, 4);
  for (int32_t i = 0; i < storage.n; i++) {
    EXPECT_EQ(storage.allocatorThread.get(i), -1);
    EXPECT_EQ(storage.allocatorFrame.get(i), 0);
    EXPECT_EQ(storage.allocatorTimestamp.get(i), 0);
    EXPECT_EQ(storage.primitiveDataPosition.get(i), 0);
    EXPECT_EQ(storage.crc32.get(i), 0);
    EXPECT_EQ(storage.oid.get(i), 0);
    EXPECT_EQ(storage.getArrayLength(i), -1);
    EXPECT_EQ(storage.getGeneration(i), 0);
    EXPECT_EQ(storage.immediateDominators[i], 0);
    EXPECT_EQ(storage.references.getRefCount(i), 0);
  }
  EXPECT_EQ(statisticsOf(storage), "AL: 4 0 (0%)\nGEN: null\n");
}

TEST(ObjectStorage, ColumnsStayUnallocatedUntilWritten) {
  ObjectStorage storage(3 * chunk);
  for (BigIntArrayPaged* column :
       {&storage.allocatorFrame, &storage.allocatorThread, &storage.crc32, &storage.allocatorTimestamp.low,
        &storage.allocatorTimestamp.high, &storage.primitiveDataPosition.low, &storage.oid.low}) {
    EXPECT_EQ(column->chunkCount(), 0);
  }
  EXPECT_EQ(storage.generations, nullptr);

  storage.allocatorThread.set(2 * chunk + 5, 12);
  EXPECT_EQ(storage.allocatorThread.chunkCount(), 1);
  EXPECT_EQ(storage.allocatorThread.get(2 * chunk + 6), -1);  // made by another object's write
  EXPECT_EQ(storage.allocatorThread.get(3 * chunk), -1);
}

TEST(ObjectStorage, ArrayLengthsEscapeIntoTheMap) {
  struct Case {
    int32_t length;
    int32_t stored;
  };
  const Case cases[] = {{-1, 0},      {0, 1},     {1, 2},         {253, 254},       {254, 255},
                        {255, 255},   {-2, 255},  {100000, 255},  {INT32_MAX, 255}, {INT32_MIN, 255}};
  ObjectStorage storage(20);
  int32_t escaped = 0;
  int32_t i = 1;
  for (const Case& c : cases) {
    storage.setArrayLength(i, c.length);
    EXPECT_EQ(storage.arrayLengths.values[i], c.stored) << c.length;
    EXPECT_EQ(storage.getArrayLength(i), c.length);
    escaped += c.stored == 255 ? 1 : 0;
    i++;
  }
  EXPECT_EQ(storage.arrayLengths.overflow.count, escaped);

  // A small length over an escaped one wins; the stale map entry stays and is still counted.
  storage.setArrayLength(5, 7);
  EXPECT_EQ(storage.getArrayLength(5), 7);
  EXPECT_EQ(storage.arrayLengths.overflow.count, escaped);
  storage.arrayLengths.values[20] = 255;  // escaped without a map entry
  EXPECT_EQ(storage.getArrayLength(20), 0);
}

TEST(ObjectStorage, GenerationsAreMadeByTheFirstNonZeroOne) {
  ObjectStorage storage(10);
  storage.setGeneration(1, 0);
  EXPECT_EQ(storage.generations, nullptr);
  EXPECT_EQ(statisticsOf(storage), "AL: 11 0 (0%)\nGEN: null\n");

  struct Case {
    int32_t generation;
    int32_t stored;
  };
  const Case cases[] = {{1, 1}, {65534, 65534}, {65535, 65535}, {65536, 65535}, {-1, 65535}, {INT32_MIN, 65535}};
  int32_t i = 2;
  for (const Case& c : cases) {
    storage.setGeneration(i, c.generation);
    ASSERT_NE(storage.generations, nullptr);
    EXPECT_EQ(storage.generations->values[i], c.stored) << c.generation;
    EXPECT_EQ(storage.getGeneration(i), c.generation);
    i++;
  }
  EXPECT_EQ(storage.getGeneration(1), 0);
  storage.setGeneration(2, 0);
  EXPECT_EQ(storage.getGeneration(2), 0);
  storage.setGeneration(4, 3);  // over an escaped one
  EXPECT_EQ(storage.getGeneration(4), 3);
  EXPECT_EQ(statisticsOf(storage), "AL: 11 0 (0%)\nGEN: 11 4 (36%)\n");
}

TEST(ObjectStorage, StatisticsText) {
  struct Case {
    int32_t objects;
    int32_t escapedLengths;
    const char* text;
  };
  for (const Case& c : {Case{1000, 0, "AL: 1001 0 (0%)\nGEN: 1001 1 (0%)\n"},
                        Case{1, 2, "AL: 2 2 (100%)\nGEN: 2 1 (50%)\n"},
                        Case{3, 1, "AL: 4 1 (25%)\nGEN: 4 1 (25%)\n"}}) {
    ObjectStorage storage(c.objects);
    for (int32_t i = 0; i < c.escapedLengths; i++) storage.setArrayLength(i, 1000 + i);
    storage.setGeneration(1, 70000);
    EXPECT_EQ(statisticsOf(storage), c.text) << c.objects;
  }
}

TEST(ObjectStorage, CountsAreCheckedBeforeAnythingIsMade) {
  for (int32_t count : {0, -1, INT32_MIN, INT32_MAX}) {
    LogCapture log;
    EXPECT_TRUE(isAssertionIn(fatalErrorOf([&] { ObjectStorage storage(count); }), "ObjectStorage")) << count;
    EXPECT_EQ(mentionsOf("BIA_P", log.entries()), 0) << count;
  }
  struct Case {
    int64_t count;
    bool valid;
  };
  for (const Case& c : {Case{1, true}, Case{INT32_MAX - 1, true}, Case{0, false}, Case{-1, false},
                        Case{INT32_MAX, false}, Case{int64_t(1) << 32, false}}) {
    EXPECT_EQ(ObjectStorage::isValidCount(c.count), c.valid) << c.count;
  }
}

TEST(ObjectStorage, IndexQueries) {
  ObjectStorage storage(1);
  EXPECT_EQ(storage.n, 2);
  struct Case {
    int64_t i;
    bool valid;
  };
  for (const Case& c : {Case{-1, false}, Case{0, true}, Case{1, true}, Case{2, false}, Case{int64_t(1) << 32, false},
                        Case{INT64_MIN, false}}) {
    EXPECT_EQ(storage.isValidObjectIndex(c.i), c.valid) << c.i;
    EXPECT_EQ(storage.references.isValidObjectIndex(c.i), c.valid) << c.i;
    EXPECT_EQ(storage.immediateDominators.isValidIndex(c.i), c.valid) << c.i;
  }
}
