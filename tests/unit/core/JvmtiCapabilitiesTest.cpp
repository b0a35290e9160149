#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "agent/core/AgentFlags.h"
#include "agent/core/JavaVersion.h"
#include "agent/core/JvmtiCapabilities.h"
#include "agent/core/Options.h"
#include "tests/support/HiddenOption.h"
#include "tests/support/LogCapture.h"

namespace {

// Every capability a JVM can give.
jvmtiCapabilities everything() {
  jvmtiCapabilities all;
  std::memset(&all, 0xFF, sizeof all);
  return all;
}

// The process-wide state the decision reads, restored after each test.
class CapabilitiesTest : public testing::Test {
 protected:
  Options& options = globalOptions();
  const uint64_t savedFlags = agentFlags.load();
  const int32_t savedExceptionMode = options.exceptionTelemetryMode;
  const bool savedDebugger = options.withDebugger;
  const bool savedIbm = ourIsIbm;
  LogCapture log;

  void SetUp() override {
    agentFlags = 0;
    options.exceptionTelemetryMode = 1;
    options.withDebugger = false;
    ourIsIbm = false;
  }
  void TearDown() override {
    agentFlags = savedFlags;
    options.exceptionTelemetryMode = savedExceptionMode;
    options.withDebugger = savedDebugger;
    ourIsIbm = savedIbm;
  }

  jvmtiCapabilities choose(const jvmtiCapabilities& potential,
                           jvmtiJlocationFormat format = JVMTI_JLOCATION_JVMBCI) {
    return chooseMainCapabilities(potential, JVMTI_ERROR_NONE, format);
  }

  bool logged(const std::string& text) const {
    for (const std::string& entry : log.entries()) {
      if (entry.find(text) != std::string::npos) return true;
    }
    return false;
  }
};

TEST_F(CapabilitiesTest, AJvmWithEverythingGetsTheFullRequestAndNoComplaint) {
  agentFlags = AGENT_HEAP_SAMPLING;
  const jvmtiCapabilities wanted = choose(everything());
  for (unsigned bit : std::initializer_list<unsigned>{wanted.can_tag_objects, wanted.can_generate_object_free_events,
                   wanted.can_generate_all_class_hook_events, wanted.can_generate_early_class_hook_events,
                   wanted.can_redefine_classes, wanted.can_generate_exception_events,
                   wanted.can_generate_vm_object_alloc_events, wanted.can_access_local_variables,
                   wanted.can_get_line_numbers, wanted.can_get_source_file_name, wanted.can_suspend,
                   wanted.can_generate_sampled_object_alloc_events, wanted.can_generate_monitor_events,
                   wanted.can_get_monitor_info, wanted.can_set_native_method_prefix,
                   wanted.can_retransform_classes}) {
    EXPECT_EQ(1u, bit);
  }
  // Only what the agent uses: no thread CPU time at JVM start, nothing it never asks for.
  EXPECT_EQ(0u, wanted.can_get_thread_cpu_time);
  EXPECT_EQ(0u, wanted.can_generate_breakpoint_events);
  EXPECT_EQ(0u, wanted.can_generate_method_entry_events);
  EXPECT_EQ(AGENT_HEAP_SAMPLING, agentFlags.load());
  const std::vector<std::string> entries = log.entries();
  ASSERT_EQ(1u, entries.size());
  EXPECT_NE(std::string::npos, entries[0].find("heap_sampling: will be used instead of BCI"));
}

TEST_F(CapabilitiesTest, MissingRequiredCapabilitiesAreLoggedAsErrorsButStillRequested) {
  const jvmtiCapabilities wanted = choose(jvmtiCapabilities{});
  EXPECT_EQ(1u, wanted.can_tag_objects);
  EXPECT_EQ(1u, wanted.can_retransform_classes);
  EXPECT_EQ(0u, wanted.can_suspend);
  for (const char* name : {"can_tag_objects", "can_generate_object_free_events", "can_redefine_classes",
                           "can_generate_vm_object_alloc_events", "can_generate_monitor_events",
                           "can_get_monitor_info", "can_set_native_method_prefix", "can_retransform_classes"}) {
    EXPECT_TRUE(logged(std::string("error: ") + name + ": required capability is not available")) << name;
  }
  for (const char* name : {"can_generate_all_class_hook_events", "can_generate_early_class_hook_events",
                           "can_generate_exception_events", "can_access_local_variables", "can_get_line_numbers",
                           "can_get_source_file_name", "can_suspend"}) {
    EXPECT_TRUE(logged(std::string(name) + ": optional capability is not available")) << name;
  }
  EXPECT_EQ(AGENT_NO_EXCEPTION_EVENTS | AGENT_NO_SUSPEND, agentFlags.load());
}

TEST_F(CapabilitiesTest, ExceptionEventsFollowTheOptionsAndTheJvm) {
  options.exceptionTelemetryMode = 2;
  EXPECT_EQ(0u, choose(everything()).can_generate_exception_events);
  EXPECT_EQ(AGENT_NO_EXCEPTION_EVENTS | AGENT_EXCEPTIONS_OFF_BY_OPTION, agentFlags.load());
  EXPECT_TRUE(logged("can_generate_exception_events: explicitly disabled with a startup option"));

  agentFlags = 0;
  jvmtiCapabilities noExceptions = everything();
  noExceptions.can_generate_exception_events = 0;
  EXPECT_EQ(0u, choose(noExceptions).can_generate_exception_events);
  EXPECT_EQ(AGENT_NO_EXCEPTION_EVENTS, agentFlags.load());
}

TEST_F(CapabilitiesTest, SuspensionIsNotUsedUnderADebugger) {
  options.withDebugger = true;
  EXPECT_EQ(0u, choose(everything()).can_suspend);
  EXPECT_EQ(AGENT_NO_SUSPEND, agentFlags.load());
  EXPECT_TRUE(logged("can_suspend: capability cannot be used under debugger"));
}

TEST_F(CapabilitiesTest, AttachingAsksForThreadCpuTime) {
  agentFlags = AGENT_ATTACH_MODE;
  EXPECT_EQ(1u, choose(everything()).can_get_thread_cpu_time);
  jvmtiCapabilities noCpuTime = everything();
  noCpuTime.can_get_thread_cpu_time = 0;
  EXPECT_EQ(1u, choose(noCpuTime).can_get_thread_cpu_time);
  EXPECT_TRUE(logged("error: can_get_thread_cpu_time: required capability is not available"));
}

TEST_F(CapabilitiesTest, LocalVariablesOnIbmOnlyWhenAsked) {
  ourIsIbm = true;
  EXPECT_EQ(0u, choose(everything()).can_access_local_variables);
  EXPECT_TRUE(logged("can_access_local_variables: disabled by default on IBM - specify startup option "
                     "\"_with_local_vars\" to override"));
  HiddenOption withLocals("_with_local_vars");
  EXPECT_EQ(1u, choose(everything()).can_access_local_variables);
}

TEST_F(CapabilitiesTest, LineNumbersNeedByteCodeLocations) {
  EXPECT_EQ(0u, choose(everything(), JVMTI_JLOCATION_MACHINEPC).can_get_line_numbers);
  EXPECT_TRUE(logged("warning: GetJLocationFormat returned 2"));
  chooseMainCapabilities(everything(), JVMTI_ERROR_WRONG_PHASE, JVMTI_JLOCATION_JVMBCI);
  EXPECT_TRUE(logged("warning: GetJLocationFormat failed: 112"));
}

}  // namespace
