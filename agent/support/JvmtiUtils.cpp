#include "agent/support/JvmtiUtils.h"

#include <atomic>

#include "agent/support/FatalError.h"
#include "agent/support/Log.h"

jvmtiEnv* mainJvmti = nullptr;

YString jvmtiErrorText(jvmtiEnv* jvmti, jvmtiError error) {
  YString text{int64_t(int32_t(error))};
  text.append(":");
  char* name = nullptr;
  if (jvmti != nullptr && jvmti->GetErrorName(error, &name) != JVMTI_ERROR_NONE) name = nullptr;
  text.append(name != nullptr ? name : "<null>");
  if (name != nullptr) jvmti->Deallocate(reinterpret_cast<unsigned char*>(name));
  return text;
}

void checkJvmtiError(jvmtiError error, const char* file, int32_t line) {
  if (error == JVMTI_ERROR_NONE) return;
  jvmtiPhase phase = JVMTI_PHASE_LIVE;
  if (error == JVMTI_ERROR_WRONG_PHASE && mainJvmti != nullptr && mainJvmti->GetPhase(&phase) == JVMTI_ERROR_NONE &&
      phase == JVMTI_PHASE_DEAD) {
    YString message("JVMTI call at ");
    message.append(file);
    message.append(":");
    message.appendLong(line);
    message.append(" refused: the JVM has ended");
    logMessage(message);
    throw JvmEndedException();
  }
  YString message("ERROR: JVMTI error ");
  message.append(jvmtiErrorText(mainJvmti, error));
  message.append(" at ");
  message.append(file);
  message.append(":");
  message.appendLong(line);
  fatalError(message.data, "JvmtiUtils", __LINE__);
}

unsigned char* jvmtiAllocate(int64_t size) {
  unsigned char* memory = nullptr;
  checkJvmtiError(mainJvmti->Allocate(size, &memory), "JvmtiUtils", __LINE__);
  return memory;
}

void jvmtiDeallocate(void* memory) {
  checkJvmtiError(mainJvmti->Deallocate(static_cast<unsigned char*>(memory)), "JvmtiUtils", __LINE__);
}

jvmtiPhase phaseUntilLive() {
  static std::atomic<bool> liveSeen{false};
  if (liveSeen.load(std::memory_order_acquire)) return JVMTI_PHASE_LIVE;
  jvmtiPhase phase = JVMTI_PHASE_DEAD;
  if (mainJvmti->GetPhase(&phase) != JVMTI_ERROR_NONE) return JVMTI_PHASE_DEAD;
  if (phase == JVMTI_PHASE_LIVE) liveSeen.store(true, std::memory_order_release);
  return phase;
}

JvmtiText::~JvmtiText() {
  if (text != nullptr) mainJvmti->Deallocate(reinterpret_cast<unsigned char*>(text));
}

namespace {

thread_local bool heapPassRuns = false;

}  // namespace

jvmtiError iterateOverHeap(jvmtiEnv* jvmti, jvmtiHeapObjectCallback callback, const void* userData) {
  const bool outer = !heapPassRuns;
  heapPassRuns = true;
  const jvmtiError error = jvmti->IterateOverHeap(JVMTI_HEAP_OBJECT_EITHER, callback, userData);
  if (outer) heapPassRuns = false;
  return error;
}

bool inHeapPass() { return heapPassRuns; }
