#include <gtest/gtest.h>

#include <cstdint>
#include <iostream>
#include <string>
#include <tuple>
#include <vector>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/ConstantValues.h"
#include "agent/classfile/LocalVariableTableAttribute.h"
#include "agent/classfile/Opcodes.h"
#include "agent/core/AgentFlags.h"
#include "agent/db/CodePointStorage.h"
#include "agent/instrumentation/ClassTransformer.h"
#include "agent/instrumentation/InstructionEmitters.h"
#include "agent/instrumentation/MethodPatcher.h"
#include "agent/instrumentation/PatchPoints.h"
#include "agent/recording/CountingSupport.h"
#include "agent/recording/MethodStore.h"
#include "agent/support/ClassNameSet.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/FreshProcess.h"
#include "tests/support/HiddenOption.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestDatabase.h"
#include "tests/unit/instrumentation/JdkClasses.h"
#include "tests/unit/instrumentation/PatcherTestSupport.h"

// Method patching: the points and the position map that one scan of the old code gives, and the patched
// methods themselves, whose every branch, handler, table and frame must follow the inserted blocks, and
// which must stay exactly as they were when the patch is refused.

using namespace patchtest;

namespace {

// The method id of the allocation pseudo-method of a Java class name.
int32_t allocationId(const char* javaName) { return getOrCreateMethod(javaName, "<<init>>", "()", "void", "", false); }

class ProfilingMode {
 public:
  explicit ProfilingMode(uint64_t flags) : old(profilingFlags.exchange(flags)) {}
  ~ProfilingMode() { profilingFlags.store(old); }
  ProfilingMode(const ProfilingMode&) = delete;
  ProfilingMode& operator=(const ProfilingMode&) = delete;

 private:
  uint64_t old;
};

class MethodPatcher : public DatabaseTest {
 protected:
  LogCapture log;

