#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "agent/platform/Clocks.h"
#include "agent/platform/InterProcessMutex.h"
#include "agent/platform/Processes.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/TempDir.h"
#include "tests/support/QuietChild.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace {

// Runs `work` on a thread of its own and tells whether it ended. A lock that is never granted would keep
// that thread waiting for good, so after a generous wait it is left behind and the test fails.
bool finishesOnItsOwnThread(const std::function<void()>& work) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> ended = done->get_future();
  std::thread([work, done] {
    work();
    done->set_value();
  }).detach();
  return ended.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
}

#ifdef _WIN32
std::wstring wide(const std::string& text) {
  const YWideString converted = toWideString(YString(text.c_str()));
  return std::wstring(reinterpret_cast<const wchar_t*>(converted.data));
}

// Whether any thread holds the mutex `name`: a thread of its own tries it without waiting.
bool isHeld(const std::string& name) {
  bool held = false;
  std::thread([&] {
    HANDLE probe = OpenMutexW(SYNCHRONIZE, FALSE, wide(name).c_str());
    if (probe == nullptr) {
      ADD_FAILURE() << "cannot open the mutex " << name;
      return;
    }
    held = WaitForSingleObject(probe, 0) == WAIT_TIMEOUT;
    if (!held) ReleaseMutex(probe);
    CloseHandle(probe);
  }).join();
  return held;
}
#else
// Where the lock file of the mutex `name` lies.
std::string lockFileOf(const std::string& name) {
  const bool global = name.rfind("Global\\", 0) == 0;
  std::string base = name.substr(global ? 7 : name.rfind("Local\\", 0) == 0 ? 6 : 0);
  for (char& c : base) c = c == '/' ? '_' : c;
  return (global ? "/tmp/" : "/tmp/tallyscope-" + std::to_string(geteuid()) + "/") + base + ".mutex";
}

// Whether anyone, this process included, holds the mutex `name`: a flock of our own on its lock file,
// through a file description of its own, tried without waiting.
bool isHeld(const std::string& name) {
  const int fd = open(lockFileOf(name).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd == -1) {
    ADD_FAILURE() << "no lock file for " << name;
    return false;
  }
  const bool held = flock(fd, LOCK_EX | LOCK_NB) == -1 && errno == EWOULDBLOCK;
  close(fd);
  return held;
}

constexpr const char* childMutexVariable = "TALLYSCOPE_TEST_MUTEX";
constexpr const char* childSignalsVariable = "TALLYSCOPE_TEST_MUTEX_SIGNALS";

bool exists(const std::string& path) { return std::filesystem::exists(std::filesystem::u8path(path)); }

void touch(const std::string& path) { std::ofstream(std::filesystem::u8path(path)) << "1"; }

// This test program run again as the holder of a mutex (the hidden test below). It tells through files
// in `signals`: "locked" once it holds the mutex, "released" just before it lets go, which it does when
// "release" appears.
class Holder {
 public:
  Holder(const std::string& mutexName, const TempDir& signals) : directory(signals) {
    child = spawnQuietChild(std::filesystem::read_symlink("/proc/self/exe").string(),
                            {"--gtest_filter=InterProcessMutexChild.HoldsWhenAsked"},
                            {std::string(childMutexVariable) + "=" + mutexName,
                             std::string(childSignalsVariable) + "=" + signals.path()});
    if (child == -1) ADD_FAILURE() << "cannot start the holder";
  }
  ~Holder() { kill(); }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;

  // True once the holder has said that it holds the mutex; false when it ended without.
  bool waitUntilLocked() {
    for (;;) {
      if (exists(directory.pathOf("locked"))) return true;
      if (child <= 0 || waitpid(child, &status, WNOHANG) != 0) {
        child = -1;
        return exists(directory.pathOf("locked"));
      }
      sleepMs(10);
    }
  }

