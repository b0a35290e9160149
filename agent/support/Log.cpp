#include "agent/support/Log.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "agent/platform/Clocks.h"
#include "agent/platform/Console.h"
#include "agent/platform/Directories.h"
#include "agent/platform/Environment.h"
#include "agent/platform/Files.h"
#include "agent/platform/Processes.h"
#include "agent/platform/SystemInfo.h"
#include "agent/platform/YCriticalSection.h"
#include "agent/support/AgentDirectories.h"
#include "agent/support/FileUtils.h"
#include "agent/support/Formatting.h"
#include "agent/support/Stopwatch.h"

namespace {

// Constant-initialised, so that a source installed while static objects are made is never overwritten.
std::atomic<YString (*)()>& sessionNameSource() {
  static std::atomic<YString (*)()> source{nullptr};
  return source;
}

constexpr int32_t defaultSizeLimit = 1048576;
// A united-log directory full of oversized or unwritable files must not keep the search going forever.
constexpr int32_t maxUnitedLogAttempts = 1000;

// Everything the log keeps between entries. One re-entrant lock guards all of it: it serialises whole
// lines as well as opening and moving the file, so no thread writes into a stream that another closes.
// Re-entrant because opening writes the header through logMessage on the same thread.
struct LogState {
  YCriticalSection lock{"logLock"};
  FILE* stream = nullptr;
  bool opened = false;
  bool opening = false;  // the header is being written: its entries never start another opening
  bool united = false;
  int32_t stdErrOnly = -1;  // decided at the first entry
  YString path;
  int64_t headerBytes = 0;  // what the last opening wrote into the file before the first entry
  YString sessionName;

