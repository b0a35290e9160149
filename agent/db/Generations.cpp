#include "agent/db/Generations.h"

#include <jvmti.h>

#include "agent/core/JavaVersion.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/db/DB.h"
#include "agent/support/FatalError.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Stopwatch.h"

namespace {

int32_t currentGeneration = 0;

// The generation in the high half of a tag that has none, the low half kept.
jlong withGeneration(jlong tag, int32_t generation) {
  const uint64_t bits = static_cast<uint64_t>(tag);
  if ((bits >> 32) != 0) return tag;
  return static_cast<jlong>(uint64_t(uint32_t(generation)) << 32 | bits);
}

jvmtiIterationControl JNICALL tagObjectWithGeneration(jlong, jlong, jlong* tag, void* generation) {
  *tag = withGeneration(*tag, *static_cast<const int32_t*>(generation));
  return JVMTI_ITERATION_CONTINUE;
}

// IBM JVMs leave classes out of the heap iteration.
void tagLoadedClasses(JNIEnv* env, int32_t generation) {
  jint count = 0;
  jclass* classes = nullptr;
  checkJvmtiError(mainJvmti->GetLoadedClasses(&count, &classes), "DB", 1305);
  for (jint i = 0; i < count; i++) {
    jlong tag = 0;
    checkJvmtiError(mainJvmti->GetTag(classes[i], &tag), "DB", 1309);
    const jlong tagged = withGeneration(tag, generation);
    if (tagged != tag) checkJvmtiError(mainJvmti->SetTag(classes[i], tagged), "DB", 1312);
    env->DeleteLocalRef(classes[i]);
  }
  jvmtiDeallocate(classes);
}

}  // namespace

int32_t getCurrentGeneration() { return currentGeneration; }

void startGeneration(const YCriticalSectionLock&, JNIEnv* env, const char* description) {
  DB& database = requireDatabase();
  const int32_t id = database.generations.ids.allocate();
  if (id < 0) assertionFailed("assertion failed", "DB", 1284);
  currentGeneration = id;
  GenerationRecord& row = *database.generations.getRow(id, true);
  row.nameId = getStringId(description);
  row.time = stopwatchElapsedMs(agentUptimeStopwatch());
  row.stamp = database.currentStamp;
  checkJvmtiError(iterateOverHeap(mainJvmti, tagObjectWithGeneration, &currentGeneration), "DB", 1297);
  if (ourIsIbm) tagLoadedClasses(env, currentGeneration);
}

void resetCurrentGenerationForTest() { currentGeneration = 0; }
