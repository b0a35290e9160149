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

// The JVM's heap sampling sees an allocation only at its thread's sample point. The JVM places a thread's
// first point when it creates the thread, by the interval of that moment, and the next one after each
// sample; and it looks for the point only when an allocation buffer runs out, so that the rest of a buffer
// taken while sampling was off goes unseen. Both are put right before allocations are recorded.
// Sets the interval the starts use (the hidden option "_heap_sampling_interval", 0: every allocation); also
// as soon as the capability is taken, so that the threads created later, the main thread among them, take
// their first point by it rather than by the JVM's default of 512 KB. Threads that ran before an attach keep
// the point they have.
void setHeapSamplingInterval();
// After a start has enabled SampledObjectAlloc: a garbage collection retires every thread's allocation
// buffer, so that each thread's next allocation takes a new one, is sampled and places the next point.
void sampleFromNextAllocation();

// The frame identifier of the root frame "<Stack trace could not be retrieved>", made once. Runs under
// "ourLock".
int32_t getNoStackTraceFrame();

// The class identifier of a class: its tag in the allocation environment, else the identifier of its
// "<<init>>" pseudo-method record, made under "ourLock" and stored as the tag. `lockSite` names the call.
int32_t getAllocationClassId(jclass objectClass, const char* lockSite);
