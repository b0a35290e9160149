#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "agent/platform/Directories.h"
#include "agent/platform/Processes.h"
#include "agent/support/FatalError.h"
#include "agent/support/Log.h"
#include "agent/support/YAllocator.h"
#include "agent/support/YString.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/LogCapture.h"

namespace {

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  lines.push_back(text.substr(start));
  return lines;
}

const std::regex frameLine(R"(    (\[.+\+0x[0-9A-F]{16}\]|[0-9A-F]{16}))");

// Recurses `depth` times before failing, so that the stack is deeper than that. The call goes through
// a volatile pointer so that the compiler can neither fold the recursion into a loop nor make it a jump.
int failAtDepth(int depth);
int (*volatile recurse)(int) = failAtDepth;
int failAtDepth(int depth) {
  if (depth == 0) assertionFailed("assertion failed", "Deep", 1);
  volatile int below = recurse(depth - 1);
  return below + 1;
}

}  // namespace

TEST(FatalError, ReportsThePlaceAndMessageAndThrows) {
  EXPECT_EQ(fatalErrorOf([] { assertionFailed("assertion failed", "YMap", 184); }),
            "error at YMap:184: assertion failed");
  EXPECT_EQ(fatalErrorOf([] { fatalError("db is NULL", "DB", 7); }), "error at DB:7: db is NULL");
}

TEST(FatalError, TheEntryCarriesTheNativeStackOfTheFailingThread) {
  LogCapture log;
  EXPECT_THROW(fatalError("findClass failed: X", "CoreNatives", 12), BZPRuntimeException);
  ASSERT_EQ(log.entries().size(), 1u);
  const std::vector<std::string> lines = linesOf(log.entries()[0]);
  EXPECT_EQ(lines[0], "error at CoreNatives:12: findClass failed: X");
  ASSERT_GE(lines.size(), 3u);
  for (size_t i = 1; i < lines.size(); i++) EXPECT_TRUE(std::regex_match(lines[i], frameLine)) << lines[i];
  // The agent's own code, linked into this test executable, is among the frames.
  const std::string ownModule = "    [" + std::string(getAgentLibraryPath().data) + "+0x";
  int ownFrames = 0;
  for (const std::string& line : lines) ownFrames += line.rfind(ownModule, 0) == 0 ? 1 : 0;
  EXPECT_GE(ownFrames, 2) << log.entries()[0];
}

TEST(FatalError, AStackDeeperThanSixtyFramesGivesSixtyFrameLines) {
  LogCapture log;
  EXPECT_THROW(failAtDepth(100), BZPRuntimeException);
  ASSERT_EQ(log.entries().size(), 1u);
  EXPECT_EQ(linesOf(log.entries()[0]).size(), 1u + 60u);
}

TEST(FatalError, FrameEntriesNameTheModuleAndOffsetOrTheBareAddress) {
  const std::string entry = nativeFrameEntry(reinterpret_cast<const void*>(&failAtDepth)).data;
  EXPECT_TRUE(std::regex_match("    " + entry, frameLine)) << entry;
  EXPECT_EQ(entry.rfind("[" + std::string(getAgentLibraryPath().data) + "+0x", 0), 0u) << entry;

  // Heap memory belongs to no module.
  void* block = std::malloc(64);
  const std::string bare = nativeFrameEntry(block).data;
  const std::string expected = toHex(int64_t(reinterpret_cast<uintptr_t>(block)), 16).data;
  std::free(block);
  EXPECT_EQ(bare, expected);
}

TEST(FatalError, StackDumpsAreOneEntryWithAnOptionalTitle) {
  LogCapture log;
  logStackDump("_dump_stack: write header");
  logStackDump("");
  ASSERT_EQ(log.entries().size(), 2u);
  EXPECT_EQ(linesOf(log.entries()[0])[0], "Stack dump: _dump_stack: write header");
  EXPECT_EQ(linesOf(log.entries()[1])[0], "Stack dump");
  EXPECT_GE(linesOf(log.entries()[1]).size(), 2u);
}

TEST(FatalError, TheCatchHandlerLogsThePlaceWithMemoryFigures) {
  LogCapture log;
  onExceptionCaught("CoreNatives", 2065);
  ASSERT_EQ(log.entries().size(), 1u);
  EXPECT_TRUE(std::regex_match(log.entries()[0],
                               std::regex(R"(\[m: \d+ \d+\] error: exception caught at CoreNatives:2065)")))
      << log.entries()[0];
}

// With "_exit_on_exception" the process ends with code 1 as soon as the handler has logged; exit
// handlers do not run (one that did would end the child with code 7 instead). The child's log has no file
// (its directory would lie below the test program itself), so its entries reach the standard error stream.
TEST(FatalErrorDeathTest, ExitOnExceptionEndsTheProcessWithCodeOneAndNoExitHandlers) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setLogDirectory(getProcessPathByPid(getOwnPid()) + "/log");
        setLogQuiet(false);
        requestLogReopen();
        std::atexit([] { std::_Exit(7); });
        setExitOnException(true);
        try {
          assertionFailed("assertion failed", "YVector", 5);
        } catch (const BZPRuntimeException&) {
          onExceptionCaught("ObjectStorageNatives", 310);
        }
      },
      testing::ExitedWithCode(1),
      // Windows' gtest knows only simple patterns.
      "error: exception caught at ObjectStorageNatives:310\n.*error: exiting immediately due to _exit_on_exception");
}

TEST(YAllocator, GivesZeroFilledBlocksAndRefusesEmptyOnes) {
  int64_t* block = allocZeroed<int64_t>(1000);
  for (int i = 0; i < 1000; i++) ASSERT_EQ(block[i], 0);
  freeBlock(block);
  EXPECT_NE(fatalErrorOf([] { allocZeroed<int32_t>(0); }).find("assertion failed"), std::string::npos);
}
