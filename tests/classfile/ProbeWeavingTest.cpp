// The probe weaver offline: probe classes and targets that javac compiled from
// tests/classfile/fixtures/weaving, probes made with createProbeFromClass, targets woven with
// instrumentMethodWithProbe and written out, then run by a driver (weaving.Driver) under -Xverify:all,
// which prints what the woven methods gave and what their callbacks saw. A stub
// com.brantel.runtime.Callback stands in for the agent's getUptimeMs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"
#include "agent/classfile/MethodInfo.h"
#include "agent/core/Options.h"
#include "agent/probes/ProbeCodeScans.h"
#include "agent/probes/ProbeCreationResult.h"
#include "agent/probes/ProbeEligibility.h"
#include "agent/probes/ProbeValidation.h"
#include "agent/probes/ProbeWeaver.h"
#include "agent/recording/MethodStore.h"
#include "agent/support/AgentDirectories.h"
#include "tests/classfile/CorpusFiles.h"
#include "tests/classfile/ModelWrite.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedVariable.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestDatabase.h"

namespace {

std::string fixtureDirectory() { return environmentValue("TALLYSCOPE_PROBE_FIXTURES"); }

YVector<uint8_t> fixtureClass(const std::string& name) {
  YVector<uint8_t> bytes = readClassFile(fixtureDirectory() + "/weaving/" + name + ".class");
  if (bytes.size == 0) ADD_FAILURE() << "no compiled fixture weaving/" << name;
  return bytes;
}

std::string text(const YVector<uint8_t>& bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data), size_t(bytes.size));
}

// The probes of one test, made from their compiled classes; nobody registers them, so they go with it.
class Probes {
 public:
  ~Probes() {
    if (result.isSuccessful()) result.probes.deleteElements();
  }
  const ProbeDescriptor& get(const std::string& name) {
    auto found = byName.find(name);
    if (found != byName.end()) return *found->second;
    createProbeFromClass(fixtureClass("probes/" + name), 1, result, nullptr);
    if (!result.isSuccessful() || result.probes.size == 0) throw std::runtime_error(result.getErrorsText().data);
    byName[name] = result.probes.peek();
    return *byName[name];
  }

 private:
  ProbeCreationResult result;
  std::map<std::string, ProbeDescriptor*> byName;
};

// The class transformer's lists when every class pattern accepts the class.
bool weave(ClassFile& classFile, const ProbeDescriptor& probe) {
  YVector<int32_t> included;
  YVector<int32_t> excluded;
  for (int32_t i = 0; i < probe.patternCount(); i++) (probe.negated[i] ? excluded : included).add(i);
  return instrumentMethodWithProbe(classFile, probe, included, excluded);
}

YVector<uint8_t> written(const ClassFile& classFile) {
  YVector<uint8_t> bytes;
  DataOutput out(bytes);
  classFile.write(out);
  return bytes;
}

MethodInfo* methodNamed(ClassFile& classFile, const char* name) {
  bool several = false;
  MethodInfo* method = classFile.findMethodByName(YString(name), &several);
  if (method == nullptr) throw std::runtime_error(std::string("no method ") + name);
  return method;
}

std::vector<uint8_t> codeOf(const MethodInfo& method) {
  const CodeAttribute* code = method.getCodeAttribute();
  return std::vector<uint8_t>(code->getCode(), code->getCode() + code->getCodeLength());
}

