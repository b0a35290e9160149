#include "agent/platform/ProcessWatch.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "agent/platform/SystemInfo.h"

// A watch holds the process descriptor in its low 32 bits and the pid above them, for the messages.

namespace {

#ifndef P_PIDFD
constexpr idtype_t P_PIDFD = idtype_t(3);
#endif

// The kernel's record of a descriptor's process (PIDFD_GET_INFO, Linux 6.13), as far as its first
// published size. From Linux 6.15 it holds the wait status once the process has been reaped.
struct PidfdInfo {
  uint64_t mask;
  uint64_t cgroupId;
  uint32_t idsAndCredentials[11];
  int32_t exitStatus;
};
static_assert(sizeof(PidfdInfo) == 64, "the first published size of the kernel's record");
constexpr uint64_t pidfdInfoExit = 1u << 3;
constexpr unsigned long pidfdGetInfo = _IOWR(0xFF, 11, PidfdInfo);

// How long an ended process may stay unreadable: its parent reaping it just then (microseconds), or a
// parent other than this process not having reaped it yet. The pause doubles from the first to the
// longest; about a second in all. The thread is none of the JVM's, so its pauses never hold up an exit.
constexpr int32_t readAttempts = 210;
constexpr long firstReadPauseNs = 20 * 1000;
constexpr long longestReadPauseNs = 5 * 1000 * 1000;

int descriptorOf(int64_t watch) { return int(uint32_t(watch)); }
int64_t pidOf(int64_t watch) { return int64_t(uint64_t(watch) >> 32); }

YString errnoText(const char* what, int64_t pid, int error) {
  YString text(what);
  text.append(" for process ");
  text.appendLong(pid);
  text.append(": ");
  text.append(getRuntimeErrorMessage(error));
  return text;
}

int32_t exitValueOfStatus(int status) { return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status); }

// The exit code of an ended process, from the zombie while it is a child of this process that nobody has
// reaped yet (WNOWAIT leaves it to the JVM's own reaper), else from the kernel's record after the reaping.
// Without it, `error` is the query's errno, or 0 when the kernel has no record yet.
bool readExitCode(int descriptor, int32_t* exitCode, int* error) {
  siginfo_t child{};
  if (waitid(P_PIDFD, id_t(descriptor), &child, WEXITED | WNOWAIT | WNOHANG) == 0 && child.si_pid != 0) {
    *exitCode = child.si_code == CLD_EXITED ? child.si_status : 128 + child.si_status;
    return true;
  }
  PidfdInfo record{};
  record.mask = pidfdInfoExit;
  if (ioctl(descriptor, pidfdGetInfo, &record) == 0) {
    if ((record.mask & pidfdInfoExit) != 0) {
      *exitCode = exitValueOfStatus(record.exitStatus);
      return true;
    }
    *error = 0;
  } else {
    *error = errno;
  }
  return false;
}

struct WatchThreadStart {
  void (*routine)(int64_t);
  int64_t watch;
};

void* runWatchThread(void* argument) {
  // The JVM's process-wide signals go to its own threads.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  const WatchThreadStart start = *static_cast<WatchThreadStart*>(argument);
  delete static_cast<WatchThreadStart*>(argument);
  start.routine(start.watch);
  return nullptr;
}

}  // namespace

int64_t openProcessWatch(int64_t process, YString* failure) {
  if (process <= 0 || process > INT32_MAX) {
    *failure = YString("no process id: ");
    failure->appendLong(process);
    return -1;
  }
  const long descriptor = syscall(SYS_pidfd_open, pid_t(process), 0u);
  if (descriptor < 0) {
    *failure = errnoText("pidfd_open failed", process, errno);
    return -1;
  }
  return (process << 32) | int64_t(descriptor);
}

bool waitForProcessEnd(int64_t watch, int32_t* exitCode, YString* failure) {
  const int descriptor = descriptorOf(watch);
  pollfd ended{descriptor, POLLIN, 0};
  while (poll(&ended, 1, -1) < 0) {
    if (errno != EINTR) {
      *failure = errnoText("poll failed", pidOf(watch), errno);
      return false;
    }
  }
  int error = 0;
  long pauseNs = firstReadPauseNs;
  for (int32_t attempt = 0; attempt < readAttempts; attempt++) {
    if (readExitCode(descriptor, exitCode, &error)) return true;
    // A kernel without the record will never have it.
    if (error == ENOTTY || error == EINVAL) break;
    const timespec pause{0, pauseNs};
    nanosleep(&pause, nullptr);
    pauseNs = pauseNs * 2 < longestReadPauseNs ? pauseNs * 2 : longestReadPauseNs;
  }
  if (error != 0) {
    *failure = errnoText("exit code cannot be read", pidOf(watch), error);
  } else {
    *failure = YString("exit code cannot be read for process ");
    failure->appendLong(pidOf(watch));
    failure->append(": it has not been reaped");
  }
  return false;
}

void closeProcessWatch(int64_t watch) { close(descriptorOf(watch)); }

bool startProcessWatchThread(void (*routine)(int64_t watch), int64_t watch) {
  auto* start = new (std::nothrow) WatchThreadStart{routine, watch};
  if (start == nullptr) return false;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int result = pthread_create(&thread, &attributes, runWatchThread, start);
  pthread_attr_destroy(&attributes);
  if (result != 0) delete start;
  return result == 0;
}
