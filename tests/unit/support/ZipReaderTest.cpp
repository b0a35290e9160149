#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "agent/platform/LocalTime.h"
#include "agent/support/YString.h"
#include "agent/support/ZipReader.h"
#include "tests/support/TempDir.h"
#include "tests/support/ZipFixture.h"

#ifndef _WIN32
#include "tests/support/ScopedVariable.h"
#endif

namespace {

struct ZipCloser {
  void operator()(ZipHandle* handle) const { closeZip(handle); }
};
using ZipPtr = std::unique_ptr<ZipHandle, ZipCloser>;

std::u16string widePath(const std::string& path) {
  const YWideString wide = toWideString(YString(path.c_str()));
  return std::u16string(wide.data, size_t(wide.length));
}

ZipPtr openArchive(const std::string& path, const char* password = nullptr) {
  return ZipPtr(openZipFile(widePath(path).c_str(), password));
}

std::string writeArchive(const TempDir& dir, const ZipFixture& zip, const std::string& name = "test.zip") {
  return dir.write(name, zip.bytes());
}

std::string nameOf(const ZipEntryInfo& info) { return toUtf8String(YWideString(info.name)).data; }

ZipEntryInfo entryOf(ZipHandle* zip, int32_t index) {
  ZipEntryInfo info;
  EXPECT_EQ(getZipEntry(zip, index, &info), 0) << index;
  return info;
}

struct Unzipped {
  std::string bytes;
  std::vector<int32_t> results;
};

// Calls with the same index while the result is 0x600: each such call filled the buffer, and a final 0
// delivered the rest of `size`.
Unzipped unzip(ZipHandle* zip, int32_t index, int32_t size, int32_t bufferSize = 1024) {
  std::vector<char> buffer(size_t(bufferSize), '\0');
  Unzipped out;
  for (int32_t call = 0; call < 1000000; call++) {
    const int32_t result = unzipEntryToMemory(zip, index, buffer.data(), bufferSize);
    out.results.push_back(result);
    if (result == zipMoreData) {
      out.bytes.append(buffer.data(), size_t(bufferSize));
      continue;
    }
    if (result == zipOk) {
      const int64_t rest = int64_t(size) - int64_t(out.bytes.size());
      EXPECT_TRUE(rest >= 0 && rest <= bufferSize) << "final call of " << rest << " bytes";
      if (rest >= 0 && rest <= bufferSize) out.bytes.append(buffer.data(), size_t(rest));
    }
    return out;
  }
  ADD_FAILURE() << "the entry never ended";
  return out;
}

Unzipped unzipWhole(ZipHandle* zip, int32_t index) { return unzip(zip, index, entryOf(zip, index).uncompressedSize); }

// Reproducible text that deflate shrinks only to about 60%, so its compressed form spans several blocks.
std::string sampleText(size_t size, uint32_t seed) {
  std::string text;
  uint32_t state = seed;
  while (text.size() < size) {
    state = state * 1103515245 + 12345;
    const uint32_t r = (state >> 16) % 32;
    text += r < 26 ? char('a' + r) : r < 30 ? ' ' : '\n';
  }
  return text;
}

std::vector<int32_t> expectedResults(size_t size, size_t bufferSize) {
  std::vector<int32_t> results(size == 0 ? 0 : (size - 1) / bufferSize, zipMoreData);
  results.push_back(zipOk);
  return results;
}

}  // namespace

// --- reading entries

TEST(ZipReader, ReadsStoredAndDeflatedEntriesWhole) {
  struct Case {
    const char* name;
    std::string data;
    uint16_t method;
  };
  const std::vector<Case> cases = {
      {"hello.txt", "Hello, archive", 0},
      {"dir/big.txt", sampleText(100000, 1), 8},
      {"binary.bin", sampleText(2500, 2) + std::string("\0\xff\x80", 3), 8},
      {"two-buffers", sampleText(2048, 3), 0},
      {"empty", "", 0},
      {"empty.z", "", 8},
  };
  ZipFixture fixture;
  for (const Case& c : cases) fixture.add(c.name, c.data, c.method);
  TempDir dir;
  const ZipPtr zip = openArchive(writeArchive(dir, fixture));
  ASSERT_NE(zip, nullptr);
  EXPECT_EQ(lastZipResult, zipOk);
  EXPECT_EQ(entryOf(zip.get(), -1).index, int32_t(cases.size()));

  // Backwards, so that every step goes back to the first entry and walks forward again.
  for (int32_t i = int32_t(cases.size()) - 1; i >= 0; i--) {
    const Case& c = cases[size_t(i)];
    const ZipEntryInfo info = entryOf(zip.get(), i);
    EXPECT_EQ(info.index, i);
    EXPECT_EQ(nameOf(info), c.name);
    EXPECT_EQ(info.uncompressedSize, int32_t(c.data.size())) << c.name;
    const size_t stored = c.method == 8 ? ZipFixture::deflateRaw(c.data).size() : c.data.size();
    EXPECT_EQ(info.compressedSize, int32_t(stored)) << c.name;
    const Unzipped read = unzip(zip.get(), i, info.uncompressedSize);
    EXPECT_TRUE(read.bytes == c.data) << c.name;
    EXPECT_EQ(read.results, expectedResults(c.data.size(), 1024)) << c.name;
  }
  EXPECT_GT(ZipFixture::deflateRaw(cases[1].data).size(), 2u * 16384) << "the big entry must span several blocks";
}

