#include "agent/support/Log.h"

#include <atomic>

static std::atomic<LogSink> logSink{nullptr};

LogSink setLogSink(LogSink sink) { return logSink.exchange(sink); }

// Until the log file exists every entry goes to the standard error stream, where a log without a file
// sends it too.
void logMessage(const YString& message, FILE* alsoTo) {
  if (message.length == 0) return;
  if (const LogSink sink = logSink.load()) {
    sink(message);
    return;
  }
  std::fwrite(message.data, 1, size_t(message.length), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  if (alsoTo != nullptr && alsoTo != stderr) {
    std::fwrite(message.data, 1, size_t(message.length), alsoTo);
    std::fputc('\n', alsoTo);
    std::fflush(alsoTo);
  }
}
