#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

#include "agent/support/JvmtiUtils.h"

// The stacks of every thread from GetAllStackTraces on the main environment, at most `maxFrames` deep,
// leaf first. The threads' local references and the buffer are given back when the holder goes.
class AllStackTraces {
 public:
  static constexpr int32_t maxFrames = 10000;

  explicit AllStackTraces(JNIEnv* env) : env(env) { error = mainJvmti->GetAllStackTraces(maxFrames, &stacks, &count); }
  ~AllStackTraces() {
    if (error != JVMTI_ERROR_NONE || stacks == nullptr) return;
    for (jint i = 0; i < count; i++) env->DeleteLocalRef(stacks[i].thread);
    mainJvmti->Deallocate(reinterpret_cast<unsigned char*>(stacks));
  }
  AllStackTraces(const AllStackTraces&) = delete;
  AllStackTraces& operator=(const AllStackTraces&) = delete;

  JNIEnv* const env;
  jvmtiError error;
  jvmtiStackInfo* stacks = nullptr;
  jint count = 0;
};
