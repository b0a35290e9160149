#include "agent/support/FatalError.h"

#include <atomic>
#include <cstdio>

#include "agent/platform/NativeStack.h"
#include "agent/platform/Processes.h"
#include "agent/platform/SystemInfo.h"
#include "agent/support/Log.h"
#include "agent/support/YString.h"

static constexpr int32_t maxStackFrames = 60;

static std::atomic<bool> exitOnException{false};

void setExitOnException(bool exit) { exitOnException.store(exit); }

void fatalError(const char* message, const char* file, int32_t line) {
  YString text("error at ");
  text.append(file);
  text.append(":");
  text.appendLong(line);
  text.append(": ");
  text.append(message);
  captureNativeStackTrace(text);
  logMessage(text);
  throw BZPRuntimeException();
}

void assertionFailed(const char* message, const char* file, int32_t line) { fatalError(message, file, line); }

YString nativeFrameEntry(const void* address) {
  YString modulePath;
  uint64_t moduleBase = 0;
  findModuleOfAddress(address, modulePath, moduleBase);
  const uint64_t absolute = reinterpret_cast<uintptr_t>(address);
  if (modulePath.length == 0) return toHex(int64_t(absolute), 16);
  YString entry("[");
  entry.append(modulePath);
  entry.append("+0x");
  entry.append(toHex(int64_t(absolute - moduleBase), 16));
  entry.append("]");
  return entry;
}

void captureNativeStackTrace(YString& text) {
  void* addresses[maxStackFrames];
  const int32_t count = captureReturnAddresses(addresses, maxStackFrames);
  for (int32_t i = 0; i < count; i++) {
    text.append("\n    ");
    text.append(nativeFrameEntry(addresses[i]));
  }
}

void logStackDump(const char* title) {
  YString text("Stack dump");
  if (title != nullptr && title[0] != 0) {
    text.append(": ");
    text.append(title);
  }
  captureNativeStackTrace(text);
  logMessage(text);
}

static YString megabytesOrUnknown(int64_t bytes) {
  return bytes < 0 ? YString("?") : YString(bytes / 1048576);
}

void logWithMemoryUsage(const YString& message) {
  YString text("[m: ");
  text.append(megabytesOrUnknown(getProcessMemoryUsage()));
  text.append(" ");
  text.append(megabytesOrUnknown(getProcessPhysicalMemoryUsage()));
  text.append("] ");
  text.append(message);
  logMessage(text);
}

void onExceptionCaught(const char* file, int32_t line) {
  YString text("error: exception caught at ");
  text.append(file);
  text.append(":");
  text.appendLong(line);
  logWithMemoryUsage(text);
  if (!exitOnException.load()) return;
  logWithMemoryUsage(YString("error: exiting immediately due to _exit_on_exception"));
  // Other threads may be inside agent code: no exit handler or static destructor may run under them.
  std::fflush(nullptr);
  exitProcessImmediately(1);
}
