#include "agent/db/FileBackedSocketWriter.h"

#include <atomic>
#include <cerrno>

#include "agent/core/Options.h"
#include "agent/platform/Clocks.h"
#include "agent/platform/Files.h"
#include "agent/platform/Processes.h"
#include "agent/platform/TempFiles.h"
#include "agent/support/Log.h"
#include "agent/support/SocketSend.h"

namespace {

constexpr int32_t defaultRequestBufferSize = 0x400000;
constexpr int32_t smallestRequestBufferSize = 16;
// Names tried before giving up when others are taken: leftovers of an earlier process with the same
// identifier, or files planted by someone else.
constexpr int32_t spillNameAttempts = 100;

// A suffix that another writer of this process never uses at the same time and that is hard to guess.
YString uniqueSuffix() {
  static std::atomic<uint32_t> counter(0);
  const uint64_t mixed = (uint64_t(getTimeNs()) ^ (uint64_t(++counter) * 0x9E3779B97F4A7C15ULL)) * 0xBF58476D1CE4E5B9ULL;
  static const char digits[] = "0123456789abcdef";
  YString suffix("_");
  for (int32_t shift = 60; shift >= 0; shift -= 4) suffix.append(digits[(mixed >> shift) & 0xF]);
  return suffix;
}

void logError(const YString& text) { logMessage(YString("FileBackedSocketWriter: error: ") + text); }

}  // namespace

int32_t getRequestBufferSize() {
  const int32_t size = globalOptions().getIntOption("_request_buf_size", 0);
  if (size < 1) return defaultRequestBufferSize;
  return size < smallestRequestBufferSize ? smallestRequestBufferSize : size;
}

FileBackedSocketWriter::FileBackedSocketWriter(SocketHandle socket)
    : AbstractWriter(getRequestBufferSize(), true, byteOrderLittleEndian),
      socket(socket),
      spillFd(-1),
      spilledBytes(0) {}

bool FileBackedSocketWriter::openTempFile() {
  YString base("bzptmp");
  base.appendLong(getOwnPid());
  base.append("_request_buf");
  for (int32_t attempt = 0; attempt < spillNameAttempts; attempt++) {
    const YString path = globalOptions().getTempFilePath(base + uniqueSuffix());
    bool exists = false;
    spillFd = createPrivateFile(path, exists);
    if (spillFd >= 0) {
      spillPath = path;
      return true;
    }
    if (!exists) break;
  }
  errorText = YString("Failed to create temp file");
  return false;
}

// Once a part of the reply is lost the rest is worthless: later flushes drop their bytes.
void FileBackedSocketWriter::flush() {
  if (position < 1) return;
  if (errorText.length == 0 && (spillFd >= 0 || openTempFile())) {
    if (writeAllRecordingError(spillFd, buffer, position, errorText)) spilledBytes += position;
  }
  position = 0;
}

FileBackedSocketWriter::~FileBackedSocketWriter() {
  if (spillFd >= 0) {
    flush();
    sendSpilledReply();
  } else if (errorText.length > 0) {
    logError(errorText);
  } else if (position > 0) {
    y_send(socket, buffer, position);
  }
}

// A piece that cannot be sent ends the reply: the client must not get a stream with a hole in it.
void FileBackedSocketWriter::sendSpilledReply() {
  errno = 0;
  if (errorText.length == 0 && seekFile(spillFd, 0) != 0) errorText = writerErrorText(errno);
  if (errorText.length > 0) {
    logError(errorText);
    removeSpillFile();
    return;
  }
  int64_t sent = 0;
  while (sent < spilledBytes) {
    const int64_t left = spilledBytes - sent;
    errno = 0;
    const int32_t n = readFile(spillFd, buffer, left < capacity ? int32_t(left) : capacity);
    if (n <= 0) {
      logError(YString("cannot read back the temp file: ") +
               (n < 0 ? writerErrorText(errno) : YString("it ended early")));
      break;
    }
    if (!y_send(socket, buffer, n)) {
      logError(YString("reply not sent whole: ") + YString(sent) + " of " + YString(spilledBytes) + " bytes");
      break;
    }
    sent += n;
  }
  removeSpillFile();
  if (sent == spilledBytes) logMessage(YString("FileBackedSocketWriter: ") + YString(sent));
}

void FileBackedSocketWriter::removeSpillFile() {
  closeFile(spillFd);
  spillFd = -1;
  deleteFile(spillPath);
}
