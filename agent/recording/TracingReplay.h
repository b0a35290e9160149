#pragma once

#include <atomic>
#include <cstdint>

#include "agent/platform/YCriticalSection.h"

class ThreadInfo;

// CPU tracing: the replay of a thread's traced entries and exits (its event records of kinds 1 to 3)
// into the call tree. Per thread it keeps the frame of the innermost open traced call
// (ThreadInfo::currentTracedFrame: 0 the root, -1 no known stack) and the start times of the open calls
// (ThreadInfo::openFrameStartTimes, outermost first); an exit charges its elapsed time to the frame's
// "cpu_profiling" row, an entry counts an invocation. A frame of a wall-time method, or any frame while
// allMethodsWallTime is set, is timed with the wall clock, every other with the thread's CPU time. All
// of it runs under "ourLock" (`held`).

// Whether the Java side could make line numbers available when CPU tracing started; set by that start.
extern std::atomic<bool> tracingLinesAvailable;
// Whether traced entries carry lines: the lines are available and "_tracing_disable_lines" is not given.
bool isLineTracingEnabled();
// Whether the debug category "tracing" is on (read once): gates the diagnostic messages of the replay and
// of the adaptive filter.
bool isTracingDebug();

// A kind-1 record: the thread's whole traced stack (a node of its node tree) with the wall and CPU time
// at its writing, in tracing epoch `epoch`. The thread's tracing state is reset first; a record of the
// current epoch then makes that stack the open calls (their clocks started at the record's times) and
// counts one invocation of its innermost frame. One of an earlier epoch installs nothing, so that the
// thread's next entry records its whole stack again.
void replayTracedStack(ThreadInfo* thread, int32_t node, int64_t wallNs, int64_t cpuNs, int32_t epoch,
                       const YCriticalSectionLock& held);
// A kind-2 record: the entry into `methodId` at `startNs`, called from `line` (0 none). A record of an
// earlier epoch, one on a thread without a known stack and one of a method id below 1 (no method) reset
// the thread instead.
void p_m_enter(ThreadInfo* thread, int32_t methodId, int64_t startNs, int32_t epoch, int32_t line,
               const YCriticalSectionLock& held);
// A kind-3 record: the exit from `methodId` at `exitNs`. The calls of excluded methods above the exiting
// one are passed over uncharged; the exiting call's time goes to its frame's row and to the adaptive
// filter. Any other mismatch charges every open call up to now and resets the thread.
void p_m_exit(ThreadInfo* thread, int32_t methodId, int64_t exitNs, int32_t epoch, const YCriticalSectionLock& held);

// Pushes a start time (wall or CPU, by the frame's clock) for every frame from the current traced one up
// to the root, outermost first. Nothing unless CPU tracing runs and the thread has a traced frame.
void pushOpenFrameStartTimes(ThreadInfo* thread, int64_t wallNs, int64_t cpuNs, const YCriticalSectionLock& held);
// Charges every open traced call of the thread with its time up to now and empties the stack of start
// times; the current traced frame stays. Nothing unless CPU tracing runs.
void chargeOpenTracedFrames(ThreadInfo* thread, const YCriticalSectionLock& held);
// Starts the open traced calls' clocks again from now, after chargeOpenTracedFrames.
void restartOpenTracedFrames(ThreadInfo* thread, const YCriticalSectionLock& held);

// now - start, or 0 when that is negative (a time jump, logged at most ten times per process with the
// kind: 1 an exit, 2 an open call by CPU time, 3 by wall time).
int64_t tracingElapsedNs(int64_t nowNs, int64_t startNs, int32_t kind);

// The open traced calls of every live thread charged with their time so far, for data written while
// they run (a table reply that asks for "cpu_profiling", a snapshot), and their clocks started again
// from the end of the write, however the write ends. Made after the live threads' buffers are replayed,
// under "ourLock" (`held`); does nothing unless `charge` is set and CPU tracing runs.
class OpenTracedCallsCharged {
 public:
  OpenTracedCallsCharged(bool charge, const YCriticalSectionLock& held);
  ~OpenTracedCallsCharged();
  OpenTracedCallsCharged(const OpenTracedCallsCharged&) = delete;
  OpenTracedCallsCharged& operator=(const OpenTracedCallsCharged&) = delete;

 private:
  const YCriticalSectionLock& held;
  const bool charged;
};
