#include <gtest/gtest.h>

#include <string>

#include "tests/jvm/AgentRun.h"

// The Java side's object maps in a real JVM: values by object, compare-and-set, a value two maps share,
// handles that name no map, and a hundred thousand tagged objects collected while a map holds them.

namespace {

class ObjectMapsTest : public AgentRunTest {};

TEST_F(ObjectMapsTest, ValuesFollowTheirObjectsAndUnknownHandlesAreRefused) {
  const ProgramRun run = runUnderAgent({"ObjectMapCalls"}, "", {"-Xverify:all"});
  ASSERT_EQ(0, run.exitCode) << run.output;
  EXPECT_EQ(run.output,
            "put a 7 = 0\n"
            "get a = 7\n"
            "get b = 0\n"
            "id a stays = true\n"
            "id b differs = true\n"
            "conditional put b 8 over 0 = 0\n"
            "conditional put b 9 over 0 = 8\n"
            "get b = 8\n"
            "put a 0 = 7\n"
            "get a = 0\n"
            "put null = 0\n"
            "get null = 0\n"
            "put shared 10 in first = 0\n"
            "put shared 10 in second = 0\n"
            "get shared in second = 10\n"
            "delete first again = java.lang.RuntimeException: unknown object map: <first>\n"
            "get in deleted = java.lang.RuntimeException: unknown object map: <first>\n"
            "put in deleted = java.lang.RuntimeException: unknown object map: <first>\n"
            "delete 0 = null\n"
            "get with 0 = 0\n"
            "live id = false\n"
            "collected = true\n"
            "get shared after collection = 10\n");
}

}  // namespace
