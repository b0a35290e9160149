#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>

// The classes of tests/inprocess/java, which the build compiles into the JVM's class path. Lines that
// tests rely on end in a "// line: <marker>" comment and are read from the source, so that an edit of a
// fixture moves nothing a test expects.

// The number of the line of tests/inprocess/java/<file> that ends in "// line: <marker>"; 0, with a
// test failure, when no line or more than one does.
inline int32_t javaSourceLine(const std::string& file, const std::string& marker) {
  std::ifstream source(std::string(TALLYSCOPE_INPROCESS_JAVA_SOURCES) + "/" + file);
  const std::string tail = "// line: " + marker;
  int32_t found = 0;
  int32_t number = 0;
  for (std::string text; std::getline(source, text);) {
    number++;
    if (text.size() < tail.size() || text.compare(text.size() - tail.size(), tail.size(), tail) != 0) continue;
    if (found != 0) {
      ADD_FAILURE() << file << " marks two lines \"" << marker << "\"";
      return 0;
    }
    found = number;
  }
  if (found == 0) ADD_FAILURE() << file << " marks no line \"" << marker << "\"";
  return found;
}
