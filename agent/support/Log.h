#pragma once

#include <cstdint>
#include <cstdio>

#include "agent/support/YString.h"

// The agent log: one plain-text file per process, opened by the first entry, with a header describing
// the process and the machine. Every entry is one line (or one multi-line text) behind the prefix
// "21.6-257 <s>.<mmm>: ". Without a file, entries go to the standard error stream unless quiet.

// Writes one entry; with `alsoTo` (the standard output or error stream) a copy goes there too unless
// quiet. An empty message writes nothing and does not open the log.
void logMessage(const YString& message, FILE* alsoTo = nullptr);
// Writes the text as one log-style line (prefix and console conversion included) to a standard stream,
// whatever the log's own settings.
void writeLogLine(FILE* stream, const YString& text);

// Settings the start-up options give before the log is opened for good. Set them on one thread before
// any other thread logs; requestLogReopen makes the next entry open the log under them.
void setLogDirectory(const YString& directory);  // "logdir"; empty for the settings directory's "log"
void setLogQuiet(bool quiet);                      // "quiet": no console notices and no console copies
void setLogProcessList(bool enabled);              // "_ps": the header lists every process
void setUnitedLog(bool united);                    // "united_log"
void setLogSystemTime(bool enabled);               // "log_sys_time": the prefix carries the local time
void setLogFileSizeLimit(int32_t bytes);           // "log_file_size_limit" of a united-log file
void setLogSessionName(const YString& name);       // the name in the log file's name
void setRawConsole(bool raw);                      // console text is written as UTF-8, unconverted
void requestLogReopen();

// The name in the log file's name: the one set, else what the installed source names (the agent core
// installs the session name of the own command line), else "unknown".
YString getLogSessionName();
void setLogSessionNameSource(YString (*source)());
// The full path of the log file last chosen; empty before the first opening.
YString getLogFilePath();
// Each byte below 32 and each of \ / < > | " : ? * becomes "-".
YString sanitizeFileName(const YString& text);
// "DebugPS: <n> processes:\n" and one line per process, sorted by identifier; "* " marks the own one.
YString logProcessList();

// Where entries go instead of every other output while set; tests read the log through it. Returns the
// sink it replaces (null for none).
using LogSink = void (*)(const YString& entry);
LogSink setLogSink(LogSink sink);
