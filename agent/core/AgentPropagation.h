#pragma once

#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// Java processes that the profiled application starts are profiled too: JAVA_TOOL_OPTIONS, which every
// JVM reads, gets "-agentlib:tallyscope=<the agent's options>", and the library search path variable
// (PATH on Windows, LD_LIBRARY_PATH on Linux) gets the directories of the 32-bit and the 64-bit agent
// library, so that a child JVM finds the library the option names. The state behind this is computed
// once per process, on the first call of any operation here; later changes of the two variables by
// others are not seen.

// Computes the agent directories and the user's own tool options, and puts the directories in front of
// the library search path. Does its work on the first call only.
void prepareAgentPropagation();

// JAVA_TOOL_OPTIONS := the agent option for `optionString`, a blank, the user's own tool options.
// Nothing happens when the agent directories are unknown, or when the options hold a double quote,
// which would end the quoted agent option early in the child's JAVA_TOOL_OPTIONS (a warning says so).
void setJavaToolOptionsWithAgent(const YString& optionString);
// JAVA_TOOL_OPTIONS := the user's own tool options, those loading this agent left out. Nothing happens
// when the agent directories are unknown.
void setJavaToolOptionsWithoutAgent();
// Appends the library search path variable's name, the agent directories, "JAVA_TOOL_OPTIONS" and the
// agent option, for the Java side to start processes with; nothing when the directories are unknown or
// the options hold a double quote.
void getTsEnvKeysAndValues(const YString& optionString, YVector<YString>& out);

// The agent directories of the library at `libraryPath`: the library must be the agent's own file
// ("tallyscope.dll" on Windows, "libtallyscope.so" on Linux, either in any letter case) in a directory
// named "32" or "64"; the result names that directory and its sibling of the other width, the 32-bit
// one first. Empty, with a warning, for any other path.
YString getTsAgentLibraryDirs(const YString& libraryPath);
// The same for the agent library itself.
YString getTsAgentLibraryDirs();

// "\"-agentlib:tallyscope=" + the options, unchanged, + "\"".
YString buildAgentLibOption(const YString& optionString);

// Appends the text's blank-separated tokens. A single or double quote opens a quote that only the same
// character closes; blanks inside a quote belong to the token, and quote characters stay in it.
void splitAtSpaces(const YString& text, YVector<YString>& out);

// Tests only: forgets the prepared state, so that the next operation prepares again, and makes that
// preparation take `libraryPath` for the agent library's path (a test binary is not the agent library).
// An empty path goes back to the library's own.
void restartAgentPropagationForTest(const YString& libraryPath);
