#include <gtest/gtest.h>
#include <jvmti.h>

#include <cstring>
#include <future>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "agent/core/JvmtiEnvironments.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ClassSignature.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/JvmtiUtils.h"
#include "tests/inprocess/InProcessJvm.h"
#include "tests/inprocess/JavaValues.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestDatabase.h"

namespace {

std::string str(const YString& text) { return std::string(text.data, size_t(text.length)); }

// Puts `value` into the calling thread's JVMTI thread-local storage and takes it out again at the end.
class StoredRecord {
 public:
  explicit StoredRecord(ThreadInfo* record) {
    EXPECT_EQ(setThreadRecord(nullptr, record), JVMTI_ERROR_NONE);
  }
  ~StoredRecord() { setThreadRecord(nullptr, nullptr); }
};

jthread currentThread(JNIEnv* env) {
  const jclass threadClass = env->FindClass("java/lang/Thread");
  const jobject thread = env->CallStaticObjectMethod(
      threadClass, env->GetStaticMethodID(threadClass, "currentThread", "()Ljava/lang/Thread;"));
  env->ExceptionCheck();
  return thread;
}

void setThreadName(JNIEnv* env, jthread thread, const char16_t* name) {
  const jclass threadClass = env->FindClass("java/lang/Thread");
  env->CallVoidMethod(thread, env->GetMethodID(threadClass, "setName", "(Ljava/lang/String;)V"), javaString(env, name));
  env->ExceptionCheck();
}

struct HeapCounts {
  int64_t tagged = 0;
  int64_t untagged = 0;
};

jvmtiIterationControl JNICALL countObject(jlong, jlong, jlong* tag, void* userData) {
  HeapCounts* counts = static_cast<HeapCounts*>(userData);
  (*tag != 0 ? counts->tagged : counts->untagged)++;
  return JVMTI_ITERATION_CONTINUE;
}

using JvmtiErrors = JvmTest;
using JvmtiMemory = JvmTest;
using ClassSignatures = JvmTest;
// Thread records live in a database of their own.
class ThreadRecords : public JvmTest {
 protected:
  TestDatabase database;
};

ThreadInfo* newRecord(const char* name) { return new ThreadInfo(YString(name), YString(), 0, 0, nullptr, false); }
using HeapIteration = JvmTest;

}  // namespace

// Nothing is asked of JVMTI for success: without an environment the call still returns.
TEST_F(JvmtiErrors, SuccessIsNothing) {
  jvmtiEnv* const kept = mainJvmti;
  mainJvmti = nullptr;
  LogCapture log;
  checkJvmtiError(JVMTI_ERROR_NONE, "ClassPrepare", 77);
  mainJvmti = kept;
  EXPECT_TRUE(log.entries().empty());
}

TEST_F(JvmtiErrors, AnErrorIsFatalWithTheJvmsNameForItAndThePlace) {
  const std::regex expected(
      R"(error at JvmtiUtils:\d+: ERROR: JVMTI error 21:JVMTI_ERROR_INVALID_CLASS at ClassPrepare:77)");
  EXPECT_TRUE(
      std::regex_match(fatalErrorOf([] { checkJvmtiError(JVMTI_ERROR_INVALID_CLASS, "ClassPrepare", 77); }), expected));
  const std::regex unknown(R"(error at JvmtiUtils:\d+: ERROR: JVMTI error 4711:<null> at Natives:1)");
  EXPECT_TRUE(std::regex_match(fatalErrorOf([] { checkJvmtiError(jvmtiError(4711), "Natives", 1); }), unknown));
}

TEST_F(JvmtiErrors, TextsForLogLines) {
  struct Case {
    jvmtiEnv* jvmti;
    jvmtiError error;
    std::string text;
  };
  for (const Case& c : {Case{mainJvmti, JVMTI_ERROR_NONE, "0:JVMTI_ERROR_NONE"},
                        Case{mainJvmti, JVMTI_ERROR_WRONG_PHASE, "112:JVMTI_ERROR_WRONG_PHASE"},
                        Case{mainJvmti, jvmtiError(4711), "4711:<null>"}, Case{mainJvmti, jvmtiError(-1), "-1:<null>"},
                        Case{nullptr, JVMTI_ERROR_INVALID_CLASS, "21:<null>"}}) {
    EXPECT_EQ(str(jvmtiErrorText(c.jvmti, c.error)), c.text);
  }
}

TEST_F(JvmtiMemory, BlocksComeAndGoThroughTheMainEnvironment) {
  unsigned char* block = jvmtiAllocate(4096);
  ASSERT_NE(block, nullptr);
  std::memset(block, 0xA5, 4096);
  jvmtiDeallocate(block);
  jvmtiDeallocate(nullptr);
  const std::regex refused(
      R"(error at JvmtiUtils:\d+: ERROR: JVMTI error 103:JVMTI_ERROR_ILLEGAL_ARGUMENT at JvmtiUtils:\d+)");
  EXPECT_TRUE(std::regex_match(fatalErrorOf([] { jvmtiAllocate(-1); }), refused));
}

