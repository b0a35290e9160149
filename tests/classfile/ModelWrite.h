#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"
#include "agent/support/YVector.h"

// A class through the agent's model as the transformation takes it: parsed, then written. False for the
// soft failure (an unknown constant-pool tag), when `written` stays empty; malformed classes throw.
inline bool writeThroughModel(const YVector<uint8_t>& original, YVector<uint8_t>& written) {
  DataInput in(original);
  ClassFile classFile(in);
  if (classFile.isParseFailed()) return false;
  DataOutput out(written);
  classFile.write(out);
  return true;
}

inline std::string environmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

// Runs `java` with `arguments` (already quoted where needed), its output and errors going to `log`; the
// exit code, and the log's text added to the test's failure messages when it is not 0.
inline int runJava(const std::string& java, const std::string& arguments, const std::string& log) {
  const std::string command = "\"" + java + "\" " + arguments + " > \"" + log + "\" 2>&1";
  const int status = std::system(command.c_str());
  if (status != 0) {
    std::ifstream in(log);
    ADD_FAILURE() << command << " failed with " << status << ":\n"
                  << std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return status;
}
