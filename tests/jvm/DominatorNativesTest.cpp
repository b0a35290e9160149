#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/jvm/HostRun.h"

// Natives.dc as the monitoring host calls it: a JVM without the agent loads the library with System.load,
// and tests/jvm/host/DominatorCalls.java runs one scenario, printing each return code and output file.

namespace {

class DominatorNativesTest : public HostProgramTest {
 protected:
  // The lines of one scenario of DominatorCalls, whose files lie in the test's directory.
  std::vector<std::string> run(const std::string& scenario, int64_t addressSpaceKib = 0) {
    const std::string files = (fs::path(work.path()) / "files").string();
    fs::create_directories(files);
    return runHostProgram({"DominatorCalls", TALLYSCOPE_LIBRARY, files, scenario}, addressSpaceKib);
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
