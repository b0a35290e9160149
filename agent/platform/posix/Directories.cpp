#include "agent/platform/Directories.h"

#include <limits.h>
#include <pwd.h>
#include <unistd.h>

#include "agent/platform/Environment.h"
#include "agent/platform/NativeStack.h"

YString getUserProfileDir() {
  YString home = y_getenv("HOME");
  if (home.length > 0) return home;
  passwd entry;
  passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(geteuid(), &entry, buffer, sizeof(buffer), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] != 0) {
    return YString(found->pw_dir);
  }
  return YString("/");
}

// Not $TMPDIR, which differs between users.
YString getProgramDataDir() {
  const YString directory = y_getenv("ProgramData");
  return directory.length > 0 ? directory : YString("/tmp");
}

YString getTempDir() {
  YString directory = y_getenv("TMPDIR");
  if (directory.length == 0) directory = YString("/tmp");
  if (directory.data[directory.length - 1] != '/') directory.append("/");
  return directory;
}

YString getCurrentDir() {
  char path[4096];
  if (getcwd(path, sizeof(path)) == nullptr) return YString();
  return YString(path);
}

YString getAgentLibraryPath() {
  YString path;
  uint64_t base = 0;
  findModuleOfAddress(reinterpret_cast<const void*>(&getAgentLibraryPath), path, base);
  return path;
}
