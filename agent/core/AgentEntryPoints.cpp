#include <jvmti.h>

#include <new>

#include "agent/core/AgentFlags.h"
#include "agent/core/AgentLoad.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/core/JvmtiEvents.h"
#include "agent/core/OptionString.h"
#include "agent/core/Options.h"
#include "agent/support/FatalError.h"
#include "agent/support/Log.h"

// The JVMTI entry points. Nothing thrown inside start-up leaves them: a broken invariant or exhausted
// memory counts as a failed start, and the JVM runs on without the agent.

namespace {

void logEntry(const char* entry, const YString& given, const YString& full) {
  logMessage(YString(entry) + ": orig_options=" + given + "\n  full_options=" + full);
}

int32_t guardedLoad(JavaVM* vm, const YString& options) {
  try {
    return agentLoadImpl(vm, options);
  } catch (const BZPRuntimeException&) {
    onExceptionCaught("AgentEntryPoints", __LINE__);
  } catch (const std::bad_alloc&) {
    logMessage("error: out of memory during start-up");
    onExceptionCaught("AgentEntryPoints", __LINE__);
  }
  return LOAD_FATAL_ERROR;
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL Agent_OnLoad(JavaVM* vm, char* options, void*) {
  try {
    const YString given(options != nullptr ? options : "");
    const YString full = readStartupOptionsFromEnvironment(given);
    globalOptions().parseLogOptions(full);
    logEntry("Agent_OnLoad", given, full);
    const int32_t result = guardedLoad(vm, full);
    if (result != LOAD_OK) {
      YString line("Failed agentLoadImpl; returnCode=");
      line.appendLong(result);
      logMessage(line);
      // Events enabled before the failure would reach code that was never set up.
      if (mainJvmti != nullptr) disarmJvmtiEvents();
    }
  } catch (...) {
    // Not even the log could be set up; the JVM runs on without the agent.
  }
  return 0;
}

extern "C" JNIEXPORT jint JNICALL Agent_OnAttach(JavaVM* vm, char* options, void*) {
  try {
    const YString given(options != nullptr ? options : "");
    const YString full = readStartupOptionsFromEnvironment(given);
    const bool loaded = mainJvmti != nullptr;
    if (!loaded) globalOptions().parseLogOptions(full);
    logEntry("Agent_OnAttach", given, full);
    // A running agent keeps its mode: a second attach only learns that it is there.
    if (!loaded) agentFlags |= AGENT_ATTACH_MODE;
    const int32_t result = guardedLoad(vm, full);
    if (result != LOAD_OK) disposeJvmtiEnvironments();
    return result;
  } catch (...) {
    return LOAD_FATAL_ERROR;
  }
}

extern "C" JNIEXPORT void JNICALL Agent_OnUnload(JavaVM*) {}
