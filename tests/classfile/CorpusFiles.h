#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "agent/support/YVector.h"

// What ASM read from the corpus: the directory that AsmDump.java wrote, named by TALLYSCOPE_ASM_DUMP,
// which CTest sets. Empty when the variable is missing, which the tests report as a failure rather than
// skip.
inline std::string asmDumpDirectory() {
  const char* value = std::getenv("TALLYSCOPE_ASM_DUMP");
  return value == nullptr ? std::string() : std::string(value);
}

inline std::vector<std::string> splitFields(const std::string& line, char separator) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t end = line.find(separator, start);
    fields.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return fields;
    start = end + 1;
  }
}

inline std::vector<std::string> readLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline YVector<uint8_t> readClassFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  YVector<uint8_t> vector;
  if (!bytes.empty()) vector = YVector<uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), int32_t(bytes.size()));
  return vector;
}

// The corpus directory that the dump was made from.
inline std::string corpusDirectory(const std::string& asmDump) {
  std::ifstream in(asmDump + "/corpus.txt");
  std::string path;
  std::getline(in, path);
  return path;
}

// The paths of all class files under the corpus, relative to it, with "/" separators.
inline std::vector<std::string> classFilesUnder(const std::string& corpus) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(corpus)) {
    if (entry.is_regular_file() && entry.path().extension() == ".class") {
      files.push_back(entry.path().lexically_relative(corpus).generic_string());
    }
  }
  return files;
}
