#pragma once

#include <cstdint>

#include "agent/classfile/ClassFile.h"
#include "agent/probes/ProbeRegistry.h"
#include "agent/support/YVector.h"

// Weaves the callbacks of `probe` into the methods of `classFile` that one of the `included` pattern
// numbers selects and none of the `excluded` ones does (the transformer sorts the probe's accepted class
// patterns into the two lists by their negated flag). Each woven method gets its onEnter block, a return
// block before every return and a catch-all handler block, and its method record flag 0x10; a method that
// cannot be woven keeps its code, and the reason is logged. True when some method was woven. Runs under
// the transformer's lock, with the registry lock held by the caller.
bool instrumentMethodWithProbe(ClassFile& classFile, const ProbeDescriptor& probe, const YVector<int32_t>& included,
                               const YVector<int32_t>& excluded);
