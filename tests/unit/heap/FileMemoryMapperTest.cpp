#include "agent/heap/FileMemoryMapper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "agent/platform/Files.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/HiddenOption.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace {

const int64_t granule = mappingGranularity();

// A file of `size` bytes, byte i being 7i + 3, so that a byte written at the wrong
// place shows.
std::string patternFile(const TempDir& dir, int64_t size) {
  std::string contents(size_t(size), '\0');
  for (int64_t i = 0; i < size; i++) contents[size_t(i)] = char(i * 7 + 3);
  return dir.write("snapshot.bin", contents);
}

std::string contentsOf(const std::string& path) {
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What `write` must leave: the low `count` bytes of `value`, most significant first.
void putBigEndian(std::string& contents, int64_t offset, uint64_t value, int32_t count) {
  for (int32_t i = count - 1; i >= 0; i--) {
    contents[size_t(offset + i)] = char(uint8_t(value));
    value >>= 8;
  }
}

bool logged(const LogCapture& log, const std::string& text) {
  for (const std::string& entry : log.entries()) {
    if (entry.find(text) != std::string::npos) return true;
  }
  return false;
}

// View mappers injected in place of the OS's. Plain functions, so their record is global.
std::vector<int64_t> mappedOffsets;
int64_t furthestViewEnd = 0;
int64_t refusedFrom = INT64_MAX;  // views at or beyond this offset are refused
int64_t onlyPagesOf = 0;          // views larger than this are refused: no room for the whole region
int32_t refusalsLeft = 0;         // refuse the next views while other views are still mapped

void* recordingMapper(MappedFile& file, int64_t offset, int64_t size) {
  if (onlyPagesOf != 0 && size > onlyPagesOf) return nullptr;
  if (offset >= refusedFrom) return nullptr;
  if (refusalsLeft > 0) {
    refusalsLeft--;
    return nullptr;
  }
  mappedOffsets.push_back(offset);
  furthestViewEnd = std::max(furthestViewEnd, offset + size);
  return file.mapView(offset, size);
}

class FileMemoryMapperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mappedOffsets.clear();
    furthestViewEnd = 0;
    refusedFrom = INT64_MAX;
    onlyPagesOf = 0;
    refusalsLeft = 0;
  }
  LogCapture quiet;  // the mapper's lines stay out of the real log
  TempDir dir;
};

TEST_F(FileMemoryMapperTest, PageSizeIsAMultipleOfTheGranularity) {
  // "_page_size" in KB: a size not above the granularity becomes one granule, a larger one is rounded
  // down to a multiple of it. Linux maps at the 4 KB page size, Windows at its 64 KB granularity.
  ASSERT_TRUE(granule == 4096 || granule == 65536) << granule;
  struct Case {
    const char* option;
    int64_t at4k;
    int64_t at64k;
  };
  const Case cases[] = {
      {"_page_size=1", 4096, 65536},
      {"_page_size=100", 102400, 65536},
      {"_page_size=200", 204800, 196608},
      {"_page_size=0", 65536, 65536},  // below 1: the default of 64 KB
  };
  const std::string path = patternFile(dir, 4 * granule);
  for (const Case& c : cases) {
    HiddenOption option(c.option);
    LogCapture log;
    FileMemoryMapper mapper(YString(path.c_str()), 0, -1);
    ASSERT_TRUE(mapper.isMapped()) << c.option;
    const int64_t expected = granule == 4096 ? c.at4k : c.at64k;
    EXPECT_EQ(mapper.pageSize(), expected) << c.option;
    EXPECT_TRUE(logged(log, " page=" + std::to_string(expected) + " (0 MB) pageCount=16")) << c.option;
  }
}

TEST_F(FileMemoryMapperTest, TheRegionLimitForcesPagesThatStillWriteEverywhere) {
  const int64_t size = 10 * 1048576;
  const std::string path = patternFile(dir, size);
  std::string expected = contentsOf(path);
  // Offsets spread over more than the 16 pages the list holds, so pages are replaced on the way.
  std::vector<int64_t> offsets;
  for (int64_t at = 5; at < size - 8; at += size / 40 + 11) offsets.push_back(at);
  offsets.push_back(size - 8);
  {
    HiddenOption limit("_region_limit_mb=1");
    LogCapture log;
    FileMemoryMapper mapper(YString(path.c_str()), 0, -1);
    ASSERT_TRUE(mapper.isMapped());
    EXPECT_TRUE(mapper.usesPages());
    EXPECT_TRUE(logged(log, "FileMemoryMapper: region limit=1 MB"));
    EXPECT_TRUE(logged(log, "FileMemoryMapper: using pages"));
    for (int64_t at : offsets) {
      mapper.write(at, uint64_t(at) * 0x9E3779B97F4A7C15ull, 8);
      putBigEndian(expected, at, uint64_t(at) * 0x9E3779B97F4A7C15ull, 8);
    }
    EXPECT_FALSE(mapper.failed());
  }
  EXPECT_TRUE(contentsOf(path) == expected);

  // A limit the region fits in keeps the one view.
  HiddenOption roomy("_region_limit_mb=10");
  LogCapture log;
  FileMemoryMapper mapper(YString(path.c_str()), 0, -1);
  EXPECT_FALSE(mapper.usesPages());
  EXPECT_FALSE(logged(log, "FileMemoryMapper: using pages"));
}

