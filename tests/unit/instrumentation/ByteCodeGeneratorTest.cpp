#include "agent/instrumentation/ByteCodeGenerator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/FatalErrorOutput.h"
#include "tests/unit/classfile/ClassTestSupport.h"
#include "tests/unit/classfile/FailureWithoutLine.h"

namespace {

using Code = std::vector<uint8_t>;

Code bytesOf(const ByteCodeGenerator& generator) {
  Code code(size_t(generator.getLength()) + 1, 0xEE);  // the guard byte shows an overlong copy
  generator.copyCode(code.data());
  EXPECT_EQ(code.back(), 0xEE);
  code.pop_back();
  return code;
}

Code emitted(const std::function<void(ByteCodeGenerator&)>& emit) {
  ByteCodeGenerator generator;
  emit(generator);
  return bytesOf(generator);
}

struct OperandCase {
  int32_t operand;
  Code load;
  Code store;
  Code constant;
};

TEST(ByteCodeGenerator, OperandsTakeTheShortestForm) {
  const std::vector<OperandCase> cases = {
      {0, {42}, {75}, {18, 0}},
      {3, {45}, {78}, {18, 3}},
      {4, {25, 4}, {58, 4}, {18, 4}},
      {255, {25, 255}, {58, 255}, {18, 255}},
      {256, {196, 25, 1, 0}, {196, 58, 1, 0}, {19, 1, 0}},
      {65535, {196, 25, 255, 255}, {196, 58, 255, 255}, {19, 255, 255}},
  };
  for (const OperandCase& c : cases) {
    SCOPED_TRACE(c.operand);
    EXPECT_EQ(emitted([&](ByteCodeGenerator& g) { g.emitLoadLocal(c.operand); }), c.load);
    EXPECT_EQ(emitted([&](ByteCodeGenerator& g) { g.emitStoreLocal(c.operand); }), c.store);
    EXPECT_EQ(emitted([&](ByteCodeGenerator& g) { g.emitLoadConstant(c.operand); }), c.constant);
  }
  // Other local instructions take the same forms.
  EXPECT_EQ(emitted([](ByteCodeGenerator& g) {
              g.emitLocalAccess(2, 30, 22);  // LLOAD
              g.emitLocalAccess(200, 30, 22);
              g.emitLocalAccess(300, 30, 22);
            }),
            (Code{32, 22, 200, 196, 22, 1, 44}));
}

TEST(ByteCodeGenerator, OperandsOutsideTheirFieldsAreFatal) {
  for (int32_t operand : {-1, 65536}) {
    SCOPED_TRACE(operand);
    ByteCodeGenerator generator;
    const std::string expected = "error at ByteCodeGenerator: assertion failed";
    EXPECT_EQ(failureOf([&] { generator.emitLoadLocal(operand); }), expected);
    EXPECT_EQ(failureOf([&] { generator.emitStoreLocal(operand); }), expected);
    EXPECT_EQ(failureOf([&] { generator.emitLoadConstant(operand); }), expected);
    EXPECT_EQ(generator.getLength(), 0);
  }
}

TEST(ByteCodeGenerator, NopsAndPlainBytesAreAppendedAsGiven) {
  EXPECT_EQ(emitted([](ByteCodeGenerator& g) {
              g.appendNops(0);
              g.appendNops(-1);
              g.append(184);
              g.appendShort(0x1234);
              g.appendNops(2);
            }),
            (Code{184, 0x12, 0x34, 0, 0}));
  // Far past the initial capacity: every byte is kept.
  ByteCodeGenerator generator;
  generator.appendNops(1000);
  generator.append(177);
  EXPECT_EQ(generator.getLength(), 1001);
  EXPECT_EQ(generator.getByte(999), 0);
  EXPECT_EQ(generator.getByte(1000), 177);
}

TEST(ByteCodeGenerator, NestedBranchesResolveInnermostFirst) {
  ByteCodeGenerator generator;
  generator.emitBranch(153);  // IFEQ at 0, around everything
  generator.appendNops(2);
  generator.emitBranch(154);  // IFNE at 5, around the inner block
  generator.appendNops(4);
  generator.resolvePendingBranch();  // inner: 12 - 5
  generator.append(177);
  generator.resolvePendingBranch();  // outer: 13 - 0
  EXPECT_EQ(bytesOf(generator), (Code{153, 0, 13, 0, 0, 154, 0, 7, 0, 0, 0, 0, 177}));
  EXPECT_EQ(generator.getBranchTargets().size, 2);
  EXPECT_EQ(generator.getBranchTargets()[0], 12);
  EXPECT_EQ(generator.getBranchTargets()[1], 13);
}

TEST(ByteCodeGenerator, BranchesMustBeResolvedOnceAndInReach) {
  ByteCodeGenerator open;
  open.emitBranch(167);
  uint8_t destination[3];
  EXPECT_EQ(failureOf([&] { open.copyCode(destination); }), "error at ByteCodeGenerator: assertion failed");

  ByteCodeGenerator none;
  none.appendNops(3);
  EXPECT_EQ(fatalErrorOf([&] { none.resolvePendingBranch(); }), "error at YVector:5: op=yvector::pop 0 -1");

  // The farthest end a signed 16-bit offset reaches, and one byte past it.
  ByteCodeGenerator farthest;
  farthest.emitBranch(167);
  farthest.appendNops(32764);
  farthest.resolvePendingBranch();
  EXPECT_EQ(farthest.getByte(1), 0x7F);
  EXPECT_EQ(farthest.getByte(2), 0xFF);
  ByteCodeGenerator tooFar;
  tooFar.emitBranch(167);
  tooFar.appendNops(32765);
  EXPECT_EQ(failureOf([&] { tooFar.resolvePendingBranch(); }), "error at ByteCodeGenerator: assertion failed");
}

TEST(ByteCodeGenerator, DisplayNamesListTheParametersAsJavaTypes) {
  classtest::ClassBuilder builder;
  builder.thisClass = builder.classNamed("Reader");
  const int32_t name = builder.utf8("read");
  const int32_t descriptor = builder.utf8("(J[BLjava/lang/String;)I");
  const int32_t empty = builder.utf8("()V");
  builder.methods.push_back(classtest::ClassBuilder::member(0x102, name, descriptor));
  builder.methods.push_back(classtest::ClassBuilder::member(0x102, name, empty));
  const classtest::ParsedClass parsed(builder.build());
  EXPECT_EQ(classtest::text(getMethodDisplayName(*parsed->getMethods()[0])), "read(long, byte[], java.lang.String)");
  EXPECT_EQ(classtest::text(getMethodDisplayName(*parsed->getMethods()[1])), "read()");
}

}  // namespace
