#include "agent/core/MarkerFiles.h"

#include <cstdint>

#include "agent/platform/Directories.h"
#include "agent/platform/Files.h"
#include "agent/platform/LifetimeFiles.h"
#include "agent/platform/Processes.h"
#include "agent/support/CommonUtils.h"
#include "agent/support/FatalError.h"
#include "agent/support/FileUtils.h"
#include "agent/support/Log.h"

namespace {

// A marker file holds three short lines; anything longer was not written by an agent.
constexpr int32_t markerFileLimit = 4096;

struct MarkerFileState {
  bool directoryKnown = false;
  YString directory;
  int64_t ownFile = -1;
};

MarkerFileState& state() {
  static MarkerFileState* const markerFiles = new MarkerFileState();
  return *markerFiles;
}

}  // namespace

YString getMarkersDirectory() {
  MarkerFileState& files = state();
  if (!files.directoryKnown) {
    const YString base = getProgramDataDir();
    if (base.length > 0) {
      files.directory = base;
      if (base.data[base.length - 1] != pathSeparator) files.directory.append(pathSeparator);
      files.directory.append("Brantel");
      files.directory.append(pathSeparator);
      files.directory.append("Markers");
    }
    files.directoryKnown = true;
  }
  return files.directory;
}

YString getMarkerFilePath(int32_t pid) {
  YString path = getMarkersDirectory();
  if (path.length == 0) return path;
  path.append(pathSeparator);
  path.appendLong(pid);
  path.append(".txt");
  return path;
}

void listMarkerFilePids(YVector<int32_t>* pids) {
  if (pids == nullptr) assertionFailed("assertion failed: value is NULL", "Markers", __LINE__);
  const YString directory = getMarkersDirectory();
  if (directory.length == 0) return;
  YVector<YString> names;
  listFiles(directory, &names);
  const YString extension(".txt");
  for (int32_t i = 0; i < names.size; i++) {
    const YString& name = names.get(i);
    if (name.length < extension.length || !name.substringFrom(name.length - extension.length).equals(extension)) {
      continue;
    }
    // A number beyond 32 bits names no process.
    const int64_t pid = name.substring(0, name.length - extension.length).parseLong();
    if (pid != 0 && pid >= INT32_MIN && pid <= INT32_MAX) pids->add(int32_t(pid));
  }
}

void readMarkerFile(int32_t pid, int32_t* port, int32_t* type, YString* name) {
  if (port != nullptr) *port = 0;
  if (type != nullptr) *type = 0;
  if (name != nullptr) *name = YString();
  const YString path = getMarkerFilePath(pid);
  if (path.length == 0) return;
  // Where the system does not delete a marker file with its process, the file outlives it.
  if (pid <= 0 || !isProcessRunning(uint32_t(pid))) {
    deleteFile(path);
    return;
  }
  YString text;
  if (!readSharedFile(path, markerFileLimit, text)) return;
  YVector<YString> lines;
  splitByDelimiters(text, "\r\n", lines);
  for (int32_t i = 0; i < lines.size; i++) {
    const YString& line = lines.get(i);
    int32_t value = 0;
    YString rest;
    if (port != nullptr && getIntAfterPrefix(line, YString("port="), &value)) {
      *port = value;
    } else if (type != nullptr && getIntAfterPrefix(line, YString("type="), &value)) {
      *type = value;
    } else if (name != nullptr && startsWithRest(line, YString("name="), &rest)) {
      *name = rest;
    }
  }
}

void writeOwnMarkerFile(int32_t port, int32_t type, const YString& name) {
  MarkerFileState& files = state();
  if (getMarkersDirectory().length == 0) {
    logMessage(YString("warning: Global shmem is unavailable, and markers directory is also unavailable"));
    return;
  }
  const YString path = getMarkerFilePath(int32_t(getOwnPid()));
  if (files.ownFile == -1) {
    makeDirectories(files.directory);
    logMessage(YString("shmem: Global area is unavailable, creating marker ") + path);
    files.ownFile = createProcessLifetimeFile(path);
    if (files.ownFile == -1) {
      logMessage(YString("shmem: error: failed to create ") + path);
      return;
    }
  }
  YString text("port=");
  text.appendLong(port);
  text.append("\ntype=");
  text.appendLong(type);
  text.append("\nname=");
  text.append(name);
  text.append('\n');
  if (!replaceLifetimeFileContent(files.ownFile, text)) logMessage(YString("shmem: error: failed to write ") + path);
}

void resetMarkerFilesForTest() {
  MarkerFileState& files = state();
  files.directoryKnown = false;
  files.directory = YString();
  files.ownFile = -1;
}
