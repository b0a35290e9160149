#pragma once

#include <cstdint>

class ClassFile;
class MethodInfo;

// Prepares a parsed class for CPU tracing and allocation recording: chooses the methods worth
// instrumenting, adds the Callback class's methods to the pool and patches each chosen method, once more
// without line callbacks when it would grow too long. Runs under "ourLock" on the class road.

// True when at least one method was patched, and each patched method's record is marked instrumented for
// tracing. When a method stays too long even without line callbacks, `bytecodeTooLong` is set and false
// answered at once; the methods patched before it stay patched in the model, which the road then drops.
// With neither `allocation` nor `tracing` the class is not touched.
bool instrumentClass(ClassFile& classFile, bool& bytecodeTooLong, bool allocation, bool tracing);

// A method not worth the entry and exit calls: at most 32 code bytes, no backward branch, and none of the
// division opcodes or the opcodes from 168 up that call, create, throw, switch, jump to subroutines or
// lock (returns, field accesses, ARRAYLENGTH, CHECKCAST and INSTANCEOF are fine). `reason`, when given,
// says why: -1 every method is instrumented ("_instrument_all_methods"), -2 too long, -3 a backward
// branch, an opcode number for a refused opcode, 0 for a short method.
bool isShortMethod(const MethodInfo& method, int32_t* reason);

// Whether the debug category "bci" is on, read once per process.
bool logBci();
// The text goes to the log under "bci".
void logBciMessage(const char* text);
