#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "agent/platform/Files.h"
#include "agent/platform/TempFiles.h"
#include "tests/support/TempDir.h"

// Files in shared directories: made new and private, opened only when they are the user's own, and
// replaced in one step.

namespace {

std::string readAll(int32_t fd) {
  std::string text;
  char buffer[64];
  for (int32_t count; (count = readFile(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(count));
  return text;
}

void writeText(const std::string& path, const std::string& text) {
  std::ofstream(std::filesystem::u8path(path), std::ios::binary | std::ios::trunc) << text;
}

TEST(TempFiles, PrivateFileIsNewOrNothing) {
  TempDir directory;
  const YString path(directory.pathOf("private").c_str());
  bool exists = true;
  const int32_t fd = createPrivateFile(path, exists);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(exists);
  EXPECT_TRUE(writeFile(fd, "abc", 3));
  closeFile(fd);
  EXPECT_EQ(-1, createPrivateFile(path, exists));
  EXPECT_TRUE(exists);
#ifndef _WIN32
  EXPECT_EQ(std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
            std::filesystem::status(path.data).permissions());
#endif
}

TEST(TempFiles, OwnFileOpensButNotADirectoryOrAMissingPath) {
  TempDir directory;
  writeText(directory.pathOf("own"), "mine");
  const int32_t fd = openOwnFileForRead(YString(directory.pathOf("own").c_str()));
  ASSERT_GE(fd, 0);
  EXPECT_EQ("mine", readAll(fd));
  closeFile(fd);
  EXPECT_EQ(-1, openOwnFileForRead(YString(directory.path().c_str())));
  EXPECT_EQ(-1, openOwnFileForRead(YString(directory.pathOf("missing").c_str())));
}

#ifndef _WIN32
TEST(TempFiles, SymlinkIsNeverOpened) {
  TempDir directory;
  writeText(directory.pathOf("target"), "secret");
  std::filesystem::create_symlink(directory.pathOf("target"), directory.pathOf("link"));
  EXPECT_EQ(-1, openOwnFileForRead(YString(directory.pathOf("link").c_str())));
}

TEST(TempFiles, FifoIsNeitherOpenedNorWaitedFor) {
  TempDir directory;
  ASSERT_EQ(0, mkfifo(directory.pathOf("fifo").c_str(), 0600));
  EXPECT_EQ(-1, openOwnFileForRead(YString(directory.pathOf("fifo").c_str())));
}
#endif

TEST(TempFiles, ReplacementTakesThePlaceOfTheOldFileInOneStep) {
  TempDir directory;
  const std::string target = directory.pathOf("target");
  writeText(target, "old");
  writeText(directory.pathOf("new"), "new contents");
  const int32_t reader = openOwnFileForRead(YString(target.c_str()));
  ASSERT_GE(reader, 0);
#ifdef _WIN32
  // Windows refuses to replace a file that is open without delete sharing; readers there close first.
  closeFile(reader);
#endif
  ASSERT_TRUE(replaceFile(YString(directory.pathOf("new").c_str()), YString(target.c_str())));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::u8path(directory.pathOf("new"))));
  std::ifstream in(std::filesystem::u8path(target), std::ios::binary);
  EXPECT_EQ("new contents", std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
#ifndef _WIN32
  // Whoever had the old file open goes on reading the old file.
  EXPECT_EQ("old", readAll(reader));
  closeFile(reader);
#endif
  EXPECT_FALSE(replaceFile(YString(directory.pathOf("missing").c_str()), YString(target.c_str())));
}

}  // namespace
