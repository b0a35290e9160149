#pragma once

#include <cstdint>
#include <cstdio>
#include <exception>
#include <sstream>
#include <string>
#include <vector>

// What the snapshot tools' mains share: the arguments checked against the usage, every failure (a file
// that cannot be read or breaks the format) reported on stderr with exit code 1, and the pieces of their
// tables' lines.

// `usage` names the arguments, one word each ("SNAPSHOT GRAPH"); `run` gets them.
template <class Run>
int runTool(int argc, char** argv, const std::string& usage, Run run) {
  std::istringstream words(usage);
  size_t expected = 0;
  for (std::string word; words >> word;) expected++;
  if (argc < 1 || size_t(argc - 1) != expected) {
    std::fprintf(stderr, "usage: %s %s\n", argc > 0 ? argv[0] : "tool", usage.c_str());
    return 2;
  }
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  try {
    run(arguments);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", arguments[0].c_str(), error.what());
    return 1;
  }
  return 0;
}

// A site, innermost frame first: "Demo.post:12 < Demo.work:40".
inline std::string siteText(const std::vector<std::string>& where) {
  std::string text;
  for (const std::string& frame : where) text += (text.empty() ? "" : " < ") + frame;
  return text.empty() ? "?" : text;
}

inline long long milliseconds(int64_t ns) { return static_cast<long long>(ns / 1000000); }

// Bytes as a short figure: "512 B", "12.3 KB", "4.5 MB".
inline std::string byteSize(int64_t bytes) {
  char text[32];
  if (bytes < 1024) {
    std::snprintf(text, sizeof text, "%lld B", static_cast<long long>(bytes));
  } else if (bytes < 1024 * 1024) {
    std::snprintf(text, sizeof text, "%.1f KB", double(bytes) / 1024);
  } else {
    std::snprintf(text, sizeof text, "%.1f MB", double(bytes) / (1024 * 1024));
  }
  return text;
}
