#pragma once

#include <jni.h>

#include <cstdint>

// The flag bits of a "method" record.
enum MethodFlag : int32_t {
  methodLeftOutOfStacks = 0x1,  // the agent's own code: never part of a recorded stack
  methodWallTime = 0x4,         // sampled and traced time uses the wall clock
  methodProbeInstrumented = 0x10,
  methodProbeCallback = 0x40,   // the callbacks of probes, which event rows pass over
  methodTraced = 0x80,          // instrumented for CPU tracing
  methodAllWallTime = 0x100,    // every method counted as a wall-time method at the last filter update
  methodAdaptiveExcluded = 0x200,
  methodAdaptiveCalleeExcluded = 0x400,
  methodNative = 0x800,
  methodNeverExcluded = 0x1000,  // never excluded by the adaptive tracing filter
};

// The method id of a method: the row of its "method" record, found by the string ids of its five name
// parts and made when missing. Ids are handed out in blocks of 4096, the allocation pseudo-methods
// ("<<init>>") from blocks of their own; id 0 never names a method. A new record's flags follow its
// class and name, its native flag and the wall-time filters; the native flag is not part of the key.
// Runs under "ourLock"; fatal "db is NULL" without a database.
int32_t getOrCreateMethod(const char* className, const char* methodName, const char* parameters,
                          const char* returnType, const char* sourceFile, bool isNative);

// The allocation pseudo-method of the class (its Java name): getOrCreateMethod(className, "<<init>>",
// "()", "void", "", false), with the shared texts looked up once.
int32_t getOrCreateAllocationMethod(const char* className);

// The parts of a method's key that every method of one class shares, their string ids looked up once for
// all of them. Good while the string pool is not collected, which never happens under one hold of
// "ourLock" that makes no snapshot and ends no thread.
struct MethodOwner {
  const char* className;
  int32_t classNameId;
  int32_t sourceFileId;
};
MethodOwner getMethodOwner(const char* className, const char* sourceFile);
// getOrCreateMethod for a method of that class.
int32_t getOrCreateMethod(const MethodOwner& owner, const char* methodName, const char* parameters,
                          const char* returnType, bool isNative);

// The flags of the method's record, 0 for a record not made. Needs no lock: a record's flags are one
// word, and its row never moves once made.
int32_t getMethodFlags(int32_t methodId);

// Sets the flag bits of the method's record, stamping it when that changes it. Runs under "ourLock".
void setMethodFlags(int32_t methodId, int32_t flags);
// Clears the flag bits of the method's record, stamping it when that changes it. Runs under "ourLock".
void clearMethodFlags(int32_t methodId, int32_t flags);

// The method id of a JVM method, its record made from what JVMTI tells of it on first request: the
// declaring class's Java name (a lambda class's hidden-name suffix "." and digits cut off), the name,
// the parameter list and return type of its descriptor, the source file and the native flag. Queries
// that fail give "<unknown>", "()" and empty texts. Runs under "ourLock"; a null method is fatal.
int32_t getMethodIdOfJMethod(JNIEnv* env, jmethodID method);

// The source line of a bytecode location of the method (`methodId` being its id): that of the line
// table's entry with the greatest start at or before the location, 0 when none starts there or before,
// when the method has no table and for a negative location. Remembered per (method, location). Runs
// under "ourLock".
int32_t getLineOfLocation(jmethodID method, int32_t methodId, int64_t location);

// A bytecode location of a method: the key of the line caches.
struct MethodLocation {
  int32_t methodId;
  int64_t location;
};

// The method id plus the location's low 32 bits.
inline int32_t keyHash(const MethodLocation& key) {
  return int32_t((uint32_t(key.methodId) + uint32_t(uint64_t(key.location))) & 0x7fffffffu);
}
inline bool keysEqual(const MethodLocation& a, const MethodLocation& b) {
  return a.methodId == b.methodId && a.location == b.location;
}

// Forgets every method id, for a test that makes a fresh database.
void resetMethodStore();
