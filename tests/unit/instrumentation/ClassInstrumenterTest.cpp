#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/ConstantReferences.h"
#include "agent/classfile/InstructionLengths.h"
#include "agent/classfile/MethodInfo.h"
#include "agent/classfile/Opcodes.h"
#include "agent/instrumentation/ClassInstrumenter.h"
#include "agent/probes/ProbeEligibility.h"
#include "agent/recording/MethodStore.h"
#include "agent/support/AgentDirectories.h"
#include "tests/support/FreshProcess.h"
#include "tests/support/HiddenOption.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedVariable.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestDatabase.h"
#include "tests/unit/classfile/ClassTestSupport.h"

namespace {

using classtest::ClassBuilder;
using classtest::ParsedClass;

struct MethodSpec {
  std::string name;
  std::string descriptor;
  Bytes code;        // empty: a native method without code
  int32_t line = 0;  // a line table of one line from the start, when not 0
};

// A class of the given methods (static, max stack 4, max locals 4); its pool's entry `callee` is a
// Methodref of its own static "callee" "()V", which the test code invokes.
struct TestClass {
  Bytes bytes;
  int32_t callee = 0;
};
constexpr uint8_t kCallee = 8;

// Code that calls a static method: not short whatever its length.
Bytes callingCode(int32_t callee) { return {OP_INVOKESTATIC, uint8_t(callee >> 8), uint8_t(callee), OP_RETURN}; }

TestClass testClass(const std::string& name, const std::string& superName, const std::vector<MethodSpec>& methods) {
  ClassBuilder builder;
  builder.thisClass = builder.classNamed(name);
  builder.superClass = builder.classNamed(superName);
  const int32_t owner = builder.thisClass;
  const int32_t calleeName = builder.utf8("callee");
  const int32_t calleeType = builder.utf8("()V");
  const int32_t nameAndType = builder.entry({CONSTANT_NameAndType, 0, uint8_t(calleeName), 0, uint8_t(calleeType)});
  TestClass made;
  made.callee = builder.entry({CONSTANT_Methodref, 0, uint8_t(owner), 0, uint8_t(nameAndType)});
  const int32_t codeName = builder.utf8("Code");
  const int32_t linesName = builder.utf8("LineNumberTable");
  for (const MethodSpec& method : methods) {
    const int32_t methodName = builder.utf8(method.name);
    const int32_t descriptor = builder.utf8(method.descriptor);
    if (method.code.empty()) {
      builder.methods.push_back(ClassBuilder::member(0x0109, methodName, descriptor));
    } else {
      std::vector<Bytes> nested;
      if (method.line != 0) {
        nested.push_back(ByteBuilder().attribute(linesName, ByteBuilder().u2(1).u2(0).u2(method.line).bytes).bytes);
      }
      builder.methods.push_back(ClassBuilder::member(
          0x0009, methodName, descriptor, {ClassBuilder::code(codeName, 4, 4, method.code, nested)}));
    }
  }
  EXPECT_EQ(made.callee, kCallee);
  made.bytes = builder.build();
  return made;
}

MethodInfo* methodNamed(ClassFile& classFile, const char* name) {
  bool several = false;
  return classFile.findMethodByName(YString(name), &several);
}

// The pool indices of the Methodrefs that name a method of com/brantel/runtime/Callback, by name.
std::vector<std::pair<std::string, int32_t>> callbackRefs(const ClassFile& classFile) {
  std::vector<std::pair<std::string, int32_t>> refs;
  const ConstantPool& pool = classFile.getConstantPool();
  for (int32_t i = 1; i < pool.size; i++) {
    if (pool[i] == nullptr || pool[i]->tag != CONSTANT_Methodref) continue;
    const auto& reference = constantAt<ConstantMethodRefInfo>(pool, i, "test", 0);
    if (classtest::text(reference.getClassName(pool)) == "com/brantel/runtime/Callback") {
      refs.emplace_back(classtest::text(reference.getName(pool)), i);
    }
  }
  return refs;
}

// The pool indices that INVOKESTATIC instructions of the method's code name, in code order.
std::vector<int32_t> invokedRefs(const MethodInfo& method) {
  const CodeAttribute& code = *method.getCodeAttribute();
  std::vector<int32_t> invoked;
  for (int32_t position = 0; position < code.getCodeLength();) {
    const uint8_t* bytes = code.getCode();
    if (bytes[position] == OP_INVOKESTATIC) invoked.push_back(bytes[position + 1] << 8 | bytes[position + 2]);
    position += instructionLengthAt(bytes, code.getCodeLength(), position);
  }
  return invoked;
}

int32_t refNamed(const ClassFile& classFile, const std::string& name) {
  for (const auto& [refName, index] : callbackRefs(classFile)) {
    if (refName == name) return index;
  }
  return -1;
}

class ClassInstrumenter : public DatabaseTest {
 protected:
  LogCapture log;

