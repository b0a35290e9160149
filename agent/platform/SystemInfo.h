#pragma once

#include <cstdint>

#include "agent/support/YString.h"

// The version of the operating system, read once for the process. On Windows these are the fields of
// the NT version record (the kernel32.dll product version overriding what GetVersionExA admits to); on
// Linux major, minor and build are the numbers of the kernel release and the platform identifier is 0.
struct WindowsVersion {
  uint32_t platformId;
  uint32_t major;
  uint32_t minor;
  uint32_t build;
  bool isWorkstation;
};

void getWindowsVersion(WindowsVersion& version);
// The process-wide record, filled on first use.
const WindowsVersion& windowsVersion();
// "<major>.<minor>.<build>".
YString versionNumbersText(const WindowsVersion& version);

// "win64" or "linux64": the name under which the agent reports its platform.
const char* getPlatformDirName();
bool is64BitMachine();
// The product name ("Windows 10", "Debian GNU/Linux 12 (bookworm)").
YString getOsDisplayName();
// Major.minor.build on Windows; the kernel release ("6.1.0-18-amd64") on Linux.
YString getWindowsVersionText();
#ifdef _WIN32
// The Windows product name of a version record, "Windows (<version text>)" outside the known ones.
YString windowsProductName(const WindowsVersion& version);
#endif

// The computer's DNS host name; empty on failure.
YString getComputerName();
// The user name of the process; empty on failure.
YString getUserName();
// The runtime library's message for an errno value; empty when it has none.
YString getRuntimeErrorMessage(int32_t errorNumber);

// Total physical memory in bytes; 0 on failure.
int64_t getSystemPhysicalMemorySize();
// Committed (private) memory of the own process in bytes; -1 on failure.
int64_t getProcessMemoryUsage();
// Working set (resident memory) of the own process in bytes; -1 on failure.
int64_t getProcessPhysicalMemoryUsage();
