#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "agent/support/BZPRuntimeException.h"
#include "tests/classfile/CorpusFiles.h"
#include "tests/classfile/ModelWrite.h"
#include "tests/support/TempDir.h"

// The JVM's verifier as the judge of classes we wrote: tests/classfile/VerifyCorpus.java defines each class
// of a copy of the JDK corpus with a fresh loader per package under -Xverify:all and links it, once over
// the original corpus and once over the rewritten one; the classes the original fails anyway (a package
// of java.*, a class that meets the JDK's own copy of a type it was given from the corpus) must fail the
// same way, and no others. TALLYSCOPE_JAVA names the java executable, TALLYSCOPE_CORPUS_TOOLS the
// compiled Java programs, TALLYSCOPE_ASM_DUMP leads to the corpus.
namespace verifierjudge {

// Rewrites one class (its path under the corpus, its bytes) into `out`; false leaves it as it was.
using Rewrite = std::function<bool(const std::string& file, const YVector<uint8_t>& original, YVector<uint8_t>& out)>;

struct Verdict {
  int32_t classes = 0;
  int32_t verified = 0;
  int32_t notDefinable = 0;
  int32_t failingBoth = 0;
  int32_t differing = 0;
  std::set<std::string> baselineErrors;
};

inline const char* const OK = "ok";
inline const char* const NOT_DEFINABLE = "not definable";

// "java.lang.VerifyError: <message>" gives "java.lang.VerifyError".
inline std::string errorClass(const std::string& outcome) { return outcome.substr(0, outcome.find(':')); }

// Rewrites every class of the corpus and has the verifier judge both copies. A rewrite that throws is a
// test failure, and the class stays as it was.
inline Verdict judgeCorpus(const Rewrite& rewrite) {
  Verdict verdict;
  const std::string dump = asmDumpDirectory();
  const std::string java = environmentValue("TALLYSCOPE_JAVA");
  const std::string tools = environmentValue("TALLYSCOPE_CORPUS_TOOLS");
  if (dump.empty() || java.empty() || tools.empty()) {
    ADD_FAILURE() << "TALLYSCOPE_ASM_DUMP, TALLYSCOPE_JAVA or TALLYSCOPE_CORPUS_TOOLS is not set";
    return verdict;
  }
  const std::string corpus = corpusDirectory(dump);
  const std::vector<std::string> files = classFilesUnder(corpus);
  EXPECT_GT(files.size(), 20000u) << "too few classes in " << corpus;

  TempDir written;
  // Every package of every module is opened to the unnamed modules of the test's loaders, so that a class
  // whose super class lies in a package its module keeps to itself still reaches the verifier.
  std::set<std::string> exports;
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
      if (!rewrite(file, original, bytes)) bytes = original;
    } catch (const BZPRuntimeException&) {
      ADD_FAILURE() << file << ": the rewrite failed on it";
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
  if (baseline.size() != rewritten.size()) {
    ADD_FAILURE() << baseline.size() << " outcomes before, " << rewritten.size() << " after";
    return verdict;
  }
  for (size_t i = 0; i < baseline.size(); i++) {
    const std::vector<std::string> original = splitFields(baseline[i], '\t');
    const std::vector<std::string> fields = splitFields(rewritten[i], '\t');
    if (original.size() != 2 || fields.size() != 2 || original[0] != fields[0]) {
      ADD_FAILURE() << "outcome lines do not pair: " << baseline[i] << " / " << rewritten[i];
      return verdict;
    }
    verdict.classes++;
    const std::string& before = original[1];
    const std::string& after = fields[1];
    if (before == NOT_DEFINABLE && after == NOT_DEFINABLE) {
      verdict.notDefinable++;
    } else if (before == OK && after == OK) {
      verdict.verified++;
    } else if (before != OK && after != OK && errorClass(before) == errorClass(after)) {
      verdict.failingBoth++;
      verdict.baselineErrors.insert(errorClass(before));
    } else if (++verdict.differing <= 20) {
      ADD_FAILURE() << fields[0] << ": original " << before << ", written " << after;
    }
  }
  return verdict;
}

inline void report(const Verdict& verdict) {
  std::cout << verdict.classes << " classes: " << verdict.verified << " verified, " << verdict.notDefinable
            << " not definable (java.*), " << verdict.failingBoth << " failing alike before and after, "
            << verdict.differing << " differing" << std::endl;
  for (const std::string& error : verdict.baselineErrors) std::cout << "  failing alike with " << error << std::endl;
}

}  // namespace verifierjudge
