#include "agent/platform/Environment.h"

#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include "agent/support/Log.h"

// glibc's getenv and setenv are not safe against each other: a setenv may move the table a getenv is
// reading. The agent's own reads and writes take turns behind this lock.
static pthread_mutex_t environmentLock = PTHREAD_MUTEX_INITIALIZER;

namespace {
struct EnvironmentGuard {
  EnvironmentGuard() { pthread_mutex_lock(&environmentLock); }
  ~EnvironmentGuard() { pthread_mutex_unlock(&environmentLock); }
};
}  // namespace

YString y_getenv(const char* name) {
  EnvironmentGuard guard;
  const char* value = getenv(name);
  return value == nullptr ? YString() : YString(value);
}

void y_setenv(const char* name, const char* value) {
  logMessage(YString("y_setenv: ") + name + "=" + value);
  EnvironmentGuard guard;
  setenv(name, value, 1);
}

YString getEnvironment() {
  EnvironmentGuard guard;
  YString text;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; entry++) {
    if ((*entry)[0] == '=') continue;
    if (text.length > 0) text.append("\n");
    text.append(*entry);
  }
  return text;
}
