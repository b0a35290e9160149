#include <gtest/gtest.h>
#include <jvmti.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "agent/core/AgentFlags.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/db/DB.h"
#include "agent/db/SnapshotCapture.h"
#include "agent/db/SnapshotFile.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/NamedLocks.h"
#include "tests/inprocess/InProcessJvm.h"
#include "agent/support/BZPRuntimeException.h"
#include "tests/support/HiddenOption.h"
#include "tests/support/LogCapture.h"
#include "tests/support/SnapshotReader.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestDatabase.h"

// Captures in a live JVM: the file, the other threads held still meanwhile, and what a failed capture
// leaves behind.

namespace {

using namespace std::chrono_literals;

bool exists(const std::string& path) { return std::filesystem::exists(std::filesystem::u8path(path)); }

bool logHas(const LogCapture& log, const std::string& entry) {
  for (const std::string& line : log.entries()) {
    if (line.find(entry) != std::string::npos) return true;
  }
  return false;
}

// A Java thread with a record of its own that counts as fast as it can, passing into the JVM after
// every step, where a suspension stops it.
class CountingThread {
 public:
  CountingThread() : worker([this] { run(); }) {
    while (record.load() == nullptr) std::this_thread::sleep_for(1ms);
  }
  ~CountingThread() {
    stop = true;
    worker.join();
  }
  CountingThread(const CountingThread&) = delete;
  CountingThread& operator=(const CountingThread&) = delete;

  int64_t count() const { return counter.load(); }
  jthread threadObject() const { return self.load(); }

