#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

#include "agent/core/Options.h"
#include "agent/db/FileBackedSocketWriter.h"
#include "agent/platform/Processes.h"
#include "tests/support/FreshProcess.h"
#include "tests/support/HiddenOption.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LoopbackSockets.h"
#include "tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// "tmpdir=" for a test's length.
class TmpDirOption {
 public:
  explicit TmpDirOption(const std::string& directory) : old(globalOptions().tmpDir) {
    globalOptions().tmpDir = YString(directory.c_str());
  }
  ~TmpDirOption() { globalOptions().tmpDir = old; }

 private:
  YString old;
};

std::vector<std::string> namesIn(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(fs::u8path(directory))) names.push_back(entry.path().filename().u8string());
  return names;
}

std::string spillPrefix() { return "bzptmp" + std::to_string(getOwnPid()) + "_request_buf"; }

// The reply of `count` ints 0, 1, 2 ... as the client must see it: little-endian.
std::string expectedInts(int32_t count) {
  std::string bytes;
  for (int32_t i = 0; i < count; i++) {
    for (int shift = 0; shift < 32; shift += 8) bytes += char(uint8_t(uint32_t(i) >> shift));
  }
  return bytes;
}

void writeInts(AbstractWriter& writer, int32_t count) {
  for (int32_t i = 0; i < count; i++) writer.writeInt(i);
}

bool contains(const std::vector<std::string>& entries, const std::string& entry) {
  return std::find(entries.begin(), entries.end(), entry) != entries.end();
}

size_t countStartingWith(const std::vector<std::string>& entries, const std::string& prefix) {
  return size_t(std::count_if(entries.begin(), entries.end(),
                              [&](const std::string& entry) { return entry.rfind(prefix, 0) == 0; }));
}

}  // namespace

TEST(FileBackedSocketWriter, TheBufferIsTheRequestBufferSizeOptionOrFourMegabytes) {
  EXPECT_EQ(getRequestBufferSize(), 4194304);
  const struct {
    const char* option;
    int32_t size;
  } cases[] = {
      {"_request_buf_size=4096", 4096},
      {"_request_buf_size=0", 4194304},
      {"_request_buf_size=-5", 4194304},
      {"_request_buf_size=3", 16},  // every value must still fit
  };
  for (const auto& c : cases) {
    HiddenOption option(c.option);
    EXPECT_EQ(getRequestBufferSize(), c.size) << c.option;
  }
}

TEST(FileBackedSocketWriter, AReplyThatFitsIsSentFromMemory) {
  TempDir directory;
  TmpDirOption tmpDir(directory.path());
  loopback::Connection connection(0, 0);
  LogCapture log;
  {
    FileBackedSocketWriter writer(connection.sender());
    writeInts(writer, 1000);
    writer.writeString(nullptr);
    EXPECT_TRUE(namesIn(directory.path()).empty());
  }
  EXPECT_EQ(connection.drain(200ms), expectedInts(1000) + "\xFF\xFF\xFF\xFF");
  EXPECT_TRUE(namesIn(directory.path()).empty());
  EXPECT_TRUE(log.entries().empty());
}

TEST(FileBackedSocketWriter, ALargerReplySpillsToAPrivateFileAndArrivesWhole) {
  TempDir directory;
  TmpDirOption tmpDir(directory.path());
  HiddenOption bufferSize("_request_buf_size=4096");
  loopback::Connection connection(4096, 4096);
  const int32_t count = 300000;  // 1.2 MB: about 300 pieces
  const std::string expected = expectedInts(count);
  auto client = std::async(std::launch::async, [&] { return connection.receive(expected.size(), 8192, 0ms); });
  LogCapture log;
  {
    FileBackedSocketWriter writer(connection.sender());
    writeInts(writer, count);
    const std::vector<std::string> names = namesIn(directory.path());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].rfind(spillPrefix(), 0), 0u) << names[0];
#ifndef _WIN32
    const fs::perms permissions = fs::status(fs::u8path(directory.pathOf(names[0]))).permissions();
    EXPECT_EQ(permissions, fs::perms::owner_read | fs::perms::owner_write);
