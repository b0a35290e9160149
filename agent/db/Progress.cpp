#include "agent/db/Progress.h"

#include "agent/core/Options.h"
#include "agent/support/FatalError.h"
#include "agent/support/Log.h"
#include "agent/support/SocketSend.h"

namespace {

void putBigEndian(unsigned char* to, int32_t value) {
  const uint32_t bits = static_cast<uint32_t>(value);
  for (int32_t i = 0; i < 4; i++) to[i] = static_cast<unsigned char>(bits >> (24 - 8 * i));
}

}  // namespace

void reportSnapshotProgress(Progress& progress, int32_t percent) {
  if (globalOptions().isDebug("progress")) {
    YString line("snapshot progress: ");
    line.appendLong(percent);
    logMessage(line);
  }
  if (percent < 1 || percent >= 100) assertionFailed("assertion failed", "CoreNatives", 1101);
  if (progress.clientSocket == 0) return;
  unsigned char message[16];
  putBigEndian(message, 0);
  putBigEndian(message + 4, 123456789);
  putBigEndian(message + 8, 100600);
  putBigEndian(message + 12, percent);
  y_send(progress.clientSocket, message, sizeof message);
}
