#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/jvm/AgentRun.h"

// A test of the natives as the monitoring host calls them: a JVM without the agent runs a program of
// tests/jvm/host, which loads the library with System.load. The library's log goes to the run's home.
class HostProgramTest : public testing::Test {
 protected:
  TempDir work;
  int runs = 0;

  // The program's output lines, the library's console notice left out. With an address-space limit
  // (KiB) the JVM runs small under a shell that sets the limit; that shell would take the test's own
  // BRANTEL_HOME, so env replaces it first.
  std::vector<std::string> runHostProgram(const std::vector<std::string>& programAndArguments,
                                          int64_t addressSpaceKib = 0) {
    std::vector<std::string> command;
    if (addressSpaceKib > 0) {
      command = {"/usr/bin/env", "-u", "BRANTEL_HOME", "BRANTEL_HOME=" + work.path(), "/bin/sh", "-c",
                 "ulimit -v " + std::to_string(addressSpaceKib) + " && exec \"$0\" \"$@\"", TALLYSCOPE_JAVA,
                 "-Xmx64m", "-XX:+UseSerialGC", "-XX:ReservedCodeCacheSize=32m", "-XX:CompressedClassSpaceSize=64m"};
    } else {
      command = {TALLYSCOPE_JAVA};
    }
    command.insert(command.end(), {"-cp", TALLYSCOPE_JVM_HOST_PROGRAMS});
    command.insert(command.end(), programAndArguments.begin(), programAndArguments.end());
    const std::string output = (fs::path(work.path()) / ("run" + std::to_string(runs++) + ".txt")).string();
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