#endif
  }
  const std::string received = client.get();
  ASSERT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);
  EXPECT_TRUE(namesIn(directory.path()).empty());
  const std::vector<std::string> entries = log.entries();
  EXPECT_TRUE(contains(entries, "FileBackedSocketWriter: " + std::to_string(expected.size())));
  EXPECT_EQ(countStartingWith(entries, "error: "), 0u);
  EXPECT_EQ(countStartingWith(entries, "FileBackedSocketWriter: error: "), 0u);
}

TEST(FileBackedSocketWriter, WithoutASpillFileNothingOfTheReplyIsSent) {
  TempDir directory;
  TmpDirOption tmpDir(directory.pathOf("missing"));
  HiddenOption bufferSize("_request_buf_size=64");
  loopback::Connection connection(0, 0);
  LogCapture log;
  {
    FileBackedSocketWriter writer(connection.sender());
    writeInts(writer, 1000);
  }
  EXPECT_EQ(connection.drain(200ms), "");
  EXPECT_EQ(log.entries(), std::vector<std::string>{"FileBackedSocketWriter: error: Failed to create temp file"});
  EXPECT_TRUE(namesIn(directory.path()).empty());
}

// A client that went away mid-reply gets nothing more after the first piece that failed.
TEST(FileBackedSocketWriter, AFailedSendEndsTheReplyAndTheSpillFileGoes) {
  TempDir directory;
  TmpDirOption tmpDir(directory.path());
  HiddenOption bufferSize("_request_buf_size=4096");
  loopback::Connection connection(4096, 4096);
  connection.closeReceiver();
  LogCapture log;
  {
    FileBackedSocketWriter writer(connection.sender());
    writeInts(writer, 2500000);  // 10 MB
  }
  const std::vector<std::string> entries = log.entries();
  EXPECT_EQ(countStartingWith(entries, "error: y_send: send() failed: "), 1u);
  EXPECT_EQ(countStartingWith(entries, "FileBackedSocketWriter: error: reply not sent whole: "), 1u);
  EXPECT_EQ(countStartingWith(entries, "FileBackedSocketWriter: "), 1u);
  EXPECT_TRUE(namesIn(directory.path()).empty());
}

#ifndef _WIN32
// A write error of the spill file (here the file-size limit) loses the reply: none of it is sent.
TEST(FileBackedSocketWriter, ASpillFileThatCannotBeWrittenSendsNothing) {
  TempDir directory;
  TmpDirOption tmpDir(directory.path());
  HiddenOption bufferSize("_request_buf_size=4096");
  loopback::Connection connection(0, 0);
  LogCapture log;
  rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  rlimit limited = old;
  limited.rlim_cur = 10000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  {
    FileBackedSocketWriter writer(connection.sender());
    writeInts(writer, 25000);
  }
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(connection.drain(200ms), "");
  EXPECT_EQ(log.entries(), std::vector<std::string>{"FileBackedSocketWriter: error: File too large"});
  EXPECT_TRUE(namesIn(directory.path()).empty());
}

// After a piece that timed out the rest is not sent: one time-out, not one for each piece left.
TEST(FileBackedSocketWriter, AClientThatStopsReadingGetsNoMoreAfterTheTimeOut) {
  inFreshProcess([] {
    TempDir directory;
    TmpDirOption tmpDir(directory.path());
    HiddenOption timeout("_socket_timeout_ms=200");
    HiddenOption bufferSize("_request_buf_size=4096");
    loopback::Connection connection(4096, 4096);
    const int32_t count = 1000000;
    LogCapture log;
    const auto start = std::chrono::steady_clock::now();
    {
      FileBackedSocketWriter writer(connection.sender());
      writeInts(writer, count);
    }
    if (std::chrono::steady_clock::now() - start > 5s) return std::string("the writer went on sending");
    const std::vector<std::string> entries = log.entries();
    if (!contains(entries, "error: y_send: select() timeout expired") ||
        countStartingWith(entries, "error: y_send: ") != 1 ||
        countStartingWith(entries, "FileBackedSocketWriter: error: reply not sent whole: ") != 1) {
      std::string all;
      for (const std::string& entry : entries) all += entry + "\n";
      return "unexpected log:\n" + all;
    }
    const std::string expected = expectedInts(count);
    const std::string received = connection.drain(200ms);
    if (received.empty() || received.size() >= expected.size() || expected.compare(0, received.size(), received) != 0) {
      return std::string("the client did not get a proper beginning of the reply");
    }
    if (!namesIn(directory.path()).empty()) return std::string("the spill file is left");
    return std::string();
  });
}
#endif
