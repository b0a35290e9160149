#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "agent/platform/ProcessWatch.h"
#include "tests/support/QuietChild.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

// Real children watched to their end: this test program run again with a filter that selects only the
// child test below, which ends as the variable asks.

namespace {

constexpr const char* endingVariable = "TALLYSCOPE_TEST_ENDING";

#ifdef _WIN32
// A child started with CreateProcessW, named by its process handle as the Java side names it.
class Child {
 public:
  explicit Child(const std::string& ending) {
    wchar_t path[32768];
    GetModuleFileNameW(nullptr, path, 32768);
    std::wstring line = L"\"" + std::wstring(path) + L"\" --gtest_filter=ProcessWatchChild.EndsAsAsked";
    SetEnvironmentVariableA(endingVariable, ending.c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (!CreateProcessW(path, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &info)) {
      ADD_FAILURE() << "CreateProcessW failed with " << GetLastError();
    }
    SetEnvironmentVariableA(endingVariable, nullptr);
  }
  ~Child() {
    kill();
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
  }
  int64_t name() const { return int64_t(reinterpret_cast<intptr_t>(info.hProcess)); }
  void kill() { TerminateProcess(info.hProcess, 9); }

 private:
  PROCESS_INFORMATION info{};
};
constexpr int32_t killedExitCode = 9;  // TerminateProcess's code
// A value that is no handle of this process.
constexpr int64_t unwatchable = 0x7ffffff0;
const std::string unwatchableFailure = "DuplicateHandle failed: 6";
#else
// A child started with posix_spawn, named by its pid as the Java side names it on Linux.
class Child {
 public:
  explicit Child(const std::string& ending) {
    pid = spawnQuietChild(std::filesystem::read_symlink("/proc/self/exe").string(),
                          {"--gtest_filter=ProcessWatchChild.EndsAsAsked"},
                          {std::string(endingVariable) + "=" + ending});
    EXPECT_GT(pid, 0);
  }
  // Reaped here, after the watch has read the code.
  ~Child() {
    kill();
    waitpid(pid, nullptr, 0);
  }
  int64_t name() const { return pid; }
  void kill() { ::kill(pid, SIGKILL); }

 private:
  pid_t pid = -1;
};
constexpr int32_t killedExitCode = 128 + 9;  // SIGKILL, as Process.exitValue() gives it
constexpr int64_t unwatchable = 0x7ffffff1;  // above the Linux pid limit
const std::string unwatchableFailure = "pidfd_open failed for process 2147483633: No such process";
#endif

// What the watch thread saw.
std::atomic<bool> watchEnded{false};
bool watchSucceeded = false;
int32_t watchedExitCode = 0;
std::string watchFailure;

void watchToTheEnd(int64_t watch) {
  YString failure;
  int32_t exitCode = -1;
  watchSucceeded = waitForProcessEnd(watch, &exitCode, &failure);
  watchedExitCode = exitCode;
  watchFailure = failure.data;
  closeProcessWatch(watch);
  watchEnded = true;
}

bool awaitWatchEnd() {
  for (int i = 0; i < 3000 && !watchEnded; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return watchEnded;
}

}  // namespace

TEST(ProcessWatchChild, EndsAsAsked) {
  const char* ending = std::getenv(endingVariable);
  if (ending == nullptr) GTEST_SKIP() << "runs only as the child of the process watch tests";
  if (std::string(ending) == "sleep") std::this_thread::sleep_for(std::chrono::minutes(2));
  std::exit(std::atoi(ending));
}

TEST(ProcessWatch, AThreadOfItsOwnWaitsForTheChildsEndAndReadsItsExitCode) {
  struct Case {
    const char* ending;
    bool killed;
    int32_t exitCode;
  };
  for (const Case& c : {Case{"0", false, 0}, Case{"3", false, 3}, Case{"sleep", true, killedExitCode}}) {
    SCOPED_TRACE(c.ending);
    watchEnded = false;
    Child child(c.ending);
    YString failure;
    const int64_t watch = openProcessWatch(child.name(), &failure);
    ASSERT_NE(-1, watch) << failure.data;
    ASSERT_TRUE(startProcessWatchThread(watchToTheEnd, watch));
    if (c.killed) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      EXPECT_FALSE(watchEnded);
      child.kill();
    }
    ASSERT_TRUE(awaitWatchEnd());
    EXPECT_TRUE(watchSucceeded) << watchFailure;
    EXPECT_EQ(c.exitCode, watchedExitCode);
  }
}

TEST(ProcessWatch, AProcessThatCannotBeNamedIsRefusedWithTheReason) {
  YString failure;
  EXPECT_EQ(-1, openProcessWatch(unwatchable, &failure));
  EXPECT_EQ(unwatchableFailure, failure.data);
}
