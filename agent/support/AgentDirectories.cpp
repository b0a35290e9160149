#include "agent/support/AgentDirectories.h"

#include "agent/platform/Directories.h"
#include "agent/platform/Environment.h"

YString getAgentHomeDir() {
  YString home = y_getenv("BRANTEL_HOME");
  if (home.length > 0) return home;
  home = getUserProfileDir();
  return home.length > 0 ? home : YString(".");
}

YString getSettingsDir() {
  YString directory = getAgentHomeDir();
  directory.append(pathSeparator);
  directory.append(".tallyscope");
  directory.append(pathSeparator);
  return directory;
}

YString makeTempFilePath(const YString& directory, const YString& name) {
  YString path = directory.length > 0 ? directory : getTempDir();
  const char last = path.length > 0 ? path.data[path.length - 1] : 0;
  if (last != '/' && last != '\\') path.append(pathSeparator);
  path.append(name);
  return path;
}
