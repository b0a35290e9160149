#pragma once

#include <atomic>
#include <cstdint>

#include "agent/support/YString.h"

// The one call tree of every recorded stack, kept in the "frame" table: frame 0 is the root, every
// other frame a (parent, code-point key) pair (CodePointKey.h) with ids from 1, never removed. A parent
// has at most one child per key; its children are linked in creation order. Every change stamps the
// rows it touches with the current generation, so that a writer of the rows changed since a generation
// sends every changed link. Everything runs under "ourLock"; fatal "db is NULL" without a database, and
// a negative frame, row or decoded method id is fatal too.

// The child of `parent` for (method, line), made when missing.
int32_t getOrCreateChildFrame(int32_t parent, int32_t methodId, int32_t line);
// The child of `parent` with the key, made when missing.
int32_t getOrCreateChildFrameByKey(int32_t parent, int32_t key);
// A new frame {parent, key} with no children, the parent stamped; linking it is the caller's.
int32_t appendChildFrame(int32_t parent, int32_t key);
// The root's child for a pseudo-method (no class, "()", "void") that stands for a stack no Java stack
// tells, such as "<Stack trace could not be retrieved>". Made on first use, under "ourLock" taken at
// `site`, and kept in `cache` (-1 until then), so that later callers take no lock.
int32_t getOrCreatePseudoRootFrame(std::atomic<int32_t>& cache, const char* methodName, const char* site);

// The method id a key was made from; 0 for a pair row that does not exist.
int32_t getCodePointMethod(int32_t key);
// The method of the frame's key; 0 for a frame that does not exist.
int32_t getFrameMethod(int32_t frameId);
// Whether a proper ancestor of the frame runs the frame's method: the recursion test of the adaptive
// tracing filter. False for frames below 1.
bool frameHasAncestorWithSameMethod(int32_t frameId);
// The frame an event reports: from the frame towards the root, the first frame above the first run of
// frames whose methods have flag 0x40 (probe code); 0 when that run reaches the root, the frame itself
// when no such method is on its stack, and 0 for frames below 1.
int32_t getOuterFrameOfMarkedRun(int32_t frameId);

// "stack for frame <id>:\n", a line " #<method> <class>.<name><parameters>\n" per frame from the given
// one up to the root, then "\n".
YString dumpFrameStack(int32_t frameId);
// "method #<id>: <class>.<name><parameters>", with "<no class>", "<no name>" and "<no params>" for texts
// that are absent.
YString dumpMethod(int32_t methodId);
YString dumpFrameMethod(int32_t frameId);
