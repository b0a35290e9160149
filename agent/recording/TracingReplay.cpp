#include "agent/recording/TracingReplay.h"

#include <algorithm>

#include "agent/core/AgentFlags.h"
#include "agent/core/Options.h"
#include "agent/db/Clears.h"
#include "agent/db/DB.h"
#include "agent/platform/Clocks.h"
#include "agent/recording/AdaptiveFilter.h"
#include "agent/recording/FrameTree.h"
#include "agent/recording/MethodFilterFlags.h"
#include "agent/recording/MethodStore.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/FatalError.h"
#include "agent/support/Log.h"

std::atomic<bool> tracingLinesAvailable{false};

namespace {

constexpr int32_t timeJumpWarningLimit = 10;
std::atomic<int32_t> timeJumpWarnings{0};

int32_t parentFrame(const DB& database, int32_t frameId) {
  const FrameRecord* row = database.frames.findRow(frameId);
  return row != nullptr ? row->parent : -1;
}

// Wall-time methods, and every method while all count as such, are timed with the wall clock; the
// writers of the entry and exit records apply the same rule, so a start and its end share a clock.
bool isWallTimed(int32_t frameId) {
  return allMethodsWallTime || (getMethodFlags(getFrameMethod(frameId)) & methodWallTime) != 0;
}

// One start time per frame from the current traced one up to the root, outermost first.
void pushStartTimes(ThreadInfo* thread, const DB& database, int64_t wallNs, int64_t cpuNs) {
  YVector<uint64_t>& starts = thread->openFrameStartTimes;
  for (int32_t frame = thread->currentTracedFrame; frame >= 1; frame = parentFrame(database, frame)) {
    starts.add(uint64_t(isWallTimed(frame) ? wallNs : cpuNs));
  }
  std::reverse(starts.data, starts.data + starts.size);
}

void countInvocation(ThreadInfo* thread, const DB& database, int32_t frameId) {
  CpuProfilingRecord& row = *thread->getCpuProfilingRow(frameId);
  row.invocationCount++;
  row.stamp = database.currentStamp;
}

void chargeTime(ThreadInfo* thread, const DB& database, int32_t frameId, int64_t elapsedNs) {
  CpuProfilingRecord& row = *thread->getCpuProfilingRow(frameId);
  row.time += elapsedNs;
  row.stamp = database.currentStamp;
}

// The thread's stack recorded again at the entry of `frame` (after an exception, which may have ended
// traced calls without their exits): the open calls that the entered one still runs in keep their clocks,
// the others are charged up to now, and the calls below the ones kept start now. False, with nothing
// changed, when the thread follows no stack or its start times do not match its open calls.
bool keepOpenCallsOnStack(ThreadInfo* thread, const DB& database, int32_t frame, int64_t wallNs, int64_t cpuNs) {
  if (!cpuTracingRuns() || thread->currentTracedFrame < 1 || frame < 1) return false;
  YVector<uint64_t>& starts = thread->openFrameStartTimes;
  int32_t openCalls = 0;
  for (int32_t open = thread->currentTracedFrame; open >= 1; open = parentFrame(database, open)) openCalls++;
  if (openCalls != starts.size) return false;
  // The entered call first, then its callers; the entered call is a new one even where its frame is open.
  YVector<int32_t> stack;
  for (int32_t on = frame; on >= 1; on = parentFrame(database, on)) stack.add(on);
  const auto callerIndex = [&](int32_t open) {
    return int32_t(std::find(stack.data + 1, stack.data + stack.size, open) - stack.data);
  };
  int32_t firstKept = stack.size;
  for (int32_t open = thread->currentTracedFrame; open >= 1; open = parentFrame(database, open)) {
    firstKept = callerIndex(open);
    if (firstKept < stack.size) break;
    const int64_t start = int64_t(starts.pop());
    chargeTime(thread, database, open,
               isWallTimed(open) ? tracingElapsedNs(wallNs, start, 3) : tracingElapsedNs(cpuNs, start, 2));
  }
  for (int32_t i = firstKept - 1; i >= 0; i--) starts.add(uint64_t(isWallTimed(stack[i]) ? wallNs : cpuNs));
  thread->currentTracedFrame = frame;
  return true;
}

// "<prefix><method> event_gen: <record's epoch> current: <epoch>".
void logStaleEpoch(const char* prefix, int32_t methodId, int32_t epoch) {
  YString message(prefix);
  message.appendLong(methodId);
  message.append(" event_gen: ");
  message.appendLong(epoch);
  message.append(" current: ");
  message.appendLong(tracingEpoch.load());
  logMessage(message);
}

void logWithMethod(const char* prefix, int32_t methodId) {
  YString message(prefix);
  message.appendLong(methodId);
  logMessage(message);
}

}  // namespace