  // The holder's exit code once it has ended by itself, -1 when it did not.
  int waitForExit() {
    if (child <= 0) return -1;
    waitpid(child, &status, 0);
    child = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Kills and reaps the holder, so that its end has released everything it held.
  void kill() {
    if (child <= 0) return;
    ::kill(child, SIGKILL);
    waitpid(child, &status, 0);
    child = -1;
  }

 private:
  const TempDir& directory;
  pid_t child = -1;
  int status = 0;
};

// Whether the mutex `name` opens in a child process that acts as `user`, with a umask that would leave
// every file it creates closed to everyone.
bool opensAsUser(uid_t user, const std::string& name) {
  const pid_t child = fork();
  if (child == 0) {
    umask(0777);
    if (seteuid(user) != 0) _exit(2);
    InterProcessMutex mutex(name.c_str());
    _exit(mutex.isValid() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 2) << "the child did not get as far as the mutex";
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
#endif

// Every test makes mutexes of its own, named after this process, the test and its run in this process,
// so that parallel or repeated runs do not meet; their lock files go with the test.
class InterProcessMutexTest : public testing::Test {
 protected:
  void SetUp() override { run++; }

  std::string nameOf(const std::string& prefix, const std::string& tag = "") {
    std::string name = prefix + "tallyscope-test-" + std::to_string(getOwnPid()) + "-" + std::to_string(run) + "-" +
                       testing::UnitTest::GetInstance()->current_test_info()->name() + tag;
    names.push_back(name);
    return name;
  }

  void TearDown() override {
#ifndef _WIN32
    std::error_code ignored;
    for (const std::string& name : names) std::filesystem::remove(lockFileOf(name), ignored);
#endif
  }

 private:
  static inline int run = 0;
  std::vector<std::string> names;
};

}  // namespace

TEST_F(InterProcessMutexTest, OneNameIsOneMutexThatItsOwnerMayLockAgain) {
  // "Local\X" and a bare "X" are one per-user namespace.
  const std::vector<std::pair<std::string, std::string>> namePairs = {
      {nameOf("Global\\"), nameOf("Global\\")},
      {nameOf("Local\\"), nameOf("")},
  };
  for (const auto& [firstName, secondName] : namePairs) {
    SCOPED_TRACE(firstName);
    InterProcessMutex first(firstName.c_str());
    InterProcessMutex second(secondName.c_str());
    ASSERT_TRUE(first.isValid());
    ASSERT_TRUE(second.isValid());
    EXPECT_FALSE(isHeld(firstName));
    bool heldByBoth = false, heldAfterOneUnlock = false;
    EXPECT_TRUE(finishesOnItsOwnThread([&] {
      first.lock();
      second.lock();
      heldByBoth = isHeld(secondName);
      first.unlock();
      heldAfterOneUnlock = isHeld(firstName);
      second.unlock();
    }));
    EXPECT_TRUE(heldByBoth);
    EXPECT_TRUE(heldAfterOneUnlock);
    EXPECT_FALSE(isHeld(firstName));
  }
}

TEST_F(InterProcessMutexTest, OtherThreadsWaitForTheOwnersLastUnlock) {
  const std::string name = nameOf("Local\\");
  InterProcessMutex mutex(name.c_str());
  mutex.lock();
  // Only the owner releases it.
  std::thread([&] { mutex.unlock(); }).join();
  EXPECT_TRUE(isHeld(name));
  mutex.lock();

  std::atomic<bool> released{false};
  bool waiterSawRelease = false;
  std::thread waiter([&] {
    InterProcessMutex own(name.c_str());
    InterProcessMutexLock guard(&own);
    waiterSawRelease = released.load();
  });
  sleepMs(100);  // room for a faulty mutex to let the waiter in early
  mutex.unlock();
  sleepMs(100);
  released = true;
  mutex.unlock();
  waiter.join();
  EXPECT_TRUE(waiterSawRelease);
  EXPECT_FALSE(isHeld(name));
}

TEST_F(InterProcessMutexTest, KeepsThreadsOutOfEachOthersBlocks) {
  const std::string name = nameOf("Global\\");
  int64_t counter = 0;  // deliberately not atomic: only the mutex keeps the increments whole
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&] {
      InterProcessMutex own(name.c_str());
      for (int i = 0; i < 2000; i++) {
        InterProcessMutexLock guard(&own);
        InterProcessMutexLock again(&own);
        const int64_t seen = counter;
        if (i % 100 == 0) std::this_thread::yield();
        counter = seen + 1;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter, 4 * 2000);
  EXPECT_FALSE(isHeld(name));
}

TEST_F(InterProcessMutexTest, AnExceptionLeavingTheBlockReleasesIt) {
  const std::string name = nameOf("Global\\");
  InterProcessMutex mutex(name.c_str());
  EXPECT_THROW(
      {
        InterProcessMutexLock outer(&mutex);
        InterProcessMutexLock inner(&mutex);
        throw std::runtime_error("leaving");
      },
      std::runtime_error);
  EXPECT_FALSE(isHeld(name));
  EXPECT_TRUE(finishesOnItsOwnThread([&] { InterProcessMutexLock guard(&mutex); }));
}

TEST_F(InterProcessMutexTest, AThreadThatEndsHoldingItLeavesItToTheNext) {
  const std::string name = nameOf("Local\\");
  InterProcessMutex mutex(name.c_str());
  std::thread([&] {
    mutex.lock();
    mutex.lock();
  }).join();
  EXPECT_TRUE(finishesOnItsOwnThread([&] { InterProcessMutexLock guard(&mutex); }));
  EXPECT_FALSE(isHeld(name));
}

TEST(InterProcessMutex, ANullNameOrGuardIsAFatalAssertion) {
  const std::vector<std::function<void()>> calls = {
      [] { InterProcessMutex mutex(nullptr); },
      [] { InterProcessMutexLock guard(nullptr); },
  };
  for (const auto& call : calls) {
    const std::string entry = fatalErrorOf(call);
    const std::string prefix = "error at InterProcessMutex:";
    const std::string suffix = ": assertion failed: value is NULL";
    EXPECT_EQ(entry.rfind(prefix, 0), 0u) << entry;
    ASSERT_GE(entry.size(), suffix.size()) << entry;
    EXPECT_EQ(entry.substr(entry.size() - suffix.size()), suffix) << entry;
  }
}

#ifdef _WIN32
TEST_F(InterProcessMutexTest, ANameTheKernelRefusesGivesAMutexThatDoesNothing) {
  // The name is taken by an event, so that neither creating nor opening a mutex of that name succeeds.
  const std::string name = nameOf("Local\\");
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, wide(name).c_str());
  ASSERT_NE(event, nullptr);
  InterProcessMutex mutex(name.c_str());
  EXPECT_FALSE(mutex.isValid());
  EXPECT_TRUE(finishesOnItsOwnThread([&] {
    mutex.lock();
    InterProcessMutexLock guard(&mutex);
    mutex.unlock();
  }));
  CloseHandle(event);
}
#else
TEST_F(InterProcessMutexTest, ALockFileThatCannotBeUsedGivesAMutexThatDoesNothing) {
  TempDir directory;
  const std::string target = directory.write("target", "unchanged");
  const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> cases = {
      {nameOf("Global\\", "-symlink"), [&](const std::string& path) { symlink(target.c_str(), path.c_str()); }},
      {nameOf("Global\\", "-fifo"), [](const std::string& path) { mkfifo(path.c_str(), 0666); }},
      {nameOf("Global\\", "-directory"), [](const std::string& path) { mkdir(path.c_str(), 0700); }},
      {"Global\\" + std::string(300, 'g'), [](const std::string&) {}},
      {"Local\\" + std::string(300, 'l'), [](const std::string&) {}},
  };
  for (const auto& [name, plant] : cases) {
    SCOPED_TRACE(name.substr(0, 80));
    plant(lockFileOf(name));
    InterProcessMutex mutex(name.c_str());
    EXPECT_FALSE(mutex.isValid());
    EXPECT_TRUE(finishesOnItsOwnThread([&] {
      mutex.lock();
      InterProcessMutexLock guard(&mutex);
      mutex.unlock();
    }));
  }
  std::ifstream planted(target);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(planted), {}), "unchanged");
}

