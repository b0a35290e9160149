#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "agent/db/SnapshotWriter.h"
#include "agent/platform/Files.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace {

std::string contentsOf(const std::string& path) {
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t bigEndianAt(const std::string& bytes, size_t offset) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; i++) value = value << 8 | uint8_t(bytes.at(offset + i));
  return value;
}

// The header of a top-level record: tag, time 0, length.
std::string recordHeader(uint8_t tag, uint32_t length) {
  std::string bytes(1, char(tag));
  bytes.append(4, '\0');
  for (int shift = 24; shift >= 0; shift -= 8) bytes += char(uint8_t(length >> shift));
  return bytes;
}

// A snapshot writer on a new file in its own directory; `file()` is what reached the disk.
class SnapshotFile {
 public:
  explicit SnapshotFile(int32_t byteOrder = byteOrderBigEndian)
      : path(directory.pathOf("snapshot.bin")), fd(openFileForWrite(YString(path.c_str()))) {
    writer = new SnapshotWriter(fd, true, byteOrder);
  }
  ~SnapshotFile() {
    delete writer;
    if (fd >= 0) closeFile(fd);
  }

  // Finishes, destroys the writer and closes the file, as the snapshot routine does; the error text.
  std::string close() {
    YString error;
    writer->finish(error);
    delete writer;
    writer = nullptr;
    closeFile(fd);
    fd = -1;
    return error.data;
  }
  std::string file() const { return contentsOf(path); }

  TempDir directory;
  std::string path;
  int32_t fd;
  SnapshotWriter* writer;
};

}  // namespace

TEST(SnapshotWriter, WritesBigEndianValuesToTheFile) {
  SnapshotFile snapshot;
  snapshot.writer->writeByte(7);
  snapshot.writer->writeShort(0x0102);
  snapshot.writer->writeInt(0x03040506);
  snapshot.writer->writeLong(0x0708090A0B0C0D0ELL);
  snapshot.writer->writeId(0x11223344);
  EXPECT_EQ(snapshot.writer->getPosition(), 19);
  EXPECT_EQ(snapshot.close(), "");
  EXPECT_EQ(snapshot.file(), std::string("\x07\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x11\x22\x33\x44"));
}

TEST(SnapshotWriter, TheDominatorFilesAreLittleEndian) {
  SnapshotFile snapshot(byteOrderLittleEndian);
  snapshot.writer->writeInt(0x01020304);
  snapshot.writer->writeInt(-1);
  EXPECT_EQ(snapshot.close(), "");
  EXPECT_EQ(snapshot.file(), std::string("\x04\x03\x02\x01\xFF\xFF\xFF\xFF"));
}

TEST(SnapshotWriter, RecordsGetTheLengthOfWhatFollowsTheirLengthField) {
  SnapshotFile snapshot;
  snapshot.writer->writeInt(0x0BADF00D);  // bytes before any record
  snapshot.writer->beginSegment(37);
  snapshot.writer->writeInt(1);
  snapshot.writer->writeByte(2);
  snapshot.writer->endSegment();
  snapshot.writer->beginSegment(2);
  snapshot.writer->endSegment();
  snapshot.writer->beginSegment(28);
  snapshot.writer->writeShort(3);
  snapshot.writer->endSegment();
  snapshot.writer->writeByte(9);  // after the records, appended at the end
  EXPECT_EQ(snapshot.writer->getPosition(), 4 + 14 + 9 + 11 + 1);
  EXPECT_EQ(snapshot.close(), "");
  EXPECT_EQ(snapshot.file(), std::string("\x0B\xAD\xF0\x0D", 4) + recordHeader(37, 5) + std::string("\0\0\0\1\2", 5) +
                                 recordHeader(2, 0) + recordHeader(28, 2) + std::string("\0\3\x09", 3));
}

// A second writer on the closed file appends a record after the first one's bytes, its length patched
// where that record begins, not at the file's start.
TEST(SnapshotWriter, AWriterPositionedAtTheEndAppendsARecord) {
  SnapshotFile snapshot;
  snapshot.writer->writeInt(0x0BADF00D);
  snapshot.writer->beginSegment(28);
  snapshot.writer->writeByte(1);
  snapshot.writer->endSegment();
  ASSERT_EQ(snapshot.close(), "");
  const int32_t fd = openExistingFileForWrite(YString(snapshot.path.c_str()));
  ASSERT_GE(fd, 0);
  YString error;
  {
    SnapshotWriter appender(fd, true, byteOrderBigEndian);
    appender.positionAtEnd();
    EXPECT_EQ(appender.getPosition(), 4 + 9 + 1);
    appender.beginSegment(37);
    appender.writeShort(0x0203);
    appender.endSegment();
    appender.finish(error);
  }
  closeFile(fd);
  EXPECT_EQ(std::string(error.data), "");
  EXPECT_EQ(snapshot.file(), std::string("\x0B\xAD\xF0\x0D", 4) + recordHeader(28, 1) + std::string("\1", 1) +
                                 recordHeader(37, 2) + std::string("\2\3", 2));
}