TEST_F(ClassSignatures, JavaTypeNamesOfClassesAndArrayClasses) {
  struct Case {
    const char* descriptor;
    std::string name;
  };
  for (const Case& c :
       {Case{"java/lang/String", "java.lang.String"}, Case{"[I", "int[]"},
        Case{"[[Ljava/lang/Object;", "java.lang.Object[][]"}, Case{"java/util/Map$Entry", "java.util.Map$Entry"}}) {
    const jclass klass = env->FindClass(c.descriptor);
    ASSERT_NE(klass, nullptr) << c.descriptor;
    EXPECT_EQ(str(getClassSignature(klass, nullptr)), c.name);
    EXPECT_EQ(str(getClassSignature(klass, "<unknown class>")), c.name);
  }
  const jclass primitiveInt = static_cast<jclass>(env->GetStaticObjectField(
      env->FindClass("java/lang/Integer"),
      env->GetStaticFieldID(env->FindClass("java/lang/Integer"), "TYPE", "Ljava/lang/Class;")));
  EXPECT_EQ(str(getClassSignature(primitiveInt, nullptr)), "int");
}

// A String object is no class: the JVM refuses it with a real JVMTI error.
TEST_F(ClassSignatures, ARefusedClassGivesTheDefaultTextOrIsFatal) {
  const auto notAClass = static_cast<jclass>(static_cast<jobject>(javaString(env, u"not a class")));
  EXPECT_EQ(str(getClassSignature(notAClass, "<unknown class>")), "<unknown class>");
  const std::regex fatal(
      R"(error at JvmtiUtils:\d+: ERROR: JVMTI error 21:JVMTI_ERROR_INVALID_CLASS at ClassSignature:\d+)");
  EXPECT_TRUE(std::regex_match(fatalErrorOf([&] { getClassSignature(notAClass, nullptr); }), fatal));
  EXPECT_TRUE(std::regex_match(fatalErrorOf([] { getClassSignature(nullptr, "x"); }),
                               std::regex(R"(error at ClassSignature:\d+: assertion failed: value is NULL)")));
}

TEST_F(ThreadRecords, AnEmptySlotGivesNullAndCreatesNothing) {
  EXPECT_EQ(getThreadRecord(env, nullptr), nullptr);
  EXPECT_EQ(getThreadRecord(env, currentThread(env)), nullptr);
  void* stored = &stored;
  ASSERT_EQ(mainJvmti->GetThreadLocalStorage(nullptr, &stored), JVMTI_ERROR_NONE);
  EXPECT_EQ(stored, nullptr);
}

TEST_F(ThreadRecords, TheStoredRecordIsMarkedAsReachedAndNamedFromTheJvm) {
  std::unique_ptr<ThreadInfo> owned(newRecord(""));
  ThreadInfo& record = *owned;
  const StoredRecord stored(&record);
  EXPECT_FALSE(record.seen.load());
  EXPECT_EQ(getThreadRecord(env, nullptr), &record);
  EXPECT_TRUE(record.seen.load());
  EXPECT_EQ(str(record.name), "main");
  EXPECT_EQ(str(record.groupName), "main");
  EXPECT_FALSE(record.daemon);
  EXPECT_EQ(getThreadRecord(env, currentThread(env)), &record);
}

TEST_F(ThreadRecords, ANameIsReadAgainOnlyWhenForced) {
  std::unique_ptr<ThreadInfo> owned(newRecord("kept"));
  ThreadInfo& record = *owned;
  const StoredRecord stored(&record);
  const jthread thread = currentThread(env);
  EXPECT_EQ(getThreadRecord(env, nullptr), &record);
  EXPECT_EQ(str(record.name), "kept");
  setThreadName(env, thread, u"renamed \u00e9");
  record.refreshName(env, thread, false);
  EXPECT_EQ(str(record.name), "kept");
  record.refreshName(env, thread, true);
  EXPECT_EQ(str(record.name), "renamed \xc3\xa9");
  setThreadName(env, thread, u"main");
}

TEST_F(ThreadRecords, AThreadTheJvmCannotDescribeLeavesTheRecordAsItIs) {
  const jclass threadClass = env->FindClass("java/lang/Thread");
  const jobject unstarted = env->NewObject(
      threadClass, env->GetMethodID(threadClass, "<init>", "(Ljava/lang/String;)V"), javaString(env, u"never started"));
  // Thread-local storage exists only for live threads.
  EXPECT_EQ(getThreadRecord(env, unstarted), nullptr);
  std::unique_ptr<ThreadInfo> owned(newRecord("kept"));
  ThreadInfo& record = *owned;
  record.refreshName(env, unstarted, true);
  EXPECT_EQ(str(record.name), "never started");
  // A forced refresh that the JVM refuses keeps the name the record has.
  record.refreshName(env, env->NewStringUTF("not a thread"), true);
  EXPECT_EQ(str(record.name), "never started");
}

