#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "agent/platform/Directories.h"
#include "agent/platform/Files.h"
#include "agent/support/FileUtils.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;

const std::string sep(1, pathSeparator);

std::string contentsOf(const std::string& path) {
  std::ifstream in(fs::u8path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path) { return fs::exists(fs::symlink_status(fs::u8path(path))); }

std::string textOf(const YVector<unsigned char>& bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data), size_t(bytes.size));
}

std::vector<std::string> sortedNames(const YVector<YString>& names) {
  std::vector<std::string> result;
  for (int32_t i = 0; i < names.size; i++) result.emplace_back(names.data[i].data);
  std::sort(result.begin(), result.end());
  return result;
}

// Bytes that show a wrong block boundary or a sign error: every value, in a run longer than both the
// 1024-byte stream blocks and the 10240-byte descriptor blocks.
std::string patternBytes(size_t count) {
  std::string bytes(count, 0);
  for (size_t i = 0; i < count; i++) bytes[i] = char((i * 7 + i / 256) & 0xFF);
  return bytes;
}

void writeAll(int32_t fd, const std::string& text) {
  ASSERT_TRUE(writeFile(fd, text.data(), int32_t(text.size())));
}

}  // namespace

// --- BufferedFileReader

TEST(BufferedFileReader, RefillsAcrossTheBufferBoundaryAndEndsForGood) {
  TempDir dir;
  const std::string bytes("\x00\xff" "abc\x80" "d", 7);
  const int32_t fd = openFileForRead(YString(dir.write("data", bytes).c_str()));
  ASSERT_GE(fd, 0);
  unsigned char buffer[3];
  BufferedFileReader reader(fd, buffer, 3);

  for (size_t i = 0; i < bytes.size(); i++) {
    EXPECT_EQ(reader.readByte(), int32_t(static_cast<unsigned char>(bytes[i]))) << i;
    EXPECT_EQ(reader.filled, i < 6 ? 3 : 1) << i;
    EXPECT_EQ(reader.position, int32_t(i % 3) + 1) << i;
  }
  EXPECT_EQ(reader.readByte(), 0);
  EXPECT_EQ(reader.filled, -1);
  reader.seek(0);
  EXPECT_EQ(reader.filled, -1);
  EXPECT_EQ(reader.readByte(), 0);
  closeFile(fd);
}

TEST(BufferedFileReader, SeekMovesTheDescriptorAndEmptiesTheBuffer) {
  TempDir dir;
  const int32_t fd = openFileForRead(YString(dir.write("data", "0123456789").c_str()));
  ASSERT_GE(fd, 0);
  unsigned char buffer[4];
  BufferedFileReader reader(fd, buffer, 4);

  EXPECT_EQ(reader.readByte(), '0');
  reader.seek(8);
  EXPECT_EQ(reader.filled, 0);
  EXPECT_EQ(reader.readByte(), '8');
  reader.seek(1);  // backwards, to a byte the buffer held before
  EXPECT_EQ(reader.readByte(), '1');
  EXPECT_EQ(reader.readByte(), '2');
  reader.seek(9);
  EXPECT_EQ(reader.readByte(), '9');
  EXPECT_EQ(reader.readByte(), 0);
  EXPECT_EQ(reader.filled, -1);
  closeFile(fd);
}

TEST(BufferedFileReader, AnEmptyFileEndsAtOnce) {
  TempDir dir;
  const int32_t fd = openFileForRead(YString(dir.write("empty", "").c_str()));
  ASSERT_GE(fd, 0);
  unsigned char buffer[16];
  BufferedFileReader reader(fd, buffer, 16);
  EXPECT_EQ(reader.readByte(), 0);
  EXPECT_EQ(reader.filled, -1);
  reader.seek(0);
  EXPECT_EQ(reader.filled, -1);
  closeFile(fd);
}

#ifndef _WIN32
// A pipe cannot seek: the reader must end rather than go on with bytes from the wrong place.
TEST(BufferedFileReader, ASeekThatFailsEndsTheReader) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  ASSERT_TRUE(writeFile(ends[1], "abcdef", 6));
  unsigned char buffer[2];
  BufferedFileReader reader(ends[0], buffer, 2);
  EXPECT_EQ(reader.readByte(), 'a');
  reader.seek(4);
  EXPECT_EQ(reader.filled, -1);
  EXPECT_EQ(reader.readByte(), 0);
  closeFile(ends[0]);
  closeFile(ends[1]);
}
#endif

