#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent/platform/Processes.h"
#include "agent/platform/SystemInfo.h"
#include "agent/support/Log.h"
#include "tests/support/ScopedVariable.h"
#include "tests/support/TempDir.h"

namespace {

// The file's text; the Windows log is a text-mode file, whose line ends read back as "\n" here.
std::string readAll(const std::string& path) {
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::string contents = text.str();
  for (size_t at = contents.find("\r\n"); at != std::string::npos; at = contents.find("\r\n", at)) contents.erase(at, 1);
  return contents;
}

// The texts of the entries of a log file; continuation lines of a multi-line entry are joined to it.
std::vector<std::string> entriesOf(const std::string& contents, const std::string& prefix = "") {
  static const std::regex entryStart("^21\\.6-257 \\d+\\.\\d{3}: ");
  std::vector<std::string> entries;
  std::istringstream lines(contents);
  for (std::string line; std::getline(lines, line);) {
    if (!prefix.empty() && line.compare(0, prefix.size(), prefix) == 0) line = line.substr(prefix.size());
    std::smatch match;
    if (std::regex_search(line, match, entryStart)) {
      entries.push_back(match.suffix());
    } else if (!entries.empty()) {
      entries.back() += "\n" + line;
    } else {
      entries.push_back("<unprefixed> " + line);
    }
  }
  return entries;
}

std::string ownPid() { return std::to_string(getOwnPid()); }

bool startsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

// Every test starts from the same settings, with its log in a directory of its own; at the end the log
// moves to the test home, so that the test's directory can go.
class AgentLog : public testing::Test {
 protected:
  void SetUp() override {
    setLogQuiet(true);
    setUnitedLog(false);
    setLogSystemTime(false);
    setLogProcessList(false);
    setLogFileSizeLimit(1048576);
    setRawConsole(false);
    setLogSessionName(YString("logtest"));
    setLogDirectory(YString(directory.path().c_str()));
    requestLogReopen();
  }

  void TearDown() override {
    setLogQuiet(true);
    setUnitedLog(false);
    setLogDirectory(YString());
    requestLogReopen();
    logMessage(YString("test finished"));
  }

  std::string normalLogPath() const { return directory.pathOf("logtest-" + ownPid() + ".log"); }