TEST(ZipReader, DeliversAnEntryInBufferSizedPiecesAndRestartsAfterTheEnd) {
  const std::string data = sampleText(2500, 4);
  for (const uint16_t method : {uint16_t(0), uint16_t(8)}) {
    SCOPED_TRACE(method);
    ZipFixture fixture;
    fixture.add("first", data, method);
    fixture.add("second", "other", method);
    TempDir dir;
    const ZipPtr zip = openArchive(writeArchive(dir, fixture));
    ASSERT_NE(zip, nullptr);

    char buffer[1024];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(unzipEntryToMemory(zip.get(), 0, buffer, 1024), zipMoreData);
    EXPECT_EQ(std::string(buffer, 1024), data.substr(0, 1024));
    EXPECT_EQ(unzipEntryToMemory(zip.get(), 0, buffer, 1024), zipMoreData);
    EXPECT_EQ(std::string(buffer, 1024), data.substr(1024, 1024));
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(unzipEntryToMemory(zip.get(), 0, buffer, 1024), zipOk);
    EXPECT_EQ(lastZipResult, zipOk);
    EXPECT_EQ(std::string(buffer, 452), data.substr(2048));
    EXPECT_EQ(std::string(buffer + 452, 1024 - 452), std::string(1024 - 452, '#')) << "wrote past the entry's end";

    // The complete entry stays open for one more call, which closes it; the next starts it afresh.
    EXPECT_EQ(unzipEntryToMemory(zip.get(), 0, buffer, 1024), zipOk);
    EXPECT_EQ(unzipEntryToMemory(zip.get(), 0, buffer, 1024), zipMoreData);
    EXPECT_EQ(std::string(buffer, 1024), data.substr(0, 1024));

    // Another index, and a listing, close the open entry: reading starts over.
    EXPECT_EQ(unzip(zip.get(), 1, 5).bytes, "other");
    EXPECT_EQ(unzip(zip.get(), 0, 2500).bytes, data);
    EXPECT_EQ(unzipEntryToMemory(zip.get(), 0, buffer, 1024), zipOk);
    EXPECT_EQ(unzipEntryToMemory(zip.get(), 0, buffer, 1024), zipMoreData);
    entryOf(zip.get(), 1);
    EXPECT_EQ(unzip(zip.get(), 0, 2500).bytes, data);
  }
}

TEST(ZipReader, FindsTheArchiveBehindOtherDataAndBeforeAComment) {
  struct Case {
    size_t prefix;
    size_t comment;
  };
  // 65513 is the longest comment whose end record still lies within the 65535 bytes searched.
  for (const Case c : {Case{0, 0}, Case{100, 0}, Case{0, 2000}, Case{100, 2000}, Case{0, 65513}}) {
    SCOPED_TRACE(testing::Message() << "prefix " << c.prefix << ", comment " << c.comment);
    ZipFixture fixture;
    fixture.prefix = sampleText(c.prefix, 5);
    fixture.comment = std::string(c.comment, 'c');
    fixture.add("a.txt", "first entry");
    fixture.add("b.txt", sampleText(3000, 6), 8);
    TempDir dir;
    const ZipPtr zip = openArchive(writeArchive(dir, fixture));
    ASSERT_NE(zip, nullptr);
    EXPECT_EQ(entryOf(zip.get(), -1).index, 2);
    EXPECT_EQ(unzipWhole(zip.get(), 0).bytes, "first entry");
    EXPECT_EQ(unzipWhole(zip.get(), 1).bytes, sampleText(3000, 6));
  }
}

