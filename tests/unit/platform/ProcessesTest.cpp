#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "agent/platform/Clocks.h"
#include "agent/platform/Processes.h"
#include "agent/platform/SystemInfo.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/TempDir.h"
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

namespace {

// Children are this test program run again with a filter that selects only the sleeping test below,
// which sleeps only when this variable is set. The further arguments hold blanks that a splitter must
// keep.
constexpr const char* sleeperVariable = "TALLYSCOPE_TEST_SLEEPER";
const std::vector<std::string> sleeperArguments = {"--gtest_filter=ProcessesChild.SleepsWhenAsked",
                                                   "first argument", "  two  blanks  "};
// A pid that no process has: above the Linux limit, and not a multiple of 4 as Windows pids are.
constexpr uint32_t unknownPid = 0x7ffffff1;

std::vector<std::string> commandLineOf(uint32_t pid) {
  YVector<YString> arguments;
  getCommandLineByPid(arguments, pid);
  std::vector<std::string> result;
  for (int32_t i = 0; i < arguments.size; i++) result.emplace_back(arguments[i].data);
  return result;
}

#ifdef _WIN32
std::wstring wide(const std::string& text) {
  const YWideString converted = toWideString(YString(text.c_str()));
  return std::wstring(reinterpret_cast<const wchar_t*>(converted.data));
}

std::string ownExecutable() {
  wchar_t path[32768];
  const DWORD length = GetModuleFileNameW(nullptr, path, 32768);
  return toUtf8String(YWideString(reinterpret_cast<const char16_t*>(std::wstring(path, length).c_str()))).data;
}

// A sleeping child, started with CreateProcessW; its output goes to NUL.
class Child {
 public:
  Child(const std::string& executable, const std::vector<std::string>& arguments) {
    std::wstring line = L"\"" + wide(executable) + L"\"";
    for (const std::string& argument : arguments) {
      const bool quoted = argument.empty() || argument.find(' ') != std::string::npos;
      line += quoted ? L" \"" + wide(argument) + L"\"" : L" " + wide(argument);
    }
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                             OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
    SetEnvironmentVariableW(L"TALLYSCOPE_TEST_SLEEPER", L"1");
    const BOOL started = CreateProcessW(wide(executable).c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &info);
    SetEnvironmentVariableW(L"TALLYSCOPE_TEST_SLEEPER", nullptr);
    CloseHandle(nul);
    if (!started) ADD_FAILURE() << "CreateProcessW failed with " << GetLastError();
  }
  ~Child() { end(); }

  uint32_t pid() const { return info.dwProcessId; }

  // Kills the child and waits until its pid names no process. That takes the last handle closed, and
  // wine drops the process a moment later still.
  void end() {
    if (info.hProcess == nullptr) return;
    TerminateProcess(info.hProcess, 1);
    WaitForSingleObject(info.hProcess, INFINITE);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    info.hProcess = nullptr;
    for (int attempt = 0; attempt < 1000; attempt++) {
      HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, info.dwProcessId);
      if (process == nullptr) return;
      CloseHandle(process);
      Sleep(10);
    }
    ADD_FAILURE() << "the ended child " << info.dwProcessId << " can still be opened";
  }

 private:
  PROCESS_INFORMATION info{};
};
#else
std::string ownExecutable() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

// A sleeping child, started with posix_spawn; its standard streams go to /dev/null.
class Child {
 public:
  Child(const std::string& executable, const std::vector<std::string>& arguments) {
    child = spawnQuietChild(executable, arguments, {std::string(sleeperVariable) + "=1"});
    if (child == -1) ADD_FAILURE() << "posix_spawn failed";
  }
  ~Child() { end(); }

  uint32_t pid() const { return uint32_t(child); }

  // Kills and reaps the child, so that its pid names no process.
  void end() {
    if (child <= 0) return;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    child = -1;
  }

 private:
  pid_t child = -1;
};
#endif

// A child's arguments once it has come far enough to have them all; a Windows child is still being
// set up when CreateProcessW returns.
std::vector<std::string> commandLineOfStartedChild(const Child& child, size_t count) {
  std::vector<std::string> arguments;
  for (int attempt = 0; attempt < 600; attempt++) {
    arguments = commandLineOf(child.pid());
    if (arguments.size() >= count) break;
    sleepMs(50);
  }
  return arguments;
}

}  // namespace

TEST(ProcessesChild, SleepsWhenAsked) {
  if (std::getenv(sleeperVariable) == nullptr) GTEST_SKIP() << "runs only as the child of the process tests";
  std::this_thread::sleep_for(std::chrono::minutes(2));
}

TEST(Processes, ReadTheOwnProcess) {
#ifdef _WIN32
  EXPECT_EQ(getOwnPid(), uint32_t(GetCurrentProcessId()));
#else
  EXPECT_EQ(getOwnPid(), uint32_t(getpid()));
#endif
  YVector<YString> own;
  getOwnCommandLine(own);
  std::vector<std::string> arguments;
  for (int32_t i = 0; i < own.size; i++) arguments.emplace_back(own[i].data);
  EXPECT_EQ(arguments, ::testing::internal::GetArgvs());
  EXPECT_EQ(getProcessPathByPid(getOwnPid()).data, ownExecutable());
  EXPECT_GT(getUserName().length, 0);
  EXPECT_STREQ(getProcessOwnerByPid(getOwnPid()).data, getUserName().data);
}

