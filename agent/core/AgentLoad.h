#pragma once

#include <jni.h>

#include <cstdint>

#include "agent/support/YString.h"

// The start-up routine that both entry points run, and the state it leaves behind.

// The JVM that loaded the agent last.
extern JavaVM* javaVm;

// Results of agentLoadImpl.
enum AgentLoadResult : int32_t {
  LOAD_OK = 0,
  LOAD_NO_JVMTI = 1,
  LOAD_INVALID_OPTIONS = 3,
  LOAD_JAVA_TOO_OLD = 4,
  LOAD_CAPABILITIES_REFUSED = 6,
  LOAD_NO_CALLBACK_JAR = 8,
  LOAD_NO_JNI_ENVIRONMENT = 9,
  LOAD_JAVA_SIDE_REFUSED = 10,
  LOAD_JAVA_TOO_NEW = 16,
  // A broken invariant or exhausted memory stopped the start; the log says where.
  LOAD_FATAL_ERROR = -1,
};

// Checks the JVM, applies the options, creates the database, wires JVMTI, puts the Java side on the boot
// class path and, when attaching, starts what the JVM's start events would have started. Runs on the
// loading thread; the JVM calls the entry points one at a time.
int32_t agentLoadImpl(JavaVM* vm, const YString& options);

// Ends the process through the runtime library's exit.
[[noreturn]] void exitProcess(int32_t code);