// The end record is searched in blocks that overlap so that no place of its signature falls between two.
TEST(ZipReader, FindsTheEndRecordAtEveryPlaceAroundASearchBlockBorder) {
  TempDir dir;
  for (size_t comment = 995; comment <= 1030; comment++) {
    ZipFixture fixture;
    fixture.prefix = std::string(3000, 'p');  // so that the search does not end at the file's start
    fixture.comment = std::string(comment, 'c');
    fixture.add("a.txt", "found");
    const ZipPtr zip = openArchive(writeArchive(dir, fixture, std::to_string(comment) + ".zip"));
    ASSERT_NE(zip, nullptr) << "comment of " << comment << " bytes";
    EXPECT_EQ(unzipWhole(zip.get(), 0).bytes, "found");
  }
}

TEST(ZipReader, IndexMinusOneGivesTheCountAndNothingElse) {
  TempDir dir;
  for (const int32_t count : {0, 3}) {
    ZipFixture fixture;
    for (int32_t i = 0; i < count; i++) fixture.add("e" + std::to_string(i), "x");
    const ZipPtr zip = openArchive(writeArchive(dir, fixture, "n" + std::to_string(count) + ".zip"));
    ASSERT_NE(zip, nullptr) << count;
    ZipEntryInfo info;
    std::memset(&info, 0x5A, sizeof(info));
    EXPECT_EQ(getZipEntry(zip.get(), -1, &info), zipOk);
    EXPECT_EQ(info.index, count);
    EXPECT_EQ(info.name[0], 0);
    EXPECT_EQ(info.attributes, 0u);
    EXPECT_EQ(info.modificationTime, 0);
    EXPECT_EQ(info.uncompressedSize, 0);
  }
}

// --- entry fields

TEST(ZipReader, AttributesFollowTheHostSystem) {
  struct Case {
    uint8_t host;
    uint32_t external;
    uint32_t expected;
  };
  const std::vector<Case> cases = {
      {0, 0x10, 0x10},            // FAT directory
      {11, 0x10, 0x10},           // NTFS directory
      {0, 0x01, 0x01},            // FAT read-only
      {14, 0x21, 0x01},           // VFAT read-only archive
      {7, 0x11, 0x11},            // DOS-style bits
      {0, 0x20, 0x00},            // FAT archive bit only
      {3, 0100444u << 16, 0x01},  // Unix read-only file
      {3, 0100644u << 16, 0x00},  // Unix writable file
      {3, 040755u << 16 | 0x10, 0x10},
      {3, 040555u << 16, 0x11},
      {3, 0x10, 0x01},  // a Unix host without a mode: no owner write bit
      {19, 0100644u << 16, 0x00},
  };
  ZipFixture fixture;
  for (const Case& c : cases) {
    ZipFixtureEntry& entry = fixture.add("e" + std::to_string(fixture.entries.size()), "");
    entry.hostSystem = c.host;
    entry.externalAttributes = c.external;
  }
  TempDir dir;
  const ZipPtr zip = openArchive(writeArchive(dir, fixture));
  ASSERT_NE(zip, nullptr);
  for (size_t i = 0; i < cases.size(); i++) {
    EXPECT_EQ(entryOf(zip.get(), int32_t(i)).attributes, cases[i].expected)
        << "host " << int(cases[i].host) << ", external " << std::hex << cases[i].external;
  }
}

