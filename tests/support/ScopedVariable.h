#pragma once

#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

#include "agent/platform/Environment.h"
#include "tests/support/LogCapture.h"

// Removes an environment variable from the test process.
inline void unsetVariable(const char* name) {
#ifdef _WIN32
  SetEnvironmentVariableA(name, nullptr);
#else
  unsetenv(name);
#endif
}

// Sets an environment variable for a test's length. Afterwards it holds its old value again, or is gone
// when it was not set before: an empty value is not the same as none (TMPDIR="" names no directory).
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name(name), wasSet(isSet(name)), old(y_getenv(name).data) {
    LogCapture quiet;
    y_setenv(name, value);
  }
  ~ScopedVariable() {
    if (!wasSet) {
      unsetVariable(name);
      return;
    }
    LogCapture quiet;
    y_setenv(name, old.c_str());
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
#ifdef _WIN32
  static bool isSet(const char* name) { return GetEnvironmentVariableA(name, nullptr, 0) != 0; }
#else
  static bool isSet(const char* name) { return std::getenv(name) != nullptr; }
#endif

  const char* name;
  const bool wasSet;
  const std::string old;
};