  // Whether the count grows within a second.
  bool advances() const {
    const int64_t before = count();
    for (int i = 0; i < 100; i++) {
      if (count() > before) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

 private:
  void run() {
    JNIEnv* env = nullptr;
    JavaVMAttachArgs arguments{JNI_VERSION_1_8, const_cast<char*>("counting"), nullptr};
    inProcessJvm()->AttachCurrentThread(reinterpret_cast<void**>(&env), &arguments);
    const jclass threadClass = env->FindClass("java/lang/Thread");
    const jmethodID yield = env->GetStaticMethodID(threadClass, "yield", "()V");
    ThreadInfo* own;
    {
      YCriticalSectionLock held(&ourLock(), "Test:1");
      own = new ThreadInfo(YString("counting"), YString(), 0, 0, nullptr, false);
    }
    setThreadRecord(nullptr, own);
    jthread current = nullptr;
    mainJvmti->GetCurrentThread(&current);
    self = static_cast<jthread>(env->NewGlobalRef(current));
    record = own;
    while (!stop) {
      counter++;
      env->CallStaticVoidMethod(threadClass, yield);
      if (env->ExceptionCheck()) env->ExceptionClear();
    }
    setThreadRecord(nullptr, nullptr);
    env->DeleteGlobalRef(self.load());
    inProcessJvm()->DetachCurrentThread();
    YCriticalSectionLock held(&ourLock(), "Test:2");
    delete own;
  }

  std::atomic<int64_t> counter{0};
  std::atomic<bool> stop{false};
  std::atomic<ThreadInfo*> record{nullptr};
  std::atomic<jthread> self{nullptr};
  std::thread worker;
};

class SnapshotCapture : public JvmTest {
 protected:
  void SetUp() override {
    JvmTest::SetUp();
    jvmtiCapabilities capabilities{};
    capabilities.can_suspend = 1;
    ASSERT_EQ(mainJvmti->AddCapabilities(&capabilities), JVMTI_ERROR_NONE);
    agentFlags = 0;
    YCriticalSectionLock held(&ourLock(), "Test:3");
    ownRecord = new ThreadInfo(YString("main"), YString(), 0, 0, nullptr, false);
    ASSERT_EQ(setThreadRecord(nullptr, ownRecord), JVMTI_ERROR_NONE);
  }
  void TearDown() override {
    setThreadRecord(nullptr, nullptr);
    {
      YCriticalSectionLock held(&ourLock(), "Test:4");
      delete ownRecord;
    }
    agentFlags = savedFlags;
    JvmTest::TearDown();
  }

  // Enough strings that writing them out takes a while and more than a few kilobytes.
  void fillStrings(int count) {
    YCriticalSectionLock held(&ourLock(), "Test:5");
    for (int i = 0; i < count; i++) getStringId(("filler string number " + std::to_string(i)).c_str());
  }

  std::string capture(const std::string& path, SocketHandle client = 0, int64_t flags = 0) {
    return captureSnapshotToPath(env, YString(path.c_str()), client, flags).data;
  }

  TestDatabase database;
  TempDir dir;
  const uint64_t savedFlags = agentFlags.load();
  ThreadInfo* ownRecord = nullptr;
};

TEST_F(SnapshotCapture, OtherThreadsAreSuspendedWhileTheDatabaseIsWrittenAndResumedAfterwards) {
  fillStrings(200000);
  for (const bool maySuspend : {true, false}) {
    agentFlags = maySuspend ? 0 : AGENT_NO_SUSPEND;
    CountingThread counting;
    ASSERT_TRUE(counting.advances());
    const std::string path = dir.pathOf(maySuspend ? "held.bzps" : "free.bzps");
    std::atomic<bool> done{false};
    std::atomic<int> polls{0}, suspendedPolls{0};
    // The watcher shares the capturing thread's record, so the capture leaves it running.
    std::thread watcher([&] {
      JNIEnv* watcherEnv = nullptr;
      inProcessJvm()->AttachCurrentThread(reinterpret_cast<void**>(&watcherEnv), nullptr);
      setThreadRecord(nullptr, ownRecord);
      while (!done) {
        jint state = 0;
        if (mainJvmti->GetThreadState(counting.threadObject(), &state) == JVMTI_ERROR_NONE) {
          polls++;
          suspendedPolls += (state & JVMTI_THREAD_STATE_SUSPENDED) != 0;
        }
      }
      setThreadRecord(nullptr, nullptr);
      inProcessJvm()->DetachCurrentThread();
    });
    while (polls.load() == 0) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(capture(path), "");
    done = true;
    watcher.join();

    if (maySuspend) {
      EXPECT_GT(suspendedPolls.load(), 0);
    } else {
      EXPECT_EQ(suspendedPolls.load(), 0);
    }
    jint state = 0;
    ASSERT_EQ(mainJvmti->GetThreadState(counting.threadObject(), &state), JVMTI_ERROR_NONE);
    EXPECT_EQ(state & JVMTI_THREAD_STATE_SUSPENDED, 0);
    EXPECT_TRUE(counting.advances());
    EXPECT_FALSE(dbWriteInProgress.load());
    const snapshotfile::Snapshot snapshot = snapshotfile::readSnapshotFile(path);
    ASSERT_EQ(snapshot.tableRecords.size(), 1u);
    EXPECT_GT(snapshot.tableRecords[0].tables.at(0).size(), 200000u);
  }
}

// Writes fail once the file reaches the size limit of the process, as on a full disk (the JVM's own
// handler of the signal that such a write raises lets the write fail with EFBIG).
TEST_F(SnapshotCapture, AFileWhoseWritesFailIsDeletedUnlessKeptOnRequest) {
  fillStrings(20000);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 64 * 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);

  const std::string deleted = dir.pathOf("deleted.bzps");
  const std::string kept = dir.pathOf("kept.bzps");
  std::string deletedResult, keptResult;
  {
    LogCapture log;
    deletedResult = capture(deleted);
    EXPECT_TRUE(logHas(log, "deleting broken snapshot file " + deleted + " - OK"));
    HiddenOption keep("_keep_broken");
    keptResult = capture(kept);
  }
  setrlimit(RLIMIT_FSIZE, &saved);

  EXPECT_EQ(deletedResult, "File too large");
  EXPECT_FALSE(exists(deleted));
  EXPECT_EQ(keptResult, "File too large");
  EXPECT_EQ(std::filesystem::file_size(kept), 64u * 1024);
}

// A device is never deleted, even by an agent running as root.
TEST_F(SnapshotCapture, AFailedCaptureToADeviceLeavesTheDeviceAlone) {
  LogCapture log;
  EXPECT_EQ(capture("/dev/full"), "No space left on device");
  EXPECT_TRUE(exists("/dev/full"));
  EXPECT_TRUE(logHas(log, "broken snapshot /dev/full is not a regular file: left alone"));
}

TEST_F(SnapshotCapture, AFatalErrorMidwayResumesTheThreadsAndRemovesTheFile) {
  CountingThread counting;
  {
    YCriticalSectionLock held(&ourLock(), "Test:6");
    TelemetryRecord& broken = db->telemetry.rows.append();
    broken.values.size = 0;  // a live telemetry row without its fixed values
    broken.stamp = db->currentStamp;
  }
  const std::string path = dir.pathOf("broken.bzps");
  LogCapture log;
  EXPECT_THROW(capture(path), BZPRuntimeException);
  EXPECT_TRUE(logHas(log, "error at DB:861: assertion failed"));
  EXPECT_TRUE(logHas(log, "deleting broken snapshot file " + path + " - OK"));
  EXPECT_FALSE(exists(path));
  EXPECT_FALSE(dbWriteInProgress.load());
  EXPECT_TRUE(counting.advances());
}

TEST_F(SnapshotCapture, RefusalsComeBackAsJavaStringsAndSuccessAsNull) {
  const auto captureFile = [&](const std::string& path, int64_t flags) -> std::string {
    const jstring result = captureSnapshotToFile(env, env->NewStringUTF(path.c_str()), 0, flags);
    if (result == nullptr) return "<null>";
    const char* chars = env->GetStringUTFChars(result, nullptr);
    const std::string text(chars);
    env->ReleaseStringUTFChars(result, chars);
    return text;
  };
  EXPECT_EQ(captureFile(dir.pathOf("missing/dir/a.bzps"), 0), "Cannot open file to write snapshot");
  const std::string good = dir.pathOf("good.bzps");
  EXPECT_EQ(captureFile(good, 0x800), "<null>");
  EXPECT_EQ(snapshotfile::readSnapshotFile(good).records.size(), 2u);
}

}  // namespace