  int32_t methodIdOf(const Sample& sample) {
    const MethodInfo& method = *sample.method();
    return getOrCreateMethod("p.Sample", method.getName().data, "()", "void", "", false);
  }
  bool patch(const Sample& sample, bool allocation, bool tracing, bool withLines = true) {
    return patchMethod(methodIdOf(sample), sample.classFile(), sample.method(), sample.entryRef, sample.exitRef,
                       withLines ? sample.lineRef : -1, sample.initRef, allocation, tracing);
  }
  int32_t loggedCount(const std::string& line) const {
    int32_t count = 0;
    for (const std::string& entry : log.entries()) count += entry == line ? 1 : 0;
    return count;
  }
};

// The model written out and parsed again describes the same method: the frames encode.
void expectRoundTrip(const Sample& sample) {
  ParsedClass again(classtest::writtenClass(sample.classFile()));
  EXPECT_EQ(stateOf(*again->getMethods()[0]->getCodeAttribute()), stateOf(sample.code()));
}

// --- The scan ---

struct ExpectedPoint {
  int32_t type;
  int32_t oldPos;
  int32_t newPos;
  int32_t length;
  const char* allocated;  // the Java name of the allocated class, null for none
};

struct ScanCase {
  const char* what;
  Bytes code;
  PatchScope scope;
  std::vector<ExpectedPoint> points;
  std::vector<int32_t> map;
  std::vector<std::tuple<int32_t, int32_t, int32_t>> branches;  // instruction, operand, flag
  const char* warning;
};

constexpr PatchScope ALL{true, true, true, false};
constexpr PatchScope ALLOCATIONS{false, false, true, false};
constexpr PatchScope TRACING{true, false, false, false};
constexpr PatchScope TRACING_ALLOCATIONS{true, false, true, false};
constexpr PatchScope LINES{true, true, false, false};

std::vector<int32_t> range(int32_t from, int32_t to, int32_t shift) {
  std::vector<int32_t> values;
  for (int32_t i = from; i < to; i++) values.push_back(i + shift);
  return values;
}

std::vector<int32_t> joined(std::initializer_list<std::vector<int32_t>> parts) {
  std::vector<int32_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST_F(MethodPatcher, ScanRecordsThePointsAndTheMapOfEachShape) {
  const Pool& p = P();
  const ScanCase cases[] = {
      {"NEW DUP <init>: the constructor call carries the line and the allocation block",
       cat({op2(OP_NEW, p.thing), {OP_DUP}, op2(OP_INVOKESPECIAL, p.thingInit), {OP_POP, OP_RETURN}}), ALL,
       {{INSTRUCTION_INVOKE, 4, 4, 3, nullptr}, {INSTRUCTION_CONSTRUCTOR_AFTER_DUP, 4, 14, 3, "p.Thing"},
        {INSTRUCTION_RETURN, 8, 42, 1, nullptr}},
       {0, 1, 2, 3, 4, 5, 6, 41, 42}, {}, nullptr},
      {"NEW DUP_X1 SWAP keeps the program's own copy",
       cat({{OP_ACONST_NULL}, op2(OP_NEW, p.thing), {OP_DUP_X1, OP_SWAP}, op2(OP_INVOKESPECIAL, p.thingInitWithObject),
            {OP_POP, OP_RETURN}}),
       ALL,
       {{INSTRUCTION_INVOKE, 6, 6, 3, nullptr}, {INSTRUCTION_CONSTRUCTOR_AFTER_DUP, 6, 16, 3, "p.Thing"},
        {INSTRUCTION_RETURN, 10, 44, 1, nullptr}},
       joined({range(0, 9, 0), {43, 44}}), {}, nullptr},
      {"NEW DUP_X2, without tracing: no exit or line points",
       cat({{OP_ACONST_NULL, OP_ACONST_NULL}, op2(OP_NEW, p.thing), {OP_DUP_X2}, op2(OP_INVOKESPECIAL, p.thingInit),
            {OP_RETURN}}),
       ALLOCATIONS, {{INSTRUCTION_CONSTRUCTOR_AFTER_DUP, 6, 6, 3, "p.Thing"}}, joined({range(0, 9, 0), {33}}), {},
       nullptr},
      {"NEW then anything else: a copy after the NEW that the allocation call consumes",
       cat({op2(OP_NEW, p.thing), {OP_ACONST_NULL}, op2(OP_INVOKESPECIAL, p.thingInitWithObject), {OP_RETURN}}),
       TRACING_ALLOCATIONS,
       {{INSTRUCTION_NEW_COPY, 0, 0, 3, "p.Thing"}, {INSTRUCTION_CONSTRUCTOR_AFTER_COPY, 4, 8, 3, "p.Thing"},
        {INSTRUCTION_RETURN, 7, 35, 1, nullptr}},
       {0, 1, 2, 7, 8, 9, 10, 35}, {}, nullptr},
      {"NEW SWAP IFNE: DUP_X1 after the NEW",
       cat({{OP_ICONST_0}, op2(OP_NEW, p.thing), {OP_SWAP}, op2(OP_IFNE, 3), op2(OP_INVOKESPECIAL, p.thingInit),
            {OP_RETURN}}),
       ALLOCATIONS,
       {{INSTRUCTION_NEW_SWAP, 1, 1, 3, "p.Thing"}, {INSTRUCTION_CONSTRUCTOR_AFTER_COPY, 8, 12, 3, "p.Thing"}},
       joined({range(0, 4, 0), range(4, 11, 4), {39}}), {{5, 6, 1}}, nullptr},
      {"a DUP_X1 while the NEW with the copy is the newest drops the copy and the callback",
       cat({op2(OP_NEW, p.thing), {OP_ACONST_NULL, OP_ACONST_NULL, OP_DUP_X1, OP_POP, OP_POP},
            op2(OP_INVOKESPECIAL, p.thingInit), {OP_RETURN}}),
       ALLOCATIONS, {{INSTRUCTION_NEW_COPY_CANCELLED, 0, 0, 3, "p.Thing"}},
       joined({range(0, 3, 0), range(3, 12, 4)}), {}, nullptr},
      {"the dropped copy is the pending NEW's own, not that of a NEW constructed since",
       cat({op2(OP_NEW, p.thing), op2(OP_NEW, p.thing), {OP_ACONST_NULL}, op2(OP_INVOKESPECIAL, p.thingInitWithObject),
            {OP_ICONST_0, OP_DUP_X1, OP_POP, OP_POP}, op2(OP_INVOKESPECIAL, p.thingInit), {OP_RETURN}}),
       ALLOCATIONS,
       {{INSTRUCTION_NEW_COPY_CANCELLED, 0, 0, 3, "p.Thing"}, {INSTRUCTION_NEW_COPY, 3, 7, 3, "p.Thing"},
        {INSTRUCTION_CONSTRUCTOR_AFTER_COPY, 7, 15, 3, "p.Thing"}},
       joined({range(0, 3, 0), range(3, 6, 4), range(6, 10, 8), range(10, 18, 32)}), {}, nullptr},
      {"NEW DUP POP: no callback and nothing pending",
       cat({op2(OP_NEW, p.thing), {OP_DUP, OP_POP}, op2(OP_INVOKESPECIAL, p.thingInit), {OP_RETURN}}), ALLOCATIONS,
       {}, range(0, 9, 0), {},
       "warning: cannot inject object allocation callback due to a bad bytecode pattern (scala?): p/Sample run"},
      {"INVOKESPECIAL of a field reference",
       cat({op2(OP_NEW, p.thing), {OP_DUP}, op2(OP_INVOKESPECIAL, p.fieldRef), {OP_RETURN}}), ALLOCATIONS, {},
       range(0, 8, 0), {}, "warning: INVOKESPECIAL in p/Sample: unexpected tag 9"},
      {"a private method does not close the NEW",
       cat({op2(OP_NEW, p.thing), {OP_DUP}, op2(OP_INVOKESPECIAL, p.helper), op2(OP_INVOKESPECIAL, p.thingInit),
            {OP_RETURN}}),
       ALL,
       {{INSTRUCTION_INVOKE, 4, 4, 3, nullptr}, {INSTRUCTION_INVOKE, 7, 17, 3, nullptr},
        {INSTRUCTION_CONSTRUCTOR_AFTER_DUP, 7, 27, 3, "p.Thing"}, {INSTRUCTION_RETURN, 10, 54, 1, nullptr}},
       joined({range(0, 7, 0), range(7, 10, 10), {54}}), {}, nullptr},
      {"arrays of primitives, of a class and of several dimensions",
       cat({{OP_BIPUSH, 3, OP_NEWARRAY, 10, OP_POP, OP_ICONST_1}, op2(OP_ANEWARRAY, p.string),
            {OP_POP, OP_ICONST_1, OP_ICONST_1}, op2(OP_MULTIANEWARRAY, p.intMatrix), {2, OP_POP, OP_RETURN}}),
       ALLOCATIONS,
       {{INSTRUCTION_ARRAY, 2, 2, 2, "int[]"}, {INSTRUCTION_ARRAY, 6, 30, 3, "java.lang.String[]"},
        {INSTRUCTION_ARRAY, 12, 60, 4, "int[][]"}},
       joined({range(0, 4, 0), range(4, 9, 24), range(9, 16, 48), range(16, 18, 72)}), {}, nullptr},
      {"calls of every kind",
       cat({op2(OP_INVOKESTATIC, p.helper), op2(OP_INVOKEINTERFACE, p.runnerRun), {1, 0},
            op2(OP_INVOKEVIRTUAL, p.helper), op2(OP_INVOKEDYNAMIC, 1), {0, 0}, {OP_RETURN}}),
       LINES,
       {{INSTRUCTION_INVOKE, 0, 0, 3, nullptr}, {INSTRUCTION_INVOKE, 3, 13, 5, nullptr},
        {INSTRUCTION_INVOKE, 8, 28, 3, nullptr}, {INSTRUCTION_INVOKE, 11, 41, 5, nullptr},
        {INSTRUCTION_RETURN, 16, 56, 1, nullptr}},
       joined({range(0, 3, 0), range(3, 8, 10), range(8, 11, 20), range(11, 16, 30), {56}}), {}, nullptr},
      {"calls without line callbacks",
       cat({op2(OP_INVOKESTATIC, p.helper), op2(OP_INVOKEVIRTUAL, p.helper), {OP_RETURN}}), TRACING,
       {{INSTRUCTION_RETURN, 6, 6, 1, nullptr}}, range(0, 7, 0), {}, nullptr},
      {"TABLESWITCH: every operand, and 12-byte blocks",
       cat({{OP_ICONST_0, OP_TABLESWITCH, 0, 0}, {0, 0, 0, 23, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 24, 0, 0, 0, 25},
            {OP_RETURN, OP_RETURN, OP_RETURN}}),
       PatchScope{true, false, false, true},
       {{INSTRUCTION_RETURN, 24, 24, 1, nullptr}, {INSTRUCTION_RETURN, 25, 37, 1, nullptr},
        {INSTRUCTION_RETURN, 26, 50, 1, nullptr}},
       joined({range(0, 25, 0), {37, 50}}), {{1, 4, 0}, {1, 16, 0}, {1, 20, 0}}, nullptr},
      {"LOOKUPSWITCH: the default and each pair's offset",
       cat({{OP_ICONST_0, OP_LOOKUPSWITCH, 0, 0}, {0, 0, 0, 27, 0, 0, 0, 2, 0, 0, 0, 5, 0, 0, 0, 27},
            {0, 0, 0, 9, 0, 0, 0, 27}, {OP_RETURN}}),
       ALLOCATIONS, {}, range(0, 29, 0), {{1, 4, 0}, {1, 16, 0}, {1, 24, 0}}, nullptr},
      {"WIDE forms and GOTO_W are whole instructions",
       cat({{OP_WIDE, OP_ILOAD, 0, 1, OP_WIDE, OP_IINC, 0, 1, 0, 1, OP_GOTO_W, 0xFF, 0xFF, 0xFF, 0xF6, OP_RETURN}}),
       TRACING, {{INSTRUCTION_RETURN, 15, 15, 1, nullptr}}, range(0, 16, 0), {{10, 11, 0}}, nullptr},
  };
  for (const ScanCase& test : cases) {
    SCOPED_TRACE(test.what);
    const Sample sample = sampleClass(MethodSpec("run", "()V", test.code));
    LogCapture scanLog;
    PatchPlan plan;
    scanPatchPoints(sample.classFile(), *sample.method(), test.code.data(), int32_t(test.code.size()), test.scope,
                    plan);
    ASSERT_EQ(plan.points.size, int32_t(test.points.size()));
    int32_t inserted = 0;
    for (size_t i = 0; i < test.points.size(); i++) {
      const ExpectedPoint& want = test.points[i];
      const PatchPoint& got = plan.points[int32_t(i)];
      EXPECT_EQ(std::make_tuple(got.type, got.oldPos, got.newPos, got.length),
                std::make_tuple(want.type, want.oldPos, want.newPos, want.length))
          << "point " << i;
      EXPECT_EQ(got.classMethodId, want.allocated == nullptr ? 0 : allocationId(want.allocated)) << "point " << i;
    }
    for (size_t i = 0; i < test.points.size(); i++) {
      const int32_t type = test.points[i].type;
      inserted += type == INSTRUCTION_RETURN || type == INSTRUCTION_INVOKE ? exitCallLength(test.scope.aligned)
                  : type == INSTRUCTION_NEW_COPY || type == INSTRUCTION_NEW_SWAP || type == INSTRUCTION_NEW_COPY_CANCELLED
                      ? stackCopyLength
                      : allocationCallLength;
    }
    EXPECT_EQ(plan.inserted, inserted);
    EXPECT_EQ(std::vector<int32_t>(plan.positionMap.data, plan.positionMap.data + plan.positionMap.size), test.map);
    std::vector<std::tuple<int32_t, int32_t, int32_t>> branches;
    for (int32_t i = 0; i < plan.branches.size(); i++) {
      branches.emplace_back(plan.branches.getOffset(i), plan.branches.getOperandPosition(i), plan.branches.getFlag(i));
    }
    EXPECT_EQ(branches, test.branches);
    const std::vector<std::string> entries = scanLog.entries();
    if (test.warning == nullptr) {
      EXPECT_TRUE(entries.empty()) << entries.front();
    } else {
      EXPECT_EQ(entries, std::vector<std::string>{test.warning});
    }
  }
}

TEST_F(MethodPatcher, ScanRefusesCodeItCannotWalk) {
  const struct {
    const char* what;
    Bytes code;
    std::string error;
  } cases[] = {
      {"an undefined opcode", {OP_NOP, 203, OP_RETURN}, "error at Patchers:1142: Wrong instruction opcode found: 203"},
      {"a SIPUSH cut off by the end", {OP_NOP, OP_SIPUSH, 0}, "assertion failed"},
      {"a TABLESWITCH whose table runs past the end",
       {OP_TABLESWITCH, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, OP_RETURN}, "assertion failed"},
  };
  for (const auto& test : cases) {
    const Sample sample = sampleClass(MethodSpec("run", "()V", {OP_RETURN}));
    const std::string error = fatalErrorOf([&] {
      PatchPlan plan;
      scanPatchPoints(sample.classFile(), *sample.method(), test.code.data(), int32_t(test.code.size()), ALL, plan);
    });
    EXPECT_NE(error.find(test.error), std::string::npos) << test.what << ": " << error;
    EXPECT_EQ(error.rfind("error at Patchers:", 0), 0u) << test.what << ": " << error;
  }
}

// --- References checked before the map is applied ---

TEST_F(MethodPatcher, AReferenceOutsideTheCodeOrInsideAnInstructionLeavesTheMethodAsItWas) {
  const Bytes sipush = {OP_SIPUSH, 0, 1, OP_POP, OP_RETURN};  // instructions at 0, 3 and 4
  const struct {
    const char* what;
    MethodSpec spec;
  } cases[] = {
      {"a branch past the end", MethodSpec("run", "()V", cat({op2(OP_GOTO, 100), {OP_RETURN}}))},
      {"a branch before the start", MethodSpec("run", "()V", cat({{OP_NOP}, op2(OP_GOTO, -2), {OP_RETURN}}))},
      {"a branch into an instruction",
       MethodSpec("run", "()V", cat({op2(OP_GOTO, 4), sipush}))},
      {"a switch target into an instruction",
       MethodSpec("run", "()V", cat({{OP_ICONST_0, OP_LOOKUPSWITCH, 0, 0, 0, 0, 0, 12, 0, 0, 0, 0}, sipush}))},
      {"a handler range starting inside an instruction",
       MethodSpec("run", "()V", sipush, 4, 2).withHandlers({{1, 3, 4}})},
      {"a handler range ending inside an instruction",
       MethodSpec("run", "()V", sipush, 4, 2).withHandlers({{0, 2, 4}})},
      {"a handler inside an instruction", MethodSpec("run", "()V", sipush, 4, 2).withHandlers({{0, 3, 1}})},
      {"a frame inside an instruction",
       MethodSpec("run", "()V", sipush, 4, 2).withFrames(1, {1})},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    const Sample sample = sampleClass(test.spec);
    const std::vector<std::string> before = stateOf(sample.code());
    const std::string error = fatalErrorOf([&] { patch(sample, true, true); });
    EXPECT_EQ(error.rfind("error at Patchers:", 0), 0u) << error;
    EXPECT_NE(error.find("assertion failed"), std::string::npos) << error;
    EXPECT_EQ(stateOf(sample.code()), before);
  }
}

TEST(LocalVariableRanges, RemapFollowsTheMapAndEndsAtTheNewEnd) {
  // Old code of 10 bytes; 4 bytes inserted before 5, 6 bytes before 9.
  const int32_t map[] = {0, 1, 2, 3, 4, 9, 10, 11, 12, 19};
  LocalVariable whole(0, 10, 1, 1, 0), fromFive(5, 4, 1, 1, 1), toEnd(9, 1, 1, 1, 2), empty(5, 0, 1, 1, 3);
  YVector<LocalVariable*> entries;
  for (LocalVariable* entry : {&whole, &fromFive, &toEnd, &empty}) entries.add(entry);
  remapLocalVariables(entries, map, 10, 20);
  EXPECT_EQ(std::make_pair(whole.getStartPc(), whole.getLength()), std::make_pair(0, 20));
  EXPECT_EQ(std::make_pair(fromFive.getStartPc(), fromFive.getLength()), std::make_pair(9, 10));
  EXPECT_EQ(std::make_pair(toEnd.getStartPc(), toEnd.getLength()), std::make_pair(19, 1));
  EXPECT_EQ(std::make_pair(empty.getStartPc(), empty.getLength()), std::make_pair(9, 0));

  shiftLocalVariables(entries, 13);
  EXPECT_EQ(std::make_pair(whole.getStartPc(), whole.getLength()), std::make_pair(0, 33));
  EXPECT_EQ(std::make_pair(fromFive.getStartPc(), fromFive.getLength()), std::make_pair(22, 10));
  shiftLocalVariables(entries, 0);
  EXPECT_EQ(fromFive.getStartPc(), 22);
}

TEST(LocalVariableRanges, ARangeOutsideTheCodeOrANullEntryChangesNoEntry) {
  const int32_t map[] = {0, 5, 6, 7};
  LocalVariable inside(1, 2, 1, 1, 0), pastEnd(2, 3, 1, 1, 1);
  YVector<LocalVariable*> entries;
  entries.add(&inside);
  entries.add(&pastEnd);
  EXPECT_EQ(fatalErrorOf([&] { remapLocalVariables(entries, map, 4, 8); }).rfind("error at Patchers:", 0), 0u);
  EXPECT_EQ(std::make_pair(inside.getStartPc(), inside.getLength()), std::make_pair(1, 2));

  YVector<LocalVariable*> withNull;
  withNull.add(&inside);
  withNull.add(nullptr);
  EXPECT_EQ(fatalErrorOf([&] { remapLocalVariables(withNull, map, 4, 8); }),
            "error at Patchers:319: assertion failed: value is NULL");
  EXPECT_EQ(fatalErrorOf([&] { shiftLocalVariables(withNull, 3); }),
            "error at Patchers:319: assertion failed: value is NULL");
  EXPECT_EQ(inside.getStartPc(), 1);
}

// --- Patched methods ---

struct LayoutCase {
  const char* what;
  MethodSpec spec;
  bool allocation;
  bool tracing;
  bool withLines;
  std::vector<int32_t> opcodes;
};

// Entry block without and with the allocation local, exit, line and allocation blocks.
const std::vector<int32_t> ENTRY = {OP_LDC_W, OP_LDC2_W, OP_INVOKESTATIC, OP_WIDE};
const std::vector<int32_t> ENTRY_WITH_LOCAL = {OP_ICONST_M1, OP_WIDE, OP_LDC_W, OP_LDC2_W, OP_INVOKESTATIC, OP_WIDE};
const std::vector<int32_t> EXIT = {OP_LDC_W, OP_WIDE, OP_INVOKESTATIC};
const std::vector<int32_t> LINE = {OP_SIPUSH, OP_WIDE, OP_INVOKESTATIC};
const std::vector<int32_t> ALLOCATION_TAIL = {OP_WIDE,         OP_LDC_W, OP_SIPUSH, OP_LDC2_W,
                                              OP_INVOKESTATIC, OP_WIDE,  OP_NOP,    OP_NOP, OP_NOP};

std::vector<int32_t> listing(std::initializer_list<std::vector<int32_t>> parts) { return joined(parts); }

TEST_F(MethodPatcher, PatchedMethodsHaveTheirBlocksWhereTheyBelong) {
  const Pool& p = P();
  const Bytes callAndReturn = cat({op2(OP_INVOKESTATIC, p.helper), {OP_RETURN}});
  const std::vector<std::pair<int32_t, int32_t>> line7 = {{0, 7}};
  const LayoutCase cases[] = {
      {"a call and a return", MethodSpec("run", "()V", callAndReturn, 2, 0).withLines(line7), true, true, true,
       listing({ENTRY, LINE, {OP_INVOKESTATIC}, EXIT, {OP_RETURN}})},
      {"the same without line callbacks", MethodSpec("run", "()V", callAndReturn, 2, 0).withLines(line7), true,
       true, false, listing({ENTRY, {OP_INVOKESTATIC}, EXIT, {OP_RETURN}})},
      {"a method that only throws",
       MethodSpec("run", "()V", cat({op2(OP_INVOKESTATIC, p.helper), {OP_ACONST_NULL, OP_ATHROW}}), 2, 0).withLines(line7),
       false, true, true, listing({ENTRY, LINE, {OP_INVOKESTATIC, OP_ACONST_NULL, OP_ATHROW}})},
      {"allocations only: the local's 8-byte start and no other callback",
       MethodSpec("run", "()V", cat({op2(OP_NEW, p.thing), {OP_DUP}, op2(OP_INVOKESPECIAL, p.thingInit),
                       {OP_POP, OP_BIPUSH, 2, OP_NEWARRAY, 10, OP_POP, OP_RETURN}}), 3, 0).withLines(line7),
       true, false, true,
       listing({{OP_ICONST_M1, OP_WIDE, OP_NOP, OP_NOP, OP_NOP, OP_NEW, OP_DUP, OP_INVOKESPECIAL, OP_DUP},
                ALLOCATION_TAIL, {OP_POP, OP_BIPUSH, OP_NEWARRAY, OP_DUP}, ALLOCATION_TAIL, {OP_POP, OP_RETURN}})},
      {"NEW DUP with everything",
       MethodSpec("run", "()V", cat({op2(OP_NEW, p.thing), {OP_DUP}, op2(OP_INVOKESPECIAL, p.thingInit), {OP_POP, OP_RETURN}}), 2, 0).withLines(line7),
       true, true, true,
       listing({ENTRY_WITH_LOCAL, {OP_NEW, OP_DUP}, LINE, {OP_INVOKESPECIAL, OP_DUP}, ALLOCATION_TAIL, {OP_POP}, EXIT,
                {OP_RETURN}})},
      {"a NEW whose reference the constructor takes: the copy after the NEW feeds the callback",
       MethodSpec("run", "()V", cat({op2(OP_NEW, p.thing), {OP_ACONST_NULL}, op2(OP_INVOKESPECIAL, p.thingInitWithObject), {OP_RETURN}}), 2, 0).withLines(line7),
       true, false, true,
       listing({{OP_ICONST_M1, OP_WIDE, OP_NOP, OP_NOP, OP_NOP, OP_NEW, OP_DUP, OP_NOP, OP_NOP, OP_NOP, OP_ACONST_NULL,
                 OP_INVOKESPECIAL, OP_NOP},
                ALLOCATION_TAIL, {OP_RETURN}})},
      {"neither a call nor an allocation: nothing at all", MethodSpec("run", "()V", {OP_ICONST_0, OP_POP, OP_RETURN}),
       true, false, true, {OP_ICONST_0, OP_POP, OP_RETURN}},
  };
  for (const LayoutCase& test : cases) {
    SCOPED_TRACE(test.what);
    const Sample sample = sampleClass(test.spec);
    ASSERT_TRUE(patch(sample, test.allocation, test.tracing, test.withLines));
    EXPECT_EQ(opcodesOf(sample.code()), test.opcodes);
    expectWellFormed(sample.code());
    expectRoundTrip(sample);
    // Every callback call names its own reference, and the allocation calls only bzpInit.
    for (const Instruction& i : instructionsOf(sample.code())) {
      if (i.opcode != OP_INVOKESTATIC) continue;
      const int32_t ref = u2At(sample.code(), i.position + 1);
      if (ref == p.helper) continue;
      if (!test.tracing) {
        EXPECT_EQ(ref, sample.initRef);
      }
      if (!test.withLines) {
        EXPECT_NE(ref, sample.lineRef);
      }
    }
  }
}

TEST_F(MethodPatcher, TheBlocksCarryTheMethodItsCountersAndItsLines) {
  const Pool& p = P();
  const Sample sample = sampleClass(MethodSpec("run", "(I)V", cat({op2(OP_NEW, p.thing), {OP_DUP}, op2(OP_INVOKESPECIAL, p.thingInit), {OP_POP, OP_RETURN}}), 2, 1).withLines({{0, 5}, {4, 6}}).withLocals({{0, 9, 0}}));
  const int32_t methodId = methodIdOf(sample);
  ASSERT_TRUE(patch(sample, true, true));
  const CodeAttribute& code = sample.code();
  const ConstantPool& pool = sample.classFile().getConstantPool();
  const auto integerAt = [&](int32_t position) { return constantAt<ConstantIntInfo>(pool, u2At(code, position), "test", 0).value; };
  const auto longAt = [&](int32_t position) { return constantAt<ConstantLongInfo>(pool, u2At(code, position), "test", 0).value; };
  const auto address = [](const uint64_t* counter) { return int64_t(reinterpret_cast<uintptr_t>(counter)); };

  // Entry: allocation local 1 (after the parameter), the method id, its call counter, the result in 2.
  EXPECT_EQ(u2At(code, 3), 1);
  EXPECT_EQ(integerAt(6), methodId);
  EXPECT_EQ(longAt(9), address(getCountingSlot(methodId, callCounters())));
  EXPECT_EQ(u2At(code, 12), sample.entryRef);
  EXPECT_EQ(u2At(code, 16), 2);
  EXPECT_EQ(code.getMaxLocals(), 4);
  EXPECT_EQ(code.getMaxStack(), 2 + 12);
  // The line block before the constructor call pushes the line of the call (6).
  const int32_t line = 18 + 4;
  EXPECT_EQ(code.getCode()[line], OP_SIPUSH);
  EXPECT_EQ(u2At(code, line + 1), 6);
  EXPECT_EQ(u2At(code, line + 8), sample.lineRef);
  // The allocation block: the class's pseudo-method, the line and the counter of (method, line, class).
  const int32_t allocation = line + 10 + 3;
  const int32_t thing = allocationId("p.Thing");
  EXPECT_EQ(integerAt(allocation + 6), thing);
  EXPECT_EQ(u2At(code, allocation + 9), 6);
  const int32_t point = getAllocPointRow(CodePointStorage::getOrAdd(methodId, 6), db->methods.getRow(thing, false)->classNameId);
  EXPECT_EQ(longAt(allocation + 12), address(getCountingSlot(point, allocPointCounters())));
  EXPECT_EQ(u2At(code, allocation + 15), sample.initRef);
  // Line entries follow their instructions; the first keeps the entry block.
  const LineNumberTableAttribute& lines = *code.getLineNumberTable();
  EXPECT_EQ(lines.getEntries()[0]->startPc, 0);
  EXPECT_EQ(lines.getEntries()[1]->startPc, line);
  // The parameter's range covers everything.
  EXPECT_EQ(code.getLocalVariableTable()->getEntries()[0]->getLength(), code.getCodeLength());
}

// The line call takes an int: a line past 32767 goes as an Integer constant. The allocation call takes a
// short: it gets the line's 16 bits, which its native side reads unsigned.
TEST_F(MethodPatcher, ALineBeyondTheShortRangeIsPushedAsAnIntegerConstant) {
  const Pool& p = P();
  const Sample sample = sampleClass(MethodSpec("run", "()V", cat({op2(OP_NEW, p.thing), {OP_DUP}, op2(OP_INVOKESPECIAL, p.thingInit), {OP_POP, OP_RETURN}}), 2, 0).withLines({{0, 40000}}));
  ASSERT_TRUE(patch(sample, true, true));
  const ConstantPool& pool = sample.classFile().getConstantPool();
  int32_t pooledPushes = 0;
  int32_t bitPushes = 0;
  for (const Instruction& i : instructionsOf(sample.code())) {
    if (i.opcode == OP_SIPUSH) {
      EXPECT_EQ(u2At(sample.code(), i.position + 1), 40000) << "at " << i.position;
      bitPushes++;
    }
    if (i.opcode != OP_LDC_W) continue;
    const ConstantPoolInfo* entry = pool[u2At(sample.code(), i.position + 1)];
    if (entry->tag == CONSTANT_Integer && static_cast<const ConstantIntInfo*>(entry)->value == 40000) pooledPushes++;
  }
  EXPECT_EQ(pooledPushes, 1);  // the line call
  EXPECT_EQ(bitPushes, 1);     // the allocation call
  expectWellFormed(sample.code());
}

TEST_F(MethodPatcher, CodeOfExactlyTheLimitIsRefusedAndLeavesTheMethodAsItWas) {
  // NOPs and a return, traced: 10 bytes of exit block and 13 of entry block.
  for (int32_t version : {49, 52}) {
    for (const auto& [nopCount, fits] : {std::make_pair(65512, false), std::make_pair(65511, true)}) {
      SCOPED_TRACE(std::to_string(version) + " " + std::to_string(nopCount));
      const Sample sample = sampleClass(MethodSpec("run", "()V", cat({nops(size_t(nopCount)), {OP_RETURN}}), 0, 0).withLocals({{0, nopCount + 1, 0}}),
                                        "p/Sample", version);
      const std::vector<std::string> before = stateOf(sample.code());
      EXPECT_EQ(patch(sample, false, true), fits);
      if (fits) {
        EXPECT_EQ(sample.code().getCodeLength(), 65535);
        expectRoundTrip(sample);
      } else {
        EXPECT_EQ(stateOf(sample.code()), before);
      }
    }
  }
}

// A GOTO from 0 over 300 calls and enough NOPs to reach 29903, a NEW whose copy is in a frame, its
// constructor call and a return. Line blocks before the calls push the GOTO past 32767.
MethodSpec farJump() {
  const Pool& p = P();
  constexpr int32_t target = 3 + 900 + 29000;
  Bytes code = op2(OP_GOTO, target);
  for (int i = 0; i < 300; i++) code = cat({code, op2(OP_INVOKESTATIC, p.helper)});
  code = cat({code, nops(29000), op2(OP_NEW, p.thing), {OP_ICONST_0}, op2(OP_IFEQ, 4), {OP_NOP},
              op2(OP_INVOKESPECIAL, p.thingInit), {OP_RETURN}});
  // Frames: after the GOTO, at its target, and at the IFEQ's target with the new object on the stack.
  const Bytes frames = cat({{3, 251}, {uint8_t((target - 4) >> 8), uint8_t(target - 4)}, {64 + 7, 8},
                            {uint8_t(target >> 8), uint8_t(target)}});
  return MethodSpec("<clinit>", "()V", code, 2, 0).withLines({{0, 1}}).withFrames(3, frames);
}

TEST_F(MethodPatcher, ABranchThatNoLongerFitsIsRefusedAndTheFallbackAddsEachCopyToTheFramesOnce) {
  const Sample sample = sampleClass(farJump());
  const std::vector<std::string> before = stateOf(sample.code());
  EXPECT_FALSE(patch(sample, true, true));
  EXPECT_EQ(stateOf(sample.code()), before);

  ASSERT_TRUE(patch(sample, true, true, false));
  const int32_t newAt = 29903 + 18;  // behind the entry block with the allocation local
  EXPECT_EQ(sample.code().getCode()[newAt], OP_NEW);
  EXPECT_EQ(branchTargetsOf(sample.code()).front(), newAt);
  // Allocation local 0 (int) and the entry's result 1 (long) in every frame; the stack copy once.
  const std::vector<std::string> frames = codetest::describe(sample.code().getFrames());
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[1], "21: I J | ");
  EXPECT_EQ(frames[2], std::to_string(newAt) + ": I J | ");
  EXPECT_EQ(frames[3], std::to_string(newAt + 4 + 8) + ": I J | Uninitialized@" + std::to_string(newAt) +
                           " Uninitialized@" + std::to_string(newAt));
  expectWellFormed(sample.code());
  expectRoundTrip(sample);
}

TEST_F(MethodPatcher, LocalRangesFromTheStartInsideAndToTheEnd) {
  const Pool& p = P();
  // 0 ICONST_0, 1 ISTORE_1, 2 call, 5 ICONST_1, 6 ISTORE_1, 7 call, 10 RETURN.
  const Bytes code = cat({{OP_ICONST_0, OP_ISTORE_1}, op2(OP_INVOKESTATIC, p.helper), {OP_ICONST_1, OP_ISTORE_1},
                          op2(OP_INVOKESTATIC, p.helper), {OP_RETURN}});
  const Sample sample = sampleClass(
      MethodSpec("run", "(I)V", code, 2, 2).withLines({{0, 1}}).withLocals({{0, 11, 0}, {5, 2, 1}, {2, 9, 1}}));
  ASSERT_TRUE(patch(sample, false, true));
  const YVector<LocalVariable*>& locals = sample.code().getLocalVariableTable()->getEntries();
  const int32_t total = 13 + 11 + 30;
  EXPECT_EQ(sample.code().getCodeLength(), total);
  // The parameter covers the entry block; 5 moves behind the entry block and the line block before it
  // and ends at the line block of the second call; a range to the old end ends at the new end.
  EXPECT_EQ(std::make_pair(locals[0]->getStartPc(), locals[0]->getLength()), std::make_pair(0, total));
  EXPECT_EQ(std::make_pair(locals[1]->getStartPc(), locals[1]->getLength()), std::make_pair(5 + 13 + 10, 2));
  EXPECT_EQ(std::make_pair(locals[2]->getStartPc(), locals[2]->getLength()), std::make_pair(2 + 13, total - 15));
  expectWellFormed(sample.code());
}

TEST_F(MethodPatcher, EveryTargetOfASwitchFollowsTheBlocksInFrontOfIt) {
  const Pool& p = P();
  // 0 ICONST_0, 1 TABLESWITCH 0..2 (default 35, 31, 32, 35), 28 call, 31 RETURN, 32 call, 35 RETURN.
  const Bytes code = cat({{OP_ICONST_0, OP_TABLESWITCH, 0, 0},
                          {0, 0, 0, 34, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 30, 0, 0, 0, 31, 0, 0, 0, 34},
                          op2(OP_INVOKESTATIC, p.helper), {OP_RETURN}, op2(OP_INVOKESTATIC, p.helper), {OP_RETURN}});
  const Sample sample = sampleClass(MethodSpec("run", "()V", code, 2, 0).withLines({{0, 1}}));
  ASSERT_TRUE(patch(sample, true, true));
  const CodeAttribute& patched = sample.code();
  const int32_t switchAt = 1 + 16;  // the aligned entry block keeps the padding
  ASSERT_EQ(patched.getCode()[switchAt], OP_TABLESWITCH);
  EXPECT_EQ(s4At(patched, 24), 0);
  EXPECT_EQ(s4At(patched, 28), 2);
  const std::vector<int32_t> targets = branchTargetsOf(patched);
  // Old targets behind one, two and three 12-byte blocks: each lands on the block before its instruction.
  const std::vector<int32_t> expected = {switchAt + 34 + 36, switchAt + 30 + 12, switchAt + 31 + 24,
                                         switchAt + 34 + 36};
  EXPECT_EQ(targets, expected);
  for (int32_t target : targets) {
    EXPECT_TRUE(patched.getCode()[target] == OP_LDC_W || patched.getCode()[target] == OP_SIPUSH) << target;
    EXPECT_TRUE(patched.getCode()[target + 12] == OP_RETURN || patched.getCode()[target + 12] == OP_INVOKESTATIC);
  }
  expectWellFormed(patched);
}

TEST_F(MethodPatcher, NewLocalsNeverPassTheSlotLimit) {
  const struct {
    int32_t maxLocals;
    int32_t maxStack;
    bool allocation;
    bool tracing;
    int32_t localsAfter;  // 0: refused
  } cases[] = {
      {32765, 2, false, true, 32767},  // the long result in 32765 and 32766
      {32766, 2, false, true, 0},      // it would need slot 32767
      {32766, 2, true, false, 32767},  // the allocation local alone fits
      {32765, 2, true, true, 0},
      {2, 32755, false, true, 4},      // max stack grows by 12 to the limit
      {2, 32756, false, true, 0},
  };
  const Pool& p = P();
  for (const auto& test : cases) {
    SCOPED_TRACE(std::to_string(test.maxLocals) + " " + std::to_string(test.maxStack));
    const Sample sample = sampleClass(MethodSpec("run", "()V", cat({op2(OP_NEW, p.thing), {OP_DUP}, op2(OP_INVOKESPECIAL, p.thingInit), {OP_RETURN}}), test.maxStack, test.maxLocals));
    const std::vector<std::string> before = stateOf(sample.code());
    if (test.localsAfter != 0) {
      ASSERT_TRUE(patch(sample, test.allocation, test.tracing));
      EXPECT_EQ(sample.code().getMaxLocals(), test.localsAfter);
      expectWellFormed(sample.code());
    } else {
      EXPECT_EQ(fatalErrorOf([&] { patch(sample, test.allocation, test.tracing); }).rfind("error at Patchers:", 0), 0u);
      EXPECT_EQ(stateOf(sample.code()), before);
    }
  }
}

TEST_F(MethodPatcher, AConstructorArgumentStoredInALocalDisablesAllocationsWithAWarning) {
  const Pool& p = P();
  const Sample sample = sampleClass(MethodSpec("run", "()V", cat({op2(OP_NEW, p.thing), {OP_DUP, OP_ACONST_NULL, OP_ASTORE_0}, op2(OP_INVOKESPECIAL, p.thingInit), {OP_RETURN}}), 3, 1));
  ASSERT_TRUE(patch(sample, true, true));
  EXPECT_EQ(loggedCount("warning: unexpected bytecode was detected. Allocation recording for this method will be "
                        "disabled. p.Sample run()"),
            1);
  EXPECT_EQ(sample.code().getMaxLocals(), 1 + 2);  // the entry's result only
  for (const Instruction& i : instructionsOf(sample.code())) {
    if (i.opcode == OP_INVOKESTATIC) {
      EXPECT_NE(u2At(sample.code(), i.position + 1), sample.initRef);
    }
  }
}

#ifndef _WIN32
// A fresh process reads the hidden options anew.
TEST_F(MethodPatcher, TheObfuscationWarningComesOncePerProcess) {
  inFreshProcess([this] {
    const Pool& p = P();
    int32_t copies = 0;
    for (int round = 0; round < 2; round++) {
      const Sample sample = sampleClass(MethodSpec("run", "()V", cat({{OP_ICONST_0}, op2(OP_NEW, p.thing), {OP_SWAP}, op2(OP_IFNE, 3), op2(OP_INVOKESPECIAL, p.thingInit),
               {OP_RETURN}}), 3, 0));
      if (!patch(sample, true, false)) return std::string("not patched");
      for (const Instruction& i : instructionsOf(sample.code())) copies += i.opcode == OP_DUP_X1 ? 1 : 0;
    }
    if (copies != 2) return "copies: " + std::to_string(copies);
    const int32_t warnings = loggedCount("warning: obfuscated bytecode of a known type was detected");
    return warnings == 1 ? std::string() : "warnings: " + std::to_string(warnings);
  });
}
#endif

// --- Large methods ---

TEST_F(MethodPatcher, ALargeMethodHasLineCallbacksOnlyWhileCpuTracingRuns) {
  const Pool& p = P();
  const auto code = [&](size_t length) { return cat({nops(length - 4), op2(OP_INVOKESTATIC, p.helper), {OP_RETURN}}); };
  const struct {
    const char* className;
    const char* method;
    size_t length;
    uint64_t mode;
    bool lines;
    const char* logged;
  } cases[] = {
      {"p/LargeOff", "run", 2048, 0, false, "tracing=off: large method: 2048 p.LargeOff run()"},
      {"p/LargeSampled", "run", 2048, PROFILING_CPU_SAMPLING, false,
       "tracing=off: large method: 2048 p.LargeSampled run()"},
      {"p/LargeOn", "run", 2048, PROFILING_CPU_TRACING, true, "tracing=on: large method: 2048 p.LargeOn run()"},
      {"p/NotLarge", "run", 2047, 0, true, nullptr},
      {"p/LargeInit", "<clinit>", 4000, 0, true, nullptr},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.className);
    ProfilingMode mode(test.mode);
    LogCapture caseLog;
    const Sample sample = sampleClass(MethodSpec(test.method, "()V", code(test.length), 2, 0).withLines({{0, 1}}),
                                      test.className);
    ASSERT_TRUE(patch(sample, false, true));
    bool lineCall = false;
    for (const Instruction& i : instructionsOf(sample.code())) {
      lineCall |= i.opcode == OP_INVOKESTATIC && u2At(sample.code(), i.position + 1) == sample.lineRef;
    }
    EXPECT_EQ(lineCall, test.lines);
    const std::string javaName = std::string(test.className).replace(1, 1, ".");
    EXPECT_EQ(containsClassName(patchedClassNames(), YString(javaName.c_str())), test.logged != nullptr);
    const std::vector<std::string> entries = caseLog.entries();
    EXPECT_EQ(entries, test.logged == nullptr ? std::vector<std::string>{} : std::vector<std::string>{test.logged});
  }
}