  bool logged(const std::string& line) const {
    for (const std::string& entry : log.entries()) {
      if (entry == line) return true;
    }
    return false;
  }
  int32_t loggedCount(const std::string& line) const {
    int32_t count = 0;
    for (const std::string& entry : log.entries()) count += entry == line ? 1 : 0;
    return count;
  }
};

struct ShortCase {
  const char* what;
  Bytes code;
  bool isShort;
  int32_t reason;
};

Bytes padded(Bytes code, size_t length, uint8_t last) {
  while (code.size() + 1 < length) code.push_back(OP_NOP);
  code.push_back(last);
  return code;
}

TEST(ShortMethods, AreSmallStraightAndCallNothing) {
  const ShortCase cases[] = {
      {"32 bytes with a forward IFEQ", padded({OP_ICONST_0, OP_IFEQ, 0, 4, OP_NOP}, 32, OP_RETURN), true, 0},
      {"a backward GOTO", padded({OP_NOP, OP_GOTO, 0xFF, 0xFF}, 8, OP_RETURN), false, -3},
      {"a backward GOTO_W", {OP_NOP, OP_GOTO_W, 0xFF, 0xFF, 0xFF, 0xFF, OP_RETURN}, false, -3},
      {"33 bytes", padded({}, 33, OP_RETURN), false, -2},
      {"field access, ARRAYLENGTH, CHECKCAST, INSTANCEOF",
       {OP_GETSTATIC, 0, 1, OP_ARRAYLENGTH, OP_POP, OP_ACONST_NULL, OP_CHECKCAST, 0, 1, OP_INSTANCEOF, 0, 1, OP_IRETURN},
       true, 0},
      {"a WIDE IINC and a WIDE ILOAD", {OP_WIDE, OP_IINC, 1, 0, 0, 1, OP_WIDE, OP_ILOAD, 1, 0, OP_IRETURN}, true, 0},
      {"an invoke", {OP_INVOKESTATIC, 0, 1, OP_RETURN}, false, OP_INVOKESTATIC},
      {"an interface call", {OP_ACONST_NULL, OP_INVOKEINTERFACE, 0, 1, 1, 0, OP_RETURN}, false, OP_INVOKEINTERFACE},
      {"a division", {OP_ICONST_1, OP_ICONST_1, OP_IDIV, OP_IRETURN}, false, OP_IDIV},
      {"a remainder of doubles", {OP_DCONST_1, OP_DCONST_1, OP_DREM, OP_DRETURN}, false, OP_DREM},
      {"an object creation", {OP_NEW, 0, 1, OP_ARETURN}, false, OP_NEW},
      {"a throw", {OP_ACONST_NULL, OP_ATHROW}, false, OP_ATHROW},
      {"a monitor", {OP_ACONST_NULL, OP_MONITORENTER, OP_RETURN}, false, OP_MONITORENTER},
  };
  for (const ShortCase& test : cases) {
    const TestClass made = testClass("app/Short", "java/lang/Object", {{"m", "()V", test.code}});
    ParsedClass parsed(made.bytes);
    int32_t reason = 99;
    EXPECT_EQ(isShortMethod(*methodNamed(*parsed, "m"), &reason), test.isShort) << test.what;
    EXPECT_EQ(reason, test.reason) << test.what;
  }
}

#ifndef _WIN32
// A fresh process reads the hidden options anew.
TEST(ShortMethods, NoneWhenEveryMethodIsInstrumented) {
  inFreshProcess([] {
    HiddenOption all("_instrument_all_methods");
    const TestClass made = testClass("app/Short", "java/lang/Object", {{"m", "()V", {OP_RETURN}}});
    ParsedClass parsed(made.bytes);
    int32_t reason = 0;
    if (isShortMethod(*methodNamed(*parsed, "m"), &reason) || reason != -1) return std::string("still short");
    return std::string();
  });
}
#endif

TEST_F(ClassInstrumenter, WithNeitherRecordingTheClassIsNotTouched) {
  const TestClass made = testClass("app/Plain", "java/lang/Object", {{"run", "()V", callingCode(kCallee)}});
  ParsedClass parsed(made.bytes);
  const int32_t poolSize = parsed->getConstantPool().size;
  bool tooLong = false;
  EXPECT_FALSE(instrumentClass(*parsed, tooLong, false, false));
  EXPECT_EQ(parsed->getConstantPool().size, poolSize);
  EXPECT_FALSE(tooLong);
}

TEST_F(ClassInstrumenter, AddsTheCallbacksInTheirOrderEvenWhenNothingIsPatched) {
  const TestClass made = testClass("app/Small", "java/lang/Object", {{"get", "()I", {OP_ICONST_1, OP_IRETURN}}});
  ParsedClass parsed(made.bytes);
  bool tooLong = false;
  EXPECT_FALSE(instrumentClass(*parsed, tooLong, true, true));
  const auto refs = callbackRefs(*parsed);
  ASSERT_EQ(refs.size(), 4u);
  EXPECT_EQ(refs[0].first, "bzpMethodEntry");
  EXPECT_EQ(refs[1].first, "bzpMethodExit");
  EXPECT_EQ(refs[2].first, "bzpMethodLine");
  EXPECT_EQ(refs[3].first, "bzpInit");
  const ConstantPool& pool = parsed->getConstantPool();
  EXPECT_EQ(classtest::text(constantAt<ConstantMethodRefInfo>(pool, refs[0].second, "test", 0).getDescriptor(pool)),
            "(IJ)J");
  EXPECT_EQ(classtest::text(constantAt<ConstantMethodRefInfo>(pool, refs[3].second, "test", 0).getDescriptor(pool)),
            "(Ljava/lang/Object;IISJ)I");
  for (size_t i = 1; i < refs.size(); i++) EXPECT_LT(refs[i - 1].second, refs[i].second);
  // The short method has no record and no callbacks.
  EXPECT_EQ(parsed->getMethods()[0]->getCodeAttribute()->getCodeLength(), 2);
  EXPECT_FALSE(tooLong);
}

TEST_F(ClassInstrumenter, PatchesEveryMethodWorthItAndMarksItsRecord) {
  // run calls, small is short, nat is native.
  const TestClass made = testClass("app/Worker", "java/lang/Object",
                   {{"run", "(I)V", callingCode(kCallee), 7}, {"small", "()V", {OP_RETURN}}, {"nat", "()V", {}}});
  ParsedClass parsed(made.bytes);
  bool tooLong = false;
  ASSERT_TRUE(instrumentClass(*parsed, tooLong, true, true));
  EXPECT_FALSE(tooLong);

  const MethodInfo& run = *methodNamed(*parsed, "run");
  const std::vector<int32_t> invoked = invokedRefs(run);
  // Entry, the line call before the call, the call itself, the exit call before the return.
  ASSERT_EQ(invoked.size(), 4u);
  EXPECT_EQ(invoked[0], refNamed(*parsed, "bzpMethodEntry"));
  EXPECT_EQ(invoked[1], refNamed(*parsed, "bzpMethodLine"));
  EXPECT_EQ(invoked[3], refNamed(*parsed, "bzpMethodExit"));
  EXPECT_EQ(methodNamed(*parsed, "small")->getCodeAttribute()->getCodeLength(), 1);

  const int32_t id = getOrCreateMethod("app.Worker", "run", "(int)", "void", "", false);
  EXPECT_NE(getMethodFlags(id) & methodTraced, 0);
  EXPECT_EQ(db->methods.getRow(id, false)->stamp, db->currentStamp);
}

TEST_F(ClassInstrumenter, ObjectKeepsItsInitialiserAndFinalizerOtherClassesDoNot) {
  for (const char* name : {"java/lang/Object", "app/Other"}) {
    const bool isObject = std::string(name) == "java/lang/Object";
    const TestClass made = testClass(name, "java/lang/Object",
                                     {{"<clinit>", "()V", callingCode(kCallee)}, {"finalize", "()V", callingCode(kCallee)}});
    ParsedClass parsed(made.bytes);
    bool tooLong = false;
    EXPECT_EQ(instrumentClass(*parsed, tooLong, true, true), !isObject) << name;
    for (const char* method : {"<clinit>", "finalize"}) {
      EXPECT_EQ(invokedRefs(*methodNamed(*parsed, method)).size(), isObject ? 1u : 3u) << name << " " << method;
    }
  }
}

TEST_F(ClassInstrumenter, AJspPageGetsNoLineCallbacks) {
  const TestClass made = testClass("org/apache/jsp/index_jsp", "org/apache/jasper/runtime/HttpJspBase",
                                   {{"render", "()V", callingCode(kCallee), 3}});
  ParsedClass parsed(made.bytes);
  bool tooLong = false;
  ASSERT_TRUE(instrumentClass(*parsed, tooLong, false, true));
  EXPECT_EQ(refNamed(*parsed, "bzpMethodLine"), -1);
  const std::vector<int32_t> invoked = invokedRefs(*methodNamed(*parsed, "render"));
  ASSERT_EQ(invoked.size(), 3u);
  EXPECT_EQ(invoked[0], refNamed(*parsed, "bzpMethodEntry"));
  EXPECT_EQ(invoked[2], refNamed(*parsed, "bzpMethodExit"));
  EXPECT_TRUE(logged("bci: skip lines (jsp_class): org.apache.jsp.index_jsp"));
}

TEST_F(ClassInstrumenter, TheBciFilterSkipsMethodsAndSaysSoOncePerClass) {
  TempDir home;
  ScopedVariable homeVariable{"BRANTEL_HOME", home.path().c_str()};
  const std::filesystem::path settings(getSettingsDir().data);
  std::filesystem::create_directories(settings);
  std::ofstream(settings / "bci_filter.txt") << "app.Filtered:skipped()\n";
  loadProbeIgnoredPrefixes();

  const TestClass made =
      testClass("app/Filtered", "java/lang/Object",
                {{"skipped", "()V", callingCode(kCallee)}, {"skipped", "()I", {OP_INVOKESTATIC, 0, kCallee, OP_ICONST_0, OP_IRETURN}},
                 {"kept", "()V", callingCode(kCallee)}});
  for (int32_t round = 0; round < 2; round++) {
    ParsedClass parsed(made.bytes);
    bool tooLong = false;
    ASSERT_TRUE(instrumentClass(*parsed, tooLong, true, true));
    EXPECT_EQ(invokedRefs(*parsed->getMethods()[0]).size(), 1u);
    EXPECT_EQ(invokedRefs(*parsed->getMethods()[1]).size(), 1u);
    EXPECT_EQ(invokedRefs(*parsed->getMethods()[2]).size(), 3u);
  }
  // The two overloads print alike: one line per class file, written without the "bci" category.
  EXPECT_EQ(loggedCount("bci: skip 'bci_filter': app.Filtered skipped()"), 2);
  std::ofstream(settings / "bci_filter.txt", std::ios::trunc) << "";
  loadProbeIgnoredPrefixes();
}

}  // namespace
