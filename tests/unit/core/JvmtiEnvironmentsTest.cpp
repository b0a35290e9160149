#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "agent/core/AgentFlags.h"
#include "agent/core/AgentLoad.h"
#include "agent/core/JvmtiEnvironments.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/LogCapture.h"

// What a JVM can refuse at start-up, answered by a stand-in JVM and JVMTI environment: a real JVM gives
// every environment and takes the full callback table.

namespace {

struct StandIn {
  jint getEnvResult = JNI_OK;
  jvmtiError addCapabilitiesResult = JVMTI_ERROR_NONE;
  jint largestCallbackTable = jint(sizeof(jvmtiEventCallbacks));
  std::vector<jint> callbackTableSizes;
  jvmtiCapabilities added{};
};
StandIn standIn;

jvmtiInterface_1_ environmentFunctions() {
  jvmtiInterface_1_ functions{};
  functions.AddCapabilities = [](jvmtiEnv*, const jvmtiCapabilities* capabilities) {
    standIn.added = *capabilities;
    return standIn.addCapabilitiesResult;
  };
  functions.SetEventCallbacks = [](jvmtiEnv*, const jvmtiEventCallbacks*, jint size) {
    standIn.callbackTableSizes.push_back(size);
    return size <= standIn.largestCallbackTable ? JVMTI_ERROR_NONE : JVMTI_ERROR_ILLEGAL_ARGUMENT;
  };
  return functions;
}
const jvmtiInterface_1_ standInEnvironmentFunctions = environmentFunctions();
jvmtiEnv standInEnvironment{&standInEnvironmentFunctions};

JNIInvokeInterface_ vmFunctions() {
  JNIInvokeInterface_ functions{};
  functions.GetEnv = [](JavaVM*, void** environment, jint) {
    *environment = standIn.getEnvResult == JNI_OK ? &standInEnvironment : nullptr;
    return standIn.getEnvResult;
  };
  return functions;
}
const JNIInvokeInterface_ standInVmFunctions = vmFunctions();
JavaVM standInVm{&standInVmFunctions};

class JvmtiEnvironmentsTest : public testing::Test {
 protected:
  JavaVM* const savedVm = javaVm;
  const uint64_t savedFlags = agentFlags.load();

  void SetUp() override {
    standIn = StandIn();
    javaVm = &standInVm;
  }
  void TearDown() override {
    javaVm = savedVm;
    agentFlags = savedFlags;
  }
};

using JvmtiEnvironmentsDeathTest = JvmtiEnvironmentsTest;

TEST_F(JvmtiEnvironmentsTest, FurtherEnvironmentHoldsTaggingAndObjectFreeOnlyWhenAsked) {
  EXPECT_EQ(&standInEnvironment, createJvmtiEnvironment(true));
  EXPECT_EQ(1u, standIn.added.can_tag_objects);
  EXPECT_EQ(1u, standIn.added.can_generate_object_free_events);
  EXPECT_EQ(0u, standIn.added.can_retransform_classes);
  createJvmtiEnvironment(false);
  EXPECT_EQ(1u, standIn.added.can_tag_objects);
  EXPECT_EQ(0u, standIn.added.can_generate_object_free_events);
}

TEST_F(JvmtiEnvironmentsDeathTest, EnvironmentTheJvmDoesNotGiveEndsTheProcessWith21) {
  standIn.getEnvResult = JNI_EVERSION;
  EXPECT_EXIT(createJvmtiEnvironment(false), testing::ExitedWithCode(21), "");
}

TEST_F(JvmtiEnvironmentsDeathTest, CapabilitiesTheJvmRefusesEndTheProcessWith22) {
  standIn.addCapabilitiesResult = JVMTI_ERROR_NOT_AVAILABLE;
  EXPECT_EXIT(createJvmtiEnvironment(true), testing::ExitedWithCode(22), "");
  EXPECT_EXIT(createJvmtiEnvironment(false), testing::ExitedWithCode(22), "");
}

TEST_F(JvmtiEnvironmentsTest, OlderJvmGetsTheCallbackTableItKnows) {
  standIn.largestCallbackTable = jint(offsetof(jvmtiEventCallbacks, reserved85));
  setEventCallbacks(&standInEnvironment, jvmtiEventCallbacks{});
  EXPECT_EQ((std::vector<jint>{jint(37 * sizeof(void*)), jint(35 * sizeof(void*))}), standIn.callbackTableSizes);
}

TEST_F(JvmtiEnvironmentsTest, RefusedTableIsFatalWhenHeapSamplingNeedsItsSlot) {
  standIn.largestCallbackTable = jint(offsetof(jvmtiEventCallbacks, reserved85));
  agentFlags = AGENT_HEAP_SAMPLING;
  EXPECT_NE(std::string::npos, fatalErrorOf([] { setEventCallbacks(&standInEnvironment, jvmtiEventCallbacks{}); })
                                   .find("ERROR: JVMTI error 103:"));
  EXPECT_EQ(1u, standIn.callbackTableSizes.size());

  agentFlags = 0;
  standIn.largestCallbackTable = 0;
  EXPECT_NE(std::string::npos, fatalErrorOf([] { setEventCallbacks(&standInEnvironment, jvmtiEventCallbacks{}); })
                                   .find("ERROR: JVMTI error 103:"));
}

}  // namespace
