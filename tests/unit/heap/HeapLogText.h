#pragma once

#include <cstdint>
#include <regex>
#include <string>
#include <vector>

// The entries of a memory-usage log without their "[m: <committed> <working set>] " prefix; other
// entries are left out.
inline std::vector<std::string> memoryLogTexts(const std::vector<std::string>& entries) {
  static const std::regex prefix(R"(\[m: (\d+|\?) (\d+|\?)\] (.*))");
  std::vector<std::string> texts;
  std::smatch match;
  for (const std::string& entry : entries) {
    if (std::regex_match(entry, match, prefix)) texts.push_back(match[3]);
  }
  return texts;
}

// The number of entries that contain `text`.
inline int32_t mentionsOf(const std::string& text, const std::vector<std::string>& entries) {
  int32_t count = 0;
  for (const std::string& entry : entries) count += entry.find(text) != std::string::npos ? 1 : 0;
  return count;
}

// Whether a fatal-error line is the broken invariant "assertion failed" reported by `file`.
inline bool isAssertionIn(const std::string& line, const std::string& file) {
  return std::regex_match(line, std::regex("error at " + file + R"(:\d+: assertion failed)"));
}
