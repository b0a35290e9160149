#pragma once

#include <cstdint>

#include "agent/db/AbstractWriter.h"
#include "agent/support/YString.h"

// Writes a snapshot file (big-endian) or a dominator file (little-endian) through a 1 MiB buffer onto a
// descriptor that the caller opened on a new file and closes after destroying the writer. Top-level
// records are framed as tag byte, int32 time 0 and int32 length, the length patched in place when the
// record ends. A failed write does not stop the writer: the bytes are dropped, the first failure's text
// is kept (and logged) and handed over by finish.
class SnapshotWriter : public AbstractWriter {
 public:
  static constexpr int32_t bufferCapacity = 0x100000;

  SnapshotWriter(int32_t fd, bool idsAre4Bytes, int32_t byteOrder);
  // Flushes what is left.
  ~SnapshotWriter() override;

  void flush() override;

  // Opens a record; one must not be open already.
  void beginSegment(int32_t tag);
  // Closes the open record: its length becomes the bytes after the length field, 0xFFFFFFFF for 4 GiB
  // or more.
  void endSegment();
  // Closes the open record and opens another of the same tag when `items` 8-byte values more (and 1000
  // bytes of slack) would make it reach the segment limit (4 GiB unless set).
  void ensureSegmentRoom(int64_t items);
  // The record length at which ensureSegmentRoom splits; lowered by tests, whose files stay small.
  void setSegmentLimit(int64_t limit) { segmentLimit = limit; }
  // Overwrites the header's "oid_count" placeholder with `count`, right-aligned in 10 characters, and
  // goes on writing at the end of the file. The header must have been written.
  void writeObjectCount(int32_t count);
  // Goes on writing at the end of the file: for a writer made on a file that already has records.
  void positionAtEnd() { returnToEnd(); }
  // The file offset of the next byte written; -1 when the file cannot tell its offset.
  int64_t getPosition();
  // Flushes and appends the first write error's text to `result` (nothing when all went well).
  void finish(YString& result);

  // The offset of the header's "oid_count" value, for the heap writer to patch; -1 until written.
  int64_t oidCountPosition;

 private:
  // A failure of the file, kept as the first error and logged once.
  void recordError(const YString& text);
  // Flushes and moves the file to `offset` for bytes that replace earlier ones; false (error kept)
  // when the descriptor cannot go there.
  bool seekForPatch(int64_t offset);
  // Flushes the patch and goes back to the end of the file.
  void returnToEnd();

  int32_t openTag;         // -1 when no record is open
  int64_t lengthPosition;  // offset of the open record's length field, -1 when none
  int64_t filePosition;    // offset of the buffer's first byte; -1 while unknown
  int64_t segmentLimit;
  int32_t fd;
  YString errorText;
};