  TempDir directory;
};

TEST_F(AgentLog, TheFirstEntryOpensTheFileAndFollowsTheHeader) {
  testing::internal::CaptureStderr();
  logMessage(YString("first entry"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "quiet writes nothing to the console";

  EXPECT_EQ(std::string(getLogFilePath().data), normalLogPath());
  std::vector<std::string> entries = entriesOf(readAll(normalLogPath()));
  // A log that an earlier test of this process left open adds the move's own line.
  if (entries.size() > 1 && startsWith(entries[1], "warning: log file changed from ")) entries.erase(entries.begin() + 1);
  ASSERT_EQ(entries.size(), 10u) << readAll(normalLogPath());
  EXPECT_EQ(entries[0], "Log file: " + normalLogPath());
  EXPECT_TRUE(startsWith(entries[1], "Command line:\n  ")) << entries[1];
  EXPECT_TRUE(startsWith(entries[2], "Executable: ")) << entries[2];
  const std::string platform = std::string("; ") + getPlatformDirName() + "; 64-bit process";
  EXPECT_NE(entries[3].find("; version "), std::string::npos) << entries[3];
  EXPECT_NE(entries[3].find(platform), std::string::npos) << entries[3];
  EXPECT_TRUE(std::regex_match(entries[4], std::regex("RAM: [1-9]\\d* MB"))) << entries[4];
  EXPECT_TRUE(std::regex_match(entries[5], std::regex("Today is \\d{8}"))) << entries[5];
  EXPECT_EQ(entries[6], "full_build_stamp: 2021.6.257 202106281002");
  EXPECT_TRUE(startsWith(entries[7], "Agent library path: ")) << entries[7];
  EXPECT_TRUE(std::regex_match(entries[8], std::regex("getTimeNsInfo: \"PerformanceFrequency=\\d+\""))) << entries[8];
  EXPECT_EQ(entries[9], "first entry");

  logMessage(YString("second entry"));
  EXPECT_EQ(entriesOf(readAll(normalLogPath())).back(), "second entry");
}

TEST_F(AgentLog, AnEmptyMessageNeitherWritesNorOpens) {
  logMessage(YString(""));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::u8path(normalLogPath())));
}

TEST_F(AgentLog, ReopeningMovesTheLogAndSaysSoInBothFiles) {
  logMessage(YString("in the first file"));
  TempDir second;
  setLogDirectory(YString(second.path().c_str()));
  requestLogReopen();
  logMessage(YString("in the second file"));

  const std::vector<std::string> old = entriesOf(readAll(normalLogPath()));
  ASSERT_GE(old.size(), 2u);
  EXPECT_EQ(old.back(), "warning: log file will be changed");
  const std::string newPath = second.pathOf("logtest-" + ownPid() + ".log");
  const std::vector<std::string> moved = entriesOf(readAll(newPath));
  ASSERT_GE(moved.size(), 3u);
  EXPECT_EQ(moved[0], "Log file: " + newPath);
  EXPECT_EQ(moved[1], "warning: log file changed from " + normalLogPath());
  EXPECT_EQ(moved.back(), "in the second file");
  TearDown();  // release the second file before its directory goes
}

TEST_F(AgentLog, LocalTimeJoinsThePrefixWhenAsked) {
  setLogSystemTime(true);
  logMessage(YString("timed"));
  const std::string contents = readAll(normalLogPath());
  EXPECT_TRUE(std::regex_search(
      contents, std::regex("(^|\n)21\\.6-257 \\d+\\.\\d{3} \\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}: timed\n")))
      << contents;
}

TEST_F(AgentLog, ZeroBytesReachTheFileAsTheyAreAndTheConsoleAsDots) {
  setLogQuiet(false);
  testing::internal::CaptureStderr();
  logMessage(YString("opened"));
  const std::string notice = testing::internal::GetCapturedStderr();
  EXPECT_EQ(notice, "[Brantel TallyScope 2021.6-b257] Log file: " + normalLogPath() + "\n");

  YString message("a");
  message.append('\0');
  message.append("b\xC0\x80" "c");
  testing::internal::CaptureStdout();
  logMessage(message, stdout);
  const std::string console = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(std::regex_match(console, std::regex("21\\.6-257 \\d+\\.\\d{3}: a\\.b\\.c\n"))) << console;
  const std::string contents = readAll(normalLogPath());
  EXPECT_NE(contents.find(std::string(": a\0b\xC0\x80" "c\n", 9)), std::string::npos);
}

TEST_F(AgentLog, WithoutAFileEntriesGoToStandardErrorUnlessQuiet) {
  // A regular file where the log directory should be: no log file can be made below it.
  const std::string blocked = directory.write("blocked", "x") + pathSeparator + "log";
  setLogDirectory(YString(blocked.c_str()));
  setLogQuiet(false);
  testing::internal::CaptureStderr();
  logMessage(YString("nowhere to go"));
  const std::string output = testing::internal::GetCapturedStderr();
  const std::string expectedNotice = "[Brantel TallyScope 2021.6-b257] Cannot create log file: " + blocked +
                                     pathSeparator + "logtest-" + ownPid() +
                                     ".log\n  Note: the log directory was altered using startup option 'logdir'\n";
  ASSERT_TRUE(startsWith(output, expectedNotice)) << output;
  const std::vector<std::string> entries = entriesOf(output.substr(expectedNotice.size()));
  ASSERT_FALSE(entries.empty());
  for (const std::string& entry : entries) EXPECT_FALSE(startsWith(entry, "Log file:")) << "no file, no \"Log file\" line";
  EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [](const std::string& e) { return startsWith(e, "Command line:"); }));
  EXPECT_EQ(entries.back(), "nowhere to go");

  setLogQuiet(true);
  testing::internal::CaptureStderr();
  logMessage(YString("silenced"), stderr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(AgentLog, UnitedLogsShareNumberedFilesAndMoveOnPastTheLimit) {
  constexpr int32_t limit = 20000;
  directory.write("logtest.1.log", std::string(limit + 1, 'x'));
  directory.write("logtest.3.log", "");
  directory.write("logtestapp.7.log", "");  // another session's file
  directory.write("logtest.x.log", "");
  setUnitedLog(true);
  setLogFileSizeLimit(limit);
  setLogQuiet(false);

  testing::internal::CaptureStderr();
  logMessage(YString("copied"), stderr);
  const std::string console = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::string(getLogFilePath().data), directory.pathOf("logtest.3.log"));
  EXPECT_TRUE(std::regex_search(console, std::regex("\n21\\.6-257 \\d+\\.\\d{3}: copied\n"))) << console;
  EXPECT_TRUE(std::regex_search(readAll(directory.pathOf("logtest.3.log")),
                                std::regex("\n" + ownPid() + " 21\\.6-257 \\d+\\.\\d{3}: copied\n")));
  setLogQuiet(true);

  constexpr int threadCount = 8;
  constexpr int messagesPerThread = 400;
  std::vector<std::thread> threads;
  for (int t = 0; t < threadCount; t++) {
    threads.emplace_back([t] {
      for (int m = 0; m < messagesPerThread; m++) {
        logMessage(YString(("worker " + std::to_string(t) + " message " + std::to_string(m)).c_str()));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  const std::regex workerLine(ownPid() + " 21\\.6-257 \\d+\\.\\d{3}: worker (\\d) message (\\d+)");
  std::set<std::pair<int, int>> seen;
  int duplicates = 0;
  int files = 0;
  for (int number = 3; std::filesystem::exists(std::filesystem::u8path(directory.pathOf("logtest." + std::to_string(number) + ".log"))); number++) {
    files++;
    std::istringstream lines(readAll(directory.pathOf("logtest." + std::to_string(number) + ".log")));
    for (std::string line; std::getline(lines, line);) {
      std::smatch match;
      if (line.find("worker") == std::string::npos) continue;
      ASSERT_TRUE(std::regex_match(line, match, workerLine)) << "torn line: " << line;
      if (!seen.emplace(std::stoi(match[1]), std::stoi(match[2])).second) duplicates++;
    }
  }
  EXPECT_EQ(seen.size(), size_t(threadCount * messagesPerThread));
  EXPECT_EQ(duplicates, 0);
  EXPECT_GT(files, 3) << "the log never moved past the size limit";
  EXPECT_EQ(readAll(directory.pathOf("logtest.1.log")).size(), size_t(limit + 1)) << "an oversized file stays untouched";
}

// A header longer than the limit (a long command line, the process list) does not count against the
// file: each file still takes entries up to the limit before the log moves on.
TEST_F(AgentLog, AHeaderBeyondTheLimitDoesNotMoveEveryEntry) {
  setUnitedLog(true);
  setLogFileSizeLimit(100);
  for (int i = 0; i < 10; i++) logMessage(YString(("entry " + std::to_string(i) + std::string(40, '.')).c_str()));
  int files = 0;
  for (int number = 1; std::filesystem::exists(std::filesystem::u8path(directory.pathOf("logtest." + std::to_string(number) + ".log"))); number++) {
    files++;
    const std::string contents = readAll(directory.pathOf("logtest." + std::to_string(number) + ".log"));
    EXPECT_GT(contents.size(), 100u) << "each file's header is already beyond the limit";
    size_t entries = 0;
    for (size_t at = contents.find(": entry "); at != std::string::npos; at = contents.find(": entry ", at + 1)) entries++;
    EXPECT_EQ(entries, 2u) << contents;
  }
  EXPECT_EQ(files, 5);
}

TEST(AgentLogNames, SanitisingReplacesControlAndReservedCharacters) {
  const struct {
    const char* name;
    const char* expected;
  } cases[] = {{"a:b\\c", "a-b-c"},         {"<x>|\"y\"?*/", "-x---y----"}, {"tab\there", "tab-here"},
               {"caf\xC3\xA9 app", "caf\xC3\xA9 app"}, {"", ""}};
  for (const auto& c : cases) EXPECT_STREQ(sanitizeFileName(YString(c.name)).data, c.expected) << c.name;
}

TEST(AgentLogNames, TheProcessListMarksTheOwnProcessAndIsSorted) {
#ifndef _WIN32
  // A shell whose name argument holds a line break must still take one line of the list.
  ASSERT_EQ(std::system("sh -c 'sleep 2; true' \"$(printf 'two\\nlines')\" &"), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
#endif
  const std::string list = logProcessList().data;
#ifndef _WIN32
  EXPECT_NE(list.find(" two lines"), std::string::npos) << list;
#endif
  std::smatch header;
  ASSERT_TRUE(std::regex_search(list, header, std::regex("^DebugPS: (\\d+) processes:\n"))) << list;
  std::istringstream lines(header.suffix().str());
  std::vector<uint64_t> pids;
  bool ownSeen = false;
  for (std::string line; std::getline(lines, line);) {
    ASSERT_TRUE(line.size() > 2 && (startsWith(line, "* ") || startsWith(line, "  "))) << line;
    pids.push_back(std::stoull(line.substr(2)));
    if (startsWith(line, "* ")) {
      EXPECT_EQ(std::to_string(pids.back()), ownPid());
      ownSeen = true;
    }
  }
  EXPECT_TRUE(ownSeen);
  EXPECT_EQ(std::to_string(pids.size()), header[1].str());
  EXPECT_TRUE(std::is_sorted(pids.begin(), pids.end()));
}

#ifndef _WIN32
// The child side of the next test: logs one entry when asked through the environment.
TEST(AgentLogChild, LogsOneEntry) {
  if (std::getenv("TALLYSCOPE_LOG_CHILD") == nullptr) GTEST_SKIP() << "runs only as a child of StandardErrorOnly";
  logMessage(YString("child entry"));
}

// "-host-server" (and "-Dbq.logger.stdErrOnly=true") on the command line: everything goes to the standard
// error stream and no file is ever made, even with a log directory at hand.
TEST(AgentLogChild, StandardErrorOnlyNeverMakesAFile) {
  for (const char* argument : {"-host-server", "-Dbq.logger.stdErrOnly=true"}) {
    TempDir home;
    const ScopedVariable child("TALLYSCOPE_LOG_CHILD", "1");
    const ScopedVariable agentHome("BRANTEL_HOME", home.path().c_str());
    const std::string output = home.pathOf("stderr.txt");
    const std::string command = "'" + std::string(getProcessPathByPid(getOwnPid()).data) +
                                "' --gtest_filter=AgentLogChild.LogsOneEntry " + argument + " 2>'" + output + "' >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const std::vector<std::string> entries = entriesOf(readAll(output));
    ASSERT_EQ(entries.size(), 1u) << readAll(output);
    EXPECT_EQ(entries[0], "child entry");
    EXPECT_FALSE(std::filesystem::exists(home.pathOf(".tallyscope/log"))) << argument;
  }
}
#endif

}  // namespace