// --- Reading whole files

TEST(FileUtils, WholeFilesAreAppendedByPathStreamAndDescriptor) {
  TempDir dir;
  const std::string bytes = patternBytes(25000);
  const YString path(dir.write("data", bytes).c_str());

  YVector<unsigned char> byPath;
  byPath.add('>');
  readFileBytes(path, &byPath);
  EXPECT_EQ(textOf(byPath), ">" + bytes);

  YVector<unsigned char> byStream;
  FILE* stream = openFileStream(path, "rb");
  ASSERT_NE(stream, nullptr);
  readStreamBytes(stream, &byStream);
  EXPECT_EQ(textOf(byStream), bytes);
  EXPECT_EQ(std::fgetc(stream), EOF);  // still open, at its end
  std::fclose(stream);

  YVector<unsigned char> byDescriptor;
  const int32_t fd = openFileForRead(path);
  ASSERT_GE(fd, 0);
  readFdFully(fd, &byDescriptor);
  closeFile(fd);
  EXPECT_EQ(textOf(byDescriptor), bytes);
}

TEST(FileUtils, TextFilesAreReadWhole) {
  TempDir dir;
  const std::string text = std::string(3000, 'x') + "\nlast line";
  const YString path(dir.write("text", text).c_str());
  EXPECT_EQ(std::string(readFileText(path).data), text);

  FILE* stream = openFileStream(path, "r");
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(std::string(readTextFile(stream).data), text);
  std::fclose(stream);
}

TEST(FileUtils, AFileThatCannotBeOpenedLeavesTheResultAsItWas) {
  TempDir dir;
  const YString missing(dir.pathOf("missing").c_str());
  const YString directory(dir.path().c_str());
  YVector<unsigned char> bytes;
  bytes.add(7);
  readFileBytes(missing, &bytes);
  readFileBytes(directory, &bytes);
  EXPECT_EQ(bytes.size, 1);
  readFileBytes(missing, nullptr);  // nothing to read, so the missing vector is never touched
  EXPECT_STREQ(readFileText(missing).data, "");
  EXPECT_STREQ(readFileText(directory).data, "");
  EXPECT_EQ(openFileForRead(missing), -1);
  EXPECT_EQ(openFileForRead(directory), -1);
  EXPECT_EQ(openFileStream(missing, "rb"), nullptr);
  EXPECT_FALSE(exists(missing.data));
}

TEST(FileUtils, MissingOutputsAndAnEmptyPathAreAssertionFailures) {
  TempDir dir;
  const YString path(dir.write("data", "abc").c_str());
  YVector<unsigned char> bytes;
  YVector<YString> names;
  EXPECT_EQ(fatalErrorOf([&] { readFileBytes(path, nullptr); }),
            "error at FileUtils:70: assertion failed: value is NULL");
  EXPECT_EQ(fatalErrorOf([&] { readStreamBytes(nullptr, &bytes); }),
            "error at FileUtils:69: assertion failed: value is NULL");
  FILE* stream = openFileStream(path, "rb");
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(fatalErrorOf([&] { readStreamBytes(stream, nullptr); }),
            "error at FileUtils:70: assertion failed: value is NULL");
  std::fclose(stream);
  const int32_t fd = openFileForRead(path);
  EXPECT_EQ(fatalErrorOf([&] { readFdFully(fd, nullptr); }), "error at FileUtils:87: assertion failed: value is NULL");
  closeFile(fd);
  EXPECT_EQ(fatalErrorOf([&] { listFiles(YString(dir.path().c_str()), nullptr); }),
            "error at FileUtils:337: assertion failed: value is NULL");
  EXPECT_EQ(fatalErrorOf([&] { listClassFiles(YString(dir.path().c_str()), YString("p.A"), nullptr); }),
            "error at FileUtils:231: assertion failed: value is NULL");
  EXPECT_EQ(fatalErrorOf([] { makeDirectories(YString()); }), "error at FileUtils:190: assertion failed");
}

// --- Opening, writing, deleting