TEST_F(InterProcessMutexTest, GlobalMutexesReachOtherUsersAndThePerUserDirectoryMustBeTheUsersAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a user whose directory it can plant";
  const uid_t user = uid_t(50000 + getOwnPid() % 10000);
  const std::string directory = "/tmp/tallyscope-" + std::to_string(user);
  std::error_code error;
  if (std::filesystem::symlink_status(directory, error).type() != std::filesystem::file_type::not_found) {
    GTEST_SKIP() << directory << " is in use";
  }
  const mode_t previousMask = umask(0077);
  const std::string globalName = nameOf("Global\\");
  InterProcessMutex global(globalName.c_str());
  umask(previousMask);
  ASSERT_TRUE(global.isValid());
  EXPECT_TRUE(opensAsUser(user, globalName));

  // A per-user directory that another user planted, or that others could plant files in, is not used.
  TempDir elsewhere;
  ASSERT_EQ(chown(elsewhere.path().c_str(), user, gid_t(-1)), 0);
  const std::vector<std::pair<std::string, std::function<void()>>> cases = {
      {"a symlink to a directory of the user",
       [&] { symlink(elsewhere.path().c_str(), directory.c_str()); }},
      {"a directory of another user with a lock file the user may open",
       [&] {
         mkdir(directory.c_str(), 0755);
         std::ofstream(directory + "/planted.mutex") << "";
       }},
      {"a directory of the user that others may write into",
       [&] {
         mkdir(directory.c_str(), 0700);
         chmod(directory.c_str(), 0777);
         chown(directory.c_str(), user, gid_t(-1));
       }},
  };
  for (const auto& [planted, plant] : cases) {
    SCOPED_TRACE(planted);
    plant();
    EXPECT_FALSE(opensAsUser(user, "Local\\planted"));
    std::filesystem::remove_all(directory);  // a symlink goes, not what it leads to
  }

  EXPECT_TRUE(opensAsUser(user, "Local\\planted"));
  struct stat status;
  ASSERT_EQ(lstat(directory.c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  EXPECT_EQ(status.st_uid, user);
  EXPECT_EQ(status.st_mode & 07777, 0700u);
  ASSERT_EQ(lstat((directory + "/planted.mutex").c_str(), &status), 0);
  EXPECT_EQ(status.st_uid, user);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  std::filesystem::remove_all(directory);
}

TEST_F(InterProcessMutexTest, LockFilesAreMachineWideOrPerUserAndStayInTheProcess) {
  const mode_t previousMask = umask(0077);
  const std::string globalName = nameOf("Global\\", "-a/b");
  const std::string localName = nameOf("Local\\", "-a/b");
  InterProcessMutex global(globalName.c_str());
  InterProcessMutex local(localName.c_str());
  umask(previousMask);
  ASSERT_TRUE(global.isValid());
  ASSERT_TRUE(local.isValid());

  std::string base = globalName.substr(std::string("Global\\").size()) + ".mutex";
  base.replace(base.rfind('/'), 1, "_");
  const std::string userDirectory = "/tmp/tallyscope-" + std::to_string(geteuid());
  struct stat status;
  ASSERT_EQ(lstat(("/tmp/" + base).c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0666u);
  ASSERT_EQ(lstat(userDirectory.c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  EXPECT_EQ(status.st_uid, geteuid());
  EXPECT_EQ(status.st_mode & 07777, 0700u);
  ASSERT_EQ(lstat((userDirectory + "/" + base).c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0600u);

  // A program that a child execs must not inherit the lock file: it would keep the lock alive after
  // this process ended while holding it.
  int lockFiles = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code unreadable;
    const std::string opened = std::filesystem::read_symlink(entry.path(), unreadable).string();
    if (opened.find(base) == std::string::npos) continue;
    lockFiles++;
    EXPECT_NE(fcntl(std::stoi(entry.path().filename().string()), F_GETFD) & FD_CLOEXEC, 0) << opened;
  }
  EXPECT_EQ(lockFiles, 2);
}

TEST_F(InterProcessMutexTest, ALockFileRemovedWhileIdleIsMadeAgain) {
  // What a cleaner of /tmp does to a file that nobody has touched for long: the process keeps the old
  // file open, other processes would meet a new one.
  const std::string name = nameOf("Global\\");
  InterProcessMutex mutex(name.c_str());
  { InterProcessMutexLock guard(&mutex); }
  ASSERT_TRUE(std::filesystem::remove(lockFileOf(name)));
  InterProcessMutexLock guard(&mutex);
  EXPECT_TRUE(isHeld(name));
}

TEST(InterProcessMutexChild, HoldsWhenAsked) {
  const char* name = std::getenv(childMutexVariable);
  const char* signals = std::getenv(childSignalsVariable);
  if (name == nullptr || signals == nullptr) GTEST_SKIP() << "runs only as the child of the mutex tests";
  const std::string directory = signals;
  InterProcessMutex mutex(name);
  InterProcessMutexLock guard(&mutex);
  touch(directory + "/locked");
  // Ends by itself should the parent never ask.
  for (int wait = 0; wait < 12000 && !exists(directory + "/release"); wait++) sleepMs(10);
  touch(directory + "/released");
}

TEST_F(InterProcessMutexTest, AnotherProcessHoldingItKeepsThisOneWaiting) {
  for (const char* prefix : {"Global\\", "Local\\"}) {
    SCOPED_TRACE(prefix);
    const std::string name = nameOf(prefix);
    TempDir signals;
    InterProcessMutex mutex(name.c_str());
    Holder holder(name, signals);
    ASSERT_TRUE(holder.waitUntilLocked());
    EXPECT_TRUE(isHeld(name));

    bool sawRelease = false;
    std::thread taker([&] {
      InterProcessMutexLock guard(&mutex);
      sawRelease = exists(signals.pathOf("released"));
    });
    sleepMs(200);  // room for a faulty mutex to let the taker in while the holder holds it
    touch(signals.pathOf("release"));
    taker.join();
    EXPECT_TRUE(sawRelease);
    EXPECT_EQ(holder.waitForExit(), 0);
  }
}

TEST_F(InterProcessMutexTest, AProcessKilledWhileHoldingItReleasesIt) {
  const std::string name = nameOf("Global\\");
  TempDir signals;
  InterProcessMutex mutex(name.c_str());
  Holder holder(name, signals);
  ASSERT_TRUE(holder.waitUntilLocked());
  EXPECT_TRUE(isHeld(name));
  holder.kill();
  EXPECT_FALSE(isHeld(name));
  EXPECT_TRUE(finishesOnItsOwnThread([&] { InterProcessMutexLock guard(&mutex); }));
  EXPECT_FALSE(exists(signals.pathOf("released")));
}
#endif
