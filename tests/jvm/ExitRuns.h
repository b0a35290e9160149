#pragma once

#include <atomic>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/JvmLauncher.h"
#include "tests/support/SnapshotReader.h"

// Many runs of a program that leaves while its threads are busy under the agent, `parallel` at a time:
// each must print "leaving", end with exit code 0 and leave exactly one snapshot in its directory, and
// that snapshot must parse. `run(i, dir)` starts run i with its snapshot directory. The answer holds one
// text per run: empty for a clean run, else what went wrong.
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
        if (finished.exitCode != 0 || finished.output.find("leaving") == std::string::npos) {
          failure = "exit code " + std::to_string(finished.exitCode) + ":\n" + finished.output;
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
