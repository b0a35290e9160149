#pragma once

#include <cstdint>

#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// Ends the own process at once with `exitCode`: no exit handlers, no static destructors, no module
// detach routines run, since other threads may still be inside agent code.
[[noreturn]] void exitProcessImmediately(int32_t exitCode);

// The own process identifier, read once.
uint32_t getOwnPid();

// Append the arguments of a process, its executable first. A process whose arguments cannot be read
// gives only its executable path, and one that does not exist (or has ended) gives nothing.
void getOwnCommandLine(YVector<YString>& arguments);
void getCommandLineByPid(YVector<YString>& arguments, uint32_t pid);

// The full path of the process's executable. When the path cannot be read it is the bare executable
// name; empty when the process does not exist.
YString getProcessPathByPid(uint32_t pid);

// Appends the identifier of every running process, the own one included; false when they cannot be
// listed at all.
bool getAllPids(YVector<uint32_t>& pids);

// Whether a process with the identifier runs (a process this one may not inspect counts as running).
bool isProcessRunning(uint32_t pid);

// Appends the identifiers of the other running processes with a special Java process name. A null
// vector is a broken invariant.
void getSpecialJavaPids(YVector<uint32_t>* pids);
// Whether an executable name, compared in lower case, is "java.exe", "javaw.exe", "wasservice.exe" or
// "tomcat" + anything + ".exe". Linux executables carry no extension, so there the base name with
// ".exe" appended is what is compared.
bool isSpecialJavaProcessName(const YString& executableName);

// The account name of the user that owns the process, without a domain; empty on failure.
YString getProcessOwnerByPid(uint32_t pid);

#ifdef _WIN32
// The raw command line of another process, read from its memory; empty on failure.
YWideString getOtherProcessCommandLine(uint32_t pid);
// Splits a raw command line into arguments. When the line begins with the executable path, the path is
// the first argument even if it holds blanks and is not quoted.
void splitCommandLine(YVector<YString>& arguments, const YString& commandLine, const YString& executablePath);
// Turns an image path beginning with a device name ("\Device\HarddiskVolume3\...") into a drive path
// ("D:\..."). `deviceNames` holds the device of each drive letter from C to Z, empty for a letter
// without one. The path comes back unchanged when no device matches.
YString drivePathOf(const YString& devicePath, const YString* deviceNames);
#endif
