#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "agent/support/BZPRuntimeException.h"
#include "tests/classfile/CorpusFiles.h"
#include "tests/classfile/ModelWrite.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

// Every class of the JDK as the model writes it must load and pass the verifier of a real JVM wherever
// the original does. tests/classfile/VerifyCorpus.java defines each class of a copy with a fresh loader
// per package under -Xverify:all and links it, once over the original corpus and once over the written
// one; the classes the original fails anyway (a package of java.*, a class that meets the JDK's own copy
// of a type it was given from the corpus) must fail the same way, and no others.
// A class the model refuses (pool tags 17, 19, 20) stays as it was, as the transformation leaves it.
// TALLYSCOPE_JAVA names the java executable, TALLYSCOPE_CORPUS_TOOLS the compiled Java programs.

namespace {

const char* const OK = "ok";
const char* const NOT_DEFINABLE = "not definable";

// "java.lang.VerifyError: <message>" gives "java.lang.VerifyError".
std::string errorClass(const std::string& outcome) { return outcome.substr(0, outcome.find(':')); }

}  // namespace

TEST(VerifyCorpusJvm, EveryWrittenClassVerifiesWhereTheOriginalDoes) {
  const std::string dump = asmDumpDirectory();
  const std::string java = environmentValue("TALLYSCOPE_JAVA");
  const std::string tools = environmentValue("TALLYSCOPE_CORPUS_TOOLS");
  ASSERT_FALSE(dump.empty() || java.empty() || tools.empty())
      << "TALLYSCOPE_ASM_DUMP, TALLYSCOPE_JAVA or TALLYSCOPE_CORPUS_TOOLS is not set";
  const std::string corpus = corpusDirectory(dump);
  const std::vector<std::string> files = classFilesUnder(corpus);
  ASSERT_GT(files.size(), 20000u) << "too few classes in " << corpus;

  LogCapture log;  // the soft failures' lines
  TempDir written;
  // Every package of every module is opened to the unnamed modules of the test's loaders, so that a class
  // whose super class lies in a package its module keeps to itself still reaches the verifier.
  std::set<std::string> exports;
  int32_t refused = 0;
  for (const std::string& file : files) {
    const size_t module = file.find('/');
    const size_t name = file.rfind('/');
    if (module != name) {
      std::string package = file.substr(module + 1, name - module - 1);
      for (char& c : package) c = c == '/' ? '.' : c;
      exports.insert("--add-exports=" + file.substr(0, module) + "/" + package + "=ALL-UNNAMED");
    }
    const YVector<uint8_t> original = readClassFile(corpus + "/" + file);
    YVector<uint8_t> bytes;
    try {
      if (!writeThroughModel(original, bytes)) {
        refused++;
        bytes = original;
      }
    } catch (const BZPRuntimeException&) {
      ADD_FAILURE() << file << ": the model failed on it";
      bytes = original;
    }
    written.write("classes/" + file, std::string(reinterpret_cast<const char*>(bytes.data), size_t(bytes.size)));
  }

  std::ofstream options(written.pathOf("options.txt"));
  options << "-Xverify:all\n--add-modules\nALL-SYSTEM\n";
  for (const std::string& option : exports) options << option << "\n";
  options.close();

  // One JVM per copy: loader constraints that one copy's loaders record would otherwise bear on the
  // other's.
  const auto outcomes = [&](const std::string& classes, const std::string& name) {
    const std::string report = written.pathOf(name + ".txt");
    EXPECT_EQ(runJava(java,
                      "\"@" + written.pathOf("options.txt") + "\" -cp \"" + tools + "\" VerifyCorpus \"" + classes +
                          "\" \"" + report + "\"",
                      written.pathOf(name + ".log")),
              0);
    return readLines(report);
  };
  const std::vector<std::string> baseline = outcomes(corpus, "original");
  const std::vector<std::string> rewritten = outcomes(written.pathOf("classes"), "written");
  ASSERT_EQ(baseline.size(), rewritten.size());

  int32_t classes = 0;
  int32_t verified = 0;
  int32_t notDefinable = 0;
  int32_t failingBoth = 0;
  int32_t differing = 0;
  std::set<std::string> baselineErrors;
  for (size_t i = 0; i < baseline.size(); i++) {
    const std::vector<std::string> original = splitFields(baseline[i], '\t');
    const std::vector<std::string> fields = splitFields(rewritten[i], '\t');
    ASSERT_EQ(original.size(), 2u) << baseline[i];
    ASSERT_EQ(fields.size(), 2u) << rewritten[i];
    ASSERT_EQ(original[0], fields[0]);
    classes++;
    const std::string& before = original[1];
    const std::string& after = fields[1];
    if (before == NOT_DEFINABLE && after == NOT_DEFINABLE) {
      notDefinable++;
    } else if (before == OK && after == OK) {
      verified++;
    } else if (before != OK && after != OK && errorClass(before) == errorClass(after)) {
      failingBoth++;
      baselineErrors.insert(errorClass(before));
    } else if (++differing <= 20) {
      ADD_FAILURE() << fields[0] << ": original " << before << ", written " << after;
    }
  }
  EXPECT_EQ(differing, 0);
  EXPECT_GT(verified, 10000);
  std::cout << classes << " classes (" << refused << " left unchanged by the model): " << verified
            << " verified, " << notDefinable << " not definable (java.*), " << failingBoth
            << " failing alike before and after, " << differing << " differing" << std::endl;
  for (const std::string& error : baselineErrors) std::cout << "  failing alike with " << error << std::endl;
  RecordProperty("verified", verified);
  RecordProperty("notDefinable", notDefinable);
  RecordProperty("failingBoth", failingBoth);
}