// Runs a driver class of the fixtures with the woven classes ahead of the originals; its "name=value"
// lines.
std::map<std::string, std::string> runDriver(const TempDir& woven, const std::string& driver) {
  std::map<std::string, std::string> lines;
  const std::string java = environmentValue("TALLYSCOPE_JAVA");
  if (java.empty()) {
    ADD_FAILURE() << "TALLYSCOPE_JAVA is not set";
    return lines;
  }
  const std::string output = woven.pathOf("driver.txt");
  if (runJava(java, "-Xverify:all -cp \"" + woven.pathOf("classes") + ":" + fixtureDirectory() + "\" " + driver,
              output) != 0) {
    return lines;
  }
  for (const std::string& line : readLines(output)) {
    const size_t equals = line.find('=');
    if (equals == std::string::npos) {
      ADD_FAILURE() << "driver line without a value: " << line;
      continue;
    }
    lines[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return lines;
}

class ProbeWeavingTest : public DatabaseTest {
 protected:
  TempDir home;
  ScopedVariable homeVariable{"BRANTEL_HOME", home.path().c_str()};
  TempDir woven;
  LogCapture log;
  Probes probes;

  // Weaves the target with the probes in order, writes it among the classes the driver runs, and tells
  // which probes wove something.
  std::vector<bool> weaveTarget(const std::string& target, const std::vector<std::string>& probeNames,
                                const YVector<uint8_t>* bytes = nullptr) {
    const YVector<uint8_t> original = bytes != nullptr ? *bytes : fixtureClass("targets/" + target);
    DataInput in(original);
    ClassFile classFile(in);
    std::vector<bool> outcomes;
    for (const std::string& name : probeNames) outcomes.push_back(weave(classFile, probes.get(name)));
    woven.write("classes/weaving/targets/" + target + ".class", text(written(classFile)));
    return outcomes;
  }

  // The weaver's reports, without the validation's advice on the probes.
  std::vector<std::string> warnings() const {
    std::vector<std::string> out;
    for (const std::string& entry : log.entries()) {
      if (entry.rfind("warning: probe class ", 0) == 0) continue;
      if (entry.rfind("Warning: ", 0) == 0 || entry.rfind("warning: ", 0) == 0 || entry.rfind("bci: ", 0) == 0) {
        out.push_back(entry);
      }
    }
    return out;
  }
};

struct Woven {
  const char* target;
  std::vector<std::string> probes;
  std::vector<bool> outcomes;  // what instrumentMethodWithProbe answered for each
};

struct Expected {
  const char* check;
  const char* line;
};

TEST_F(ProbeWeavingTest, WovenMethodsVerifyAndTheirCallbacksSeeTheValuesOfTheCall) {
  std::filesystem::create_directories(std::filesystem::path(getSettingsDir().data));
  std::ofstream(std::filesystem::path(getSettingsDir().data) / "bci_filter.txt") << "weaving.targets.Selection:skipped()\n";
  loadProbeIgnoredPrefixes();

  YVector<uint8_t> oldVersion = fixtureClass("targets/OldVersion");
  oldVersion.set(6, 0);
  oldVersion.set(7, 48);
  const std::vector<Woven> wovenTargets = {
      {"Arguments", {"ArgumentsProbe", "TestedParamProbe", "OutProbe"}, {true, true, true}},
      {"Values", {"ReplaceProbe", "ExitProbe", "DiscardProbe", "NestingProbe", "NestedProbe"}, {true, true, true, true, true}},
      {"GuardedChild", {"GuardedDiscardProbe", "TestedConstructorProbe"}, {true, false}},
      {"Constructed", {"ConstructorProbe", "OutConstructorProbe"}, {true, false}},
      {"Switches", {"SwitchProbe"}, {true}},
      {"Selection", {"MarkerProbe", "ThrowingProbe"}, {true, true}},
      {"Task", {"RunnableProbe", "ThreadProbe"}, {true, false}},
      {"Plain", {"ThreadProbe"}, {false}},
  };
  for (const Woven& row : wovenTargets) {
    EXPECT_EQ(row.outcomes, weaveTarget(row.target, row.probes)) << row.target;
  }
  EXPECT_EQ(std::vector<bool>{true}, weaveTarget("OldVersion", {"ClassRefProbe"}, &oldVersion));
  const YVector<uint8_t> raised = readClassFile(woven.pathOf("classes/weaving/targets/OldVersion.class"));
  ASSERT_GT(raised.size, 8);
  EXPECT_EQ(49, raised[6] << 8 | raised[7]) << "a class constant needs version 49";

  const std::map<std::string, std::string> lines = runDriver(woven, "weaving.Driver");
  const std::vector<Expected> expected = {
      // Widened, zero for a narrowing and a missing index, boxed, the whole array, texts, class, no receiver.
      {"arguments", "s7 | enter 3 1.5 0 s null Integer [3, 1.5, s, 4, o] compute "
                    "(IFLjava/lang/String;JLjava/lang/Object;)Ljava/lang/String; (int, float, java.lang.String, "
                    "long, java.lang.Object) Arguments static; return s7 3"},
      {"argumentsInstance", "s9 | enter 3 1.5 0 s null Integer [3, 1.5, s, 4, null, 9] compute "
                            "(IFLjava/lang/String;JLjava/lang/Object;I)Ljava/lang/String; (int, float, "
                            "java.lang.String, long, java.lang.Object, int) Arguments instance; return s9 3"},
      // A String @Param on an Object argument: tested at run time, never null for a String.
      {"testedParamString", "described | enter text text; return text null"},
      {"testedParamOther", "described | enter null null; return null null"},
      // @Out: the method and the exit side see what onEnter put in the array.
      {"out", "changed100/2.5 | return 100 2.5"},
      {"replaced", "11 | "},
      // onEnter's @Param(1) long of a boolean is 0; its result comes back through @OnEnterResult.
      {"exitValue", "1 | fail exit - 1 true 1000 0"},
      {"exitThrown", "threw IllegalStateException failed | fail exit IllegalStateException null true 1000 0"},
      // Parameters the method overwrites are seen as they were at entry.
      {"storedParameter", "12 | reassign exit - 12 true 1004 4"},
      {"storedLongParameter", "8 | reassignLong exit - 8 true 1005 5"},
      {"threeReturnsNegative", "-1 | sign exit - -1 true 995 -5"},
      {"threeReturnsZero", "0 | sign exit - 0 true 1000 0"},
      {"threeReturnsPositive", "1 | sign exit - 1 true 1005 5"},
      {"floatAsLong", "2 | widen exit - 2 true 1000 0"},
      {"discarded", "7 | discarded too big 1"},
      {"notDiscarded", "-1 | "},
      // The second probe is woven around the first.
      {"twoProbes", "2 | second enter; first enter; first return 2; second return 2"},
      // The run-time test skips the callbacks, and the discarding handler rethrows, for non-instances.
      {"guardedDiscardNoInstance", "threw UnsupportedOperationException boom | "},
      {"guardedDiscardInstance", "discarded | enter RunnableChild; discarded for RunnableChild"},
      {"guardedNoInstance", "calm | "},
      {"guardedInstance", "calm | enter RunnableChild"},
      // onEnter runs after super() or this(): after the nested construction, once per constructor body.
      {"constructor", "true | enter (int) true"},
      {"constructorNested", "true | enter (int) true; enter (java.lang.String) true"},
      {"constructorThis", "true | enter (int) true; enter (java.lang.String) true; enter (java.lang.String, boolean) true"},
      {"constructorThrows", "threw IllegalStateException constructor failed | enter (int) true; enter (java.lang.String) "
                            "true; enter (java.lang.String, boolean) true; thrown constructor failed"},
      {"constructorSwitch", "true | "},
      {"constructorCallSiteArray", "true | "},
      {"switchDense", "one other | enter 1; return one; enter 9; return other"},
      {"switchDenseThrows", "threw IllegalArgumentException null | enter 3; thrown IllegalArgumentException"},
      {"switchSparse", "seven high none | enter 7; return seven; enter 1000000; return high; enter 5; return none"},
      // The bridge to get() is not woven: one call, one event (after the constructor's).
      {"bridge", "got | <init>; get"},
      // Excluded by a negated pattern, kept out by bci_filter, and the IOException callback only where the
      // method declares it.
      {"selected", "- | chosen; io ioDeclared; ioDeclared; ioUndeclared"},
      {"runnable", "- | runnable <init>; runnable run"},
      {"classRef", "42 | class OldVersion"},
  };
  EXPECT_EQ(expected.size(), lines.size());
  for (const Expected& row : expected) {
    const auto found = lines.find(row.check);
    if (found == lines.end()) {
      ADD_FAILURE() << "no line for " << row.check;
    } else {
      EXPECT_EQ(row.line, found->second) << row.check;
    }
  }

  const std::vector<std::string> expectedWarnings = {
      "warning: @ReturnValue of type java.lang.CharSequence receives null in weaving.targets.Arguments.describe("
      "java.lang.Object), which returns java.lang.String (probe weaving.probes.TestedParamProbe)",
      "Warning: weaving.targets.GuardedChild.<init>() was not instrumented by probe weaving.probes.TestedConstructorProbe: "
      "unsupported bytecode and probe combination (1)",
      "warning: no 'super' or 'this' call in a constructor: weaving.targets.Constructed.<init>(long)",
      "warning: no 'super' or 'this' call in a constructor: weaving.targets.Constructed.<init>(double)",
      "Warning: weaving.targets.Constructed.<init>(int) was not instrumented by probe weaving.probes.OutConstructorProbe: "
      "unsupported bytecode and probe combination (2)",
      "bci: skip 'bci_filter': weaving.targets.Selection.skipped()",
      "Warning: weaving.targets.Selection.ioUndeclared() was not instrumented by probe weaving.probes.ThrowingProbe: "
      "callbacks throw exceptions non-thrown in the method",
  };
  EXPECT_EQ(expectedWarnings, warnings());

  const int32_t twice = getOrCreateMethod("weaving.targets.Values", "twice", "(int)", "int", "Values.java", false);
  EXPECT_EQ(methodProbeInstrumented, getMethodFlags(twice) & methodProbeInstrumented);
}

// A method of Values whose code is replaced by `code` before weaving.
struct ReplacedCode {
  const char* name;
  std::vector<uint8_t> code;
  const char* reason;
};

std::vector<uint8_t> repeated(size_t count, uint8_t byte, std::vector<uint8_t> tail = {}) {
  std::vector<uint8_t> code(count, byte);
  code.insert(code.end(), tail.begin(), tail.end());
  return code;
}

// Methods that cannot be woven keep their code and are reported; nothing reads past the end of the code.
TEST_F(ProbeWeavingTest, UnweavableCodeIsReportedAndLeftAsItWas) {
  std::vector<uint8_t> manyReturns = repeated(58000, 0x00);
  for (int i = 0; i < 1500; i++) manyReturns.insert(manyReturns.end(), {0x03, 0xAC});  // ICONST_0 IRETURN
  const std::vector<ReplacedCode> rows = {
      {"SIPUSH cut off by the end", {0x03, 0x11, 0x00}, "malformed bytecode"},
      {"undefined opcode", {0x03, 0xCB, 0xAC}, "malformed bytecode"},
      // TABLESWITCH padding, default, low 0, high 0x10000: the table runs far past the code.
      {"switch table past the end", {0x03, 0xAA, 0, 0, 0, 0, 0, 16, 0, 0, 0, 0, 0, 1, 0, 0, 0xAC}, "malformed bytecode"},
      {"WIDE cut off", {0x03, 0xC4, 0x15}, "malformed bytecode"},
      // The blocks around the code would reach 65536 bytes; then the return blocks would.
      {"too long (A)", repeated(65533, 0x00, {0x03, 0xAC}), "resulting bytecode is too long (A)"},
      {"too long (B)", manyReturns, "resulting bytecode is too long (B)"},
  };
  for (const ReplacedCode& row : rows) {
    const YVector<uint8_t> original = fixtureClass("targets/Values");
    DataInput in(original);
    ClassFile classFile(in);
    MethodInfo* method = methodNamed(classFile, "both");
    CodeAttribute* code = method->getCodeAttribute();
    code->setCode(row.code.data(), int32_t(row.code.size()));
    const int32_t maxLocals = code->getMaxLocals();
    const ProbeDescriptor& probe = probes.get("NestingProbe");
    LogCapture captured;
    EXPECT_FALSE(weave(classFile, probe)) << row.name;
    EXPECT_EQ(row.code, codeOf(*method)) << row.name;
    EXPECT_EQ(maxLocals, code->getMaxLocals()) << row.name;
    EXPECT_EQ(std::vector<std::string>{std::string("Warning: weaving.targets.Values.both(int) was not instrumented by "
                                                   "probe weaving.probes.NestingProbe: ") + row.reason},
              captured.entries())
        << row.name;
  }
}

// With a switch in the method every inserted block is a multiple of 4 bytes long, the handler block too,
// so that code after any of them keeps its switch operands aligned.
TEST_F(ProbeWeavingTest, BlocksInMethodsWithSwitchesAreMultiplesOfFour) {
  const YVector<uint8_t> original = fixtureClass("targets/Switches");
  DataInput in(original);
  ClassFile classFile(in);
  const int32_t before = methodNamed(classFile, "dense")->getCodeAttribute()->getCodeLength();
  ASSERT_TRUE(weave(classFile, probes.get("SwitchProbe")));
  const CodeAttribute& code = *methodNamed(classFile, "dense")->getCodeAttribute();
  const CodeAttribute::ExceptionTableElement* catchAll = nullptr;
  for (int32_t i = 0; i < code.getExceptionTable().size; i++) {
    if (code.getExceptionTable()[i]->catchType == 0) catchAll = code.getExceptionTable()[i];
  }
  ASSERT_NE(nullptr, catchAll);
  EXPECT_EQ(0, (code.getCodeLength() - catchAll->handlerPc) % 4) << "handler block";
  EXPECT_EQ(0, catchAll->startPc % 4) << "prologue and onEnter block";
  EXPECT_EQ(0, (catchAll->handlerPc - catchAll->startPc - before) % 4) << "return blocks";
}

// A long store writes two slots; an argument counts as stored when either of its slots is written.
TEST(ProbeCodeScans, StoresMarkEverySlotTheyWrite) {
  struct Row {
    const char* name;
    std::vector<uint8_t> code;
    std::vector<int32_t> stored;
  };
  const std::vector<Row> rows = {
      {"LSTORE_1", {0x09, 0x40, 0xB1}, {1, 2}},
      {"DSTORE 5", {0x0E, 0x39, 5, 0xB1}, {5, 6}},
      {"ISTORE_2 ASTORE 7", {0x03, 0x3D, 0x01, 0x3A, 7, 0xB1}, {2, 7}},
      {"WIDE LSTORE 300", {0x09, 0xC4, 0x37, 0x01, 0x2C, 0xB1}, {300, 301}},
      {"IINC 4 and WIDE IINC 260", {0x84, 4, 1, 0xC4, 0x84, 0x01, 0x04, 0, 1, 0xB1}, {4, 260}},
  };
  const YVector<uint8_t> original = fixtureClass("targets/Values");
  DataInput in(original);
  ClassFile classFile(in);
  CodeAttribute* code = methodNamed(classFile, "both")->getCodeAttribute();
  for (const Row& row : rows) {
    code->setCode(row.code.data(), int32_t(row.code.size()));
    YVector<int32_t> stored;
    collectStoredLocals(*code, stored);
    EXPECT_EQ(row.stored, std::vector<int32_t>(stored.data, stored.data + stored.size)) << row.name;
  }
  YVector<int32_t> secondSlotOnly;
  secondSlotOnly.add(2);
  EXPECT_TRUE(isArgumentStored(secondSlotOnly, 1, YString("J")));
  EXPECT_TRUE(isArgumentStored(secondSlotOnly, 1, YString("D")));
  EXPECT_FALSE(isArgumentStored(secondSlotOnly, 1, YString("I")));
  EXPECT_EQ(6, countArgumentSlots(YString("(IJLjava/lang/String;D)V")));
}

// In java/lang/Object its constructor, class initialiser and finalize are never woven.
TEST_F(ProbeWeavingTest, ObjectKeepsItsConstructorInitialiserAndFinalize) {
  const std::string dump = asmDumpDirectory();
  ASSERT_FALSE(dump.empty()) << "TALLYSCOPE_ASM_DUMP is not set";
  const YVector<uint8_t> original = readClassFile(corpusDirectory(dump) + "/java.base/java/lang/Object.class");
  ASSERT_GT(original.size, 0);
  DataInput in(original);
  ClassFile classFile(in);
  std::map<std::string, std::vector<uint8_t>> before;
  for (int32_t i = 0; i < classFile.getMethods().size; i++) {
    const MethodInfo* method = classFile.getMethods()[i];
    if (method->getCodeAttribute() != nullptr) before[method->getName().data + std::string(method->getDescriptor().data)] = codeOf(*method);
  }
  EXPECT_TRUE(weave(classFile, probes.get("MarkerProbe")));
  int32_t wovenCount = 0;
  for (int32_t i = 0; i < classFile.getMethods().size; i++) {
    const MethodInfo* method = classFile.getMethods()[i];
    if (method->getCodeAttribute() == nullptr) continue;
    const std::string name = method->getName().data;
    const bool changed = before[name + method->getDescriptor().data] != codeOf(*method);
    if (name == "<init>" || name == "<clinit>" || name == "finalize") {
      EXPECT_FALSE(changed) << name;
    } else {
      wovenCount += changed ? 1 : 0;
    }
  }
  EXPECT_GT(wovenCount, 0);
}

// With "_force_save_params" every slot counts as stored, so `this` and the arguments come from the
// prologue's copies: the copy of `this` is uninitialised only in a constructor, before super().
TEST_F(ProbeWeavingTest, CopiesOfThisAndOfTheArgumentsVerifyInMethodsAndConstructors) {
  YString error;
  uint64_t flags = 0;
  globalOptions().parse(error, YString("_force_save_params,debug=bci"), flags, false);
  ASSERT_EQ(0, error.length) << error.data;
  EXPECT_EQ(std::vector<bool>{true}, weaveTarget("Stored", {"ThisProbe"}));
  const std::map<std::string, std::string> lines = runDriver(woven, "weaving.StoredDriver");
  ASSERT_EQ(1u, lines.count("stored"));
  EXPECT_EQ("9 | enter true 5; exit true 5; enter true 7; exit true 7", lines.at("stored"));
  // The bci debug category reports each woven method.
  const std::vector<std::string> entries = log.entries();
  EXPECT_NE(entries.end(), std::find(entries.begin(), entries.end(),
                                     "instrumented by probe: weaving.probes.ThisProbe -> weaving.targets.Stored next"
                                     "(long, int) long"));
}

// A probe on every method with several kinds of argument, woven into every class of ASM, whose classes
// all still verify. The classes are defined (one loader per package) and linked by VerifyCorpus, once as
// they were and once woven; ASM's jar and the probe stand behind them on the class path.
TEST_F(ProbeWeavingTest, EveryMethodOfAsmVerifiesWoven) {
  const std::string java = environmentValue("TALLYSCOPE_JAVA");
  const std::string tools = environmentValue("TALLYSCOPE_CORPUS_TOOLS");
  ASSERT_FALSE(java.empty() || tools.empty()) << "TALLYSCOPE_JAVA or TALLYSCOPE_CORPUS_TOOLS is not set";
  const std::string jar = "/usr/share/java/asm.jar";
  const std::string extracted = woven.pathOf("jar");
  std::filesystem::create_directories(extracted);
  const std::string jarTool = std::filesystem::path(java).parent_path().string() + "/jar";
  ASSERT_EQ(0, std::system(("cd \"" + extracted + "\" && \"" + jarTool + "\" xf " + jar).c_str()));

  const ProbeDescriptor& probe = probes.get("EverythingProbe");
  int32_t classes = 0;
  int32_t wovenClasses = 0;
  int32_t wovenMethods = 0;
  for (const std::string& file : classFilesUnder(extracted)) {
    if (file.find("module-info") != std::string::npos) continue;
    const YVector<uint8_t> original = readClassFile(extracted + "/" + file);
    woven.write("original/asm/" + file, text(original));
    DataInput in(original);
    ClassFile classFile(in);
    ASSERT_FALSE(classFile.isParseFailed()) << file;
    std::vector<std::vector<uint8_t>> before;
    for (int32_t i = 0; i < classFile.getMethods().size; i++) {
      const MethodInfo* method = classFile.getMethods()[i];
      before.push_back(method->getCodeAttribute() != nullptr ? codeOf(*method) : std::vector<uint8_t>());
    }
    classes++;
    if (weave(classFile, probe)) wovenClasses++;
    for (int32_t i = 0; i < classFile.getMethods().size; i++) {
      const MethodInfo* method = classFile.getMethods()[i];
      if (method->getCodeAttribute() != nullptr && codeOf(*method) != before[size_t(i)]) wovenMethods++;
    }
    woven.write("woven/asm/" + file, text(written(classFile)));
  }
  const auto outcomes = [&](const std::string& name) {
    const std::string report = woven.pathOf(name + ".txt");
    EXPECT_EQ(0, runJava(java, "-Xverify:all -cp \"" + tools + ":" + fixtureDirectory() + ":" + jar +
                                   "\" VerifyCorpus \"" + woven.pathOf(name) + "\" \"" + report + "\"",
                         woven.pathOf(name + ".log")));
    return readLines(report);
  };
  const std::vector<std::string> baseline = outcomes("original");
  const std::vector<std::string> after = outcomes("woven");
  ASSERT_EQ(baseline.size(), after.size());
  int32_t verified = 0;
  for (size_t i = 0; i < after.size(); i++) {
    EXPECT_EQ(baseline[i], after[i]);
    if (after[i].size() > 3 && after[i].compare(after[i].size() - 3, 3, "\tok") == 0) verified++;
  }
  std::cout << "ASM: " << classes << " classes, " << wovenClasses << " woven with " << wovenMethods
            << " methods, " << verified << " of " << after.size() << " verified" << std::endl;
  EXPECT_GT(classes, 30);
  EXPECT_GT(wovenMethods, 500);
  EXPECT_EQ(int32_t(after.size()), verified);
}

}  // namespace