TEST(ZipReader, TimesComeFromTheDosFieldsOrTheUtRecord) {
  const int64_t dos = fileTimeOfLocalTime(LocalDateTime{2021, 6, 28, 10, 2, 2, 0});
  // The same fields read as UTC: the local time lies within the world's time zones of it, on a quarter hour.
  const int64_t utc = 132693481220000000;
  const int64_t quarterHour = 15 * 60 * 10000000LL;
  EXPECT_LE(std::abs(dos - utc), 14 * 4 * quarterHour);
  EXPECT_EQ((dos - utc) % quarterHour, 0);

  const int32_t t1 = 1000000000;  // 2001-09-09
  const int32_t t2 = 1600000000;
  const int32_t t3 = -1;
  const auto fileTime = [](int32_t unixSeconds) { return (int64_t(unixSeconds) + 11644473600LL) * 10000000; };
  const std::string otherRecord(
      "\x0a\x00\x04\x00"
      "abcd",
      8);
  struct Case {
    const char* what;
    uint32_t dosDateTime;
    std::string extra;
    int64_t modification, access, creation;
  };
  const std::vector<Case> cases = {
      {"DOS time alone", 0x52DC5041, "", dos, dos, dos},
      {"UT flags 1", 0x52DC5041, utExtraRecord(1, {t1}), fileTime(t1), dos, dos},
      {"UT flags 7", 0x52DC5041, utExtraRecord(7, {t1, t2, t3}), fileTime(t1), fileTime(t2), fileTime(t3)},
      {"UT flags 6", 0x52DC5041, utExtraRecord(6, {t2, t3}), dos, fileTime(t2), fileTime(t3)},
      {"UT after another record", 0x52DC5041, otherRecord + utExtraRecord(1, {t2}), fileTime(t2), dos, dos},
      {"UT flags 3 with one time", 0x52DC5041, utExtraRecord(3, {t1}), fileTime(t1), dos, dos},
      {"UT longer than the field", 0x52DC5041, utExtraRecord(1, {t1}).substr(0, 8), dos, dos, dos},
      {"record longer than the field", 0x52DC5041, std::string("\x0a\x00\x40\x00", 4) + utExtraRecord(1, {t1}), dos,
       dos, dos},
      {"empty UT", 0x52DC5041, std::string("UT\0\0", 4), dos, dos, dos},
      {"no valid DOS date", 0, "", 0, 0, 0},
      {"no valid DOS date, UT", 0, utExtraRecord(1, {t1}), fileTime(t1), 0, 0},
  };
  ZipFixture fixture;
  for (const Case& c : cases) {
    ZipFixtureEntry& entry = fixture.add(c.what, "data");
    entry.dosDateTime = c.dosDateTime;
    entry.localExtra = c.extra;
  }
  TempDir dir;
  const ZipPtr zip = openArchive(writeArchive(dir, fixture));
  ASSERT_NE(zip, nullptr);
  for (size_t i = 0; i < cases.size(); i++) {
    const ZipEntryInfo info = entryOf(zip.get(), int32_t(i));
    EXPECT_EQ(info.modificationTime, cases[i].modification) << cases[i].what;
    EXPECT_EQ(info.accessTime, cases[i].access) << cases[i].what;
    EXPECT_EQ(info.creationTime, cases[i].creation) << cases[i].what;
    // The data still begin after the extra field.
    EXPECT_EQ(unzip(zip.get(), int32_t(i), 4).bytes, "data") << cases[i].what;
  }
}

#ifndef _WIN32
// The daylight saving rule in force on the entry's date decides its offset, not today's.
TEST(ZipReader, DosTimesAreLocalTimesOfTheirOwnDate) {
  ScopedVariable zone("TZ", "Europe/Berlin");
  ZipFixture fixture;
  fixture.add("summer", "").dosDateTime = 0x52DC5041;                                        // 2021-06-28 10:02:02
  fixture.add("winter", "").dosDateTime = uint32_t(41 << 9 | 1 << 5 | 15) << 16 | 10 << 11;  // 2021-01-15 10:00:00
  TempDir dir;
  const ZipPtr zip = openArchive(writeArchive(dir, fixture));
  ASSERT_NE(zip, nullptr);
  const int64_t hour = 3600 * 10000000LL;
  EXPECT_EQ(entryOf(zip.get(), 0).modificationTime, 132693481220000000 - 2 * hour);
  EXPECT_EQ(entryOf(zip.get(), 1).modificationTime, 132551784000000000 - hour);
}
#endif

TEST(ZipReader, CutsLongNamesAtACharacterBoundaryAndStillFindsTheEntriesAfter) {
  const std::string e = "\xc3\xa9";              // 2 bytes
  const std::string euro = "\xe2\x82\xac";       // 3 bytes
  const std::string smile = "\xf0\x9f\x98\x80";  // 4 bytes, 2 UTF-16 units
  const auto a = [](size_t n) { return std::string(n, 'a'); };
  const auto wideOf = [](const std::string& utf8) { return widePath(utf8); };
  struct Case {
    std::string name;
    std::u16string expected;
  };
  const std::vector<Case> cases = {
      {a(300), wideOf(a(259))},
      {a(259), wideOf(a(259))},
      {a(258) + e + "bbb", wideOf(a(258))},
      {a(257) + e + "bb", wideOf(a(257) + e)},
      {a(257) + euro + "b", wideOf(a(257))},
      {a(256) + euro + "b", wideOf(a(256) + euro)},
      {a(256) + smile, wideOf(a(256))},
      {a(255) + smile + "c", wideOf(a(255) + smile)},
      {euro + a(1000), wideOf(euro + a(256))},
  };
  ZipFixture fixture;
  for (size_t i = 0; i < cases.size(); i++) {
    fixture.add(cases[i].name, "long " + std::to_string(i));
    fixture.add("next" + std::to_string(i), "after " + std::to_string(i), 8);
  }
  TempDir dir;
  const ZipPtr zip = openArchive(writeArchive(dir, fixture));
  ASSERT_NE(zip, nullptr);
  for (size_t i = 0; i < cases.size(); i++) {
    const int32_t index = int32_t(2 * i);
    const ZipEntryInfo info = entryOf(zip.get(), index);
    EXPECT_EQ(std::u16string(info.name), cases[i].expected) << i;
    EXPECT_EQ(unzip(zip.get(), index, info.uncompressedSize).bytes, "long " + std::to_string(i));
    EXPECT_EQ(nameOf(entryOf(zip.get(), index + 1)), "next" + std::to_string(i));
    EXPECT_EQ(unzipWhole(zip.get(), index + 1).bytes, "after " + std::to_string(i));
  }
}