TEST(Files, EachOpenCreatesTruncatesOrKeepsAsItsNameSays) {
  TempDir dir;
  const std::string file = dir.write("file", "old contents");
  const YString path(file.c_str());

  int32_t fd = openFileForWrite(path);
  ASSERT_GE(fd, 0);
  writeAll(fd, "abcdef");
  closeFile(fd);
  EXPECT_EQ(contentsOf(file), "abcdef");

  fd = openExistingFileForWrite(path);
  ASSERT_GE(fd, 0);
  writeAll(fd, "XY");
  closeFile(fd);
  EXPECT_EQ(contentsOf(file), "XYcdef");

  EXPECT_EQ(openFileCreateNew(path), -1);
  EXPECT_EQ(contentsOf(file), "XYcdef");

  fd = openFileReadWrite(path);
  ASSERT_GE(fd, 0);
  writeAll(fd, "hello");
  EXPECT_EQ(seekFile(fd, 1), 1);
  char back[8] = {};
  EXPECT_EQ(readFile(fd, back, 8), 4);
  EXPECT_STREQ(back, "ello");
  EXPECT_EQ(readFile(fd, back, 8), 0);
  closeFile(fd);

  const YString fresh(dir.pathOf("fresh").c_str());
  EXPECT_EQ(openExistingFileForWrite(fresh), -1);
  EXPECT_FALSE(exists(fresh.data));
  fd = openFileCreateNew(fresh);
  ASSERT_GE(fd, 0);
  closeFile(fd);
  EXPECT_EQ(getFileSize(fresh), 0);
  const fs::perms perms = fs::status(fs::u8path(fresh.data)).permissions();
  EXPECT_NE(perms & fs::perms::owner_read, fs::perms::none);
  EXPECT_NE(perms & fs::perms::owner_write, fs::perms::none);
}

TEST(Files, AnOpenFileStaysOpenToOtherReadersAndWriters) {
  TempDir dir;
  const YString path(dir.write("shared", "").c_str());
  const int32_t writer = openFileForWrite(path);
  ASSERT_GE(writer, 0);
  const int32_t reader = openFileForRead(path);
  ASSERT_GE(reader, 0);
  const int32_t secondWriter = openExistingFileForWrite(path);
  ASSERT_GE(secondWriter, 0);
  FILE* stream = openFileStream(path, "rb");
  ASSERT_NE(stream, nullptr);

  writeAll(writer, "first");
  char back[8] = {};
  EXPECT_EQ(readFile(reader, back, 8), 5);
  EXPECT_STREQ(back, "first");
  writeAll(secondWriter, "F");
  EXPECT_EQ(std::fgetc(stream), 'F');

  std::fclose(stream);
  closeFile(secondWriter);
  closeFile(reader);
  closeFile(writer);
}

TEST(Files, StreamsOpenInTheGivenMode) {
  TempDir dir;
  const std::string file = dir.pathOf("stream");
  const YString path(file.c_str());
  FILE* stream = openFileStream(path, "wb");
  ASSERT_NE(stream, nullptr);
  std::fputs("one", stream);
  std::fclose(stream);
  stream = openFileStream(path, "ab");
  ASSERT_NE(stream, nullptr);
  std::fputs("two", stream);
  std::fclose(stream);
  EXPECT_EQ(contentsOf(file), "onetwo");

  stream = openFileStream(path, "r+b");
  ASSERT_NE(stream, nullptr);
  std::fputs("ON", stream);
  std::fclose(stream);
  EXPECT_EQ(contentsOf(file), "ONetwo");
}

TEST(Files, DeleteFileRemovesAFileOnce) {
  TempDir dir;
  const std::string file = dir.write("doomed", "x");
  EXPECT_TRUE(deleteFile(YString(file.c_str())));
  EXPECT_FALSE(exists(file));
  EXPECT_FALSE(deleteFile(YString(file.c_str())));
  EXPECT_FALSE(deleteFile(YString(dir.path().c_str())));
  EXPECT_TRUE(isDirectory(YString(dir.path().c_str())));
}

