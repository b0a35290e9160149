#include "agent/core/CallbackJar.h"

#include <algorithm>
#include <cstdio>

#include "agent/core/CallbackJarData.h"
#include "agent/core/Options.h"
#include "agent/platform/Files.h"
#include "agent/platform/InterProcessMutex.h"
#include "agent/platform/Processes.h"
#include "agent/platform/TempFiles.h"
#include "agent/support/FileUtils.h"
#include "agent/support/Log.h"

namespace {

constexpr const char* JAR_MUTEX_NAME = "Global\\BRANTEL MUTEX6 G";
constexpr const char* TMPDIR_ADVICE =
    "; to set alternate location for the file, use startup option 'tmpdir=<directory>'. To learn how to specify "
    "a startup option, read the section \"Start-up options\" of the agent's README.md";

bool sameBytes(const YVector<unsigned char>& a, const YVector<unsigned char>& b) {
  return a.size == b.size && std::equal(a.data, a.data + a.size, b.data);
}

// Whether the file at `path` holds exactly the archive. Only the user's own regular file counts: a file
// of another user, or a symlink, in a shared directory is never read, let alone run.
enum class ExistingJar { Missing, Identical, Different };
ExistingJar examineExistingJar(const YString& path, const YVector<unsigned char>& archive) {
  const int32_t fd = openOwnFileForRead(path);
  if (fd < 0) return ExistingJar::Missing;
  YVector<unsigned char> bytes;
  readFdFully(fd, &bytes);
  closeFile(fd);
  return sameBytes(bytes, archive) ? ExistingJar::Identical : ExistingJar::Different;
}

// Writes the archive to a new file of a unique name beside `path`, checks that every byte went out, and
// moves it into place in one step: no other JVM ever sees a partial archive, and one that still has the
// old file open goes on reading the old file.
bool writeJarInPlace(const YString& path, const YVector<unsigned char>& archive) {
  for (int32_t attempt = 0; attempt < 100; attempt++) {
    YString temporary(path);
    temporary.append(".");
    temporary.appendLong(getOwnPid());
    temporary.append(".");
    temporary.appendLong(attempt);
    temporary.append(".tmp");
    bool exists = false;
    const int32_t fd = createPrivateFile(temporary, exists);
    if (fd < 0) {
      if (exists) continue;
      return false;
    }
    const bool written = writeFile(fd, archive.data, archive.size);
    closeFile(fd);
    if (written && replaceFile(temporary, path)) return true;
    deleteFile(temporary);
    return false;
  }
  return false;
}

}  // namespace

YVector<unsigned char> assembleCallbackJar() {
  YVector<unsigned char> archive(int32_t(callbackJarChunkSizes[0]) * callbackJarChunkCount);
  for (int32_t i = 0; i < callbackJarChunkCount; i++) {
    archive.addRange(callbackJarChunks[i], int32_t(callbackJarChunkSizes[i]));
  }
  return archive;
}

YString extractCallbackJar() {
  const Options& options = globalOptions();
  const YString given = options.getStringOption("_agent_cp");
  if (given.length > 0) return given;

  const YVector<unsigned char> archive = assembleCallbackJar();
  InterProcessMutex mutex(JAR_MUTEX_NAME);
  if (!mutex.isValid()) {
    logMessage(YString("warning: cannot create or open the mutex \"") + JAR_MUTEX_NAME +
               "\"; the jar file is checked and written without it");
  }
  InterProcessMutexLock locked(&mutex);

  const YString path = options.getTempFilePath(CALLBACK_JAR_NAME);
  switch (examineExistingJar(path, archive)) {
    case ExistingJar::Identical:
      logMessage(YString("Reusing existing jar file: ") + path);
      return path;
    case ExistingJar::Different:
      if (options.hasOption("_skip_callback_jar_verification")) {
        logMessage(YString("_skip_callback_jar_verification specified, using provided jar file: ") + path);
        return path;
      }
      logMessage(YString("Jar file exists but has wrong size or content: ") + path);
      break;
    case ExistingJar::Missing:
      break;
  }

  if (!writeJarInPlace(path, archive)) {
    logMessage(YString("Cannot start: failed to create jar file: ") + path + TMPDIR_ADVICE, stderr);
    return YString();
  }
  logMessage(YString("Jar file created: ") + path);
  const int32_t check = openOwnFileForRead(path);
  if (check < 0) {
    logMessage(YString("Cannot start: failed to open file for reading: ") + path + TMPDIR_ADVICE, stderr);
    return YString();
  }
  closeFile(check);
  return path;
}
