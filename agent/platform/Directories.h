#pragma once

#include "agent/support/YString.h"

#ifdef _WIN32
constexpr char pathSeparator = '\\';
#else
constexpr char pathSeparator = '/';
#endif

// The home directory of the process's user; "C:\" on Windows and "/" on Linux when it cannot be found.
YString getUserProfileDir();
// The machine-wide data directory that every user can reach: the environment's "ProgramData"; on Linux
// "/tmp" when that is not set, and on Windows then empty.
YString getProgramDataDir();
// The temporary directory, ending with a separator; empty on failure.
YString getTempDir();
// The current working directory; empty on failure.
YString getCurrentDir();
// The full path of the module that holds the agent's code; empty on failure.
YString getAgentLibraryPath();
