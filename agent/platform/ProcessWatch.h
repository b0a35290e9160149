#pragma once

#include <cstdint>

#include "agent/support/YString.h"

// Waiting for another process to end, on a thread of the agent's own. The Java side names the process:
// on Windows by a process HANDLE, which the caller keeps (the watch is a duplicate of it); on Linux by
// the process id that Process.pid() gives, watched through a process descriptor so that a pid reused
// after the end is never mistaken for the process.

// A watch of the process: its own handle or descriptor, valid until closed. -1, with the reason in
// `failure`, when the process cannot be watched (on Linux also when it has already ended and been
// reaped: its exit code is gone with it).
int64_t openProcessWatch(int64_t process, YString* failure);

// Blocks until the watched process has ended and answers true with its exit code; on Linux a process
// ended by a signal gives 128 + the signal's number, as Process.exitValue() does. False, with the
// reason in `failure`, when the wait fails or the code cannot be read.
bool waitForProcessEnd(int64_t watch, int32_t* exitCode, YString* failure);

void closeProcessWatch(int64_t watch);

// Runs `routine`(watch) on a new, detached thread of the operating system with the default stack; it is
// no Java thread. False when the thread cannot be started.
bool startProcessWatchThread(void (*routine)(int64_t watch), int64_t watch);
