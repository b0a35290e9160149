#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "agent/instrumentation/NewOpCodeDetector.h"
#include "tests/unit/classfile/ClassTestSupport.h"
#include "tests/unit/classfile/FailureWithoutLine.h"

// The allocation-shape pass over method code. Code is handed over in a heap block of exactly its length,
// so that a read past the end shows under the address sanitizer.

using namespace classtest;

namespace {

enum : uint8_t {
  NOP = 0,
  ACONST_NULL = 1,
  ICONST_0 = 3,
  BIPUSH = 16,
  SIPUSH = 17,
  ALOAD_1 = 43,
  ASTORE = 58,
  ASTORE_1 = 76,
  ASTORE_3 = 78,
  POP = 87,
  DUP = 89,
  DUP_X1 = 90,
  DUP_X2 = 91,
  SWAP = 95,
  IINC = 132,
  IFNE = 154,
  TABLESWITCH = 170,
  LOOKUPSWITCH = 171,
  RETURN = 177,
  INVOKESPECIAL = 183,
  NEW = 187,
  NEWARRAY = 188,
  ANEWARRAY = 189,
  WIDE = 196,
  MULTIANEWARRAY = 197,
};

// The pool: constructor and private-method references of each kind the pass meets after a NEW.
struct Pool {
  int32_t thing = 0;
  int32_t initRef = 0;           // Methodref Thing.<init>()V
  int32_t helperRef = 0;         // Methodref Thing.helper()V
  int32_t interfaceInitRef = 0;  // InterfaceMethodref Thing.<init>()V
  int32_t fieldNamedInit = 0;    // Fieldref Thing.<init> I: not a method, so no constructor call
};

Pool pool;

std::unique_ptr<ParsedClass> makeClass() {
  ClassBuilder builder(49);  // no stack-map frames to expand
  pool.thing = builder.thisClass = builder.classNamed("p/Thing");
  const int32_t init = builder.utf8("<init>");
  const int32_t helper = builder.utf8("helper");
  const int32_t voidMethod = builder.utf8("()V");
  const int32_t intField = builder.utf8("I");
  const auto nameAndType = [&](int32_t name, int32_t descriptor) {
    return builder.entry(ByteBuilder().u1(CONSTANT_NameAndType).u2(name).u2(descriptor).bytes);
  };
  const auto reference = [&](uint32_t tag, int32_t nameAndTypeIndex) {
    return builder.entry(ByteBuilder().u1(int32_t(tag)).u2(pool.thing).u2(nameAndTypeIndex).bytes);
  };
  const int32_t initType = nameAndType(init, voidMethod);
  pool.initRef = reference(CONSTANT_Methodref, initType);
  pool.helperRef = reference(CONSTANT_Methodref, nameAndType(helper, voidMethod));
  pool.interfaceInitRef = reference(CONSTANT_InterfaceMethodref, initType);
  pool.fieldNamedInit = reference(CONSTANT_Fieldref, nameAndType(init, intField));
  return std::make_unique<ParsedClass>(builder.build());
}

const ParsedClass& testClass() {
  static const std::unique_ptr<ParsedClass> parsed = makeClass();
  return *parsed;
}

int32_t detect(const Bytes& bytes) {
  std::unique_ptr<uint8_t[]> block(new uint8_t[bytes.size()]);
  if (!bytes.empty()) std::memcpy(block.get(), bytes.data(), bytes.size());
  return NewOpCodeDetector(*testClass(), block.get(), int32_t(bytes.size()));
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes u4(int32_t value) {
  const uint32_t bits = uint32_t(value);
  return {uint8_t(bits >> 24), uint8_t(bits >> 16), uint8_t(bits >> 8), uint8_t(bits)};
}

Bytes cut(Bytes bytes, size_t drop) {
  bytes.resize(bytes.size() - drop);
  return bytes;
}

Bytes invokespecial(int32_t index) { return {INVOKESPECIAL, uint8_t(index >> 8), uint8_t(index)}; }
Bytes newThing() { return {NEW, 0, uint8_t(pool.thing)}; }
Bytes init() { return invokespecial(pool.initRef); }

struct Detection {
  const char* what;
  Bytes code;
  int32_t result;
};

void expectResults(const std::vector<Detection>& cases) {
  for (const Detection& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(detect(c.code), c.result);
  }
}

TEST(NewOpCodeDetector, ObjectCreationsAreJudgedByWhatFollowsTheNew) {
  testClass();
  expectResults({
      {"no code", {}, ALLOCATIONS_NONE},
      {"references stored without allocating", {ACONST_NULL, ASTORE_1, ALOAD_1, ASTORE, 2, RETURN}, ALLOCATIONS_NONE},
      {"stored after the constructor call", newThing() + Bytes{DUP} + init() + Bytes{ASTORE_1, RETURN},
       ALLOCATIONS_ACCEPTED},
      {"a constructor argument stored before the call",
       newThing() + Bytes{DUP, ACONST_NULL, DUP, ASTORE_3} + init() + Bytes{RETURN}, ALLOCATIONS_UNEXPECTED_BYTECODE},
      {"WIDE ASTORE before the call", newThing() + Bytes{DUP, ACONST_NULL, WIDE, ASTORE, 1, 0} + init(),
       ALLOCATIONS_UNEXPECTED_BYTECODE},
      {"WIDE ASTORE after the call", newThing() + Bytes{DUP} + init() + Bytes{WIDE, ASTORE, 1, 0, RETURN},
       ALLOCATIONS_ACCEPTED},
      // WIDE IINC is 6 bytes: its constant, here ASTORE's opcode, is no instruction.
      {"WIDE IINC before the call", newThing() + Bytes{DUP, WIDE, IINC, 0, 1, 0, ASTORE} + init() + Bytes{RETURN},
       ALLOCATIONS_ACCEPTED},
      {"DUP_X2", newThing() + Bytes{DUP_X2} + init() + Bytes{RETURN}, ALLOCATIONS_ACCEPTED},
      {"any other opcode after NEW", newThing() + Bytes{ICONST_0, POP, DUP} + init() + Bytes{RETURN},
       ALLOCATIONS_ACCEPTED},
      {"NEWARRAY", {ICONST_0, NEWARRAY, 10, ASTORE_1, RETURN}, ALLOCATIONS_ACCEPTED},
      {"ANEWARRAY", {ICONST_0, ANEWARRAY, 0, uint8_t(pool.thing), POP, RETURN}, ALLOCATIONS_ACCEPTED},
      {"MULTIANEWARRAY",
       {ICONST_0, ICONST_0, MULTIANEWARRAY, 0, uint8_t(pool.thing), 2, POP, RETURN},
       ALLOCATIONS_ACCEPTED},
      // Opcodes inside operands are data.
      {"NEW and ASTORE as SIPUSH operands", {SIPUSH, NEW, ASTORE, POP, RETURN}, ALLOCATIONS_NONE},
      {"DUP POP does not count, yet stays pending", newThing() + Bytes{DUP, POP, RETURN}, ALLOCATIONS_NONE},
      {"a store after DUP POP", newThing() + Bytes{DUP, POP, ACONST_NULL, ASTORE_1, RETURN},
       ALLOCATIONS_UNEXPECTED_BYTECODE},
      {"a DUP POP beside a counted NEW",
       newThing() + Bytes{DUP, POP} + newThing() + Bytes{DUP} + init() + init() + Bytes{RETURN}, ALLOCATIONS_ACCEPTED},
  });
}

TEST(NewOpCodeDetector, OnlyConstructorCallsCloseAPendingNew) {
  testClass();
  const Bytes store{ASTORE_1, RETURN};
  expectResults({
      {"Methodref <init>", newThing() + Bytes{DUP} + init() + store, ALLOCATIONS_ACCEPTED},
      {"InterfaceMethodref <init>", newThing() + Bytes{DUP} + invokespecial(pool.interfaceInitRef) + store,
       ALLOCATIONS_ACCEPTED},
      {"a private method", newThing() + Bytes{DUP} + invokespecial(pool.helperRef) + store,
       ALLOCATIONS_UNEXPECTED_BYTECODE},
      {"a Fieldref named <init>", newThing() + Bytes{DUP} + invokespecial(pool.fieldNamedInit) + store,
       ALLOCATIONS_UNEXPECTED_BYTECODE},
      {"nested, both closed", newThing() + Bytes{DUP} + newThing() + Bytes{DUP} + init() + init() + store,
       ALLOCATIONS_ACCEPTED},
      {"nested, the outer still open", newThing() + Bytes{DUP} + newThing() + Bytes{DUP} + init() + store,
       ALLOCATIONS_UNEXPECTED_BYTECODE},
      // Without a pending NEW the pool is not looked at: this index lies outside it.
      {"a call without a pending NEW", Bytes{ALOAD_1} + invokespecial(0xFFFF) + store, ALLOCATIONS_NONE},
  });
}

TEST(NewOpCodeDetector, SwapIsAllowedOnlyInTheTwoKnownShapes) {
  testClass();
  const Bytes ifne{IFNE, 0, 3};
  expectResults({
      {"NEW DUP_X1 SWAP", newThing() + Bytes{DUP_X1, SWAP} + init() + Bytes{RETURN}, ALLOCATIONS_ACCEPTED},
      {"a second SWAP while pending", newThing() + Bytes{DUP_X1, SWAP, SWAP} + init() + Bytes{RETURN},
       ALLOCATIONS_UNEXPECTED_BYTECODE},
      {"a SWAP after the call", newThing() + Bytes{DUP_X1, SWAP} + init() + Bytes{SWAP, RETURN}, ALLOCATIONS_ACCEPTED},
      {"a SWAP while pending after DUP", newThing() + Bytes{DUP, ACONST_NULL, SWAP} + init(),
       ALLOCATIONS_UNEXPECTED_BYTECODE},
      {"DUP_X1 without SWAP, then SWAP", newThing() + Bytes{DUP_X1, NOP, SWAP} + init(),
       ALLOCATIONS_UNEXPECTED_BYTECODE},
      {"NEW SWAP IFNE", newThing() + Bytes{SWAP} + ifne + init() + Bytes{RETURN}, ALLOCATIONS_OBFUSCATED},
      {"NEW SWAP IFNE beside accepted NEWs",
       newThing() + Bytes{DUP} + init() + newThing() + Bytes{SWAP} + ifne + init() + Bytes{RETURN},
       ALLOCATIONS_OBFUSCATED},
      {"NEW SWAP IFNE, then a store while pending", newThing() + Bytes{SWAP} + ifne + Bytes{ACONST_NULL, ASTORE_1},
       ALLOCATIONS_UNEXPECTED_BYTECODE},
      {"NEW SWAP IFNE, then a second SWAP", newThing() + Bytes{SWAP} + ifne + Bytes{SWAP} + init(),
       ALLOCATIONS_UNEXPECTED_BYTECODE},
      {"NEW SWAP without IFNE", newThing() + Bytes{SWAP, POP} + init() + Bytes{RETURN},
       ALLOCATIONS_UNEXPECTED_BYTECODE},
  });
}

TEST(NewOpCodeDetector, SwitchPaddingFollowsTheAbsoluteCodePosition) {
  testClass();
  const Bytes allocation = newThing() + Bytes{DUP} + init() + Bytes{ASTORE_1, RETURN};
  // At 0, 3 padding bytes: with none, low would read 0 and high 256, a table reaching past the code.
  const Bytes tableAt0 = Bytes{TABLESWITCH, 0, 0, 0} + u4(0) + u4(1) + u4(1) + u4(0);
  // At 3, none: with 3, the walk would land on the DUP after the NEW and count no allocation.
  const Bytes tableAt3 = Bytes{NOP, NOP, NOP, TABLESWITCH} + u4(0) + u4(1) + u4(1) + u4(0);
  const Bytes lookupAt2 = Bytes{NOP, NOP, LOOKUPSWITCH, 0} + u4(0) + u4(2) + u4(1) + u4(0) + u4(2) + u4(0);
  expectResults({
      {"TABLESWITCH at pc 0", tableAt0 + allocation, ALLOCATIONS_ACCEPTED},
      {"TABLESWITCH at pc 3", tableAt3 + allocation, ALLOCATIONS_ACCEPTED},
      {"LOOKUPSWITCH at pc 2", lookupAt2 + allocation, ALLOCATIONS_ACCEPTED},
      {"TABLESWITCH with high below low", Bytes{TABLESWITCH, 0, 0, 0} + u4(0) + u4(5) + u4(4) + allocation,
       ALLOCATIONS_ACCEPTED},
      {"LOOKUPSWITCH with negative npairs", Bytes{LOOKUPSWITCH, 0, 0, 0} + u4(0) + u4(-1) + allocation,
       ALLOCATIONS_ACCEPTED},
      // Jump offsets that look like code are skipped with the table.
      {"a table of NEW ASTORE bytes",
       Bytes{LOOKUPSWITCH, 0, 0, 0} + u4(0) + u4(1) + u4(int32_t(0xBB4C4C4C)) + u4(int32_t(0xBB4C4C4C)) + Bytes{RETURN},
       ALLOCATIONS_NONE},
  });
}

TEST(NewOpCodeDetector, CodeCutOffByItsEndIsUnexpectedAndNeverReadBeyond) {
  testClass();
  const Bytes table = Bytes{TABLESWITCH, 0, 0, 0} + u4(0) + u4(1) + u4(2) + u4(0) + u4(0);
  const Bytes lookup = Bytes{NOP, LOOKUPSWITCH, 0, 0} + u4(0) + u4(1) + u4(7) + u4(0);
  expectResults({
      {"NEW at the very end", Bytes{ICONST_0} + newThing(), ALLOCATIONS_UNEXPECTED_BYTECODE},
      {"NEW without its second operand byte", {ICONST_0, NEW, 0}, ALLOCATIONS_UNEXPECTED_BYTECODE},
      {"NEW DUP at the end", newThing() + Bytes{DUP}, ALLOCATIONS_UNEXPECTED_BYTECODE},
      {"NEW DUP_X1 at the end", newThing() + Bytes{DUP_X1}, ALLOCATIONS_UNEXPECTED_BYTECODE},
      {"NEW SWAP at the end", newThing() + Bytes{SWAP}, ALLOCATIONS_UNEXPECTED_BYTECODE},
      {"a constructor call without its index", newThing() + Bytes{DUP, INVOKESPECIAL, 0},
       ALLOCATIONS_UNEXPECTED_BYTECODE},
      {"WIDE as the last byte", {ICONST_0, WIDE}, ALLOCATIONS_UNEXPECTED_BYTECODE},
      {"WIDE as the last byte while pending", newThing() + Bytes{DUP, WIDE}, ALLOCATIONS_UNEXPECTED_BYTECODE},
      {"a cut-off WIDE IINC", {WIDE, IINC, 0, 1, 0}, ALLOCATIONS_UNEXPECTED_BYTECODE},
      {"a cut-off BIPUSH", {ICONST_0, BIPUSH}, ALLOCATIONS_UNEXPECTED_BYTECODE},
      {"a complete TABLESWITCH", table, ALLOCATIONS_NONE},
      {"TABLESWITCH inside its padding", cut(table, 22), ALLOCATIONS_UNEXPECTED_BYTECODE},
      {"TABLESWITCH without its high", cut(table, 12), ALLOCATIONS_UNEXPECTED_BYTECODE},
      {"TABLESWITCH one jump short", cut(table, 4), ALLOCATIONS_UNEXPECTED_BYTECODE},
      {"TABLESWITCH of 2^31 - 1 jumps", Bytes{TABLESWITCH, 0, 0, 0} + u4(0) + u4(1) + u4(INT32_MAX) + u4(0),
       ALLOCATIONS_UNEXPECTED_BYTECODE},
      {"a complete LOOKUPSWITCH", lookup, ALLOCATIONS_NONE},
      {"LOOKUPSWITCH without its npairs", cut(lookup, 10), ALLOCATIONS_UNEXPECTED_BYTECODE},
      {"LOOKUPSWITCH one byte short", cut(lookup, 1), ALLOCATIONS_UNEXPECTED_BYTECODE},
  });
}

TEST(NewOpCodeDetector, AnUndefinedOpcodeIsFatal) {
  testClass();
  EXPECT_EQ(failureOf([] { detect({NOP, 203, RETURN}); }),
            "error at NewOpCodeDetector: Wrong instruction opcode found: 203");
  EXPECT_EQ(failureOf([] { detect(newThing() + Bytes{DUP, 253}); }),
            "error at NewOpCodeDetector: Wrong instruction opcode found: 253");
  EXPECT_EQ(detect({SIPUSH, 203, 253, RETURN}), ALLOCATIONS_NONE);  // operands are never judged as opcodes
  EXPECT_EQ(failureOf([] { NewOpCodeDetector(*testClass(), nullptr, 1); }),
            "error at NewOpCodeDetector: assertion failed: value is NULL");
  EXPECT_EQ(NewOpCodeDetector(*testClass(), nullptr, 0), ALLOCATIONS_NONE);
}

}  // namespace