// The length is patched after the content went out in several buffer-fulls.
TEST(SnapshotWriter, ARecordSpanningSeveralFlushesGetsItsWholeLength) {
  SnapshotFile snapshot;
  snapshot.writer->beginSegment(28);
  const int32_t count = 3 * SnapshotWriter::bufferCapacity / 8 + 5;
  for (int32_t i = 0; i < count; i++) snapshot.writer->writeLong(i);
  snapshot.writer->endSegment();
  snapshot.writer->beginSegment(44);
  snapshot.writer->endSegment();
  EXPECT_EQ(snapshot.close(), "");
  const std::string file = snapshot.file();
  const size_t length = size_t(count) * 8;
  ASSERT_EQ(file.size(), 9 + length + 9);
  EXPECT_EQ(file.substr(0, 9), recordHeader(28, uint32_t(length)));
  EXPECT_EQ(bigEndianAt(file, 9 + length - 4), uint32_t(count - 1));
  EXPECT_EQ(file.substr(9 + length), recordHeader(44, 0));
}

TEST(SnapshotWriter, ASegmentAboutToReachFourGigabytesIsClosedAndANewOneOpened) {
  SnapshotFile snapshot;
  snapshot.writer->beginSegment(28);
  snapshot.writer->writeShort(1);
  snapshot.writer->ensureSegmentRoom(1000);  // far from the limit: nothing happens
  snapshot.writer->writeShort(2);
  snapshot.writer->ensureSegmentRoom((0xFFFFFFFFLL - 1000) / 8);
  snapshot.writer->writeShort(3);
  snapshot.writer->endSegment();
  EXPECT_EQ(snapshot.close(), "");
  EXPECT_EQ(snapshot.file(),
            recordHeader(28, 4) + std::string("\0\1\0\2", 4) + recordHeader(28, 2) + std::string("\0\3", 2));
}

TEST(SnapshotWriter, RecordsDoNotNestAndOnlyAnOpenOneCanEnd) {
  SnapshotFile snapshot;
  const std::string noRecord = fatalErrorOf([&] { snapshot.writer->endSegment(); });
  EXPECT_EQ(noRecord.rfind("error at SnapshotWriter:", 0), 0u) << noRecord;
  snapshot.writer->beginSegment(37);
  const std::string nested = fatalErrorOf([&] { snapshot.writer->beginSegment(2); });
  EXPECT_EQ(nested.rfind("error at SnapshotWriter:", 0), 0u) << nested;
  snapshot.writer->endSegment();
  EXPECT_EQ(snapshot.close(), "");
  EXPECT_EQ(snapshot.file(), recordHeader(37, 0));
}

#ifndef _WIN32
// The writer goes on to its end; the first failure comes back through finish and is logged once.
TEST(SnapshotWriter, AFullDeviceIsReportedThroughFinish) {
  const int32_t fd = openExistingFileForWrite(YString("/dev/full"));
  ASSERT_GE(fd, 0);
  LogCapture log;
  YString error("earlier text: ");
  {
    SnapshotWriter writer(fd, true, byteOrderBigEndian);
    writer.beginSegment(37);
    for (int32_t i = 0; i < SnapshotWriter::bufferCapacity; i++) writer.writeInt(i);
    writer.endSegment();
    writer.finish(error);
  }
  closeFile(fd);
  EXPECT_STREQ(error.data, "earlier text: No space left on device");
  EXPECT_EQ(log.entries(), std::vector<std::string>{"error: SnapshotWriter: No space left on device"});
}

TEST(SnapshotWriter, ADescriptorThatCannotBeWrittenIsReported) {
  TempDir directory;
  const std::string path = directory.write("read-only.bin", "");
  const int32_t fd = openFileForRead(YString(path.c_str()));
  ASSERT_GE(fd, 0);
  LogCapture log;
  YString error;
  {
    SnapshotWriter writer(fd, true, byteOrderBigEndian);
    writer.writeInt(1);
    writer.finish(error);
  }
  closeFile(fd);
  EXPECT_STREQ(error.data, "Bad file descriptor");
}
#endif
