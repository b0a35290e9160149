#include "agent/platform/Processes.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

// Everything about other processes comes from /proc/<pid>: "cmdline" holds the arguments, each ended by
// a NUL; "exe" links to the executable, readable only for processes we may trace; "comm" holds the bare
// name that every user may read; the directory belongs to the process's effective user.

void exitProcessImmediately(int32_t exitCode) { _exit(exitCode); }

namespace {

// "/proc/<pid>" with an optional "/<entry>".
YString procPath(uint32_t pid, const char* entry) {
  YString path("/proc/");
  path.appendLong(pid);
  if (entry != nullptr) {
    path.append('/');
    path.append(entry);
  }
  return path;
}

// The whole content of a /proc file, whose size stat does not tell; false when it cannot be read.
bool readProcFile(const YString& path, YVector<char, 1024>& content) {
  const int file = open(path.data, O_RDONLY | O_CLOEXEC);
  if (file < 0) return false;
  char block[4096];
  ssize_t count;
  while ((count = read(file, block, sizeof(block))) > 0) {
    for (ssize_t i = 0; i < count; i++) content.add(block[i]);
  }
  close(file);
  return count == 0;
}

YString executableLink(uint32_t pid) {
  char target[4096];
  const ssize_t length = readlink(procPath(pid, "exe").data, target, sizeof(target) - 1);
  if (length <= 0) return YString();
  target[length] = 0;
  return YString(target);
}

// The kernel's name of the process, which is the executable's name cut to 15 bytes unless the process
// renamed itself; empty when the process does not exist.
YString bareName(uint32_t pid) {
  YVector<char, 1024> content;
  if (!readProcFile(procPath(pid, "comm"), content)) return YString();
  while (content.size > 0 && content.peek() == '\n') content.pop();
  content.add(0);
  return YString(content.data);
}

// Linux pids fit in 31 bits; anything above names no process, and 0 would name the caller's group.
bool isPid(uint32_t pid) { return pid != 0 && pid <= uint32_t(INT32_MAX); }

}  // namespace

uint32_t getOwnPid() {
  static const uint32_t pid = uint32_t(getpid());
  return pid;
}

void getOwnCommandLine(YVector<YString>& arguments) { getCommandLineByPid(arguments, getOwnPid()); }

void getCommandLineByPid(YVector<YString>& arguments, uint32_t pid) {
  if (!isPid(pid)) return;
  YVector<char, 1024> content;
  if (!readProcFile(procPath(pid, "cmdline"), content) || content.size == 0) {
    // Kernel threads and processes that are exiting have no arguments left.
    const YString path = getProcessPathByPid(pid);
    if (path.length > 0) arguments.add(path);
    return;
  }
  // A process that rewrote its arguments may have dropped the last NUL.
  if (content.peek() != 0) content.add(0);
  for (int32_t start = 0; start < content.size; start += int32_t(std::strlen(content.data + start)) + 1) {
    arguments.add(YString(content.data + start));
  }
}

YString getProcessPathByPid(uint32_t pid) {
  if (!isPid(pid)) return YString();
  const YString path = executableLink(pid);
  return path.length > 0 ? path : bareName(pid);
}

bool getAllPids(YVector<uint32_t>& pids) {
  DIR* directory = opendir("/proc");
  if (directory == nullptr) return false;
  while (const dirent* entry = readdir(directory)) {
    const int64_t pid = YString(entry->d_name).parseLong();
    if (pid > 0 && pid <= INT32_MAX) pids.add(uint32_t(pid));
  }
  closedir(directory);
  return true;
}

bool isProcessRunning(uint32_t pid) {
  if (pid == 0 || pid > uint32_t(INT32_MAX)) return false;
  return kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

void getSpecialJavaPids(YVector<uint32_t>* pids) {
  if (pids == nullptr) assertionFailed("assertion failed: value is NULL", "OsSpecific", 1026);
  DIR* directory = opendir("/proc");
  if (directory == nullptr) return;
  while (const dirent* entry = readdir(directory)) {
    const YString digits(entry->d_name);
    const int64_t pid = digits.parseLong();
    if (pid <= 0 || pid > INT32_MAX || uint32_t(pid) == getOwnPid()) continue;
    YString name = executableLink(uint32_t(pid)).substringAfterLast('/');
    if (name.length == 0) name = bareName(uint32_t(pid));
    if (name.length > 0 && isSpecialJavaProcessName(name + ".exe")) pids->add(uint32_t(pid));
  }
  closedir(directory);
}

YString getProcessOwnerByPid(uint32_t pid) {
  if (!isPid(pid)) return YString();
  struct stat status;
  if (stat(procPath(pid, nullptr).data, &status) != 0) return YString();
  passwd entry;
  passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(status.st_uid, &entry, buffer, sizeof(buffer), &found) != 0 || found == nullptr) return YString();
  return YString(found->pw_name);
}
