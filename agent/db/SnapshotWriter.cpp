#include "agent/db/SnapshotWriter.h"

#include <cerrno>

#include "agent/platform/FileOffsets.h"
#include "agent/platform/Files.h"
#include "agent/support/FatalError.h"
#include "agent/support/Log.h"

namespace {

constexpr int64_t maxRecordLength = 0xFFFFFFFFLL;

YString lastErrorText() { return writerErrorText(errno); }

}  // namespace

SnapshotWriter::SnapshotWriter(int32_t fd, bool idsAre4Bytes, int32_t byteOrder)
    : AbstractWriter(bufferCapacity, idsAre4Bytes, byteOrder),
      oidCountPosition(-1),
      openTag(-1),
      lengthPosition(-1),
      filePosition(0),
      segmentLimit(maxRecordLength),
      fd(fd) {}

SnapshotWriter::~SnapshotWriter() { flush(); }

void SnapshotWriter::recordError(const YString& text) {
  if (errorText.length > 0) return;
  errorText = text;
  logMessage(YString("error: SnapshotWriter: ") + text);
}

void SnapshotWriter::flush() {
  if (position < 1) return;
  YString failure;
  if (!writeAllRecordingError(fd, buffer, position, failure)) recordError(failure);
  if (filePosition >= 0) filePosition += position;
  position = 0;
}

void SnapshotWriter::beginSegment(int32_t tag) {
  if (openTag != -1) assertionFailed("assertion failed", "SnapshotWriter", __LINE__);
  openTag = tag;
  writeByte(tag);
  writeInt(0);
  lengthPosition = getPosition();
  writeInt(0);
}

// The length field is patched through the descriptor; when the descriptor cannot go back there, the
// field keeps its placeholder rather than the length landing on top of later bytes.
void SnapshotWriter::endSegment() {
  if (openTag == -1 || lengthPosition < 0) assertionFailed("assertion failed", "SnapshotWriter", __LINE__);
  const int64_t length = getPosition() - lengthPosition - 4;
  if (seekForPatch(lengthPosition)) writeInt(int32_t(uint32_t(length >= maxRecordLength ? maxRecordLength : length)));
  returnToEnd();
  openTag = -1;
  lengthPosition = -1;
}

void SnapshotWriter::writeObjectCount(int32_t count) {
  if (oidCountPosition < 0) assertionFailed("assertion failed", "SnapshotWriter", __LINE__);
  YString digits;
  digits.appendLong(count);
  YString padded;
  for (int32_t i = digits.length; i < 10; i++) padded.append(" ");
  padded.append(digits);
  if (seekForPatch(oidCountPosition)) writeByteVector(padded);
  returnToEnd();
}

bool SnapshotWriter::seekForPatch(int64_t offset) {
  flush();
  errno = 0;
  if (seekFile(fd, offset) != offset) {
    recordError(lastErrorText());
    return false;
  }
  filePosition = offset;
  return true;
}

void SnapshotWriter::returnToEnd() {
  flush();
  errno = 0;
  filePosition = seekFileToEnd(fd);
  if (filePosition < 0) recordError(lastErrorText());
}

void SnapshotWriter::ensureSegmentRoom(int64_t items) {
  if (getPosition() + 8 * items + 1000 - lengthPosition < segmentLimit) return;
  const int32_t tag = openTag;
  endSegment();
  beginSegment(tag);
}

int64_t SnapshotWriter::getPosition() {
  if (filePosition < 0) filePosition = getFileOffset(fd);
  return filePosition < 0 ? -1 : filePosition + position;
}

void SnapshotWriter::finish(YString& result) {
  flush();
  result.append(errorText);
}