TEST_F(FileMemoryMapperTest, ValuesAreBigEndianAcrossPageBoundaries) {
  // The region starts and ends off the granularity, and the file's size is no multiple of it either.
  const int64_t size = 6 * granule + 123;
  const int64_t start = granule + 10;
  const int64_t end = 5 * granule + 77;
  struct Case {
    int64_t offset;
    uint64_t value;
    int32_t count;
  };
  const Case cases[] = {
      {granule * 2 - 3, 0x0102030405060708ull, 8},  // three most significant bytes before the boundary
      {granule * 3 - 1, 0xA1B2ull, 2},
      {granule * 4 - 7, 0xFFEEDDCCBBAA9988ull, 8},  // ends right at the boundary
      {granule * 4, 0x11223344ull, 4},
      {start, 0xC5ull, 1},
      {end - 8, 0x8877665544332211ull, 8},
      {start + 100, 0x1234567890ABCDEFull, 3},  // only the low three bytes
  };
  const int64_t pageTotals[] = {0, 1};  // whole view, then pages of one granule
  for (int64_t paged : pageTotals) {
    const std::string path = patternFile(dir, size);
    std::string expected = contentsOf(path);
    {
      HiddenOption limit(paged ? "_region_limit_mb=-1" : "_region_limit_mb=0");
      HiddenOption pageSize("_page_size=1");
      FileMemoryMapper mapper(YString(path.c_str()), start, end);
      ASSERT_TRUE(mapper.isMapped());
      ASSERT_EQ(mapper.usesPages(), paged != 0);
      for (const Case& c : cases) {
        mapper.write(c.offset, c.value, c.count);
        putBigEndian(expected, c.offset, c.value, c.count);
      }
      EXPECT_FALSE(mapper.failed());
    }
    const std::string actual = contentsOf(path);
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); i++) {
      ASSERT_EQ(uint8_t(actual[i]), uint8_t(expected[i])) << "byte " << i << (paged ? " with pages" : " whole view");
    }
  }
}

TEST_F(FileMemoryMapperTest, TheFileKeepsItsSizeAndNoPageReachesPastItsEnd) {
  // Pages of about 1 MB over a file of three granules and a bit: the page at offset 0 would reach far
  // past the file's end, which Windows refuses to map and Linux maps with a fault on touching.
  const int64_t size = 3 * granule + 123;
  const std::string path = patternFile(dir, size);
  std::string expected = contentsOf(path);
  {
    HiddenOption limit("_region_limit_mb=-1");
    HiddenOption pageSize("_page_size=1000");
    FileMemoryMapper mapper(YString(path.c_str()), 0, -1, recordingMapper);
    ASSERT_TRUE(mapper.isMapped());
    ASSERT_TRUE(mapper.usesPages());
    EXPECT_GT(mapper.pageSize(), size);
    // Extended to whole granules while mapped.
    EXPECT_EQ(getFileSize(YString(path.c_str())), 4 * granule);
    mapper.write(size - 4, 0xDEADBEEFull, 4);
    mapper.write(0, 0x42ull, 1);
    putBigEndian(expected, size - 4, 0xDEADBEEFull, 4);
    putBigEndian(expected, 0, 0x42ull, 1);
    EXPECT_FALSE(mapper.failed());
    EXPECT_EQ(furthestViewEnd, 4 * granule);
  }
  EXPECT_EQ(getFileSize(YString(path.c_str())), size);
  EXPECT_TRUE(contentsOf(path) == expected);
}

TEST_F(FileMemoryMapperTest, BytesOutsideTheRegionAreFatal) {
  const std::string path = patternFile(dir, 2 * granule);
  const std::string before = contentsOf(path);
  FileMemoryMapper mapper(YString(path.c_str()), 100, 1000);
  ASSERT_TRUE(mapper.isMapped());
  struct Case {
    int64_t offset;
    int32_t count;
  };
  const Case cases[] = {{99, 4}, {997, 4}, {1000, 1}, {-5, 8}, {200, 0}, {200, 9}};
  for (const Case& c : cases) {
    EXPECT_EQ(fatalErrorOf([&] { mapper.write(c.offset, 0xFFFFFFFFFFFFFFFFull, c.count); }),
              "error at FileMemoryMapper:3: FileMemoryMapper: bad offset " + std::to_string(c.offset) +
                  " dataSize=" + std::to_string(c.count));
  }
  // The last bytes inside are fine.
  mapper.write(996, 0, 4);
  mapper.write(100, 0, 1);
  EXPECT_FALSE(mapper.failed());
  EXPECT_EQ(contentsOf(path).substr(1000), before.substr(1000));
}

