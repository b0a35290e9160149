#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/jvm/HostRun.h"

// The reflection natives of both classes that have them: tests/jvm/host/ReflectionCalls.java reads and
// writes fields and calls methods through com.brantel.Natives in a JVM that loads the library with
// System.load, and through com.brantel.runtime.Callback under the agent.

namespace {

const std::string assertionThrown =
    " threw java.lang.RuntimeException: assertion failed in native code; see agent log for detail";

// What both classes answer, in the program's order.
const std::vector<std::string> sharedLines{
    "get Z=1", "get B=-1", "get C=65535", "get S=-2", "get I=-3", "get J=-9223372036854775807",
    // 1.5f is 0x3FC00000; -0.5 is 0xBFE0000000000000.
    "get F=1069547520", "get D=-4620693217682128896", "get static I=7",
    "get V threw java.lang.RuntimeException: unexpected signature: 86", "get object=instance",
    "get static object=static", "set object=changed null",
    // A null name is the empty one, which no field has.
    "null name threw java.lang.NoSuchFieldError: ReflectionCalls$Target. I",
    "missing method threw java.lang.NoSuchMethodError: static LReflectionCalls$Target;.nope()V",
    "static without class threw java.lang.RuntimeException: class is null",
    "call m=s42", "call without primitives=x/5",
    "call short primitives threw java.lang.RuntimeException: primitive argument 1 is missing: primitiveArgs holds 1 "
    "values",
    "call null arguments" + assertionThrown, "call V=0 touched=1", "call I=42",
    "call X threw java.lang.RuntimeException: unexpected signature: 88",
    "call prim short primitives threw java.lang.RuntimeException: primitive argument 1 is missing: primitiveArgs "
    "holds 1 values",
    "call prim null arguments" + assertionThrown,
    // 1.5f again, and results widened by their type.
    "call F=1069547520", "call C=65535", "call B=-1", "call Z=1", "call D=2.5",
    "call throwing threw java.lang.IllegalStateException: boom"};

class ReflectionNativesTest : public HostProgramTest {};

TEST_F(ReflectionNativesTest, HostNativesReadWriteAndCallByIdentifiers) {
  std::vector<std::string> expected = sharedLines;
  // Each pattern narrowed to its field: 0x1FF, 0x1FFFF, 0x18000 and 0x100000005 keep their low bits.
  expected.insert(expected.end(),
                  {"set fields=true -1 65535 -32768 5 9223372036854775807 -2.25 6.5", "set static I=-9",
                   "set V threw java.lang.RuntimeException: unexpected signature: 86"});
  EXPECT_EQ(expected, runHostProgram({"-Xcheck:jni", "ReflectionCalls", "natives", TALLYSCOPE_LIBRARY}));
  const std::string log = logs();
  EXPECT_TRUE(containsInOrder(log, {"error at JniReflection:78: assertion failed: value is NULL",
                                    "error at JniReflection:104: assertion failed: value is NULL"}))
      << log;
}

TEST_F(ReflectionNativesTest, CallbackNativesUnderTheAgentAnswerTheSame) {
  const fs::path logDir = fs::path(work.path()) / "agent-log";
  fs::create_directories(logDir);
  const std::vector<std::string> command{TALLYSCOPE_JAVA, "-Xcheck:jni",
                                         "-agentpath:" + std::string(TALLYSCOPE_LIBRARY) + "=logdir=" +
                                             logDir.string() + ",tmpdir=" + work.path(),
                                         "-cp", TALLYSCOPE_JVM_HOST_PROGRAMS, "ReflectionCalls", "callback"};
  const ProgramRun run = runProgram(command, (fs::path(work.path()) / "agent-run.txt").string(),
                                    {"BRANTEL_HOME=" + work.path()});
  ASSERT_EQ(0, run.exitCode) << run.output;
  EXPECT_EQ(sharedLines, programLines(run.output));
}

}  // namespace
