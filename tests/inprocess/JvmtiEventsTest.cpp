#include <gtest/gtest.h>
#include <jvmti.h>

#include <atomic>

#include "agent/core/AgentFlags.h"
#include "agent/core/AgentLoad.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/core/JvmtiEvents.h"
#include "tests/inprocess/InProcessJvm.h"

// The event wiring in a live JVM, as an attach does it, and its undoing after a failed start.

namespace {

std::atomic<int> threadStarts{0};
std::atomic<int> classesPrepared{0};

void JNICALL countThreadStart(jvmtiEnv*, JNIEnv*, jthread) { threadStarts++; }
void JNICALL countClassPrepare(jvmtiEnv*, JNIEnv*, jthread, jclass) { classesPrepared++; }

class JvmtiEvents : public JvmTest {
 protected:
  jvmtiEnv* const savedMain = mainJvmti;
  const uint64_t savedFlags = agentFlags.load();
  jvmtiEnv* wired = nullptr;

  void SetUp() override {
    JvmTest::SetUp();
    javaVm = inProcessJvm();
    ASSERT_EQ(JNI_OK, javaVm->GetEnv(reinterpret_cast<void**>(&wired), JVMTI_VERSION_1_1));
    jvmtiCapabilities capabilities{};
    capabilities.can_tag_objects = 1;
    capabilities.can_generate_object_free_events = 1;
    capabilities.can_set_native_method_prefix = 1;
    ASSERT_EQ(JVMTI_ERROR_NONE, wired->AddCapabilities(&capabilities));
    mainJvmti = wired;
    agentFlags = AGENT_ATTACH_MODE | AGENT_NO_EXCEPTION_EVENTS;
  }
  void TearDown() override {
    mainJvmti = savedMain;
    agentFlags = savedFlags;
    JvmTest::TearDown();
  }

  // Handlers of our own in the main environment's table, as the agent's would be.
  void installCountingHandlers() {
    jvmtiEventCallbacks callbacks{};
    callbacks.ThreadStart = countThreadStart;
    callbacks.ClassPrepare = countClassPrepare;
    setEventCallbacks(wired, callbacks);
  }

  // Starts and joins a Java thread, and loads a class that this process has not loaded before.
  void runJavaThreadAndLoad(const char* freshClass) {
    const jclass threadClass = env->FindClass("java/lang/Thread");
    const jobject thread = env->NewObject(threadClass, env->GetMethodID(threadClass, "<init>", "()V"));
    env->CallVoidMethod(thread, env->GetMethodID(threadClass, "start", "()V"));
    ASSERT_FALSE(env->ExceptionCheck());
    env->CallVoidMethod(thread, env->GetMethodID(threadClass, "join", "()V"));
    ASSERT_FALSE(env->ExceptionCheck());
    ASSERT_NE(nullptr, env->FindClass(freshClass));
  }
};

TEST_F(JvmtiEvents, WiredEventsReachTheHandlersUntilTheStartIsDisarmed) {
  wireJvmtiEvents();
  for (jvmtiEnv* further : {heapSnapshotJvmti, instanceCountJvmti, monitorJvmti, exceptionJvmti, classLoadingJvmti,
                            objectMapJvmti, allocationJvmti, numberedObjectJvmti}) {
    ASSERT_NE(nullptr, further);
    EXPECT_NE(wired, further);
    jvmtiCapabilities held{};
    further->GetCapabilities(&held);
    EXPECT_EQ(1u, held.can_tag_objects);
    EXPECT_EQ(further == classLoadingJvmti || further == objectMapJvmti || further == numberedObjectJvmti ? 1u : 0u,
              held.can_generate_object_free_events);
    EXPECT_EQ(0u, held.can_retransform_classes);
  }

  installCountingHandlers();
  runJavaThreadAndLoad("java/util/concurrent/ConcurrentSkipListSet");
  EXPECT_GT(threadStarts.load(), 0);
  EXPECT_GT(classesPrepared.load(), 0);

  disarmJvmtiEvents();
  // Even handlers installed again hear nothing: the events themselves are off.
  installCountingHandlers();
  const int startsBefore = threadStarts.load();
  const int preparedBefore = classesPrepared.load();
  runJavaThreadAndLoad("java/util/concurrent/LinkedTransferQueue");
  EXPECT_EQ(startsBefore, threadStarts.load());
  EXPECT_EQ(preparedBefore, classesPrepared.load());
}

}  // namespace
