#pragma once

#include <atomic>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/JvmLauncher.h"
#include "tests/support/SnapshotReader.h"

// A way for a program to leave while its threads are busy (tests/jvm/programs/Leaving.java) and the
// exit code the run must end with: the program's own, whatever the agent did on the way out.
struct LeavingWay {
  const char* name;
  int exitCode;
};

// Run i leaves the i-th way, round the three.
inline LeavingWay leavingWay(int run) {
  static const LeavingWay ways[] = {{"exit", 3}, {"exitFromThread", 3}, {"return", 0}};
  return ways[run % 3];
}

// How many runs an exit test makes: `shortForm` in the default test set, the number in
// TALLYSCOPE_EXIT_RUNS when it is set (scripts/exit-runs.sh sets it for the full form).
inline int exitRunCount(int shortForm) {
  const char* given = std::getenv("TALLYSCOPE_EXIT_RUNS");
  const int runs = given != nullptr ? std::atoi(given) : 0;
  return runs > 0 ? runs : shortForm;
}

// Many runs of a program that leaves while its threads are busy under the agent, `parallel` at a time:
// run i leaves by leavingWay(i) and must say "leaving" with no exception in a thread of the program before
// it (one after it the exit explains), end with that way's exit code without a fatal error report of the
// JVM, and leave exactly one snapshot in its directory, and that snapshot must parse.
// `run(i, dir)` starts run i with its snapshot directory. The answer holds one text per run: empty for
// a clean run, else what went wrong.
inline std::vector<std::string> exitRunFailures(int runs, int parallel,
                                                const std::function<ProgramRun(int, const std::filesystem::path&)>& run,
                                                const std::filesystem::path& snapshotDirs) {
  namespace fs = std::filesystem;
  std::atomic<int> next{0};
  std::vector<std::string> failures(static_cast<size_t>(runs));
  std::vector<std::thread> pool;
  for (int w = 0; w < parallel; w++) {
    pool.emplace_back([&] {
      for (int i = next++; i < runs; i = next++) {
        const fs::path dir = snapshotDirs / std::to_string(i);
        const ProgramRun finished = run(i, dir);
        std::string& failure = failures[size_t(i)];
        // The JVM names its report file "hs_err_pid<pid>.log" in what it prints about a crash.
        const size_t leaving = finished.output.find("leaving");
        if (finished.exitCode != leavingWay(i).exitCode || leaving == std::string::npos ||
            finished.output.substr(0, leaving).find("Exception") != std::string::npos ||
            finished.output.find("hs_err_pid") != std::string::npos) {
          failure = std::string(leavingWay(i).name) + ": exit code " + std::to_string(finished.exitCode) + ":\n" +
                    finished.output;
          continue;
        }
        std::vector<fs::path> files;
        if (fs::exists(dir)) {
          for (const auto& entry : fs::directory_iterator(dir)) files.push_back(entry.path());
        }
        if (files.size() != 1) {
          failure = std::to_string(files.size()) + " snapshots";
          continue;
        }
        try {
          snapshotfile::readSnapshotFile(files[0].string());
        } catch (const std::exception& error) {
          failure = error.what();
        }
      }
    });
  }
  for (std::thread& worker : pool) worker.join();
  return failures;
}