bool isLineTracingEnabled() {
  static const bool disabledByOption = globalOptions().hasOption("_tracing_disable_lines");
  return tracingLinesAvailable.load() && !disabledByOption;
}

bool isTracingDebug() {
  static const bool on = globalOptions().isDebug("tracing");
  return on;
}

void replayTracedStack(ThreadInfo* thread, int32_t node, int64_t wallNs, int64_t cpuNs, int32_t epoch,
                       const YCriticalSectionLock& held) {
  // A stack of an earlier period would start the open calls' clocks before the clear that ended it. Left
  // without a frame, the thread records its whole stack again at its next entry.
  if (epoch != tracingEpoch.load()) {
    thread->resetTracingState();
    return;
  }
  const DB& database = requireDatabase();
  const int32_t frame = thread->getFrameId(node);
  if (!keepOpenCallsOnStack(thread, database, frame, wallNs, cpuNs)) {
    thread->resetTracingState();
    thread->currentTracedFrame = frame;
    pushOpenFrameStartTimes(thread, wallNs, cpuNs, held);
  }
  if (thread->currentTracedFrame >= 1) countInvocation(thread, database, thread->currentTracedFrame);
}

void p_m_enter(ThreadInfo* thread, int32_t methodId, int64_t startNs, int32_t epoch, int32_t line,
               const YCriticalSectionLock&) {
  if (epoch != tracingEpoch.load()) {
    thread->resetTracingState();
    logStaleEpoch("warning: p_m_enter: 1: ", methodId, epoch);
    return;
  }
  if (thread->currentTracedFrame == -1) {
    thread->resetTracingState();
    if (isTracingDebug()) logWithMethod("warning: p_m_enter: 2: ", methodId);
    return;
  }
  // Method ids are rows from 1; another value would become a frame of some other method's key.
  if (methodId < 1) {
    thread->resetTracingState();
    logWithMethod("warning: p_m_enter: invalid method id: ", methodId);
    return;
  }
  const DB& database = requireDatabase();
  const int32_t child = getOrCreateChildFrame(thread->currentTracedFrame, methodId, line);
  thread->openFrameStartTimes.add(uint64_t(startNs));
  thread->currentTracedFrame = child;
  countInvocation(thread, database, child);
}

void p_m_exit(ThreadInfo* thread, int32_t methodId, int64_t exitNs, int32_t epoch, const YCriticalSectionLock& held) {
  if (epoch != tracingEpoch.load()) {
    thread->resetTracingState();
    logStaleEpoch("warning: p_m_exit: 1: ", methodId, epoch);
    return;
  }
  if (thread->currentTracedFrame == 0) {
    thread->resetTracingState();
    if (isTracingDebug()) logWithMethod("warning: p_m_exit: leaving root: ", methodId);
    return;
  }
  if (thread->currentTracedFrame == -1) {
    thread->resetTracingState();
    if (isTracingDebug()) logWithMethod("warning: p_m_exit: 2: ", methodId);
    return;
  }
  const DB& database = requireDatabase();
  YVector<uint64_t>& starts = thread->openFrameStartTimes;
  int32_t frame = thread->currentTracedFrame;
  // Calls of excluded methods entered before their exclusion never report their exits: pass over them.
  for (int32_t method = getFrameMethod(frame); method != methodId; method = getFrameMethod(frame)) {
    if ((getMethodFlags(method) & methodAdaptiveExcluded) == 0) {
      chargeOpenTracedFrames(thread, held);
      thread->resetTracingState();
      YString message("warning: p_m_exit: 3_2: ");
      message.appendLong(methodId);
      message.append(" expected: ");
      message.appendLong(method);
      logMessage(message);
      return;
    }
    if (isTracingDebug()) {
      YString message("p_m_exit: 3: ");
      message.appendLong(methodId);
      message.append(" skipping excluded: ");
      message.appendLong(method);
      logMessage(message);
    }
    if (starts.size > 0) starts.pop();
    frame = parentFrame(database, frame);
    thread->currentTracedFrame = frame;
    if (frame < 1 || starts.size == 0) {
      thread->resetTracingState();
      YString message("warning: p_m_exit: 3_1: ");
      message.appendLong(methodId);
      message.append(" _frame=");
      message.appendLong(frame);
      message.append(" size1=");
      message.appendLong(starts.size);
      logMessage(message);
      return;
    }
  }
  thread->currentTracedFrame = parentFrame(database, frame);
  if (starts.size == 0) {
    thread->resetTracingState();
    YString message("warning: p_m_exit: 4: ");
    message.appendLong(methodId);
    message.append(' ');
    message.appendLong(frame);
    message.append("->");
    message.appendLong(thread->currentTracedFrame);
    message.append(" name=");
    message.append(thread->name);
    logMessage(message);
    return;
  }
  const int64_t elapsed = tracingElapsedNs(exitNs, int64_t(starts.pop()), 1);
  chargeTime(thread, database, frame, elapsed);
  adaptiveTracingStep(methodId, elapsed, held);
}