  YString directory;
  bool quiet = false;
  bool processList = false;
  bool unitedOption = false;
  bool systemTime = false;
  int32_t sizeLimit = defaultSizeLimit;
  bool rawConsole = false;
};

// Never destroyed: threads may still log while the process exits.
LogState& logState() {
  static LogState* const state = new LogState();
  return *state;
}

std::atomic<LogSink> logSink{nullptr};

bool computeStdErrOnly() {
  YVector<YString> arguments;
  getOwnCommandLine(arguments);
  for (int32_t i = 0; i < arguments.size; i++) {
    if (arguments[i].equals("-Dbq.logger.stdErrOnly=true") || arguments[i].equals("-host-server")) return true;
  }
  return false;
}

// Zero bytes and the modified-UTF-8 zero C0 80 show as "."; the rest in the console's encoding.
YString consoleText(const YString& text, bool raw) {
  YString shown;
  bool wide = false;
  for (int32_t i = 0; i < text.length; i++) {
    const unsigned char c = static_cast<unsigned char>(text.data[i]);
    if (c == 0xC0 && i + 1 < text.length && static_cast<unsigned char>(text.data[i + 1]) == 0x80) {
      shown.append('.');
      i++;
    } else {
      shown.append(c == 0 ? '.' : char(c));
      wide = wide || c >= 0x80;
    }
  }
  return wide && !raw ? toConsoleEncoding(shown) : shown;
}

void writeLine(const LogState& log, FILE* stream, int64_t elapsedMs, const YString& text) {
  const bool console = stream == stdout || stream == stderr;
  const YString suffix = log.systemTime ? YString(" ") + formatLocalTimeOfDay() : YString();
  const int64_t seconds = elapsedMs / 1000;
  YString line;
  if (log.united && !console) {
    line.appendLong(getOwnPid());
    line.append(" ");
  }
  line.append("21.6-257 ");
  line.appendLong(seconds);
  line.append(".");
  const int64_t millis = elapsedMs - seconds * 1000;
  if (millis < 100) line.append(millis < 10 ? "00" : "0");
  line.appendLong(millis);
  line.append(suffix);
  line.append(": ");
  line.append(console ? consoleText(text, log.rawConsole) : text);
  line.append('\n');
  // One write per line, so that processes sharing a united-log file never tear each other's lines.
  std::fwrite(line.data, 1, size_t(line.length), stream);
  std::fflush(stream);
}

void writeEntry(const LogState& log, int64_t elapsedMs, const YString& message, FILE* alsoTo) {
  FILE* target = log.stream != nullptr ? log.stream : (log.quiet ? nullptr : stderr);
  if (target != nullptr) writeLine(log, target, elapsedMs, message);
  if (alsoTo != nullptr && alsoTo != target && !log.quiet) writeLine(log, alsoTo, elapsedMs, message);
}

YString logDirectory(const LogState& log) {
  return log.directory.length > 0 ? log.directory : getSettingsDir() + "log";
}

// The number in "<name>.<number>.log"; anything but an optional "-" and digits counts as 0.
int32_t unitedLogNumber(const YString& fileName, const YString& prefix) {
  const YString suffix(".log");
  if (!fileName.startsWith(prefix) || fileName.length < prefix.length + suffix.length ||
      !fileName.substringFrom(fileName.length - suffix.length).equals(suffix)) {
    return -1;
  }
  return fileName.substring(prefix.length, fileName.length - suffix.length).parseInt();
}

// The largest number among the directory's "<name>.<number>.log" files, and at least 1. Only names that
// begin with the session name and its dot count, so "app" never counts "application.7.log".
int32_t firstUnitedLogNumber(const YString& directory, const YString& name) {
  YVector<YString> files;
  listFiles(directory, &files);
  const YString prefix = name + ".";
  int32_t number = 1;
  for (int32_t i = 0; i < files.size; i++) number = std::max(number, unitedLogNumber(files[i], prefix));
  return number;
}

YString logFilePath(const YString& directory, const YString& name, bool united, int32_t number) {
  YString path = directory;
  path.append(pathSeparator);
  path.append(name);
  if (united) {
    path.append(".");
    path.appendLong(number);
  } else {
    path.append("-");
    path.appendLong(getOwnPid());
  }
  path.append(".log");
  return path;
}

// Chooses the file and opens it; in united-log mode an oversized or unwritable file moves on to the next
// number.
void openLogFile(LogState& log, const YString& directory) {
  const YString name = sanitizeFileName(getLogSessionName());
  int32_t number = log.united ? firstUnitedLogNumber(directory, name) : 0;
  for (int32_t attempt = 0; attempt < maxUnitedLogAttempts; attempt++, number++) {
    log.path = logFilePath(directory, name, log.united, number);
    if (log.united && getFileSize(log.path) > log.sizeLimit) continue;
    log.stream = openFileStream(log.path, "a");
    if (log.stream != nullptr || !log.united) return;
  }
}

void writeConsoleNotice(const LogState& log) {
  YString notice("[Brantel TallyScope 2021.6-b257] ");
  if (log.stream != nullptr) {
    notice.append("Log file: ");
    notice.append(log.path);
  } else {
    notice.append("Cannot create log file: ");
    notice.append(log.path);
    notice.append(log.directory.length > 0 ? "\n  Note: the log directory was altered using startup option 'logdir'"
                                           : "\n  To specify alternate log directory use startup option 'logdir'");
  }
  notice.append('\n');
  std::fwrite(notice.data, 1, size_t(notice.length), stderr);
  std::fflush(stderr);
}

void logHeader(const LogState& log, bool changed, const YString& oldPath) {
  if (log.stream != nullptr) logMessage(YString("Log file: ") + log.path);
  if (changed) logMessage(YString("warning: log file changed from ") + oldPath);

  YVector<YString> arguments;
  getOwnCommandLine(arguments);
  YString commandLine("Command line:");
  for (int32_t i = 0; i < arguments.size; i++) {
    commandLine.append("\n  ");
    commandLine.append(arguments[i]);
  }
  logMessage(commandLine);
  logMessage(YString("Executable: ") + getProcessPathByPid(getOwnPid()));

  YString system = getOsDisplayName();
  system.append("; version ");
  system.append(getWindowsVersionText());
  system.append("; ");
  system.append(getPlatformDirName());
  system.append("; 64-bit process");
  logMessage(system);

  const int64_t memory = getSystemPhysicalMemorySize();
  YString ram("RAM: ");
  if (memory < 1) {
    ram.append("unknown");
  } else {
    ram.appendLong(memory / 1048576);
    ram.append(" MB");
  }
  logMessage(ram);
  logMessage(YString("Today is ") + formatLocalTime());
  logMessage(YString("full_build_stamp: 2021.6.257 202106281002"));
  logMessage(YString("Agent library path: ") + getAgentLibraryPath());
  if (log.processList || y_getenv("Y_PS").equals("1")) logMessage(logProcessList());
  logMessage(YString("getTimeNsInfo: \"") + logPerformanceFrequency() + "\"");
}

// Runs with the lock held. Ends by writing the message that caused the opening.
void openLog(LogState& log, const YString& message, FILE* alsoTo) {
  log.united = y_getenv("BRANTEL_UNITED_LOG").equals("1") || log.unitedOption;
  log.opened = true;
  const bool changed = log.stream != nullptr;
  const YString oldPath = log.path;
  if (changed) {
    writeLine(log, log.stream, stopwatchElapsedMs(agentUptimeStopwatch()), YString("warning: log file will be changed"));
    std::fclose(log.stream);
    log.stream = nullptr;
  }
  const YString directory = logDirectory(log);
  makeDirectories(directory);
  openLogFile(log, directory);
  grantFileAccessToEveryone(toWideString(log.path));
  if (!log.quiet) writeConsoleNotice(log);
  const int64_t sizeBeforeHeader = getFileSize(log.path);
  {
    struct OpeningScope {
      LogState& log;
      explicit OpeningScope(LogState& state) : log(state) { log.opening = true; }
      ~OpeningScope() { log.opening = false; }
    } scope(log);
    logHeader(log, changed, oldPath);
  }
  log.headerBytes = log.stream != nullptr ? getFileSize(log.path) - sizeBeforeHeader : 0;
  logMessage(message, alsoTo);
}

// Runs a setter under the log's lock, so that settings never change under a line being written.
template <class Change>
void changeSettings(Change change) {
  LogState& log = logState();
  YCriticalSectionLock guard(&log.lock, "Log");
  change(log);
}

}  // namespace

