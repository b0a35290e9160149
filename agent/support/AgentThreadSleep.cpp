#include "agent/support/AgentThreadSleep.h"

#include <jvmti.h>

#include <atomic>

#include "agent/platform/Clocks.h"
#include "agent/support/JvmtiUtils.h"

namespace {

std::atomic<bool> wokenForGood{false};

// Made on first use on the main environment; null when it cannot be made.
jrawMonitorID pauseMonitor() {
  static const jrawMonitorID monitor = [] {
    jrawMonitorID made = nullptr;
    return mainJvmti->CreateRawMonitor("BZPAgent pause", &made) == JVMTI_ERROR_NONE ? made : nullptr;
  }();
  return monitor;
}

}  // namespace

bool agentThreadSleep(int32_t milliseconds) {
  if (wokenForGood.load()) return false;
  const jrawMonitorID monitor = mainJvmti == nullptr ? nullptr : pauseMonitor();
  if (monitor == nullptr || mainJvmti->RawMonitorEnter(monitor) != JVMTI_ERROR_NONE) {
    sleepMs(milliseconds);
    return !wokenForGood.load();
  }
  // Tested under the monitor, so that a wake between the test and the wait is not missed. A wait may
  // end early (a notification, an interrupt of the thread): the rest of the pause is waited again. Any
  // other failure ends the pause rather than spinning on it.
  const int64_t end = getMonotonicTimeNs() + int64_t(milliseconds) * 1000000;
  for (int64_t now = getMonotonicTimeNs(); !wokenForGood.load() && now < end; now = getMonotonicTimeNs()) {
    const jvmtiError error = mainJvmti->RawMonitorWait(monitor, (end - now + 999999) / 1000000);
    if (error != JVMTI_ERROR_NONE && error != JVMTI_ERROR_INTERRUPT) break;
  }
  mainJvmti->RawMonitorExit(monitor);
  return !wokenForGood.load();
}

void wakeSleepingAgentThreads() {
  wokenForGood.store(true);
  const jrawMonitorID monitor = mainJvmti == nullptr ? nullptr : pauseMonitor();
  if (monitor == nullptr || mainJvmti->RawMonitorEnter(monitor) != JVMTI_ERROR_NONE) return;
  mainJvmti->RawMonitorNotifyAll(monitor);
  mainJvmti->RawMonitorExit(monitor);
}
