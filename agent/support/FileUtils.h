#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "agent/platform/Files.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// Reads a descriptor a byte at a time through the owner's buffer. The owner provides the buffer and
// the descriptor and closes the descriptor; the reader owns nothing. One thread uses it at a time.
class BufferedFileReader {
 public:
  int32_t bufferSize;
  unsigned char* buffer;
  // Valid bytes in the buffer, or -1 for good once the end of the file or a read error was met.
  int32_t filled;
  // The next byte in the buffer.
  int32_t position;
  int32_t fd;

  BufferedFileReader(int32_t fd, unsigned char* buffer, int32_t bufferSize);

  // The next byte as 0 to 255. At the end it answers 0, and `filled` tells that 0 from a 0 byte.
  int32_t readByte();
  // Moves to `offset` from the start and empties the buffer. An ended reader stays ended; so does one
  // whose descriptor cannot move there, rather than go on reading from the wrong place.
  void seek(int64_t offset);
};

// Closes its stream when it goes.
struct StreamCloser {
  void operator()(FILE* stream) const { std::fclose(stream); }
};
using FileStreamGuard = std::unique_ptr<FILE, StreamCloser>;

// Closes its descriptor when it goes, so that no path out of a scope leaks one.
class FileDescriptorGuard {
 public:
  explicit FileDescriptorGuard(int32_t fd) : fd(fd) {}
  ~FileDescriptorGuard() { close(); }
  FileDescriptorGuard(const FileDescriptorGuard&) = delete;
  FileDescriptorGuard& operator=(const FileDescriptorGuard&) = delete;

  void close();

  int32_t fd;  // -1 when none is open
};

// Everything up to the end of the stream, which stays open; empty for a null stream.
YString readTextFile(FILE* stream);
// The whole file read in text mode ("r"); empty when it cannot be opened.
YString readFileText(const YString& path);
// Append the file's, stream's or descriptor's bytes up to the end; a read error ends reading as the end
// would. A file that cannot be opened leaves the vector unchanged. A null vector or stream is an
// assertion failure.
void readFileBytes(const YString& path, YVector<unsigned char>* out);
void readStreamBytes(FILE* stream, YVector<unsigned char>* out);
void readFdFully(int32_t fd, YVector<unsigned char>* out);

// Creates the directory and its missing parents. The path is split at "/" and "\" and rebuilt with the
// platform's separator; a leading separator stays, and a leading drive ("C:") is never created. Every
// failure is ignored: callers find out when they open a file there. An empty path is an assertion
// failure.
void makeDirectories(const YString& path);
// Appends the name alone of every entry of the directory, "." and ".." included; nothing when it
// cannot be listed.
void listFiles(const YString& directory, YVector<YString>* out);
// Appends the paths of the class file of `className` (dotted) below `directory` and of its nested
// classes ("<simple name>$....class"), in the order the directory gives them.
void listClassFiles(const YString& directory, const YString& className, YVector<YString>* out);
// The text after the last "/" and then after the last "\"; the whole text when it has neither.
YString fileNameOfPath(const YString& path);