TEST_F(FileMemoryMapperTest, ARegionThatIsEmptyOrBeyondTheFileIsFatal) {
  const int64_t size = 2 * granule + 5;
  const std::string path = patternFile(dir, size);
  struct Case {
    int64_t start;
    int64_t end;
    const char* message;
  };
  const Case cases[] = {
      {100, 100, "error at FileMemoryMapper:1: FileMemoryMapper: start is not before end"},
      {-1, 100, "error at FileMemoryMapper:1: FileMemoryMapper: start is not before end"},
      {0, size + 1, "error at FileMemoryMapper:2: FileMemoryMapper: end is beyond the file's end"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fatalErrorOf([&] { FileMemoryMapper mapper(YString(path.c_str()), c.start, c.end); }), c.message);
    EXPECT_EQ(getFileSize(YString(path.c_str())), size);
  }
}

TEST_F(FileMemoryMapperTest, TheLeastRecentlyUsedPageIsReplaced) {
  const std::string path = patternFile(dir, 8 * granule);
  std::string expected = contentsOf(path);
  const int64_t a = 1 * granule, b = 3 * granule, c = 5 * granule;
  {
    HiddenOption pageCount("_page_count=2");
    HiddenOption pageSize("_page_size=1");
    onlyPagesOf = granule;  // no room for the whole region
    LogCapture log;
    FileMemoryMapper mapper(YString(path.c_str()), 0, -1, recordingMapper);
    ASSERT_TRUE(mapper.usesPages());
    EXPECT_TRUE(logged(log, "FileMemoryMapper: using pages"));
    // A, B, A: B is now the least recently used, so C replaces it; A stays; B comes back in C's place.
    const int64_t writes[] = {a, b + 8, a + 16, c, a + 24, b + 32};
    for (int64_t at : writes) {
      mapper.write(at, uint64_t(at), 8);
      putBigEndian(expected, at, uint64_t(at), 8);
    }
    EXPECT_EQ(mappedOffsets, (std::vector<int64_t>{a, b, c, b}));
  }
  EXPECT_TRUE(contentsOf(path) == expected);
}

TEST_F(FileMemoryMapperTest, AViewThatCannotBeMappedSetsTheFailureFlag) {
  const std::string path = patternFile(dir, 8 * granule);
  const std::string before = contentsOf(path);
  HiddenOption pageSize("_page_size=1");
  onlyPagesOf = granule;

  // Refused while other views exist: the oldest pages are released until it maps.
  {
    LogCapture log;
    FileMemoryMapper mapper(YString(path.c_str()), 0, -1, recordingMapper);
    mapper.write(0, 1, 8);
    mapper.write(granule, 2, 8);
    mapper.write(2 * granule, 3, 8);
    refusalsLeft = 2;
    mapper.write(3 * granule, 4, 8);
    EXPECT_FALSE(mapper.failed());
    EXPECT_EQ(mappedOffsets, (std::vector<int64_t>{0, granule, 2 * granule, 3 * granule}));
    // Pages 0 and 1 were released to make room; page 2 is still held.
    mapper.write(2 * granule + 8, 5, 8);
    EXPECT_EQ(mappedOffsets.size(), 4u);
  }
  EXPECT_NE(contentsOf(path), before);

  // Refused even with every other view released: the flag is set and later writes do nothing.
  const std::string afterFirst = contentsOf(path);
  mappedOffsets.clear();
  {
    refusedFrom = 4 * granule;
    FileMemoryMapper mapper(YString(path.c_str()), 0, -1, recordingMapper);
    mapper.write(granule + 100, 0x77, 1);
    mapper.write(4 * granule - 2, 0x1122334455667788ull, 8);  // its tail is in the refused page
    EXPECT_TRUE(mapper.failed());
    mapper.write(granule + 200, 0x77, 1);
    EXPECT_TRUE(mapper.failed());
  }
  std::string expected = afterFirst;
  putBigEndian(expected, granule + 100, 0x77, 1);
  putBigEndian(expected, 4 * granule - 2, 0x1122, 2);  // the leading part went before the refusal
  EXPECT_TRUE(contentsOf(path) == expected);
}

TEST_F(FileMemoryMapperTest, AFileWithoutContentsIsNotMapped) {
  const std::string empty = dir.write("empty.bin", "");
  const std::string missing = dir.pathOf("missing.bin");
  struct Case {
    std::string path;
    const char* length;
  };
  const Case cases[] = {{empty, "0"}, {missing, "-1"}};
  for (const Case& c : cases) {
    LogCapture log;
    FileMemoryMapper mapper(YString(c.path.c_str()), 0, -1);
    EXPECT_FALSE(mapper.isMapped());
    EXPECT_TRUE(logged(log, "FileMemoryMapper: error: " + c.path + "\n invalid length=" + c.length)) << c.path;
    EXPECT_EQ(fatalErrorOf([&] { mapper.write(0, 1, 1); }),
              "error at FileMemoryMapper:3: FileMemoryMapper: bad offset 0 dataSize=1");
  }
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::u8path(missing)));
}

}  // namespace
