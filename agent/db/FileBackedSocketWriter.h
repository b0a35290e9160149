#pragma once

#include <cstdint>

#include "agent/db/AbstractWriter.h"
#include "agent/platform/Sockets.h"
#include "agent/support/YString.h"

// The buffer capacity of a reply: "_request_buf_size" when positive (at least 16 bytes, so that every
// value fits), else 4 MiB.
int32_t getRequestBufferSize();

// Builds the reply to one client request, little-endian with 4-byte ids, and sends it on the client's
// socket when destroyed (after the caller let go of the database lock). A reply larger than the buffer
// spills to a private temporary file "bzptmp<pid>_request_buf..." and is streamed back from it in
// buffer-sized pieces; the file is removed on every road. The client gets the whole reply or, when any
// part of it could not be kept or sent, the error is logged and nothing more of it is sent.
class FileBackedSocketWriter : public AbstractWriter {
 public:
  explicit FileBackedSocketWriter(SocketHandle socket);
  ~FileBackedSocketWriter() override;

  // Moves the buffered bytes to the spill file, creating it on first need.
  void flush() override;
  // Gives the reply up: nothing of it is sent, and `reason` is logged.
  void abandon(const YString& reason) {
    if (errorText.length == 0) errorText = reason;
  }

 private:
  // Creates the spill file with a name no other file has; false (the error text set) when it cannot.
  bool openTempFile();
  // Sends the spilled reply, or logs why it cannot; then closes and removes the spill file.
  void sendSpilledReply();
  void removeSpillFile();

  SocketHandle socket;
  int32_t spillFd;  // -1 until the spill file exists
  YString spillPath;
  YString errorText;     // the first failure; a reply with one is not sent
  int64_t spilledBytes;  // bytes written to the spill file
};
