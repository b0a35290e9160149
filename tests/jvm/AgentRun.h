#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/JvmLauncher.h"
#include "tests/support/SnapshotReader.h"
#include "tests/support/TempDir.h"

// What the tests of the agent in real JVMs share: files read and written whole, texts expected in order,
// and a fixture that runs the test programs under the agent.

namespace fs = std::filesystem;

// The JVM options that let a test program read a socket channel's descriptor.
inline const std::vector<std::string> openSocketInternals{"--add-opens", "java.base/sun.nio.ch=ALL-UNNAMED"};

inline std::string readWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeWhole(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// Each `expected` text in the text, each found after the one before it.
inline testing::AssertionResult containsInOrder(const std::string& text, const std::vector<std::string>& expected) {
  size_t from = 0;
  for (const std::string& piece : expected) {
    const size_t at = text.find(piece, from);
    if (at == std::string::npos) {
      return testing::AssertionFailure() << "\"" << piece << "\" missing (after offset " << from << ") in:\n" << text;
    }
    from = at + piece.size();
  }
  return testing::AssertionSuccess();
}

// The program's lines of its output, without the agent's console lines.
inline std::vector<std::string> programLines(const std::string& output) {
  std::vector<std::string> lines;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("[Brantel TallyScope", 0) != 0) lines.push_back(line);
  }
  return lines;
}

// The log's lines that tell of an error or a warning, but for those of a library that was not installed.
inline std::vector<std::string> troubleLines(const std::string& log) {
  std::vector<std::string> lines;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (line.find("JAVA_TOOL_OPTIONS will not be set") != std::string::npos ||
        line.find("getTsAgentLibraryDirs") != std::string::npos) {
      continue;
    }
    for (const char* trouble : {"Error", "error", "warning", "Warning", "not instrumented"}) {
      if (line.find(trouble) != std::string::npos) {
        lines.push_back(line);
        break;
      }
    }
  }
  return lines;
}

// A test that runs Java programs under the agent, each run with a temporary and a log directory of its own.
class AgentRunTest : public testing::Test {
 protected:
  TempDir work;
  const std::string java = TALLYSCOPE_JAVA;
  const std::string library = TALLYSCOPE_LIBRARY;
  const std::string programs = TALLYSCOPE_JVM_PROGRAMS;
  int runs = 0;

  fs::path tmpDir() const { return fs::path(work.path()) / "tmp"; }
  fs::path logDir() const { return fs::path(work.path()) / "log"; }

  void SetUp() override {
    fs::create_directories(tmpDir());
    fs::create_directories(logDir());
  }

  // The private directories, then `extra`.
  std::string optionsWith(const std::string& extra, const fs::path& temporary) const {
    std::string options = "tmpdir=" + temporary.string() + ",logdir=" + logDir().string();
    return extra.empty() ? options : options + "," + extra;
  }
  std::string optionsWith(const std::string& extra) const { return optionsWith(extra, tmpDir()); }

  // A file of its own for the next run's output.
  std::string nextOutputPath() { return (fs::path(work.path()) / ("run" + std::to_string(runs++) + ".txt")).string(); }

  // The program of the test programs' directory, with its arguments, under the agent with the private
  // directories and `extra` options; `jvmOptions` go before the agent, `environment` ("NAME=value") adds
  // to the test's.
  ProgramRun runUnderAgent(const std::vector<std::string>& programAndArguments, const std::string& extra = "",
                           const std::vector<std::string>& jvmOptions = {},
                           const std::vector<std::string>& environment = {}) {
    std::vector<std::string> command{java};
    command.insert(command.end(), jvmOptions.begin(), jvmOptions.end());
    command.push_back("-agentpath:" + library + "=" + optionsWith(extra));
    command.push_back("-cp");
    command.push_back(programs);
    command.insert(command.end(), programAndArguments.begin(), programAndArguments.end());
    return runProgram(command, nextOutputPath(), environment);
  }

  // Where the tests' "dir=" option puts snapshots.
  fs::path snapshotDir() const { return fs::path(work.path()) / "snapshots"; }

  // The snapshots written to the snapshot directory.
  std::vector<fs::path> snapshots() const {
    std::vector<fs::path> files;
    if (!fs::exists(snapshotDir())) return files;
    for (const auto& entry : fs::directory_iterator(snapshotDir())) files.push_back(entry.path());
    return files;
  }

  snapshotfile::Snapshot onlySnapshot() const {
    const std::vector<fs::path> files = snapshots();
    if (files.size() != 1) throw std::runtime_error(std::to_string(files.size()) + " snapshots instead of one");
    return snapshotfile::readSnapshotFile(files[0].string());
  }

  // The logs written so far, oldest first, in one text.
  std::string logs() const {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(logDir())) files.push_back(entry.path());
    std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
      return fs::last_write_time(a) < fs::last_write_time(b);
    });
    std::string text;
    for (const fs::path& file : files) text += readWhole(file);
    return text;
  }
};