#ifndef _WIN32
// A fresh process reads the hidden options anew.
TEST_F(MethodPatcher, TheLargeMethodLimitIsAnOption) {
  inFreshProcess([this] {
    HiddenOption limit("_tracing_clt=0");
    const Sample sample = sampleClass(
        MethodSpec("tiny", "()V", cat({op2(OP_INVOKESTATIC, P().helper), {OP_RETURN}}), 2, 0).withLines({{0, 1}}),
        "p/Tiny");
    ProfilingMode mode(0);
    if (!patch(sample, false, true)) return std::string("not patched");
    return loggedCount("tracing=off: large method: 4 p.Tiny tiny()") == 1 ? std::string() : std::string("no line");
  });
}
#endif

// --- The JDK's own classes ---

TEST_F(MethodPatcher, EveryMethodOfJdkClassesPatchesIntoWellFormedCode) {
  int32_t patched = 0;
  int32_t withoutLines = 0;
  for (int32_t c = 0; c < jdkClassCount; c++) {
    SCOPED_TRACE(jdkClasses[c].name);
    YVector<uint8_t> input;
    input.addRange(jdkClasses[c].bytes, jdkClasses[c].size);
    DataInput in(input);
    ClassFile classFile(in);
    ASSERT_FALSE(classFile.isParseFailed());
    const auto ref = [&](const char* name, const char* type) {
      const int32_t callback = classFile.getOrAddClass(classFile.getOrAddUtf8(YString("com/brantel/runtime/Callback")));
      const int32_t typeIndex = classFile.getOrAddUtf8(YString(type));
      return classFile.getOrAddMethodRef(callback, classFile.getOrAddUtf8(YString(name)), typeIndex);
    };
    const int32_t entryRef = ref("bzpMethodEntry", "(IJ)J");
    const int32_t exitRef = ref("bzpMethodExit", "(IJ)V");
    const int32_t lineRef = ref("bzpMethodLine", "(IJ)V");
    const int32_t initRef = ref("bzpInit", "(Ljava/lang/Object;IISJ)I");
    for (int32_t m = 0; m < classFile.getMethods().size; m++) {
      MethodInfo* method = classFile.getMethods()[m];
      if (method->getCodeAttribute() == nullptr) continue;
      SCOPED_TRACE(method->getName().data);
      const int32_t id = getOrCreateMethod(jdkClasses[c].name, method->getName().data, "()", "void", "", false);
      bool done = patchMethod(id, classFile, method, entryRef, exitRef, lineRef, initRef, true, true);
      if (!done) {
        withoutLines++;
        done = patchMethod(id, classFile, method, entryRef, exitRef, -1, initRef, true, true);
      }
      ASSERT_TRUE(done);
      patched++;
      expectWellFormed(*method->getCodeAttribute());
    }
    // The frames and tables encode, and the class reads back the same.
    const Bytes written = classtest::writtenClass(classFile);
    ParsedClass again(written);
    ASSERT_EQ(again->getMethods().size, classFile.getMethods().size);
    for (int32_t m = 0; m < classFile.getMethods().size; m++) {
      const CodeAttribute* code = classFile.getMethods()[m]->getCodeAttribute();
      if (code != nullptr) {
        EXPECT_EQ(stateOf(*again->getMethods()[m]->getCodeAttribute()), stateOf(*code));
      }
    }
  }
  EXPECT_GT(patched, 500);
  std::cout << patched << " JDK methods patched, " << withoutLines << " of them without line callbacks" << std::endl;
}

}  // namespace
