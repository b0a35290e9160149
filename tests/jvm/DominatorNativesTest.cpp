#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/jvm/AgentRun.h"

// Natives.dc as the monitoring host calls it: a JVM without the agent loads the library with System.load,
// and tests/jvm/host/DominatorCalls.java runs one scenario, printing each return code and output file.

namespace {

class DominatorNativesTest : public testing::Test {
 protected:
  TempDir work;

  // The scenario's output lines, the library's console notice left out. With an address-space limit (KiB)
  // the JVM runs under a shell that sets it; env keeps the test's BRANTEL_HOME for that shell.
  std::vector<std::string> run(const std::string& scenario, int64_t addressSpaceKib = 0) {
    std::vector<std::string> command;
    if (addressSpaceKib > 0) {
      command = {"/usr/bin/env", "-u", "BRANTEL_HOME", "BRANTEL_HOME=" + work.path(), "/bin/sh", "-c",
                 "ulimit -v " + std::to_string(addressSpaceKib) + " && exec \"$0\" \"$@\"", TALLYSCOPE_JAVA,
                 "-Xmx64m", "-XX:+UseSerialGC", "-XX:ReservedCodeCacheSize=32m", "-XX:CompressedClassSpaceSize=64m"};
    } else {
      command = {TALLYSCOPE_JAVA};
    }
    const std::string files = (fs::path(work.path()) / "files").string();
    fs::create_directories(files);
    command.insert(command.end(),
                   {"-cp", TALLYSCOPE_JVM_HOST_PROGRAMS, "DominatorCalls", TALLYSCOPE_LIBRARY, files, scenario});
    const std::string output = (fs::path(work.path()) / (scenario + ".txt")).string();
    const ProgramRun result = runProgram(command, output, {"BRANTEL_HOME=" + work.path(), "MALLOC_ARENA_MAX=2"});
    EXPECT_EQ(0, result.exitCode) << result.output;
    std::vector<std::string> lines;
    std::istringstream in(result.output);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("[Brantel TallyScope", 0) != 0) lines.push_back(line);
    }
    return lines;
  }

  std::string logs() const {
    std::string text;
    const fs::path directory = fs::path(work.path()) / ".tallyscope" / "log";
    for (const auto& entry : fs::directory_iterator(directory)) text += readWhole(entry.path());
    return text;
  }
};

TEST_F(DominatorNativesTest, ReturnCodesReachJavaAndNullStringsReadAsEmpty) {
  const std::vector<std::string> expected{"diamond=0",          "diamond output: 0 1 1 1",
                                          "upper case=7",       "upper case output:",
                                          "null algorithm=7",   "null algorithm output:",
                                          "null input=2",       "bad count=4",
                                          "bad count output:",  "no root=101",
                                          "no root output:"};
  EXPECT_EQ(expected, run("codes"));
  const std::string log = logs();
  EXPECT_TRUE(containsInOrder(log, {"Natives_dc: starting...\n", "N = 5\n", "refs: 4\n", "roots: 1\n",
                                    "starting DominatorComputerSnca...\n", "OK\n", "Natives_dc: return code 0\n",
                                    "error: unsupported algorithm: SNCA\n", "Natives_dc: return code 7\n",
                                    "error: unsupported algorithm: \n", "Failed to open input file: \n",
                                    "Natives_dc: return code 2\n", "bad refCount: -1\n", "Natives_dc: return code 4\n",
                                    "roots: 0\n", "error: exception caught at Dominators:",
                                    "Natives_dc: return code 101\n"}))
      << log;
}

TEST_F(DominatorNativesTest, ExhaustedMemoryIsCode100AndTheNextCallWorks) {
  const std::vector<std::string> expected{"huge=100", "huge output:", "small=0", "small output: 0 1"};
  EXPECT_EQ(expected, run("oome", 4000000));
  EXPECT_TRUE(containsInOrder(logs(), {"N = 2147483631\n", "BIA_P=r-s size=2147483631",
                                       "error: exception caught at Dominators:", "Natives_dc: return code 100\n",
                                       "Natives_dc: return code 0\n"}));
}

}  // namespace
