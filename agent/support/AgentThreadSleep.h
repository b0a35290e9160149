#pragma once

#include <cstdint>

// How the agent's own threads pause between rounds of work. They wait on a JVMTI raw monitor rather
// than in an OS sleep: the JVM then sees them blocked, where a thread in native code holds up the JVM's
// exit by up to 300 ms. Without the main JVMTI environment (outside a JVM) the pause is an OS sleep.

// Pauses the calling thread for `milliseconds`; false, at once or as soon as it happens, once the JVM is
// dying, when the caller is to end its work.
bool agentThreadSleep(int32_t milliseconds);

// Wakes every pausing agent thread for good: later pauses answer false at once. The JVM's death calls
// it.
void wakeSleepingAgentThreads();