// The record is looked up for the thread given, not for the caller: a second attached thread holds its
// own record, and the main thread asks for it.
TEST_F(ThreadRecords, TheRecordOfAnotherLiveThread) {
  std::unique_ptr<ThreadInfo> owned(newRecord(""));
  ThreadInfo& record = *owned;
  std::promise<jobject> attached;
  std::promise<void> done;
  std::thread worker([&] {
    JNIEnv* workerEnv = nullptr;
    JavaVMAttachArgs arguments{JNI_VERSION_1_8, const_cast<char*>("jni-worker"), nullptr};
    inProcessJvm()->AttachCurrentThread(reinterpret_cast<void**>(&workerEnv), &arguments);
    setThreadRecord(nullptr, &record);
    attached.set_value(workerEnv->NewGlobalRef(currentThread(workerEnv)));
    done.get_future().wait();
    inProcessJvm()->DetachCurrentThread();
  });
  const jobject workerThread = attached.get_future().get();
  EXPECT_EQ(getThreadRecord(env, nullptr), nullptr);
  EXPECT_EQ(getThreadRecord(env, workerThread), &record);
  EXPECT_EQ(str(record.name), "jni-worker");
  EXPECT_TRUE(record.seen.load());
  done.set_value();
  worker.join();
  env->DeleteGlobalRef(workerThread);
}

// The calling thread's record is remembered between lookups, and never outlives what its slot holds:
// whichever thread empties or refills the slot, the next lookup answers the slot's new content. Each
// write replaces a record that the lookups before it had remembered, but for the refill of an empty slot.
TEST_F(ThreadRecords, ARememberedRecordFollowsEveryWriteOfTheSlot) {
  std::unique_ptr<ThreadInfo> first(newRecord("first"));
  std::unique_ptr<ThreadInfo> second(newRecord("second"));
  const jobject self = env->NewGlobalRef(currentThread(env));
  const StoredRecord stored(first.get());
  EXPECT_EQ(getThreadRecord(env, nullptr), first.get());
  const struct {
    const char* name;
    ThreadInfo* record;
    bool byAnotherThread;
  } cases[] = {
      {"refilled by the thread", second.get(), false},
      {"emptied by the thread", nullptr, false},
      {"refilled after being empty", first.get(), false},
      {"refilled by another thread", second.get(), true},
      {"emptied by another thread", nullptr, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.byAnotherThread) {
      std::thread writer([&] {
        JNIEnv* writerEnv = nullptr;
        inProcessJvm()->AttachCurrentThread(reinterpret_cast<void**>(&writerEnv), nullptr);
        EXPECT_EQ(setThreadRecord(static_cast<jthread>(self), c.record), JVMTI_ERROR_NONE);
        inProcessJvm()->DetachCurrentThread();
      });
      writer.join();
    } else {
      EXPECT_EQ(setThreadRecord(nullptr, c.record), JVMTI_ERROR_NONE);
    }
    EXPECT_EQ(getThreadRecord(env, nullptr), c.record);
    EXPECT_EQ(getThreadRecord(env, nullptr), c.record) << "the remembered record";
  }
  env->DeleteGlobalRef(self);
}

// Tags belong to their environment: a fresh one holds only the tag set here, whatever other tests tagged.
TEST_F(HeapIteration, VisitsTaggedAndUntaggedObjects) {
  jvmtiEnv* fresh = nullptr;
  ASSERT_EQ(inProcessJvm()->GetEnv(reinterpret_cast<void**>(&fresh), JVMTI_VERSION_1_0), JNI_OK);
  jvmtiCapabilities tagging{};
  tagging.can_tag_objects = 1;
  ASSERT_EQ(fresh->AddCapabilities(&tagging), JVMTI_ERROR_NONE);
  const jobject tagged = javaString(env, u"tagged");
  ASSERT_EQ(fresh->SetTag(tagged, 42), JVMTI_ERROR_NONE);
  HeapCounts counts;
  EXPECT_EQ(iterateOverHeap(fresh, countObject, &counts), JVMTI_ERROR_NONE);
  EXPECT_EQ(counts.tagged, 1);
  EXPECT_GT(counts.untagged, 1000);
  fresh->DisposeEnvironment();
}

// An environment without the tagging capability cannot iterate; the caller learns it from the result.
TEST_F(HeapIteration, AnEnvironmentWithoutTaggingVisitsNothing) {
  jvmtiEnv* plain = nullptr;
  ASSERT_EQ(inProcessJvm()->GetEnv(reinterpret_cast<void**>(&plain), JVMTI_VERSION_1_0), JNI_OK);
  HeapCounts counts;
  EXPECT_EQ(iterateOverHeap(plain, countObject, &counts), JVMTI_ERROR_MUST_POSSESS_CAPABILITY);
  EXPECT_EQ(counts.tagged + counts.untagged, 0);
  plain->DisposeEnvironment();
}
