#pragma once

#include <cstdint>

#include "agent/support/BZPRuntimeException.h"

template <class T>
class YStringImpl;
using YString = YStringImpl<char>;

// Reports a broken invariant and unwinds to the nearest native entry point: one log entry "error at
// <file>:<line>: <message>" with the native stack of the calling thread, then BZPRuntimeException.
// `file` is the bare source name callers use in their messages ("YString", "YMap"), `line` their line.
[[noreturn]] void fatalError(const char* message, const char* file, int32_t line);
[[noreturn]] void assertionFailed(const char* message, const char* file, int32_t line);

// Appends the calling thread's native stack, innermost frame first and at most 60 frames: per frame a
// newline, four blanks and its entry (nativeFrameEntry).
void captureNativeStackTrace(YString& text);
// "[<module path>+0x<offset>]" with the offset in 16 upper-case hexadecimal digits, or the bare address
// in that form when no loaded module holds it.
YString nativeFrameEntry(const void* address);

// Logs "Stack dump", ": <title>" when there is a title, and the native stack.
void logStackDump(const char* title);
// Logs "[m: <committed MB> <working set MB>] <message>", "?" for a figure that cannot be had.
void logWithMemoryUsage(const YString& message);

// The body of every catch handler of a native entry point: logs where the exception was caught and,
// when "_exit_on_exception" was given, ends the process with exit code 1.
void onExceptionCaught(const char* file, int32_t line);
void setExitOnException(bool exit);
