// A second JVMTI agent and JNI library beside the agent under test, for the tests of allocation recording:
// - "-agentpath:<this>=holdsampling", given before the agent, takes the JVM's heap sampling capability, which only
//   one environment may hold, so that the agent records allocations through instrumentation;
// - loaded with System.load, it gives class Allocations natives that allocate through JNI, and class KnownHeap
//   one that holds an object by a JNI global reference.

#include <jni.h>
#include <jvmti.h>

#include <cstring>

extern "C" JNIEXPORT jint JNICALL Agent_OnLoad(JavaVM* vm, char* options, void*) {
  jvmtiEnv* jvmti = nullptr;
  if (options == nullptr || std::strcmp(options, "holdsampling") != 0) return JNI_ERR;
  if (vm->GetEnv(reinterpret_cast<void**>(&jvmti), JVMTI_VERSION_11) != JNI_OK) return JNI_ERR;
  jvmtiCapabilities wanted{};
  wanted.can_generate_sampled_object_alloc_events = 1;
  return jvmti->AddCapabilities(&wanted) == JVMTI_ERROR_NONE ? JNI_OK : JNI_ERR;
}

// new Allocations.Item(value) through the varargs NewObject.
extern "C" JNIEXPORT jobject JNICALL Java_Allocations_jniNewItem(JNIEnv* env, jclass, jclass item, jlong value) {
  const jmethodID constructor = env->GetMethodID(item, "<init>", "(J)V");
  if (constructor == nullptr) return nullptr;
  return env->NewObject(item, constructor, value);
}

extern "C" JNIEXPORT jobjectArray JNICALL Java_Allocations_jniNewObjectArray(JNIEnv* env, jclass, jclass element,
                                                                             jint length) {
  return env->NewObjectArray(length, element, nullptr);
}

// NewIntArray; for a negative length its exception stays pending for the caller.
extern "C" JNIEXPORT jintArray JNICALL Java_Allocations_jniNewIntArray(JNIEnv* env, jclass, jint length) {
  return env->NewIntArray(length);
}

// Keeps the object alive through a JNI global reference that is never deleted.
extern "C" JNIEXPORT void JNICALL Java_KnownHeap_holdGlobal(JNIEnv* env, jclass, jobject object) {
  env->NewGlobalRef(object);
}
