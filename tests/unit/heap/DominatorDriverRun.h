#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "agent/heap/DominatorDriver.h"

// One run of the file-to-file computation: its return code and the output file's bytes.
struct DriverRun {
  int32_t code;
  std::string output;
};

inline std::string wholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline DriverRun runDriver(const std::string& input, const std::string& output, const std::string& algorithm,
                           const std::string& tempDirectory = "") {
  const int32_t code = computeDominatorsCaught(YString(input.c_str()), YString(output.c_str()),
                                               YString(algorithm.c_str()), YString(tempDirectory.c_str()));
  return DriverRun{code, wholeFile(output)};
}
