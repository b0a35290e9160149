#pragma once

#include <cstdint>

// The frame tree kept in the "frame" table: frame 0 is the root, every other frame a (parent, code-point
// key) pair. A code-point key is a method id (bit 31 clear), 0xC0000000 | line << 19 | method for small
// methods and lines, or 0x80000000 | the "code_point" row of the (method, line) pair. Everything runs
// under "ourLock"; fatal "db is NULL" without a database, and a negative frame or decoded method id is
// fatal too.

// The method id a key was made from; 0 for a pair row that does not exist.
int32_t getCodePointMethod(int32_t key);
// The method of the frame's key; 0 for a frame that does not exist.
int32_t getFrameMethod(int32_t frameId);
// The frame an event reports: from the frame towards the root, the first frame above the first run of
// frames whose methods have flag 0x40 (probe code); 0 when that run reaches the root, the frame itself
// when no such method is on its stack, and 0 for frames below 1.
int32_t getOuterFrameOfMarkedRun(int32_t frameId);