#ifndef _WIN32
TEST(Files, OpensThatWriteRefuseAPlantedSymlink) {
  TempDir dir;
  const std::string victim = dir.write("victim", "secret");
  const std::string planted = dir.pathOf("planted");
  fs::create_symlink(victim, planted);
  const YString link(planted.c_str());
  EXPECT_EQ(openFileForWrite(link), -1);
  EXPECT_EQ(openFileCreateNew(link), -1);
  EXPECT_EQ(openFileReadWrite(link), -1);
  EXPECT_EQ(openExistingFileForWrite(link), -1);
  EXPECT_EQ(openFileStream(link, "w"), nullptr);
  EXPECT_EQ(openFileStream(link, "a"), nullptr);
  EXPECT_EQ(contentsOf(victim), "secret");

  // A dangling link must not create its target either.
  const std::string ghost = dir.pathOf("ghost");
  const std::string dangling = dir.pathOf("dangling");
  fs::create_symlink(ghost, dangling);
  EXPECT_EQ(openFileForWrite(YString(dangling.c_str())), -1);
  EXPECT_EQ(openFileCreateNew(YString(dangling.c_str())), -1);
  EXPECT_FALSE(exists(ghost));

  // Reading through a link the user made is fine.
  YVector<unsigned char> bytes;
  readFileBytes(link, &bytes);
  EXPECT_EQ(textOf(bytes), "secret");
}

TEST(Files, DescriptorsAreClosedOnExec) {
  TempDir dir;
  const YString path(dir.write("file", "x").c_str());
  const auto closeOnExec = [](int fd) {
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(fd));
    std::string key;
    std::string flags;
    while (info >> key >> flags && key != "flags:") {
    }
    return (std::stoul(flags, nullptr, 8) & 02000000) != 0;
  };
  for (const int32_t fd : {openFileForRead(path), openFileForWrite(path), openFileReadWrite(path),
                           openExistingFileForWrite(path)}) {
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(closeOnExec(fd));
    closeFile(fd);
  }
  FILE* stream = openFileStream(path, "rb");
  ASSERT_NE(stream, nullptr);
  EXPECT_TRUE(closeOnExec(fileno(stream)));
  std::fclose(stream);
}

TEST(Files, GrantingAccessLetsGroupAndOthersReadButNotFollowALink) {
  TempDir dir;
  const std::string file = dir.write("log", "x");
  fs::permissions(fs::u8path(file), fs::perms::owner_read | fs::perms::owner_write);
  grantFileAccessToEveryone(toWideString(YString(file.c_str())));
  EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                                fs::perms::others_read);

  const std::string privateFile = dir.write("private", "y");
  fs::permissions(fs::u8path(privateFile), fs::perms::owner_read | fs::perms::owner_write);
  const std::string planted = dir.pathOf("planted");
  fs::create_symlink(privateFile, planted);
  grantFileAccessToEveryone(toWideString(YString(planted.c_str())));
  EXPECT_EQ(fs::status(privateFile).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}
#endif

TEST(Files, GrantingAccessToAMissingFileIsSilent) {
  TempDir dir;
  grantFileAccessToEveryone(toWideString(YString(dir.pathOf("missing").c_str())));
  EXPECT_FALSE(exists(dir.pathOf("missing")));
}

// --- Sizes and lengths

TEST(Files, FileSizes) {
  TempDir dir;
  EXPECT_EQ(getFileSize(YString(dir.write("empty", "").c_str())), 0);
  EXPECT_EQ(getFileSize(YString(dir.write("five", "12345").c_str())), 5);
  EXPECT_EQ(getFileSize(YString(dir.path().c_str())), -1);
  EXPECT_EQ(getFileSize(YString(dir.pathOf("missing").c_str())), -1);
}

TEST(Files, SetFileLengthGrowsAndCutsAndLeavesTheOffsetAtTheEnd) {
  TempDir dir;
  const std::string file = dir.pathOf("sized");
  const YString path(file.c_str());
  const int32_t fd = openFileReadWrite(path);
  ASSERT_GE(fd, 0);
  writeAll(fd, "abc");
  EXPECT_TRUE(setFileLength(fileHandleOf(fd), (int64_t(1) << 32) + 7));  // past 32 bits: the high half counts
  EXPECT_EQ(getFileSize(path), (int64_t(1) << 32) + 7);
  EXPECT_TRUE(setFileLength(fileHandleOf(fd), 2));
  EXPECT_EQ(getFileSize(path), 2);
  writeAll(fd, "Z");
  EXPECT_FALSE(setFileLength(fileHandleOf(fd), -1));
  closeFile(fd);
  EXPECT_EQ(contentsOf(file), "abZ");
}

// --- Directories

TEST(FileUtils, IsDirectoryOnlyForExistingDirectories) {
  TempDir dir;
  EXPECT_TRUE(isDirectory(YString(dir.path().c_str())));
  EXPECT_FALSE(isDirectory(YString(dir.write("file", "").c_str())));
  EXPECT_FALSE(isDirectory(YString(dir.pathOf("missing").c_str())));
}

