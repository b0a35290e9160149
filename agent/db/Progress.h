#pragma once

#include <cstdint>

#include "agent/platform/Sockets.h"

// How far a write-out of the database got, told to the client of a snapshot capture.
struct Progress {
  SocketHandle clientSocket = 0;  // 0: nobody to tell
  int32_t lastPercent = 0;        // the last percent reported
};

// Logs the percent with debug category "progress" and sends the client the 16-byte progress message:
// the big-endian int32 values 0, 123456789, 100600 and the percent. A percent outside 1 to 99 is fatal.
// A message that cannot be sent is dropped.
void reportSnapshotProgress(Progress& progress, int32_t percent);