// --- encryption

TEST(ZipReader, DecryptsWithTheRightPasswordOnly) {
  const std::string text = sampleText(20000, 7);
  ZipFixture fixture;
  fixture.add("stored", text).password = "secret";
  fixture.add("deflated", text, 8).password = "secret";
  ZipFixtureEntry& described = fixture.add("descriptor", text, 8);
  described.password = "secret";
  described.dataDescriptor = true;
  fixture.add("empty", "").password = "secret";
  fixture.add("plain", "not secret", 8);
  TempDir dir;
  const std::string path = writeArchive(dir, fixture);

  const ZipPtr right = openArchive(path, "secret");
  ASSERT_NE(right, nullptr);
  for (int32_t i = 0; i < 3; i++) {
    const Unzipped read = unzipWhole(right.get(), i);
    EXPECT_TRUE(read.bytes == text) << i;
    EXPECT_EQ(read.results.back(), zipOk) << i;
    EXPECT_EQ(entryOf(right.get(), i).compressedSize,
              int32_t((i == 0 ? text.size() : ZipFixture::deflateRaw(text).size()) + 12));
  }
  EXPECT_EQ(unzipWhole(right.get(), 3).results, std::vector<int32_t>{zipOk});

  for (const char* password : {static_cast<const char*>(nullptr), "Secret", ""}) {
    SCOPED_TRACE(password == nullptr ? "no password" : password);
    const ZipPtr wrong = openArchive(path, password);
    ASSERT_NE(wrong, nullptr);
    for (int32_t i = 0; i < 4; i++) {
      char buffer[1024];
      EXPECT_EQ(unzipEntryToMemory(wrong.get(), i, buffer, 1024), zipPasswordFailed) << i;
      EXPECT_EQ(lastZipResult, zipPasswordFailed);
    }
    EXPECT_EQ(unzipWhole(wrong.get(), 4).bytes, "not secret");
  }
}

// --- refusals