LogSink setLogSink(LogSink sink) { return logSink.exchange(sink); }

void logMessage(const YString& message, FILE* alsoTo) {
  if (message.length == 0) return;
  if (const LogSink sink = logSink.load()) {
    sink(message);
    return;
  }
  const int64_t elapsedMs = stopwatchElapsedMs(agentUptimeStopwatch());
  LogState& log = logState();
  YCriticalSectionLock guard(&log.lock, "Log");
  if (log.stdErrOnly < 0) log.stdErrOnly = computeStdErrOnly() ? 1 : 0;
  if (log.stdErrOnly == 0 && !log.opening) {
    // The header this process wrote does not count: a header beyond the limit on its own (a long command
    // line, the process list) would otherwise move every entry into a file of its own.
    if (log.united && log.stream != nullptr && getFileSize(log.path) - log.headerBytes > log.sizeLimit) {
      log.opened = false;
    }
    if (!log.opened) {
      openLog(log, message, alsoTo);
      return;
    }
  }
  writeEntry(log, elapsedMs, message, alsoTo);
}

void writeLogLine(FILE* stream, const YString& text) {
  const int64_t elapsedMs = stopwatchElapsedMs(agentUptimeStopwatch());
  LogState& log = logState();
  YCriticalSectionLock guard(&log.lock, "Log");
  writeLine(log, stream, elapsedMs, text);
}

void setLogDirectory(const YString& directory) {
  changeSettings([&](LogState& log) { log.directory = directory; });
}
void setLogQuiet(bool quiet) {
  changeSettings([&](LogState& log) { log.quiet = quiet; });
}
void setLogProcessList(bool enabled) {
  changeSettings([&](LogState& log) { log.processList = enabled; });
}
void setUnitedLog(bool united) {
  changeSettings([&](LogState& log) { log.unitedOption = united; });
}
void setLogSystemTime(bool enabled) {
  changeSettings([&](LogState& log) { log.systemTime = enabled; });
}
void setLogFileSizeLimit(int32_t bytes) {
  changeSettings([&](LogState& log) { log.sizeLimit = bytes; });
}
void setLogSessionName(const YString& name) {
  changeSettings([&](LogState& log) { log.sessionName = name; });
}
void setRawConsole(bool raw) {
  changeSettings([&](LogState& log) { log.rawConsole = raw; });
}
void requestLogReopen() {
  changeSettings([](LogState& log) { log.opened = false; });
}

YString getLogSessionName() {
  LogState& log = logState();
  YCriticalSectionLock guard(&log.lock, "Log");
  if (log.sessionName.length == 0) {
    YString (*const source)() = sessionNameSource().load();
    log.sessionName = source != nullptr ? source() : YString("unknown");
  }
  return log.sessionName;
}

void setLogSessionNameSource(YString (*source)()) { sessionNameSource().store(source); }

YString getLogFilePath() {
  LogState& log = logState();
  YCriticalSectionLock guard(&log.lock, "Log");
  return log.path;
}

YString sanitizeFileName(const YString& text) {
  YString sanitized(text);
  for (int32_t i = 0; i < sanitized.length; i++) {
    const unsigned char c = static_cast<unsigned char>(sanitized.data[i]);
    if (c < 32 || std::strchr("\\/<>|\":?*", c) != nullptr) sanitized.data[i] = '-';
  }
  return sanitized;
}

YString logProcessList() {
  YVector<uint32_t> pids;
  getAllPids(pids);
  std::sort(pids.data, pids.data + pids.size);
  YString list("DebugPS: ");
  list.appendLong(pids.size);
  list.append(" processes:\n");
  for (int32_t i = 0; i < pids.size; i++) {
    list.append(pids[i] == getOwnPid() ? "* " : "  ");
    list.appendLong(pids[i]);
    YVector<YString> arguments;
    getCommandLineByPid(arguments, pids[i]);
    // An argument may hold line breaks (a shell script passed with -c); they stay on the process's line.
    for (int32_t j = 0; j < arguments.size; j++) {
      list.append(" ");
      list.append(arguments[j].replaceAll("\r", " ").replaceAll("\n", " "));
    }
    list.append("\n");
  }
  return list;
}
