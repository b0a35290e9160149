#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/jvm/HostRun.h"

// The object-storage natives of com.brantel.Natives as the monitoring host calls them: a JVM without the
// agent loads the library with System.load, and tests/jvm/host/ObjectStorageCalls.java drives one
// scenario per run, printing what the natives answer. The library's log goes to the run's home.

namespace {

const std::string assertionThrown =
    " threw java.lang.RuntimeException: assertion failed in native code; see agent log for detail";

// The line of an object that no setter has touched.
std::string untouched(int64_t object) {
  return "object " + std::to_string(object) + ": gen=0 refs=0 pdp=0 oid=0 crc=0 frame=0 trn=-1 ts=0 len=-1 dom=0";
}

class ObjectStorageNativesTest : public HostProgramTest {
 protected:
  // The lines of one scenario of ObjectStorageCalls.
  std::vector<std::string> run(const std::string& scenario, int64_t addressSpaceKib = 0) {
    return runHostProgram({"ObjectStorageCalls", TALLYSCOPE_LIBRARY, scenario}, addressSpaceKib);
  }
};

TEST_F(ObjectStorageNativesTest, EverySetterRoundTripsThroughItsGetter) {
  const std::vector<std::string> expected{
      untouched(0), untouched(1), untouched(10), "stats=AL: 11 0 (0%)\\nGEN: null\\n",
      // Generation 0 alone makes no generations.
      "stats=AL: 11 0 (0%)\\nGEN: null\\n", untouched(0),
      // A position or identifier below 2^32 replaces a larger one whole.
      "object 1: gen=7 refs=0 pdp=5 oid=5 crc=305419896 frame=0 trn=-1 ts=0 len=0 dom=0",
      "object 2: gen=65534 refs=0 pdp=5 oid=-2 crc=-1 frame=0 trn=-1 ts=0 len=253 dom=0",
      "object 3: gen=65535 refs=0 pdp=-1 oid=-9223372036854775808 crc=0 frame=11 trn=4 ts=1099511627783 len=254 dom=0",
      "object 4: gen=-1 refs=2 pdp=0 oid=0 crc=0 frame=0 trn=-1 ts=0 len=-1 dom=0",
      "object 5: gen=0 refs=0 pdp=0 oid=0 crc=0 frame=0 trn=-1 ts=0 len=-2 dom=0",
      // Entries at and past the count stay as they were: generation 99, length 5, length 50.
      "object 6: gen=0 refs=0 pdp=0 oid=0 crc=0 frame=0 trn=-1 ts=0 len=100000 dom=0", untouched(7), untouched(8),
      untouched(9), "object 10: gen=0 refs=0 pdp=0 oid=0 crc=0 frame=-5 trn=0 ts=-1 len=-1 dom=0", "refs of 4: 0 9",
      // Overflow entries: lengths 254, -2 and 100000; generations 65535 and -1.
      "stats=AL: 11 3 (27%)\\nGEN: 11 2 (18%)\\n"};
  EXPECT_EQ(expected, run("columns"));
}

TEST_F(ObjectStorageNativesTest, ObjectsOnChunkBoundariesAndTheLastObjectKeepTheirValues) {
  const std::vector<std::string> expected{
      untouched(1048574), "object 1048575: gen=1 refs=0 pdp=10 oid=13 crc=7 frame=0 trn=-1 ts=0 len=4 dom=0",
      "object 1048576: gen=70000 refs=0 pdp=8589934592 oid=17179869184 crc=8 frame=0 trn=-1 ts=0 len=5 dom=0",
      untouched(2999999),
      "object 3000000: gen=3 refs=2 pdp=9223372036854775807 oid=-9223372036854775807 crc=9 frame=16 trn=17 ts=18 "
      "len=1073741824 dom=0",
      "refs of 3000000: 1 3000000"};
  EXPECT_EQ(expected, run("wide"));
}

TEST_F(ObjectStorageNativesTest, SetRefsReservesListsAndFillsThemInOneStreamWarningAboutMissingSlots) {
  const std::vector<std::string> expected{"refs of 17: 41 0 42", "refs of 18: 5", "refs of 19:", "refs of 20:",
                                          "refs of 21:",
                                          // setNewRefCount empties the list; both setters then fill it.
                                          "refs of 17: 0 0", "refs of 17: 8 7", "refs of 17: 50"};
  EXPECT_EQ(expected, run("refs"));
  const std::string log = logs();
  EXPECT_TRUE(containsInOrder(log, {"warning: bad ref index: src=17 refIndex=3 refCount=3\n",
                                    "warning: bad ref index: src=19 refIndex=0 refCount=0\n",
                                    "warning: bad ref index: src=17 refIndex=-1 refCount=3\n"}));
  EXPECT_EQ(std::string::npos, log.find("error")) << log;
}

TEST_F(ObjectStorageNativesTest, CreateAndDeleteLogTheHandleAndBadCountsAreRefused) {
  const std::vector<std::string> lines = run("lifecycle");
  ASSERT_FALSE(lines.empty());
  ASSERT_EQ(0u, lines[0].rfind("handle=", 0)) << lines[0];
  const std::string handle = lines[0].substr(7);
  const std::string tmo = " threw java.lang.RuntimeException: tmo::";
  const std::vector<std::string> expected{lines[0],
                                          untouched(1),
                                          "stats=AL: 2 0 (0%)\\nGEN: null\\n",
                                          "getGenerationImpl(2)" + assertionThrown,
                                          "createStorage(0)" + assertionThrown,
                                          "createStorage(-1)" + assertionThrown,
                                          "createStorage(2147483632)" + tmo + "2147483632",
                                          "createStorage(2147483647)" + tmo + "2147483647"};
  EXPECT_EQ(expected, lines);
  const std::string log = logs();
  EXPECT_TRUE(containsInOrder(
      log, {"createStorage: objectCount=5\n", "BIA_P=r-s size=6 (0 MB)", "createStorage: result=" + handle + "\n",
            "deleteStorage: " + handle + "\n", "deleteStorage: exit\n", "deleteStorage: 0\n", "deleteStorage: exit\n",
            "createStorage: objectCount=1\n", "assertion failed: object index 2 outside 0..1",
            "error: exception caught at ObjectStorageNatives:", "createStorage: objectCount=0\n",
            // Refused before anything is made.
            "assertion failed: objectCount 0", "error: exception caught at ObjectStorageNatives:",
            "createStorage: objectCount=-1\n", "error: exception caught at ObjectStorageNatives:",
            "createStorage: objectCount=2147483632\n", "tmo::2147483632\n", "createStorage: objectCount=2147483647\n",
            "tmo::2147483647\n"}));
  EXPECT_EQ(std::string::npos, log.find("BIA_P=r-s size=1 ")) << log;
  EXPECT_EQ(std::string::npos, log.find("BIA_P=r-s size=0 ")) << log;
}

TEST_F(ObjectStorageNativesTest, EveryIndexCountAndArrayOutsideTheStorageIsRefusedAndWritesNothing) {
  std::vector<std::string> expected;
  for (const int64_t i : {-1LL, 11LL, -2147483648LL}) {
    const std::string at = "(" + std::to_string(i) + ")";
    for (const char* call : {"getGenerationImpl", "getRefCountImpl", "getRefImpl", "getPrimitiveDataPositionImpl",
                             "getOIDImpl", "getCrc32", "getAllocatorFrameImpl", "getAllocatorTrnImpl",
                             "getAllocatorTimestampMs", "getArrayLengthImpl", "getDominatorImpl", "setNewRefCount",
                             "setRefImpl", "setRefImpl target", "setAllocatorImpl", "setGenerations",
                             "setArrayLengths", "setCrc32", "setPrimitiveDataPositions", "setOIDs", "setRefs reserve",
                             "setRefs source", "setRefs target"}) {
      expected.push_back(call + at + assertionThrown);
    }
  }
  for (const char* call :
       {"getRefImpl(5, -1)", "setRefImpl(5, -1)", "getRefImpl(5, 2)", "setRefImpl(5, 2)", "getRefImpl(6, 0)",
        "setRefImpl(6, 0)", "setNewRefCount(5, -1)", "setRefs reserve -1", "setGenerations null objects",
        "setGenerations null values", "setArrayLengths null objects", "setArrayLengths null values",
        "setCrc32 null objects", "setCrc32 null values", "setPrimitiveDataPositions null objects",
        "setPrimitiveDataPositions null values", "setOIDs null objects", "setOIDs null values",
        "setRefs null sources", "setRefs null targets", "setRefs null refIndexes", "setGenerations short objects",
        "setGenerations short values", "setArrayLengths short values", "setCrc32 short values",
        "setPrimitiveDataPositions short values", "setOIDs short values", "setRefs short sources",
        "setRefs short targets", "setRefs short refIndexes", "setGenerations count -1", "setRefs count -1",
        "getGenerationImpl(null handle)", "setGenerations(null handle)", "getStorageStatisticsImpl(null handle)"}) {
    expected.push_back(call + assertionThrown);
  }
  for (int64_t i = 0; i <= 10; i++) {
    expected.push_back(i == 5 ? "object 5: gen=0 refs=2 pdp=0 oid=0 crc=0 frame=0 trn=-1 ts=0 len=-1 dom=0"
                              : untouched(i));
  }
  expected.insert(expected.end(), {"refs of 5: 3 0", "refs of 6:", "stats=AL: 11 0 (0%)\\nGEN: null\\n"});
  EXPECT_EQ(expected, run("refused"));

  const std::string log = logs();
  for (const char* reason :
       {"assertion failed: object index -1 outside 0..10", "assertion failed: object index 11 outside 0..10",
        "assertion failed: object index -2147483648 outside 0..10",
        "assertion failed: reference index -1 outside the 2 references of object 5",
        "assertion failed: reference index 2 outside the 2 references of object 5",
        "assertion failed: reference index 0 outside the 0 references of object 6",
        "assertion failed: negative count -1", "assertion failed: value is NULL",
        "assertion failed: count 2 beyond an array of 1"}) {
    EXPECT_NE(std::string::npos, log.find(reason)) << reason;
  }
  EXPECT_EQ(std::string::npos, log.find("db::oome"));
}

TEST_F(ObjectStorageNativesTest, AStorageTooLargeForTheMemoryIsDbOomeAndTheNextOneWorks) {
  // 2^31 - 17 objects need four arrays of gigabytes; the JVM gets under 4 GB of address space.
  const std::vector<std::string> expected{"createStorage(2147483631) threw java.lang.RuntimeException: db::oome",
                                          "getArrayLengthImpl(3)=-1"};
  EXPECT_EQ(expected, run("oome", 4000000));
  EXPECT_TRUE(containsInOrder(logs(), {"createStorage: objectCount=2147483631\n", "BIA_P=r-s size=2147483632",
                                       "error: exception caught at ObjectStorageNatives:",
                                       "createStorage: objectCount=3\n", "createStorage: result="}));
}

}  // namespace
