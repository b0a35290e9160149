#pragma once

#include <cstdint>

class AllocationMethodIds;
class ClassFile;
class MethodInfo;

// Rewrites one method so that it calls the agent: the entry call at its start, the exit call before every
// return, the line call before every call instruction and the allocation call after every object or array
// creation, each as the block of InstructionEmitters.h. One scan of the old code records the points and
// the old-to-new position map; then the new code is written in one pass and every branch, handler, line,
// local-variable range and stack-map frame follows the map.
//
// `methodId` is the method's record, `entryRef` .. `initRef` the pool indices of the Callback methods
// (`lineRef` -1: no line callbacks), `allocation` and `tracing` what may be recorded. True when the code
// was replaced; false, with the method exactly as it was, when the code would reach 65536 bytes or a
// two-byte branch would no longer fit. Malformed code is a fatal error naming "Patchers"; the road then
// leaves the whole class as it was. `allocationIds`, when given, remembers the allocation points' ids for
// the other methods of the class. Runs under "ourLock".
bool patchMethod(int32_t methodId, ClassFile& classFile, MethodInfo* method, int32_t entryRef, int32_t exitRef,
                 int32_t lineRef, int32_t initRef, bool allocation, bool tracing,
                 AllocationMethodIds* allocationIds = nullptr);
