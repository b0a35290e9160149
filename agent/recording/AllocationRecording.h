#pragma once

#include <jni.h>

#include <cstdint>

// The one entry of allocation recording. Instrumented allocations (bzpInit0), the JVM's own allocations
// (VMObjectAlloc), heap samples (SampledObjectAlloc) and the redirected JNI object-creating functions all
// come here. In the counting mode it counts the object at its allocation point; in the recording mode it
// samples the object by size and by the thread's countdown, finds its site and class, registers it with
// the object enumerator and appends the allocation record to the thread's event buffer.
// The native bzpInit0 (agent/natives/AllocationNatives.cpp) and the JNI wrappers
// (agent/instrumentation/JniRedirection.cpp) call in here.

// Records `object` allocated on the calling thread. `objectClass` may be null (looked up), `size` 0
// (looked up), `cachedNode` is the site node the caller kept from an earlier answer (0 or -1 none),
// `classId` 0 asks for the class's own identifier, `line` is the line of the allocation. Answers the
// site node found when the stack was captured here, 0 in the counting mode and in refused phases, and
// otherwise the cached node unchanged.
int32_t recordAllocation(JNIEnv* env, jobject object, jclass objectClass, int64_t size, int32_t cachedNode,
                         int32_t classId, int32_t line);

// The VMObjectAlloc handler's work: the object is recorded without a cached node, and the answer dropped.
void onVMObjectAlloc(JNIEnv* env, jobject object);
// The SampledObjectAlloc handler's work: the sampled object with the class and size the JVM reports.
void onSampledObjectAlloc(JNIEnv* env, jobject object, jclass objectClass, int64_t size);

// The frame identifier of the root frame "<Stack trace could not be retrieved>", made once. Runs under
// "ourLock".
int32_t getNoStackTraceFrame();

// The class identifier of a class: its tag in the allocation environment, else the identifier of its
// "<<init>>" pseudo-method record, made under "ourLock" and stored as the tag. `lockSite` names the call.
int32_t getAllocationClassId(jclass objectClass, const char* lockSite);
