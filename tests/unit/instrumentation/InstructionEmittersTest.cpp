#include "agent/instrumentation/InstructionEmitters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/ConstantValues.h"
#include "agent/recording/MethodStore.h"
#include "tests/support/TestDatabase.h"
#include "tests/unit/classfile/ClassTestSupport.h"
#include "tests/unit/classfile/FailureWithoutLine.h"

// The fixed-length blocks of method patching, byte for byte, and the allocation pseudo-methods they name.

using namespace classtest;

namespace {

enum : uint8_t {
  NOP = 0,
  ICONST_M1 = 2,
  SIPUSH = 17,
  LDC_W = 19,
  LDC2_W = 20,
  ILOAD = 21,
  LLOAD = 22,
  ISTORE = 54,
  LSTORE = 55,
  DUP = 89,
  DUP_X1 = 90,
  INVOKESTATIC = 184,
  WIDE = 196,
};

// Every operand has two different bytes, so that a swapped, short or misplaced operand shows.
constexpr int32_t ENTRY_REF = 0x0102;
constexpr int32_t METHOD_ID = 0x0304;
constexpr int32_t COUNTER = 0x0506;
constexpr int32_t RESULT = 0x0708;
constexpr int32_t ALLOC = 0x090A;
constexpr int32_t EXIT_REF = 0x0B0C;
constexpr int32_t LINE_REF = 0x0D0E;
constexpr int32_t INIT_REF = 0x0F10;
constexpr int32_t CLASS_ID = 0x1112;
constexpr LinePush LINE = {SIPUSH, 0x1314};
constexpr LinePush POOLED_LINE = {LDC_W, 0x1516};

// Blocks go at a position inside a buffer of guard bytes, so that bytes written before or after the block
// show as well as wrong bytes within it.
constexpr uint8_t GUARD = 0xEE;
constexpr int32_t POSITION = 5;
constexpr size_t BUFFER_SIZE = 40;

Bytes guardBuffer() { return Bytes(BUFFER_SIZE, GUARD); }

Bytes bufferWith(const Bytes& block) {
  Bytes buffer = guardBuffer();
  std::copy(block.begin(), block.end(), buffer.begin() + POSITION);
  return buffer;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const Bytes entryCall = {LDC_W, 3, 4, LDC2_W, 5, 6, INVOKESTATIC, 1, 2, WIDE, LSTORE, 7, 8};
const Bytes allocInit = {ICONST_M1, WIDE, ISTORE, 9, 10};
const Bytes exitCall = {LDC_W, 3, 4, WIDE, LLOAD, 7, 8, INVOKESTATIC, 11, 12};
const Bytes lineCall = {SIPUSH, 0x13, 0x14, WIDE, LLOAD, 7, 8, INVOKESTATIC, 13, 14};

// The allocation block: operands as above, the line push given.
Bytes allocationBlock(uint8_t first, uint8_t linePushOpcode = SIPUSH, uint8_t lineHigh = 0x13, uint8_t lineLow = 0x14) {
  return {first, WIDE, ILOAD, 9, 10, LDC_W, 0x11, 0x12, linePushOpcode, lineHigh, lineLow, LDC2_W, 5, 6,
          INVOKESTATIC, 15, 16, WIDE, ISTORE, 9, 10, NOP, NOP, NOP};
}

using Emit = std::function<int32_t(uint8_t* buffer, int32_t position)>;

struct BlockCase {
  const char* name;
  Emit emit;
  int32_t tableLength;  // what patching reserves for the block
  Bytes bytes;
};

TEST(InstructionEmitters, BlocksAreTheirTableLengthWithWideOperands) {
  const std::vector<BlockCase> cases = {
      {"entry",
       [](uint8_t* b, int32_t p) { return emitEntryCall(ENTRY_REF, METHOD_ID, COUNTER, RESULT, b, p, -1, false); },
       entryCallLength(false, false), entryCall},
      {"entry aligned",
       [](uint8_t* b, int32_t p) { return emitEntryCall(ENTRY_REF, METHOD_ID, COUNTER, RESULT, b, p, -1, true); },
       entryCallLength(true, false), cat({entryCall, {NOP, NOP, NOP}})},
      {"entry with alloc local",
       [](uint8_t* b, int32_t p) { return emitEntryCall(ENTRY_REF, METHOD_ID, COUNTER, RESULT, b, p, ALLOC, false); },
       entryCallLength(false, true), cat({allocInit, entryCall})},
      {"entry with alloc local aligned",
       [](uint8_t* b, int32_t p) { return emitEntryCall(ENTRY_REF, METHOD_ID, COUNTER, RESULT, b, p, ALLOC, true); },
       entryCallLength(true, true), cat({allocInit, entryCall, {NOP, NOP}})},
      // Slots and indices below 256 keep the long forms.
      {"entry with small operands", [](uint8_t* b, int32_t p) { return emitEntryCall(2, 3, 4, 1, b, p, 0, true); },
       entryCallLength(true, true),
       {ICONST_M1, WIDE, ISTORE, 0, 0, LDC_W, 0, 3, LDC2_W, 0, 4, INVOKESTATIC, 0, 2, WIDE, LSTORE, 0, 1, NOP, NOP}},
      {"local init", [](uint8_t* b, int32_t p) { return emitLocalInit(b, p, ALLOC); }, localInitLength(true),
       cat({allocInit, {NOP, NOP, NOP}})},
      {"local init without alloc local", [](uint8_t* b, int32_t p) { return emitLocalInit(b, p, -1); },
       localInitLength(false), {}},
      {"exit", [](uint8_t* b, int32_t p) { return emitExitCall(EXIT_REF, METHOD_ID, RESULT, b, p, false); },
       exitCallLength(false), exitCall},
      {"exit aligned", [](uint8_t* b, int32_t p) { return emitExitCall(EXIT_REF, METHOD_ID, RESULT, b, p, true); },
       exitCallLength(true), cat({exitCall, {NOP, NOP}})},
      {"exit with small operands", [](uint8_t* b, int32_t p) { return emitExitCall(2, 3, 1, b, p, false); },
       exitCallLength(false), {LDC_W, 0, 3, WIDE, LLOAD, 0, 1, INVOKESTATIC, 0, 2}},
      {"line", [](uint8_t* b, int32_t p) { return emitLineCall(LINE_REF, LINE, RESULT, b, p, false); },
       lineCallLength(false), lineCall},
      {"line aligned", [](uint8_t* b, int32_t p) { return emitLineCall(LINE_REF, LINE, RESULT, b, p, true); },
       lineCallLength(true), cat({lineCall, {NOP, NOP}})},
      {"line from the pool",
       [](uint8_t* b, int32_t p) { return emitLineCall(LINE_REF, POOLED_LINE, RESULT, b, p, false); },
       lineCallLength(false), {LDC_W, 0x15, 0x16, WIDE, LLOAD, 7, 8, INVOKESTATIC, 13, 14}},
      {"stack copy", [](uint8_t* b, int32_t p) { return emitStackCopy(b, p, INSTRUCTION_NEW_COPY); }, stackCopyLength,
       {DUP, NOP, NOP, NOP}},
      {"stack copy cancelled",
       [](uint8_t* b, int32_t p) { return emitStackCopy(b, p, INSTRUCTION_NEW_COPY_CANCELLED); },
       stackCopyLength, {NOP, NOP, NOP, NOP}},
      {"stack copy under a swap", [](uint8_t* b, int32_t p) { return emitStackCopy(b, p, INSTRUCTION_NEW_SWAP); },
       stackCopyLength, {DUP_X1, NOP, NOP, NOP}},
      {"allocation after dup",
       [](uint8_t* b, int32_t p) {
         return emitAllocationCallAfterDup(INIT_REF, b, p, ALLOC, CLASS_ID, COUNTER, LINE);
       },
       allocationCallLength, allocationBlock(DUP)},
      {"allocation after dup, line from the pool",
       [](uint8_t* b, int32_t p) {
         return emitAllocationCallAfterDup(INIT_REF, b, p, ALLOC, CLASS_ID, COUNTER, POOLED_LINE);
       },
       allocationCallLength, allocationBlock(DUP, LDC_W, 0x15, 0x16)},
      {"allocation after the constructor's dup",
       [](uint8_t* b, int32_t p) {
         return emitAllocationCall(INIT_REF, b, p, INSTRUCTION_CONSTRUCTOR_AFTER_DUP, ALLOC, CLASS_ID, COUNTER, LINE);
       },
       allocationCallLength, allocationBlock(DUP)},
      {"allocation of the copy",
       [](uint8_t* b, int32_t p) {
         return emitAllocationCall(INIT_REF, b, p, INSTRUCTION_CONSTRUCTOR_AFTER_COPY, ALLOC, CLASS_ID, COUNTER, LINE);
       },
       allocationCallLength, allocationBlock(NOP)},
      {"allocation with small operands",
       [](uint8_t* b, int32_t p) { return emitAllocationCallAfterDup(3, b, p, 0, 1, 2, allocationLinePush(0)); },
       allocationCallLength,
       {DUP, WIDE, ILOAD, 0, 0, LDC_W, 0, 1, SIPUSH, 0, 0, LDC2_W, 0, 2, INVOKESTATIC, 0, 3, WIDE, ISTORE, 0, 0, NOP,
        NOP, NOP}},
  };
  for (const BlockCase& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes buffer = guardBuffer();
    EXPECT_EQ(c.emit(buffer.data(), POSITION), c.tableLength);
    EXPECT_EQ(int32_t(c.bytes.size()), c.tableLength);
    EXPECT_EQ(buffer, bufferWith(c.bytes));
  }
}

TEST(InstructionEmitters, CodeBeforeIsTheExitOrLineCallOrNothing) {
  for (const bool aligned : {false, true}) {
    const Bytes padding = aligned ? Bytes{NOP, NOP} : Bytes{};
    for (int32_t type = 1; type <= 8; type++) {
      SCOPED_TRACE(std::to_string(type) + (aligned ? " aligned" : ""));
      const Bytes expected = type == INSTRUCTION_RETURN   ? cat({exitCall, padding})
                             : type == INSTRUCTION_INVOKE ? cat({lineCall, padding})
                                                          : Bytes{};
      Bytes buffer = guardBuffer();
      EXPECT_EQ(emitCodeBefore(type, EXIT_REF, LINE_REF, METHOD_ID, RESULT, buffer.data(), POSITION, LINE, aligned),
                int32_t(expected.size()));
      EXPECT_EQ(buffer, bufferWith(expected));
    }
  }
}

TEST(InstructionEmitters, CodeAfterIsTheCopyOrAllocationCallOrNothing) {
  const std::vector<std::pair<int32_t, Bytes>> cases = {
      {INSTRUCTION_RETURN, {}},
      {INSTRUCTION_NEW_COPY, {DUP, NOP, NOP, NOP}},
      {INSTRUCTION_NEW_COPY_CANCELLED, {NOP, NOP, NOP, NOP}},
      {INSTRUCTION_ARRAY, allocationBlock(DUP)},
      {INSTRUCTION_CONSTRUCTOR_AFTER_DUP, allocationBlock(DUP)},
      {INSTRUCTION_CONSTRUCTOR_AFTER_COPY, allocationBlock(NOP)},
      {INSTRUCTION_INVOKE, {}},
      {INSTRUCTION_NEW_SWAP, {DUP_X1, NOP, NOP, NOP}},
  };
  for (const auto& [type, expected] : cases) {
    SCOPED_TRACE(type);
    Bytes buffer = guardBuffer();
    emitCodeAfter(type, INIT_REF, buffer.data(), POSITION, ALLOC, CLASS_ID, COUNTER, LINE);
    EXPECT_EQ(buffer, bufferWith(expected));
  }
}

struct FailureCase {
  const char* name;
  std::function<void(uint8_t* buffer)> call;
  std::string failure;
};

TEST(InstructionEmitters, BadOperandsAndTypesAreFatalAndWriteNothing) {
  const std::string assertion = "error at Patchers: assertion failed";
  const std::vector<FailureCase> cases = {
      {"entry without result local",
       [](uint8_t* b) { emitEntryCall(ENTRY_REF, METHOD_ID, COUNTER, -1, b, POSITION, ALLOC, false); }, assertion},
      {"exit without result local", [](uint8_t* b) { emitExitCall(EXIT_REF, METHOD_ID, -1, b, POSITION, true); },
       assertion},
      {"line without result local", [](uint8_t* b) { emitLineCall(LINE_REF, LINE, -1, b, POSITION, false); },
       assertion},
      {"allocation without its method",
       [](uint8_t* b) { emitAllocationCallAfterDup(-1, b, POSITION, ALLOC, CLASS_ID, COUNTER, LINE); }, assertion},
      {"allocation without a class id",
       [](uint8_t* b) { emitAllocationCallAfterDup(INIT_REF, b, POSITION, ALLOC, 0, COUNTER, LINE); }, assertion},
      {"constructor allocation without its method",
       [](uint8_t* b) { emitAllocationCall(-1, b, POSITION, 6, ALLOC, CLASS_ID, COUNTER, LINE); }, assertion},
      {"constructor allocation without a class id",
       [](uint8_t* b) { emitAllocationCall(INIT_REF, b, POSITION, 5, ALLOC, 0, COUNTER, LINE); }, assertion},
      {"stack copy of an allocation type", [](uint8_t* b) { emitStackCopy(b, POSITION, 4); },
       "error at Patchers: unexpected type 4"},
      {"stack copy of type 1", [](uint8_t* b) { emitStackCopy(b, POSITION, 1); },
       "error at Patchers: unexpected type 1"},
      {"constructor allocation of an array",
       [](uint8_t* b) { emitAllocationCall(INIT_REF, b, POSITION, 4, ALLOC, CLASS_ID, COUNTER, LINE); },
       "error at Patchers: unexpected type 4"},
      {"constructor allocation of a copy type",
       [](uint8_t* b) { emitAllocationCall(INIT_REF, b, POSITION, 2, ALLOC, CLASS_ID, COUNTER, LINE); },
       "error at Patchers: unexpected type 2"},
      {"code before type 0",
       [](uint8_t* b) { emitCodeBefore(0, EXIT_REF, LINE_REF, METHOD_ID, RESULT, b, POSITION, LINE, false); },
       "error at Patchers: Illegal instruction type: 0"},
      {"code before type 9",
       [](uint8_t* b) { emitCodeBefore(9, EXIT_REF, LINE_REF, METHOD_ID, RESULT, b, POSITION, LINE, true); },
       "error at Patchers: Illegal instruction type: 9"},
      {"code after type -1",
       [](uint8_t* b) { emitCodeAfter(-1, INIT_REF, b, POSITION, ALLOC, CLASS_ID, COUNTER, LINE); },
       "error at Patchers: Illegal instruction type: -1"},
      {"code after type 9", [](uint8_t* b) { emitCodeAfter(9, INIT_REF, b, POSITION, ALLOC, CLASS_ID, COUNTER, LINE); },
       "error at Patchers: Illegal instruction type: 9"},
      {"allocation push of line 65536", [](uint8_t*) { allocationLinePush(65536); }, assertion},
      {"allocation push of line -1", [](uint8_t*) { allocationLinePush(-1); }, assertion},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes buffer = guardBuffer();
    EXPECT_EQ(failureOf([&] { c.call(buffer.data()); }), c.failure);
    EXPECT_EQ(buffer, guardBuffer());
  }
}

// A class whose pool holds Class entries of these internal names, in order.
struct PoolClass {
  explicit PoolClass(const std::vector<std::string>& names) : parsed(build(names, classIndices)) {}

  static Bytes build(const std::vector<std::string>& names, std::vector<int32_t>& indices) {
    ClassBuilder builder;
    builder.thisClass = builder.classNamed("demo/Allocations");
    builder.superClass = builder.classNamed("java/lang/Object");
    for (const std::string& name : names) indices.push_back(builder.classNamed(name));
    return builder.build();
  }

  std::vector<int32_t> classIndices;  // before `parsed`, which fills it
  ParsedClass parsed;
};

struct LinePushCase {
  int32_t line;
  bool pooled;
};

TEST(InstructionEmitters, LinesFromThe32768thOnArePushedAsIntegerConstants) {
  PoolClass holder({});
  ClassFile& classFile = *holder.parsed;
  for (const LinePushCase& c : std::vector<LinePushCase>{{0, false}, {32767, false}, {32768, true}, {65535, true}}) {
    SCOPED_TRACE(c.line);
    const int32_t poolSize = classFile.getConstantPool().size;
    const LinePush push = linePushFor(classFile, c.line);
    if (!c.pooled) {
      EXPECT_EQ(push.opcode, SIPUSH);
      EXPECT_EQ(push.operand, c.line);
      EXPECT_EQ(classFile.getConstantPool().size, poolSize);
      continue;
    }
    EXPECT_EQ(push.opcode, LDC_W);
    EXPECT_EQ(push.operand, poolSize);
    EXPECT_EQ(constantAt<ConstantIntInfo>(classFile.getConstantPool(), push.operand, "test", 0).value, c.line);
    // The line's constant is shared by every block of the line.
    EXPECT_EQ(linePushFor(classFile, c.line).operand, push.operand);
  }
}

// bzpInit takes its line as a short: its blocks carry the line's 16 bits, never a wider int.
TEST(InstructionEmitters, AllocationBlocksPushTheLinesSixteenBits) {
  for (const int32_t line : {0, 32767, 32768, 65535}) {
    const LinePush push = allocationLinePush(line);
    EXPECT_EQ(push.opcode, SIPUSH) << line;
    EXPECT_EQ(push.operand, line) << line;
  }
}

using InstructionEmitterAllocations = DatabaseTest;

int32_t allocationPseudoMethod(const char* className) {
  return getOrCreateMethod(className, "<<init>>", "()", "void", "", false);
}

TEST_F(InstructionEmitterAllocations, NewArrayCodesNameThePrimitiveArrayClasses) {
  const std::vector<const char*> names = {"boolean[]", "char[]",  "float[]", "double[]",
                                          "byte[]",    "short[]", "int[]",   "long[]"};
  std::vector<int32_t> ids;
  for (int32_t code = 4; code <= 11; code++) ids.push_back(getArrayAllocationMethodId(code));
  for (size_t i = 0; i < names.size(); i++) {
    SCOPED_TRACE(names[i]);
    EXPECT_GE(ids[i], 1);
    EXPECT_EQ(allocationPseudoMethod(names[i]), ids[i]);
    EXPECT_EQ(getArrayAllocationMethodId(int32_t(i) + 4), ids[i]);
  }
  EXPECT_EQ(failureOf([] { getArrayAllocationMethodId(3); }), "error at Patchers: unexpected primitive type: 3");
  EXPECT_EQ(failureOf([] { getArrayAllocationMethodId(12); }), "error at Patchers: unexpected primitive type: 12");
}

struct ClassAllocationCase {
  const char* entryName;
  const char* prefix;  // "" for NEW and MULTIANEWARRAY, "[" for ANEWARRAY
  const char* javaName;
};

TEST_F(InstructionEmitterAllocations, ClassEntriesNameTheAllocatedClass) {
  const std::vector<ClassAllocationCase> cases = {
      {"java/lang/String", "", "java.lang.String"},
      {"java/lang/String", "[", "java.lang.String[]"},
      {"[Ljava/lang/String;", "[", "java.lang.String[][]"},
      {"[I", "[", "int[][]"},
      {"[[I", "", "int[][]"},
      {"[[Ljava/lang/Object;", "", "java.lang.Object[][]"},
      // A class of the unnamed package named like a type letter stays a class.
      {"I", "", "I"},
      {"J", "[", "J[]"},
  };
  std::vector<std::string> names;
  for (const ClassAllocationCase& c : cases) names.push_back(c.entryName);
  const PoolClass holder(names);
  for (size_t i = 0; i < cases.size(); i++) {
    const ClassAllocationCase& c = cases[i];
    SCOPED_TRACE(std::string(c.prefix) + c.entryName);
    const int32_t id = getClassAllocationMethodId(*holder.parsed, holder.classIndices[i], c.prefix);
    EXPECT_GE(id, 1);
    EXPECT_EQ(allocationPseudoMethod(c.javaName), id);
  }
}

}  // namespace
