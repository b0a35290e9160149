// The stub callbacks of an inactive probe's own class offline: probe classes that javac compiled from
// tests/classfile/fixtures/stubs, their descriptors made with createProbeFromClass, their callbacks
// stubbed with instrumentProbeCallbacks and written out, then called by a driver (stubs.StubDriver)
// under -Xverify:all, which prints what each stub gave and whether an original body ran.
#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"
#include "agent/classfile/MethodInfo.h"
#include "agent/probes/ProbeCallbackStubs.h"
#include "agent/probes/ProbeCodeScans.h"
#include "agent/probes/ProbeCreationResult.h"
#include "agent/probes/ProbeValidation.h"
#include "agent/support/BZPRuntimeException.h"
#include "tests/classfile/CorpusFiles.h"
#include "tests/classfile/ModelWrite.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace {

std::string fixtureDirectory() { return environmentValue("TALLYSCOPE_PROBE_FIXTURES"); }

YVector<uint8_t> fixtureClass(const std::string& name) {
  YVector<uint8_t> bytes = readClassFile(fixtureDirectory() + "/stubs/" + name + ".class");
  if (bytes.size == 0) ADD_FAILURE() << "no compiled fixture stubs/" << name;
  return bytes;
}

std::string written(const ClassFile& classFile) {
  YVector<uint8_t> bytes;
  DataOutput out(bytes);
  classFile.write(out);
  return std::string(reinterpret_cast<const char*>(bytes.data), size_t(bytes.size));
}

// The descriptor of one nested class of StubProbes; nobody registers it, so it goes with the holder.
class Probe {
 public:
  explicit Probe(const std::string& nested) {
    createProbeFromClass(fixtureClass("StubProbes$" + nested), 1, result, nullptr);
    if (!result.isSuccessful() || result.probes.size != 1) throw std::runtime_error(result.getErrorsText().data);
  }
  ~Probe() { result.probes.deleteElements(); }
  const ProbeDescriptor& get() const { return *result.probes[0]; }

 private:
  ProbeCreationResult result;
};

bool isCallbackName(const YString& name) {
  return name.equals("onEnter") || name.equals("onReturn") || name.equals("onUncaughtException") ||
         name.equals("onExit");
}

const std::vector<std::string> stubbedClasses = {
    "EnterByte", "EnterShort", "EnterInt", "EnterLong", "EnterChar", "EnterBoolean", "EnterFloat", "EnterDouble",
    "EnterText", "EnterArray", "EnterVoid", "ReturnLong", "ReturnText", "ReturnVoid", "UncaughtKept",
    "UncaughtDiscarded", "ExitKept", "ExitDiscarded", "ExitVoidDiscarded"};

