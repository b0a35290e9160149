#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "agent/heap/DominatorGraphFiles.h"
#include "agent/platform/Directories.h"
#include "agent/platform/Files.h"
#include "agent/platform/Processes.h"
#include "tests/support/TempDir.h"
#include "tests/unit/heap/DominatorFixtures.h"

namespace fs = std::filesystem;

TEST(DominatorGraphFiles, TheReaderStopsAtTheEndTheFileHadWhenItWasMade) {
  TempDir work;
  const std::string path = work.write("g.bin", littleEndianBytes({7, -2}) + std::string("\x05\x01", 2));
  FileDescriptorGuard file(openFileForRead(YString(path.c_str())));
  ASSERT_GE(file.fd, 0);
  GraphFileReader in(file.fd);
  std::ofstream(path, std::ios::binary | std::ios::app) << littleEndianBytes({9, 9});
  EXPECT_EQ(3, in.valuesLeft());
  EXPECT_EQ(7, in.readInt());
  EXPECT_EQ(-2, in.readInt());
  EXPECT_FALSE(in.atEnd());
  EXPECT_EQ(0x105, in.readInt());  // the missing high bytes read as 0
  EXPECT_TRUE(in.atEnd());
  EXPECT_EQ(0, in.valuesLeft());
  EXPECT_EQ(0, in.readInt());
}

TEST(DominatorGraphFiles, TemporaryNamesCarryTheProcessAndAClockValue) {
  const std::string stem = dominatorTempStem().data;
  std::smatch match;
  ASSERT_TRUE(std::regex_match(stem, match, std::regex(R"(bzptmp_(\d+)_(\d+))"))) << stem;
  EXPECT_EQ(std::to_string(getOwnPid()), match[1].str());
  EXPECT_NE(stem, std::string(dominatorTempStem().data));

  const std::string sep(1, pathSeparator);
  const YString s("bzptmp_1_2");
  EXPECT_EQ(std::string(getTempDir().data) + "bzptmp_1_2_brt.tmp",
            dominatorTempPath(YString(""), s, brtFileSuffix).data);
  EXPECT_EQ("/d" + sep + "bzptmp_1_2_parent.tmp", dominatorTempPath(YString("/d"), s, parentFileSuffix).data);
  EXPECT_EQ(std::string("/d/bzptmp_1_2_node2ordinal.tmp"),
            dominatorTempPath(YString("/d/"), s, node2ordinalFileSuffix).data);
  EXPECT_EQ(std::string("/d\\bzptmp_1_2_brt.tmp"), dominatorTempPath(YString("/d\\"), s, brtFileSuffix).data);
}

TEST(DominatorGraphFiles, TemporaryFilesAreRemovedWhenTheComputationGoes) {
  TempDir work;
  {
    DominatorTempFiles files(YString(work.path().c_str()));
    for (const YString* path : {&files.parent, &files.node2ordinal, &files.brt}) {
      std::ofstream(path->data) << "x";
      ASSERT_TRUE(fs::exists(path->data));
    }
    EXPECT_EQ(0u, std::string(files.brt.data).rfind(work.path(), 0)) << files.brt.data;
  }
  EXPECT_TRUE(fs::is_empty(work.path()));
}