void pushOpenFrameStartTimes(ThreadInfo* thread, int64_t wallNs, int64_t cpuNs, const YCriticalSectionLock&) {
  if (!cpuTracingRuns() || thread->currentTracedFrame == -1) return;
  if (thread->openFrameStartTimes.size != 0) assertionFailed("assertion failed", "Tracing", 112);
  pushStartTimes(thread, requireDatabase(), wallNs, cpuNs);
}

void chargeOpenTracedFrames(ThreadInfo* thread, const YCriticalSectionLock&) {
  if (!cpuTracingRuns()) return;
  if (thread == nullptr) assertionFailed("assertion failed: value is NULL", "Tracing", 35);
  if (thread->currentTracedFrame == -1) return;
  const int64_t cpuNow = thread->getCpuTimeNs();
  const int64_t wallNow = getTimeNs();
  const DB* database = db;
  if (database == nullptr) fatalError("db is NULL", "Tracing", 46);
  YVector<uint64_t>& starts = thread->openFrameStartTimes;
  for (int32_t frame = thread->currentTracedFrame; frame >= 1; frame = parentFrame(*database, frame)) {
    if (starts.size == 0) assertionFailed("assertion failed", "Tracing", 51);
    const int64_t start = int64_t(starts.pop());
    const int64_t elapsed =
        isWallTimed(frame) ? tracingElapsedNs(wallNow, start, 3) : tracingElapsedNs(cpuNow, start, 2);
    chargeTime(thread, *database, frame, elapsed);
  }
  if (starts.size != 0) assertionFailed("assertion failed", "Tracing", 70);
}

void restartOpenTracedFrames(ThreadInfo* thread, const YCriticalSectionLock&) {
  if (!cpuTracingRuns()) return;
  if (thread == nullptr) assertionFailed("assertion failed: value is NULL", "Tracing", 79);
  if (thread->currentTracedFrame == -1) return;
  if (thread->openFrameStartTimes.size != 0) assertionFailed("assertion failed", "Tracing", 87);
  const int64_t cpuNow = thread->getCpuTimeNs();
  const int64_t wallNow = getTimeNs();
  pushStartTimes(thread, requireDatabase(), wallNow, cpuNow);
}

int64_t tracingElapsedNs(int64_t nowNs, int64_t startNs, int32_t kind) {
  const int64_t elapsed = int64_t(uint64_t(nowNs) - uint64_t(startNs));
  if (elapsed >= 0) return elapsed;
  // Read first, so that the count stops near the limit instead of growing with every later jump.
  if (timeJumpWarnings.load() < timeJumpWarningLimit && timeJumpWarnings.fetch_add(1) < timeJumpWarningLimit) {
    YString message("warning: tracing time jump: (");
    message.appendLong(kind);
    message.append("): ");
    message.appendLong(nowNs);
    message.append(' ');
    message.appendLong(startNs);
    logMessage(message);
  }
  return 0;
}

OpenTracedCallsCharged::OpenTracedCallsCharged(bool charge, const YCriticalSectionLock& held)
    : held(held), charged(charge && cpuTracingRuns()) {
  if (!charged) return;
  forEachLiveThread([&](ThreadInfo* thread) { chargeOpenTracedFrames(thread, held); });
}

OpenTracedCallsCharged::~OpenTracedCallsCharged() {
  if (!charged) return;
  forEachLiveThread([&](ThreadInfo* thread) {
    try {
      restartOpenTracedFrames(thread, held);
    } catch (...) {
      // A broken invariant is logged where it is found; the thread records its whole stack anew.
      thread->resetTracingState();
    }
  });
}
