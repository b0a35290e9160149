#pragma once

#include <cstdio>

#include "agent/support/YString.h"

// Writes one entry to the agent log; with `alsoTo` (the standard output or error stream) a copy goes
// there too. An empty message writes nothing.
void logMessage(const YString& message, FILE* alsoTo = nullptr);

// Where entries go instead of every other output while set; tests read the log through it. Returns the
// sink it replaces (null for none).
using LogSink = void (*)(const YString& entry);
LogSink setLogSink(LogSink sink);