TEST(ProbeCallbackStubs, StubsVerifyAndGiveTheValuesOfACallWithoutTheProbe) {
  TempDir stubbed;
  LogCapture log;
  int32_t handlersDropped = 0;
  for (const std::string& nested : stubbedClasses) {
    const Probe probe(nested);
    const YVector<uint8_t> original = fixtureClass("StubProbes$" + nested);
    DataInput in(original);
    ClassFile classFile(in);
    for (int32_t i = 0; i < classFile.getMethods().size; i++) {
      if (classFile.getMethods()[i]->getCodeAttribute()->getExceptionTable().size > 0) handlersDropped++;
    }
    ASSERT_TRUE(instrumentProbeCallbacks(probe.get(), classFile)) << nested;
    // What described the old code goes with it; the locals are the arguments' slots.
    for (int32_t i = 0; i < classFile.getMethods().size; i++) {
      const MethodInfo& method = *classFile.getMethods()[i];
      if (!method.isStatic() || !isCallbackName(method.getName())) continue;
      const CodeAttribute& code = *method.getCodeAttribute();
      const std::string where = nested + "." + method.getName().data;
      EXPECT_EQ(0, code.getExceptionTable().size) << where;
      EXPECT_EQ(nullptr, code.getLineNumberTable()) << where;
      EXPECT_EQ(nullptr, code.getLocalVariableTable()) << where;
      EXPECT_EQ(countArgumentSlots(method.getDescriptor()), code.getMaxLocals()) << where;
    }
    stubbed.write("classes/stubs/StubProbes$" + nested + ".class", written(classFile));
  }
  EXPECT_EQ(1, handlersDropped) << "ExitKept.onExit has the one try/catch before stubbing";
  EXPECT_EQ(std::vector<std::string>{}, log.entries());

  const std::string java = environmentValue("TALLYSCOPE_JAVA");
  ASSERT_FALSE(java.empty()) << "TALLYSCOPE_JAVA is not set";
  const std::string output = stubbed.pathOf("driver.txt");
  ASSERT_EQ(0, runJava(java, "-Xverify:all -cp \"" + stubbed.pathOf("classes") + ":" + fixtureDirectory() +
                                 "\" stubs.StubDriver",
                       output));
  std::map<std::string, std::string> lines;
  for (const std::string& line : readLines(output)) {
    const size_t equals = line.find('=');
    ASSERT_NE(std::string::npos, equals) << line;
    lines[line.substr(0, equals)] = line.substr(equals + 1);
  }
  // No original body runs: none records an event.
  const std::map<std::string, std::string> expected = {
      {"enterByte", "-1 | "},
      {"enterShort", "-1 | "},
      {"enterInt", "-1 | "},
      {"enterLong", "-1 | "},
      {"enterChar", "0 | "},
      {"enterBoolean", "false | "},
      {"enterFloat", "0.0 | "},
      {"enterDouble", "0.0 | "},
      {"enterText", "null | "},
      {"enterArray", "null | "},
      {"enterVoid", "done | "},
      {"enterExit", "done | "},
      // The return value passed in goes back, behind arguments of two slots.
      {"returnLong", "7 | "},
      {"returnText", "own | "},
      {"returnVoid", "done | "},
      {"uncaughtKept", "done | "},
      // The probe would swallow the exception; its stub throws it on.
      {"uncaughtDiscarded", "threw RuntimeException own | "},
      {"exitKeptValue", "5 | "},
      {"exitKeptThrown", "5 | "},
      {"exitDiscardedValue", "own | "},
      {"exitDiscardedThrown", "threw RuntimeException own | "},
      {"notACallback", "swallowed null | "},
      {"exitVoidDiscardedValue", "done | "},
      {"exitVoidDiscardedThrown", "threw RuntimeException own | "},
  };
  EXPECT_EQ(expected, lines);
}

TEST(ProbeCallbackStubs, AClassWithoutCallbacksIsLeftAsItWasAndLogged) {
  const Probe probe("ExitKept");
  const YVector<uint8_t> original = fixtureClass("NoCallbacks");
  DataInput in(original);
  ClassFile classFile(in);
  const std::string before = written(classFile);
  LogCapture log;
  EXPECT_FALSE(instrumentProbeCallbacks(probe.get(), classFile));
  EXPECT_EQ(before, written(classFile));
  EXPECT_EQ(std::vector<std::string>{"probe class has no callbacks to stub: stubs.NoCallbacks"}, log.entries());
}

// A class that disagrees with its validated descriptor cannot be stubbed: the fatal path, not a guess.
TEST(ProbeCallbackStubs, AClassThatDisagreesWithItsDescriptorIsAFatalError) {
  struct Row {
    const char* descriptorOf;
    const char* classOf;
  };
  const std::vector<Row> rows = {
      {"ReturnLong", "ReturnText"},          // no @ReturnValue of type String
      {"UncaughtKept", "UncaughtDiscarded"},  // a non-void onUncaughtException without discarding
      {"ExitKept", "ExitDiscarded"},          // no @ReturnValue of type String
  };
  for (const Row& row : rows) {
    const Probe probe(row.descriptorOf);
    const YVector<uint8_t> original = fixtureClass(std::string("StubProbes$") + row.classOf);
    DataInput in(original);
    ClassFile classFile(in);
    LogCapture log;
    EXPECT_THROW(instrumentProbeCallbacks(probe.get(), classFile), BZPRuntimeException)
        << row.descriptorOf << " on " << row.classOf;
  }
}

}  // namespace