TEST(ZipReader, RefusesAnEntryWhoseHeadersDisagree) {
  struct Case {
    const char* what;
    std::function<void(ZipFixtureEntry&)> breakIt;
  };
  const std::vector<Case> cases = {
      {"local method 8, central 0", [](ZipFixtureEntry& e) { e.localMethod = 8; }},
      {"local method 0, central 8",
       [](ZipFixtureEntry& e) {
         e.method = 8;
         e.localMethod = 0;
       }},
      {"unsupported method", [](ZipFixtureEntry& e) { e.method = 12; }},
      {"central compressed size", [](ZipFixtureEntry& e) { e.centralCompressedSize = int64_t(e.data.size()) + 1; }},
      {"local header beyond the file", [](ZipFixtureEntry& e) { e.centralLocalOffset = 0x7FFFFFF0; }},
      {"local header of another name length", [](ZipFixtureEntry& e) { e.centralLocalOffset = 0; }},
      {"no local header there", [](ZipFixtureEntry& e) { e.centralLocalOffset = 3; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ZipFixture fixture;
    fixture.add("first", "ok 0");
    c.breakIt(fixture.add("second entry", "data of the second"));
    fixture.add("third", "ok 2", 8);
    TempDir dir;
    const ZipPtr zip = openArchive(writeArchive(dir, fixture));
    ASSERT_NE(zip, nullptr);
    ZipEntryInfo info;
    EXPECT_EQ(getZipEntry(zip.get(), 1, &info), zipBadEntryHeader);
    EXPECT_EQ(lastZipResult, zipBadEntryHeader);
    char buffer[1024];
    EXPECT_EQ(unzipEntryToMemory(zip.get(), 1, buffer, 1024), zipUnzipFailed);
    EXPECT_EQ(lastZipResult, zipUnzipFailed);
    EXPECT_EQ(unzipWhole(zip.get(), 0).bytes, "ok 0");
    EXPECT_EQ(unzipWhole(zip.get(), 2).bytes, "ok 2");
  }
}

TEST(ZipReader, RefusesAnEntryWhoseLocalExtraFieldRunsPastTheFile) {
  ZipFixture fixture;
  fixture.add("a", "first");
  std::string bytes = fixture.bytes();
  bytes[28] = bytes[29] = '\xff';  // the local extra length
  TempDir dir;
  const ZipPtr zip = openArchive(dir.write("extra.zip", bytes));
  ASSERT_NE(zip, nullptr);
  ZipEntryInfo info;
  EXPECT_EQ(getZipEntry(zip.get(), 0, &info), zipBadExtraField);
  EXPECT_EQ(lastZipResult, zipBadExtraField);
  char buffer[1024];
  EXPECT_EQ(unzipEntryToMemory(zip.get(), 0, buffer, 1024), zipUnzipFailed);
}

TEST(ZipReader, ReportsACrcMismatchOnTheCallThatCompletesTheEntry) {
  const std::string data = sampleText(2500, 8);
  for (const uint16_t method : {uint16_t(0), uint16_t(8)}) {
    for (const bool descriptor : {false, true}) {
      SCOPED_TRACE(testing::Message() << "method " << method << ", descriptor " << descriptor);
      ZipFixture fixture;
      ZipFixtureEntry& entry = fixture.add("bad", data, method);
      entry.crcXor = 0x10;
      entry.dataDescriptor = descriptor;
      fixture.add("small", "tiny", method).crcXor = 0x80000000;
      TempDir dir;
      const ZipPtr zip = openArchive(writeArchive(dir, fixture));
      ASSERT_NE(zip, nullptr);
      EXPECT_EQ(unzip(zip.get(), 0, 2500).results, (std::vector<int32_t>{zipMoreData, zipMoreData, zipUnzipFailed}));
      EXPECT_EQ(lastZipResult, zipUnzipFailed);
      // The failed entry was closed: the next call starts it again.
      char buffer[1024];
      EXPECT_EQ(unzipEntryToMemory(zip.get(), 0, buffer, 1024), zipMoreData);
      EXPECT_EQ(unzip(zip.get(), 1, 4).results, std::vector<int32_t>{zipUnzipFailed});
    }
  }
}

TEST(ZipReader, RefusesEntriesOf2GiBOrMore) {
  struct Case {
    int64_t compressed;
    int64_t uncompressed;
    bool listed;
  };
  const std::vector<Case> cases = {
      {-1, 0x80000000LL, false},
      {0x80000000LL, -1, false},
      {0xFFFFFFFFLL, 0xFFFFFFFFLL, false},
      {-1, 0x7FFFFFFFLL, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.compressed << " " << c.uncompressed);
    ZipFixture fixture;
    // A data descriptor keeps the local header from disagreeing: the sizes alone decide.
    ZipFixtureEntry& entry = fixture.add("huge", "only a few bytes", 8);
    entry.dataDescriptor = true;
    entry.centralCompressedSize = c.compressed;
    entry.centralUncompressedSize = c.uncompressed;
    fixture.add("small", "fine");
    TempDir dir;
    const ZipPtr zip = openArchive(writeArchive(dir, fixture));
    ASSERT_NE(zip, nullptr);
    ZipEntryInfo info;
    EXPECT_EQ(getZipEntry(zip.get(), 0, &info), c.listed ? zipOk : zipBadEntryHeader);
    if (c.listed) {
      EXPECT_EQ(info.uncompressedSize, 0x7FFFFFFF);
    }
    // The deflate stream ends long before the claimed size, which is an error too.
    char buffer[1024];
    EXPECT_EQ(unzipEntryToMemory(zip.get(), 0, buffer, 1024), zipUnzipFailed);
    EXPECT_EQ(unzipWhole(zip.get(), 1).bytes, "fine");
  }
}

TEST(ZipReader, NeverReadsMoreThanTheEntryHolds) {
  const std::string text = sampleText(5000, 9);
  const int64_t deflated = int64_t(ZipFixture::deflateRaw(text).size());
  struct Case {
    const char* what;
    uint16_t method;
    int64_t compressed;
    int64_t uncompressed;
    bool asIs;
  };
  const std::vector<Case> cases = {
      {"deflate stream longer than the entry", 8, deflated / 2, -1, false},
      {"deflate stream shorter than the size", 8, -1, int64_t(text.size()) + 100, false},
      {"size shorter than the deflate stream", 8, -1, int64_t(text.size()) - 100, false},
      {"no deflate stream", 8, -1, -1, true},
      {"stored sizes differ", 0, int64_t(text.size()) - 1, -1, false},
      {"stored data running past the end of the file", 0, int64_t(text.size()) + 1000, int64_t(text.size()) + 1000,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ZipFixture fixture;
    ZipFixtureEntry& entry = fixture.add("broken", text, c.method);
    entry.dataDescriptor = true;
    entry.writeDataAsIs = c.asIs;
    entry.centralCompressedSize = c.compressed;
    entry.centralUncompressedSize = c.uncompressed;
    TempDir dir;
    const ZipPtr zip = openArchive(writeArchive(dir, fixture));
    ASSERT_NE(zip, nullptr);
    const ZipEntryInfo info = entryOf(zip.get(), 0);
    const Unzipped read = unzip(zip.get(), 0, info.uncompressedSize);
    EXPECT_EQ(read.results.back(), zipUnzipFailed);
  }
}

TEST(ZipReader, EntriesBehindABrokenDirectoryEntryAreRefused) {
  ZipFixture fixture;
  fixture.add("a", "first");
  fixture.add("b", "second", 8);
  fixture.entryCountOverride = 4;
  TempDir dir;
  const ZipPtr zip = openArchive(writeArchive(dir, fixture));
  ASSERT_NE(zip, nullptr);
  EXPECT_EQ(entryOf(zip.get(), -1).index, 4);
  ZipEntryInfo info;
  char buffer[1024];
  for (const int32_t index : {3, 2, 3}) {
    EXPECT_EQ(getZipEntry(zip.get(), index, &info), zipBadEntryHeader) << index;
    EXPECT_EQ(unzipEntryToMemory(zip.get(), index, buffer, 1024), zipUnzipFailed) << index;
  }
  EXPECT_EQ(unzipWhole(zip.get(), 1).bytes, "second");
  EXPECT_EQ(unzipWhole(zip.get(), 0).bytes, "first");

  // A directory entry whose comment runs on past the directory would lead the walk into the archive's
  // comment, where a well-made header waits: neither is taken.
  ZipFixture single;
  single.add("a", "first");
  const std::string centralHeader = single.bytes().substr(single.bytes().size() - 22 - 47, 47);
  single.entryCountOverride = 2;
  single.comment = centralHeader;
  std::string bytes = single.bytes();
  bytes[bytes.size() - centralHeader.size() - 22 - 47 + 32] = 22;  // entry 0's comment length
  const ZipPtr withComment = openArchive(dir.write("comment.zip", bytes));
  ASSERT_NE(withComment, nullptr);
  EXPECT_EQ(getZipEntry(withComment.get(), 0, &info), zipBadEntryHeader);
  EXPECT_EQ(getZipEntry(withComment.get(), 1, &info), zipBadEntryHeader);
}

TEST(ZipReader, RefusesBadArguments) {
  ZipFixture fixture;
  fixture.add("a", "x");
  fixture.add("b", "y");
  TempDir dir;
  const ZipPtr zip = openArchive(writeArchive(dir, fixture));
  ASSERT_NE(zip, nullptr);
  ZipHandle* const h = zip.get();
  ZipHandle otherMode{2, h->reader};
  ZipEntryInfo info;
  char buffer[16];
  struct Case {
    const char* what;
    std::function<int32_t()> call;
    int32_t expected;
  };
  const std::vector<Case> cases = {
      {"list, null handle", [&] { return getZipEntry(nullptr, 0, &info); }, zipBadArgument},
      {"unzip, null handle", [&] { return unzipEntryToMemory(nullptr, 0, buffer, 16); }, zipBadArgument},
      {"close, null handle", [&] { return closeZip(nullptr); }, zipBadArgument},
      {"list, index -2", [&] { return getZipEntry(h, -2, &info); }, zipBadArgument},
      {"list, index = count", [&] { return getZipEntry(h, 2, &info); }, zipBadArgument},
      {"list, no info", [&] { return getZipEntry(h, 0, nullptr); }, zipBadArgument},
      {"unzip, index -1", [&] { return unzipEntryToMemory(h, -1, buffer, 16); }, zipBadArgument},
      {"unzip, index = count", [&] { return unzipEntryToMemory(h, 2, buffer, 16); }, zipBadArgument},
      {"unzip, no buffer", [&] { return unzipEntryToMemory(h, 0, nullptr, 16); }, zipBadArgument},
      {"unzip, length 0", [&] { return unzipEntryToMemory(h, 0, buffer, 0); }, zipBadArgument},
      {"unzip, negative length", [&] { return unzipEntryToMemory(h, 0, buffer, -16); }, zipBadArgument},
      {"list, other mode", [&] { return getZipEntry(&otherMode, 0, &info); }, zipNotUnzipHandle},
      {"unzip, other mode", [&] { return unzipEntryToMemory(&otherMode, 0, buffer, 16); }, zipNotUnzipHandle},
      {"close, other mode", [&] { return closeZip(&otherMode); }, zipNotUnzipHandle},
  };
  for (const Case& c : cases) {
    lastZipResult = -1;
    EXPECT_EQ(c.call(), c.expected) << c.what;
    EXPECT_EQ(lastZipResult, c.expected) << c.what;
  }
  // None of it disturbed the handle.
  EXPECT_EQ(unzipWhole(h, 1).bytes, "y");
}

TEST(ZipReader, OpenFailsForFilesThatHoldNoArchive) {
  TempDir dir;
  ZipFixture good;
  good.add("a", "x");
  const std::string valid = good.bytes();
  ZipFixture twoDisks = good;
  twoDisks.diskNumber = 1;
  ZipFixture directoryAfterRecord = good;
  directoryAfterRecord.directoryOffsetShift = 1000;
  std::string countsDiffer = valid;
  countsDiffer[countsDiffer.size() - 22 + 8] = 2;
  struct Case {
    const char* what;
    std::string path;
  };
  const std::vector<Case> cases = {
      {"missing file", dir.pathOf("missing.zip")},
      {"directory", dir.path()},
      {"empty file", dir.write("empty.zip", "")},
      {"four bytes", dir.write("four.zip", "PK\x05\x06")},
      {"text", dir.write("text.zip", sampleText(5000, 10))},
      {"end record cut short", dir.write("cut.zip", valid.substr(0, valid.size() - 1))},
      {"two disks", dir.write("disks.zip", twoDisks.bytes())},
      {"entry counts differ", dir.write("counts.zip", countsDiffer)},
      {"directory after its end record", dir.write("after.zip", directoryAfterRecord.bytes())},
      {"comment longer than the search",
       dir.write("comment.zip", valid.substr(0, valid.size() - 2) + "\xEA\xFF" + std::string(65514, 'c'))},
  };
  for (const Case& c : cases) {
    lastZipResult = -1;
    EXPECT_EQ(openArchive(c.path), nullptr) << c.what;
    EXPECT_EQ(lastZipResult, zipCannotOpen) << c.what;
  }
  lastZipResult = -1;
  EXPECT_EQ(openZipFile(nullptr, nullptr), nullptr);
  EXPECT_EQ(lastZipResult, zipCannotOpen);

  // The UTF-16 name reaches the file system whole.
  const ZipPtr zip = openArchive(dir.write("archiv\xc3\xa9 \xe2\x82\xac.zip", valid));
  EXPECT_NE(zip, nullptr);
  EXPECT_EQ(lastZipResult, zipOk);
}

// --- a real archive

TEST(ZipReader, ReadsEveryEntryOfTheJdkArchive) {
  const std::string path = "/usr/lib/jvm/java-17-openjdk-amd64/lib/jrt-fs.jar";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is not installed";
  const ZipPtr zip = openArchive(path);
  ASSERT_NE(zip, nullptr);
  const int32_t count = entryOf(zip.get(), -1).index;
  EXPECT_GT(count, 10);
  int32_t classes = 0;
  for (int32_t i = 0; i < count; i++) {
    const ZipEntryInfo info = entryOf(zip.get(), i);
    const Unzipped read = unzip(zip.get(), i, info.uncompressedSize);
    ASSERT_EQ(read.results.back(), zipOk) << nameOf(info);
    EXPECT_EQ(read.bytes.size(), size_t(info.uncompressedSize)) << nameOf(info);
    if (read.bytes.compare(0, 4, "\xca\xfe\xba\xbe") == 0) classes++;
  }
  EXPECT_GT(classes, 10);
}