TEST(FileUtils, MakeDirectoriesCreatesTheMissingLevelsWhateverTheSeparators) {
  TempDir dir;
  const std::string kept = dir.write("a/kept", "still here");

  makeDirectories(YString((dir.path() + "/a\\b//c").c_str()));
  EXPECT_TRUE(isDirectory(YString(dir.pathOf("a/b/c").c_str())));
  EXPECT_EQ(contentsOf(kept), "still here");

  makeDirectories(YString((dir.path() + "\\a/b\\\\c/d/").c_str()));
  EXPECT_TRUE(isDirectory(YString(dir.pathOf("a/b/c/d").c_str())));

  makeDirectories(YString(dir.pathOf("a/b/c").c_str()));  // exists already
  EXPECT_TRUE(isDirectory(YString(dir.pathOf("a/b/c/d").c_str())));

  // A file in the way stops the creation silently.
  makeDirectories(YString(dir.pathOf("a/kept/x").c_str()));
  EXPECT_FALSE(exists(dir.pathOf("a/kept/x")));
  EXPECT_EQ(contentsOf(kept), "still here");
}

TEST(FileUtils, ListFilesNamesEveryEntryWithoutTheDirectory) {
  TempDir dir;
  YVector<YString> names;
  listFiles(YString(dir.path().c_str()), &names);
  EXPECT_EQ(sortedNames(names), (std::vector<std::string>{".", ".."}));

  dir.write("f.txt", "");
  dir.write("sub/inner", "");
  for (const std::string& directory : {dir.path(), dir.path() + sep}) {
    YVector<YString> found;
    found.add(YString("earlier"));
    listFiles(YString(directory.c_str()), &found);
    EXPECT_EQ(sortedNames(found), (std::vector<std::string>{".", "..", "earlier", "f.txt", "sub"})) << directory;
  }

  YVector<YString> none;
  listFiles(YString(dir.pathOf("missing").c_str()), &none);
  EXPECT_EQ(none.size, 0);
}

TEST(FileUtils, ListClassFilesFindsTheClassAndItsNestedClassesOnly) {
  TempDir dir;
  for (const char* name : {"p/q/Outer.class", "p/q/Outer$1.class", "p/q/OuterX.class", "p/q/Other.class",
                           "p/q/Outer$1.txt", "p/Outer.class", "Top.class", "Top$Inner.class"}) {
    dir.write(name, "");
  }
  YVector<YString> found;
  listClassFiles(YString((dir.path() + "/").c_str()), YString("p.q.Outer"), &found);
  EXPECT_EQ(sortedNames(found), (std::vector<std::string>{dir.pathOf("p/q/Outer$1.class"), dir.pathOf("p/q/Outer.class")}));

  YVector<YString> topLevel;
  listClassFiles(YString(dir.path().c_str()), YString("Top"), &topLevel);
  EXPECT_EQ(sortedNames(topLevel), (std::vector<std::string>{dir.pathOf("Top$Inner.class"), dir.pathOf("Top.class")}));

  YVector<YString> none;
  listClassFiles(YString(dir.path().c_str()), YString("no.such.Thing"), &none);
  EXPECT_EQ(none.size, 0);
}

// --- Names and paths

TEST(FileUtils, FileNameOfPathTakesTheTextAfterTheLastSeparator) {
  const struct {
    const char* path;
    const char* name;
  } cases[] = {
      {"name.log", "name.log"}, {"a/b/c.txt", "c.txt"}, {"a\\b\\c.txt", "c.txt"},
      {"a/b\\c", "c"},          {"a\\b/c", "c"},        {"dir/", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_STREQ(fileNameOfPath(YString(c.path)).data, c.name) << c.path;
}

TEST(Files, GetFullPathMakesAPathAbsoluteByItsTextAlone) {
  TempDir dir;
  EXPECT_EQ(std::string(getFullPath(YString("relative-name")).data),
            std::string(getCurrentDir().data) + sep + "relative-name");
  const std::string winding = dir.path() + sep + "a" + sep + "." + sep + "b" + sep + ".." + sep + "c";
  EXPECT_EQ(std::string(getFullPath(YString(winding.c_str())).data), dir.pathOf("a/c"));
}
