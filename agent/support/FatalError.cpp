#include "agent/support/FatalError.h"

#include <cstdio>

// Until the agent log exists the entry goes to the standard error stream, which is where the log
// sends it too when it has no file.
void fatalError(const char* message, const char* file, int32_t line) {
  std::fprintf(stderr, "error at %s:%d: %s\n", file, static_cast<int>(line), message);
  std::fflush(stderr);
  throw BZPRuntimeException();
}

void assertionFailed(const char* message, const char* file, int32_t line) { fatalError(message, file, line); }
