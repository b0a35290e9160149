#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "agent/support/BZPRuntimeException.h"
#include "tests/classfile/CorpusFiles.h"
#include "tests/classfile/ModelWrite.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

// Every class of the JDK goes through the model as a transformation takes it, parsed and written with no
// edit. Below version 50 the written class is the original byte for byte. From version 50 on the frames
// are expanded and encoded again, and the pool may gain a "StackMapTable" name and the Class entries of
// the methods' parameter types: the class must then be identical, or have a grown pool and be equal to
// the original as ASM's Textifier prints both with expanded frames (tests/classfile/AsmTextCompare.java).
// The only classes the model may refuse are those with constant-pool tags it does not know: 17, 19 and
// 20. The JDK's classes are all of version 50 or later, so each also goes through the model once more
// with its version set to 49, where the model keeps the stack-map tables as they came and must give back
// every byte.
// TALLYSCOPE_JAVA names the java executable, TALLYSCOPE_CORPUS_TOOLS the compiled Java programs and
// TALLYSCOPE_ASM_CLASSPATH the ASM jars they need.

namespace {

constexpr int32_t FIRST_FRAMES_VERSION = 50;
constexpr int32_t MAJOR_VERSION_OFFSET = 6;

int32_t u2At(const YVector<uint8_t>& bytes, int32_t position) { return bytes[position] << 8 | bytes[position + 1]; }

bool sameBytes(const YVector<uint8_t>& a, const YVector<uint8_t>& b) {
  return a.size == b.size && std::memcmp(a.data, b.data, size_t(a.size)) == 0;
}

bool isSoftFailureTag(const std::string& logEntry) {
  for (const char* tag : {"17", "19", "20"}) {
    if (logEntry == std::string("Unknown Constant Pool Info tag: ") + tag) return true;
  }
  return false;
}

struct Tally {
  int32_t total = 0;
  int32_t identical = 0;
  int32_t equalUnderAsm = 0;
  int32_t softFailures = 0;
  int32_t poolGrew = 0;  // among those compared with ASM
  int32_t identicalAs49 = 0;
  int32_t failures = 0;

  void fail(const std::string& text) {
    if (++failures <= 20) ADD_FAILURE() << text;
  }
};

}  // namespace

TEST(RoundTripCorpus, EveryClassWritesBackIdenticalOrEqualUnderAsm) {
  const std::string dump = asmDumpDirectory();
  const std::string java = environmentValue("TALLYSCOPE_JAVA");
  const std::string tools = environmentValue("TALLYSCOPE_CORPUS_TOOLS");
  const std::string asmClassPath = environmentValue("TALLYSCOPE_ASM_CLASSPATH");
  ASSERT_FALSE(dump.empty() || java.empty() || tools.empty() || asmClassPath.empty())
      << "TALLYSCOPE_ASM_DUMP, TALLYSCOPE_JAVA, TALLYSCOPE_CORPUS_TOOLS or TALLYSCOPE_ASM_CLASSPATH is not set";
  const std::string corpus = corpusDirectory(dump);
  std::vector<std::string> files = classFilesUnder(corpus);
  std::sort(files.begin(), files.end());
  ASSERT_GT(files.size(), 20000u) << "too few classes in " << corpus;

  LogCapture log;
  TempDir written;
  std::ofstream pairs(written.pathOf("pairs.txt"));
  Tally tally;
  for (const std::string& file : files) {
    tally.total++;
    const YVector<uint8_t> original = readClassFile(corpus + "/" + file);
    YVector<uint8_t> bytes;
    YVector<uint8_t> again;
    try {
      YVector<uint8_t> as49 = original;
      as49[MAJOR_VERSION_OFFSET] = 0;
      as49[MAJOR_VERSION_OFFSET + 1] = FIRST_FRAMES_VERSION - 1;
      YVector<uint8_t> written49;
      if (writeThroughModel(as49, written49)) {
        if (sameBytes(as49, written49)) {
          tally.identicalAs49++;
        } else {
          tally.fail(file + ": written differently as a class of version 49");
        }
      }
      if (!writeThroughModel(original, bytes)) {
        tally.softFailures++;
        const std::vector<std::string> entries = log.entries();
        if (entries.empty() || !isSoftFailureTag(entries.back())) {
          tally.fail(file + ": refused with " + (entries.empty() ? "no log entry" : entries.back()));
        }
        continue;
      }
      if (sameBytes(original, bytes)) {
        tally.identical++;
        continue;
      }
      // What the model wrote is what it writes again: nothing is lost or added on a second pass.
      writeThroughModel(bytes, again);
    } catch (const BZPRuntimeException&) {
      const std::vector<std::string> entries = log.entries();
      tally.fail(file + ": fatal error " + (entries.empty() ? "" : entries.back().substr(0, 300)));
      continue;
    }
    if (u2At(original, MAJOR_VERSION_OFFSET) < FIRST_FRAMES_VERSION) {
      tally.fail(file + ": a class without frames is written differently");
      continue;
    }
    if (!sameBytes(bytes, again)) tally.fail(file + ": the written class is written differently again");
    // The re-encoded frames equal javac's, so only entries added to the pool can make a difference.
    if (u2At(bytes, 8) > u2At(original, 8)) {
      tally.poolGrew++;
    } else {
      tally.fail(file + ": written differently although its pool did not grow");
    }
    pairs << corpus << "/" << file << "\t"
          << written.write("classes/" + file, std::string(reinterpret_cast<const char*>(bytes.data), size_t(bytes.size)))
          << "\n";
  }
  pairs.close();

  const std::string report = written.pathOf("report.txt");
  ASSERT_EQ(runJava(java,
                    "-cp \"" + tools + ":" + asmClassPath + "\" AsmTextCompare \"" + written.pathOf("pairs.txt") +
                        "\" \"" + report + "\"",
                    written.pathOf("java.log")),
            0);
  const std::vector<std::string> lines = readLines(report);
  ASSERT_FALSE(lines.empty());
  const std::vector<std::string> summary = splitFields(lines.back(), '\t');
  ASSERT_EQ(summary.size(), 3u) << lines.back();
  const int32_t compared = std::stoi(summary[1]);
  const int32_t differing = std::stoi(summary[2]);
  for (size_t i = 0; i + 1 < lines.size() && i < 20; i++) ADD_FAILURE() << "differs under ASM: " << lines[i];
  tally.equalUnderAsm = compared - differing;

  EXPECT_EQ(tally.failures, 0);
  EXPECT_EQ(tally.identicalAs49, tally.total - tally.softFailures);
  EXPECT_EQ(differing, 0);
  std::cout << tally.total << " classes: " << tally.identical << " byte-identical, " << tally.equalUnderAsm
            << " equal under ASM (" << tally.poolGrew << " of them with a grown pool), " << tally.softFailures
            << " soft failures (pool tags 17, 19, 20), " << differing << " differing under ASM, " << tally.failures
            << " failed; as version 49: " << tally.identicalAs49 << " byte-identical" << std::endl;
  RecordProperty("total", tally.total);
  RecordProperty("identical", tally.identical);
  RecordProperty("equalUnderAsm", tally.equalUnderAsm);
  RecordProperty("softFailures", tally.softFailures);
  RecordProperty("identicalAs49", tally.identicalAs49);
}
