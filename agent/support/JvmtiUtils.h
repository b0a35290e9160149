#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

#include "agent/support/YString.h"

// The agent's main JVMTI environment (version 1.1), which holds its capabilities and event callbacks.
// Null until start-up has created it; the agent counts as loaded from then on.
extern jvmtiEnv* mainJvmti;

// Checked JVMTI calls on the main environment. An error that the agent cannot live with is fatal and
// names itself and the calling place; calls whose failure is tolerable test the code themselves.

// 0 does nothing. Any other code is the fatal error "ERROR: JVMTI error <code>:<name> at <file>:<line>",
// with the JVM's name of the error, or "<null>" when it has none; but WRONG_PHASE once the JVM has ended
// is logged as "JVMTI call at <file>:<line> refused: the JVM has ended" and throws JvmEndedException.
void checkJvmtiError(jvmtiError error, const char* file, int32_t line);
// "<code>:<name>" by the same naming rule, for log lines; never fails, also without an environment.
YString jvmtiErrorText(jvmtiEnv* jvmti, jvmtiError error);

// Allocate and Deallocate; an error is fatal.
unsigned char* jvmtiAllocate(int64_t size);
void jvmtiDeallocate(void* memory);

// The JVM's phase as the main environment tells it, for the paths that ask on every call: once it has
// answered LIVE, that is remembered and JVMTI is not asked again. The phase leaves LIVE only for DEAD,
// which the callers learn from the VM-death flag; DEAD when the environment cannot tell.
jvmtiPhase phaseUntilLive();

// A text that a JVMTI query of the main environment allocated, given back when the holder goes.
class JvmtiText {
 public:
  JvmtiText() = default;
  ~JvmtiText();
  JvmtiText(const JvmtiText&) = delete;
  JvmtiText& operator=(const JvmtiText&) = delete;

  // Where the query stores the text.
  char** out() { return &text; }

  char* text = nullptr;
};

// IterateOverHeap over tagged and untagged objects. Returns the JVM's error code, which most callers
// may ignore: an iteration that cannot run visits nothing.
jvmtiError iterateOverHeap(jvmtiEnv* jvmti, jvmtiHeapObjectCallback callback, const void* userData);
// Whether the calling thread is inside iterateOverHeap. Before the pass the JVM makes the objects that
// escape analysis kept in registers real, allocating them on this thread while every other Java thread
// waits, some of them holding the agent's locks: allocations seen then are the JVM's, not the program's,
// and recording them would wait for those locks for ever.
bool inHeapPass();