TEST(Processes, ReadARunningChildAndNothingOnceItHasEnded) {
  const std::string executable = ownExecutable();
  Child child(executable, sleeperArguments);
  std::vector<std::string> expected{executable};
  expected.insert(expected.end(), sleeperArguments.begin(), sleeperArguments.end());
  EXPECT_EQ(commandLineOfStartedChild(child, expected.size()), expected);
  EXPECT_EQ(getProcessPathByPid(child.pid()).data, executable);
  EXPECT_STREQ(getProcessOwnerByPid(child.pid()).data, getUserName().data);
  EXPECT_GE(getOtherProcessCpuTimeNs(child.pid()), 0);

  const uint32_t pid = child.pid();
  child.end();
  EXPECT_TRUE(commandLineOf(pid).empty());
  EXPECT_EQ(getProcessPathByPid(pid).length, 0);
  EXPECT_EQ(getProcessOwnerByPid(pid).length, 0);
  EXPECT_EQ(getOtherProcessCpuTimeNs(pid), -1);
}

TEST(Processes, AnUnknownPidGivesTheFailureValues) {
  EXPECT_TRUE(commandLineOf(unknownPid).empty());
  EXPECT_EQ(getProcessPathByPid(unknownPid).length, 0);
  EXPECT_EQ(getProcessOwnerByPid(unknownPid).length, 0);
  EXPECT_EQ(getOtherProcessCpuTimeNs(unknownPid), -1);
}

TEST(Processes, SpecialJavaProcessNames) {
  const struct {
    const char* name;
    bool special;
  } cases[] = {
      {"java.exe", true},       {"JAVA.EXE", true},         {"javaw.exe", true},   {"WASService.exe", true},
      {"TOMCAT9.EXE", true},    {"tomcat.exe", true},       {"Tomcat8w.exe", true}, {"tomcat.com", false},
      {"tomcat9", false},       {"mytomcat.exe", false},    {"java", false},       {"javac.exe", false},
      {"java.exe.bak", false},  {"xjava.exe", false},       {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isSpecialJavaProcessName(YString(c.name)), c.special) << c.name;
}

TEST(Processes, FindTheOtherProcessesWithSpecialJavaNames) {
  TempDir directory;
#ifdef _WIN32
  const std::filesystem::path copy = std::filesystem::u8path(directory.pathOf("TOMCAT9.EXE"));
#else
  const std::filesystem::path copy = std::filesystem::u8path(directory.pathOf("java"));  // Linux executables carry no ".exe"
#endif
  std::filesystem::copy_file(ownExecutable(), copy);
  Child child(copy.string(), sleeperArguments);
  commandLineOfStartedChild(child, sleeperArguments.size() + 1);

  YVector<uint32_t> pids;
  getSpecialJavaPids(&pids);
  const std::vector<uint32_t> found(pids.data, pids.data + pids.size);
  EXPECT_NE(std::find(found.begin(), found.end(), child.pid()), found.end());
  EXPECT_EQ(std::find(found.begin(), found.end(), getOwnPid()), found.end());
  child.end();

  EXPECT_EQ(fatalErrorOf([] { getSpecialJavaPids(nullptr); }),
            "error at OsSpecific:1026: assertion failed: value is NULL");
}

#ifdef _WIN32
TEST(Processes, SplitWindowsCommandLines) {
  const struct {
    const char* line;
    const char* path;
    std::vector<std::string> arguments;
  } cases[] = {
      // An unquoted path with blanks stays one argument.
      {"C:\\Program Files\\Java\\bin\\java.exe -Xmx1g Main", "C:\\Program Files\\Java\\bin\\java.exe",
       {"C:\\Program Files\\Java\\bin\\java.exe", "-Xmx1g", "Main"}},
      {"\"C:\\Program Files\\Java\\bin\\java.exe\" -Xmx1g \"a b\"", "C:\\Program Files\\Java\\bin\\java.exe",
       {"C:\\Program Files\\Java\\bin\\java.exe", "-Xmx1g", "a b"}},
      // The argument after an unquoted path follows the rules of arguments, not of program names.
      {"C:\\a b\\java.exe \"-Dx=\\\"y z\\\"\" tail", "C:\\a b\\java.exe", {"C:\\a b\\java.exe", "-Dx=\"y z\"", "tail"}},
      {"C:\\a\\java.exe  \t ", "C:\\a\\java.exe", {"C:\\a\\java.exe"}},
      // The path must end where the first argument ends.
      {"C:\\a\\java.exe2 x", "C:\\a\\java.exe", {"C:\\a\\java.exe2", "x"}},
      {"java -version", "", {"java", "-version"}},
      {"", "C:\\a\\java.exe", {"C:\\a\\java.exe"}},
      {"", "", {}},
  };
  for (const auto& c : cases) {
    YVector<YString> arguments;
    splitCommandLine(arguments, YString(c.line), YString(c.path));
    std::vector<std::string> split;
    for (int32_t i = 0; i < arguments.size; i++) split.emplace_back(arguments[i].data);
    EXPECT_EQ(split, c.arguments) << c.line;
  }
}

TEST(Processes, TurnDevicePathsIntoDrivePaths) {
  YString devices[24];
  devices[0] = YString("\\Device\\HarddiskVolume1");   // C
  devices[1] = YString("\\Device\\HarddiskVolume3");   // D
  devices[2] = YString("\\Device\\HarddiskVolume10");  // E
  EXPECT_STREQ(drivePathOf(YString("\\Device\\HarddiskVolume3\\Program Files\\x.exe"), devices).data,
               "D:\\Program Files\\x.exe");
  EXPECT_STREQ(drivePathOf(YString("\\Device\\HarddiskVolume10\\x.exe"), devices).data, "E:\\x.exe");
  EXPECT_STREQ(drivePathOf(YString("\\Device\\HarddiskVolume1\\x.exe"), devices).data, "C:\\x.exe");
  EXPECT_STREQ(drivePathOf(YString("\\Device\\Mup\\server\\x.exe"), devices).data, "\\Device\\Mup\\server\\x.exe");
}
#endif
