#include <gtest/gtest.h>

#include <cstdint>
#include <iostream>
#include <memory>
#include <string>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"
#include "agent/instrumentation/ClassInstrumenter.h"
#include "tests/classfile/VerifierJudge.h"
#include "tests/support/HiddenOption.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestDatabase.h"

namespace {

constexpr int32_t ACC_INTERFACE = 0x200;

int32_t countLines(const LogCapture& log, const std::string& prefix) {
  int32_t count = 0;
  for (const std::string& entry : log.entries()) count += entry.rfind(prefix, 0) == 0 ? 1 : 0;
  return count;
}

}  // namespace

// Every class of the JDK instrumented for CPU tracing and allocation recording, short methods included,
// must pass the verifier wherever the original does: entry, exit, line and allocation blocks, the moved
// branches, handlers, tables and stack-map frames. A class that cannot be instrumented (a method too
// long even without line callbacks) stays as it was, as the class road leaves it.
TEST(InstrumentedCorpusJvm, EveryInstrumentedClassVerifiesWhereTheOriginalDoes) {
  HiddenOption all("_instrument_all_methods");
  TestDatabase database;
  YCriticalSectionLock held(&ourLock(), "Test:1");
  LogCapture log;
  int32_t instrumented = 0;
  int32_t patchedMethods = 0;
  int32_t tooLong = 0;
  int32_t leftAlone = 0;
  const verifierjudge::Verdict verdict =
      verifierjudge::judgeCorpus([&](const std::string&, const YVector<uint8_t>& original, YVector<uint8_t>& out) {
        DataInput in(original);
        ClassFile classFile(in);
        if (classFile.isParseFailed() ||
            (classFile.getMajorVersion() < 52 && (classFile.getAccessFlags() & ACC_INTERFACE) != 0)) {
          leftAlone++;
          return false;
        }
        // The code length of each method before, to count the methods that changed.
        YVector<int32_t> lengths;
        for (int32_t i = 0; i < classFile.getMethods().size; i++) {
          const CodeAttribute* code = classFile.getMethods()[i]->getCodeAttribute();
          lengths.add(code == nullptr ? -1 : code->getCodeLength());
        }
        bool refused = false;
        if (!instrumentClass(classFile, refused, true, true)) {
          if (refused) tooLong++;
          return false;
        }
        for (int32_t i = 0; i < classFile.getMethods().size; i++) {
          const CodeAttribute* code = classFile.getMethods()[i]->getCodeAttribute();
          if (code != nullptr && code->getCodeLength() != lengths[i]) patchedMethods++;
        }
        instrumented++;
        DataOutput output(out);
        classFile.write(output);
        return true;
      });
  EXPECT_EQ(verdict.differing, 0);
  EXPECT_GT(verdict.verified, 10000);
  EXPECT_GT(instrumented, 20000);
  const int32_t fallbacks = countLines(log, "warning: resulting bytecode is too long, trying a fallback: ");
  std::cout << instrumented << " classes instrumented, " << patchedMethods << " methods patched, " << fallbacks
            << " of them without line callbacks after the fallback; " << tooLong
            << " classes refused as too long, " << leftAlone << " left alone by the road" << std::endl;
  verifierjudge::report(verdict);
  RecordProperty("patchedMethods", patchedMethods);
  RecordProperty("fallbacks", fallbacks);
  RecordProperty("refused", tooLong);
}
