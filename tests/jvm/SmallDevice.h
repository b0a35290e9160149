#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/JvmLauncher.h"

// A small file system for one run, to fill up: a tmpfs mounted over `mountPoint` in a mount namespace of
// the run's own, which a user namespace lets an unprivileged test mount. Its files go with the namespace,
// so the program itself tells what is left there.

// The command prefix that runs a command with the device mounted.
inline std::vector<std::string> onSmallDevice(const std::filesystem::path& mountPoint, uint64_t bytes) {
  return {"unshare", "-rm", "sh", "-c",
          "mount -t tmpfs -o size=" + std::to_string(bytes) + " tallyscope-full \"$0\" && exec \"$@\"",
          mountPoint.string()};
}

// Empty when the device can be mounted here, else why not; `outputPath` takes the trial's output.
inline std::string smallDeviceRefusal(const std::filesystem::path& mountPoint, const std::string& outputPath) {
  std::vector<std::string> trial = onSmallDevice(mountPoint, 1024 * 1024);
  trial.push_back("true");
  try {
    const ProgramRun run = runProgram(trial, outputPath);
    return run.exitCode == 0 ? std::string() : "no tmpfs can be mounted in a user namespace here: " + run.output;
  } catch (const std::runtime_error& error) {
    return std::string("no unshare here: ") + error.what();
  }
}
