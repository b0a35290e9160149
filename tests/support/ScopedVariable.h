#pragma once

#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

#include "agent/platform/Environment.h"
#include "tests/support/LogCapture.h"

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
      unset(name);
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
  static void unset(const char* name) { SetEnvironmentVariableA(name, nullptr); }
#else
  static bool isSet(const char* name) { return std::getenv(name) != nullptr; }
  static void unset(const char* name) { unsetenv(name); }
#endif

  const char* name;
  const bool wasSet;
  const std::string old;
};
