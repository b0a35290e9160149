#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "agent/classfile/AttributeNames.h"
#include "agent/classfile/LineNumberTableAttribute.h"
#include "tests/unit/classfile/CodeTestSupport.h"
#include "tests/unit/classfile/FailureWithoutLine.h"

using namespace codetest;

namespace {

const char* const kAssertion = "error at CodeAttribute: assertion failed";

std::vector<std::vector<int32_t>> handlersOf(const CodeAttribute& code) {
  std::vector<std::vector<int32_t>> handlers;
  for (int32_t i = 0; i < code.getExceptionTable().size; i++) {
    const CodeAttribute::ExceptionTableElement& e = *code.getExceptionTable()[i];
    handlers.push_back({e.startPc, e.endPc, e.handlerPc});
  }
  return handlers;
}

std::vector<int32_t> lineStartsOf(const CodeAttribute& code) {
  std::vector<int32_t> starts;
  const YVector<LineNumberTableAttribute::LineNumber*>& entries = code.getLineNumberTable()->getEntries();
  for (int32_t i = 0; i < entries.size; i++) starts.push_back(entries[i]->startPc);
  return starts;
}

Bytes lineNumberTable(const std::vector<int32_t>& starts) {
  Bytes body;
  u2(body, int32_t(starts.size()));
  for (size_t i = 0; i < starts.size(); i++) {
    u2(body, starts[i]);
    u2(body, int32_t(i + 1));
  }
  return attribute(kLineNumberTableName, body);
}

// A static run(IJLjava/lang/String;)V of 40 NOPs with tracked frames, whose initial frame is
// "I J Object#13". `entries` are its "StackMapTable" entries, none when empty.
struct TrackedMethod {
  std::unique_ptr<ClassFile> classFile = testClass();
  MethodInfo method{ACC_STATIC, kRunName, kRunDescriptor, classFile.get()};
  std::unique_ptr<CodeAttribute> code;

  explicit TrackedMethod(int32_t frameCount = 0, const Bytes& entries = {}, std::vector<Handler> handlers = {}) {
    CodeBody body;
    body.code = Bytes(40, 0);
    body.handlers = std::move(handlers);
    body.attributes.push_back(lineNumberTable({0, 10, 11}));
    if (frameCount > 0) body.attributes.push_back(stackMapTable(frameCount, entries));
    code = parseCode(*classFile, body.encode());
    code->initStackMapFrames(classFile.get(), &method);
  }

  std::vector<std::string> frames() const { return describe(code->getFrames()); }
};

}  // namespace

TEST(CodeAttributeParse, ReadsTheBodyAndWritesItBackUnchanged) {
  const std::unique_ptr<ClassFile> classFile = testClass();
  CodeBody body;
  body.maxStack = 0x1234;
  body.maxLocals = 0x0456;
  body.handlers = {{0, 20, 10, kStringClass}, {3, 4, 19, 0}};
  body.attributes = {lineNumberTable({0, 5}), attribute(kThisName, {1, 2, 3}), stackMapTable(1, {5})};
  const Bytes bytes = body.encode();
  const std::unique_ptr<CodeAttribute> code = parseCode(*classFile, bytes);
  EXPECT_EQ(code->getMaxStack(), 0x1234);
  EXPECT_EQ(code->getMaxLocals(), 0x456);
  EXPECT_EQ(code->getCodeLength(), 20);
  EXPECT_EQ(handlersOf(*code), (std::vector<std::vector<int32_t>>{{0, 20, 10}, {3, 4, 19}}));
  EXPECT_EQ(code->getExceptionTable()[0]->catchType, kStringClass);
  EXPECT_EQ(code->getAttributes().size, 3);
  EXPECT_NE(code->getLineNumberTable(), nullptr);
  EXPECT_EQ(code->getAttribute(YString("Test")), code->getAttributes()[1]);
  EXPECT_EQ(code->getAttribute(YString("LocalVariableTable")), nullptr);
  EXPECT_FALSE(code->tracksFrames());
  EXPECT_EQ(writtenBody(*code), bytes);
}

TEST(CodeAttributeParse, CodeLengthsFromOneTo65535AreAccepted) {
  const std::unique_ptr<ClassFile> classFile = testClass();
  for (int32_t length : {1, 65535}) {
    CodeBody body;
    body.code = Bytes(size_t(length), 0);
    EXPECT_EQ(parseCode(*classFile, body.encode())->getCodeLength(), length);
  }
  for (int32_t length : {0, 65536, -1}) {
    Bytes bytes = {0, 1, 0, 1};
    u4(bytes, length);
    EXPECT_EQ(failureOf([&] { parseCode(*classFile, bytes); }), kAssertion) << length;
  }
}

// Offsets read from the file are checked against the code before anything can use them.
TEST(CodeAttributeParse, OffsetsOutsideTheCodeAreMalformed) {
  const std::unique_ptr<ClassFile> classFile = testClass();
  for (const Handler& handler : std::vector<Handler>{{5, 5, 0, 0}, {6, 5, 0, 0}, {0, 21, 0, 0}, {0, 20, 20, 0}}) {
    CodeBody body;
    body.handlers = {handler};
    EXPECT_EQ(failureOf([&] { parseCode(*classFile, body.encode()); }), kAssertion)
        << handler.start << " " << handler.end << " " << handler.handler;
  }
  CodeBody lines;
  lines.handlers = {{0, 20, 19, 0}};
  lines.attributes = {lineNumberTable({0, 20})};
  EXPECT_THROW(parseCode(*classFile, lines.encode()), BZPRuntimeException);

  CodeBody truncated;
  Bytes bytes = truncated.encode();
  bytes.pop_back();
  EXPECT_THROW(parseCode(*classFile, bytes), BZPRuntimeException);
  // A nested attribute name that is not a Utf8 entry.
  CodeBody misnamed;
  misnamed.attributes = {attribute(kStringClass, {})};
  EXPECT_THROW(parseCode(*classFile, misnamed.encode()), BZPRuntimeException);

  const YVector<uint8_t> input = vectorOf(CodeBody().encode());
  DataInput in(input);
  EXPECT_EQ(failureOf([&] { CodeAttribute(in, nullptr, kCodeName, input.size); }),
            "error at CodeAttribute: assertion failed: value is NULL");
}

TEST(CodeAttribute, AnEmptyBodyIsOneReturn) {
  const std::unique_ptr<ClassFile> classFile = testClass();
  const CodeAttribute code(classFile.get(), kCodeName);
  EXPECT_EQ(code.getLength(), 13);
  EXPECT_EQ(writtenBody(code), (Bytes{0, 0, 0, 0, 0, 0, 0, 1, 0xB1, 0, 0, 0, 0}));
}

TEST(CodeAttribute, SetCodeKeepsTheAttributeLengthInStep) {
  const std::unique_ptr<ClassFile> classFile = testClass();
  CodeAttribute code(classFile.get(), kCodeName);
  const uint8_t bytes[] = {1, 2, 3, 4, 5};
  code.setCode(bytes, 5);
  EXPECT_EQ(code.getLength(), 17);
  EXPECT_EQ(writtenBody(code), (Bytes{0, 0, 0, 0, 0, 0, 0, 5, 1, 2, 3, 4, 5, 0, 0, 0, 0}));
  code.setCode(bytes, 0);
  EXPECT_EQ(code.getLength(), 12);
  EXPECT_EQ(failureOf([&] { code.setCode(nullptr, 1); }), "error at CodeAttribute: assertion failed: value is NULL");
  EXPECT_EQ(failureOf([&] { code.setCode(bytes, -1); }), kAssertion);
}

TEST(CodeAttribute, MaxStackIsCappedAndNeverShrinks) {
  const std::unique_ptr<ClassFile> classFile = testClass();
  CodeBody body;
  body.maxStack = 32760;
  const std::unique_ptr<CodeAttribute> code = parseCode(*classFile, body.encode());
  code->increaseMaxStack(6);
  EXPECT_EQ(code->getMaxStack(), 32766);
  code->increaseMaxStack(6);
  EXPECT_EQ(code->getMaxStack(), 32767);
  code->ensureMaxStack(40000);
  EXPECT_EQ(code->getMaxStack(), 32767);

  body.maxStack = 40000;  // the file allows more than the editors ever add
  const std::unique_ptr<CodeAttribute> large = parseCode(*classFile, body.encode());
  large->increaseMaxStack(6);
  EXPECT_EQ(large->getMaxStack(), 40000);
  large->ensureMaxStack(3);
  EXPECT_EQ(large->getMaxStack(), 40000);
}

// A new local never shares a slot with an existing one: past 32767 slots the request fails.
TEST(CodeAttribute, AddLocalTakesTheNextSlotsUpTo32767) {
  const std::unique_ptr<ClassFile> classFile = testClass();
  struct Case {
    int32_t maxLocals;
    VerificationType type;
    int32_t slot;  // -1: refused
    int32_t newMaxLocals;
  };
  const std::vector<Case> cases = {
      {0, integer(), 0, 1},          {3, longType(), 3, 5},         {3, doubleType(), 3, 5},
      {32765, longType(), 32765, 32767}, {32766, integer(), 32766, 32767}, {32766, longType(), -1, 32766},
      {32767, integer(), -1, 32767}, {40000, integer(), -1, 40000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.maxLocals) + " " + std::to_string(c.type.tag));
    CodeBody body;
    body.maxLocals = c.maxLocals;
    const std::unique_ptr<CodeAttribute> code = parseCode(*classFile, body.encode());
    if (c.slot < 0) {
      EXPECT_EQ(failureOf([&] { code->addLocal(c.type, true); }), kAssertion);
    } else {
      EXPECT_EQ(code->addLocal(c.type, true), c.slot);
    }
    EXPECT_EQ(code->getMaxLocals(), c.newMaxLocals);
  }
  CodeBody body;
  body.maxLocals = 32760;
  const std::unique_ptr<CodeAttribute> code = parseCode(*classFile, body.encode());
  code->increaseMaxLocals(7);
  EXPECT_EQ(code->getMaxLocals(), 32767);
  EXPECT_EQ(failureOf([&] { code->increaseMaxLocals(1); }), kAssertion);
}

TEST(CodeAttribute, AddedLocalsJoinTheFramesOrAreGivenBack) {
  TrackedMethod m(2, {9, 9});  // frames at 9 and 19
  EXPECT_EQ(m.code->getMaxLocals(), 4);
  EXPECT_EQ(m.code->addLocal(longType(), true), 4);
  EXPECT_EQ(m.code->addLocal(integer(), false), 6);
  EXPECT_EQ(m.code->addLocal(object(kStringClass), true), 7);
  m.code->addLocalsToFrames(10, -1);
  EXPECT_EQ(m.frames(), (std::vector<std::string>{"-1: I J Object#13 | ", "9: I J Object#13 | ",
                                                  "19: I J Object#13 J T Object#13 | "}));
  // Forgotten once added: the next call adds nothing.
  m.code->addLocalsToFrames(0, -1);
  EXPECT_EQ(m.frames()[1], "9: I J Object#13 | ");

  m.code->addLocal(longType(), true);
  m.code->addLocal(integer(), false);
  EXPECT_EQ(m.code->getMaxLocals(), 11);
  m.code->releaseAddedLocals();
  EXPECT_EQ(m.code->getMaxLocals(), 8);
  m.code->addLocalsToFrames(0, -1);
  EXPECT_EQ(m.frames()[1], "9: I J Object#13 | ");
}

TEST(CodeAttribute, ShiftOffsetsMovesWhatStartsAtOrAfterTheInsertion) {
  // Frames: 10 with the NEW at 12 on the stack (reached by a branch back), 20 holding it as a local.
  TrackedMethod m(2, {255, 0, 10, 0, 3, 1, 4, 7, 0, 13, 0, 1, 8, 0, 12, 252, 0, 9, 8, 0, 12},
                  {{10, 20, 30, 0}, {0, 10, 39, 0}});
  m.code->shiftOffsets(3, 10);
  EXPECT_EQ(handlersOf(*m.code), (std::vector<std::vector<int32_t>>{{13, 23, 33}, {0, 13, 42}}));
  EXPECT_EQ(lineStartsOf(*m.code), (std::vector<int32_t>{0, 10, 14}));  // the line at 10 keeps the new code
  EXPECT_EQ(m.frames(), (std::vector<std::string>{"-1: I J Object#13 | ", "13: I J Object#13 | Uninitialized@15",
                                                  "23: I J Object#13 Uninitialized@15 | "}));
  m.code->shiftOffsets(5, 14);
  EXPECT_EQ(m.frames()[1], "13: I J Object#13 | Uninitialized@20");
  EXPECT_EQ(failureOf([&] { m.code->shiftOffsets(-1, 0); }), kAssertion);
}

TEST(CodeAttribute, RelocateOffsetsFollowsThePositionMap) {
  TrackedMethod m(2, {252, 0, 10, 8, 0, 5, 9}, {{5, 40, 20, 0}, {0, 10, 39, 0}});  // frames at 10 and 20
  std::vector<int32_t> map(40);
  for (int32_t i = 0; i < 40; i++) map[size_t(i)] = 2 * i + 1;
  const uint8_t code[85] = {};
  m.code->setCode(code, 85);
  m.code->relocateOffsets(map.data(), 40);
  EXPECT_EQ(handlersOf(*m.code), (std::vector<std::vector<int32_t>>{{11, 85, 41}, {1, 21, 79}}));
  EXPECT_EQ(lineStartsOf(*m.code), (std::vector<int32_t>{0, 21, 23}));
  EXPECT_EQ(m.frames(), (std::vector<std::string>{"-1: I J Object#13 | ", "21: I J Object#13 Uninitialized@11 | ",
                                                  "41: I J Object#13 Uninitialized@11 | "}));
  EXPECT_EQ(failureOf([&] { m.code->relocateOffsets(nullptr, 40); }),
            "error at CodeAttribute: assertion failed: value is NULL");
  // Offsets already past the map's old length cannot index it.
  EXPECT_EQ(failureOf([&] { m.code->relocateOffsets(map.data(), 20); }), kAssertion);
}

TEST(CodeAttribute, NewHandlersAreOrderedSoThatNestedRangesComeFirst) {
  struct Case {
    std::string name;
    std::vector<Handler> table;
    Handler added;
    std::vector<std::vector<int32_t>> result;
  };
  const std::vector<Case> cases = {
      {"nested in the only entry", {{0, 20, 30, 0}}, {5, 8, 35, 0}, {{5, 8, 35}, {0, 20, 30}}},
      {"starting at 0 stays last", {{0, 20, 30, 0}}, {0, 8, 35, 0}, {{0, 20, 30}, {0, 8, 35}}},
      {"alone", {}, {5, 8, 35, 0}, {{5, 8, 35}}},
      {"not nested stays last", {{0, 20, 30, 0}}, {5, 25, 35, 0}, {{0, 20, 30}, {5, 25, 35}}},
      {"before the first that holds it", {{12, 14, 30, 0}, {2, 20, 30, 0}, {0, 25, 31, 0}}, {5, 8, 35, 0},
       {{12, 14, 30}, {5, 8, 35}, {2, 20, 30}, {0, 25, 31}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::unique_ptr<ClassFile> classFile = testClass(49);  // no frames
    CodeBody body;
    body.code = Bytes(40, 0);
    body.handlers = c.table;
    const std::unique_ptr<CodeAttribute> code = parseCode(*classFile, body.encode());
    code->addExceptionHandler(c.added.start, c.added.end, c.added.handler, object(kStringClass));
    EXPECT_EQ(handlersOf(*code), c.result);
    EXPECT_TRUE(code->getFrames().size == 0);
    writtenBody(*code);  // the length grew with the entry
  }
  const std::unique_ptr<ClassFile> classFile = testClass();
  CodeAttribute code(classFile.get(), kCodeName);
  EXPECT_EQ(failureOf([&] { code.addExceptionHandler(5, 5, 0, top()); }), kAssertion);
  EXPECT_EQ(failureOf([&] { code.addExceptionHandler(-1, 5, 0, top()); }), kAssertion);
  EXPECT_EQ(failureOf([&] { code.addExceptionHandler(0, 5, -1, top()); }), kAssertion);
}

TEST(CodeAttribute, ANewHandlersFrameHoldsTheCaughtObjectAndOnlyPreservedLocals) {
  TrackedMethod m(2, {9, 19});  // frames at 9 and 29
  m.code->addExceptionHandler(0, 9, 20, object(kStringClass));
  m.code->getPreservedLocals().add(1);
  m.code->addExceptionHandler(0, 9, 35, object(kStringClass));
  EXPECT_EQ(m.frames(), (std::vector<std::string>{"-1: I J Object#13 | ", "9: I J Object#13 | ",
                                                  "20: T T T T | Object#13", "29: I J Object#13 | ",
                                                  "35: T J T | Object#13"}));

  // A handler at an offset that has a frame already cannot be encoded: the method is refused, never
  // written with a frame that lacks the caught object.
  TrackedMethod taken(1, {9});
  taken.code->addExceptionHandler(0, 5, 9, object(kStringClass));
  EXPECT_EQ(taken.frames(), (std::vector<std::string>{"-1: I J Object#13 | ", "9: T T T T | Object#13",
                                                      "9: I J Object#13 | "}));
  EXPECT_EQ(failureOf([&] { taken.code->buildStackMapTable(); }), "error at StackMapFrame: assertion failed");
}

TEST(CodeAttribute, ExtendHandlersMovesEachHandlerFrameOnce) {
  // Two entries share the handler at 30, whose frame must move once; a third starts after the insertion.
  // Frames at 9, 19 and 30.
  TrackedMethod m(3, {64 + 9, 7, 0, 13, 64 + 9, 7, 0, 13, 64 + 10, 7, 0, 13},
                  {{0, 20, 30, 0}, {5, 20, 30, 0}, {15, 20, 36, 0}});
  ASSERT_EQ(m.frames().size(), 4u);
  EXPECT_EQ(m.frames()[3], "30: I J Object#13 | Object#13");
  m.code->extendHandlers(10, 3);
  EXPECT_EQ(handlersOf(*m.code), (std::vector<std::vector<int32_t>>{{0, 23, 33}, {5, 23, 33}, {15, 20, 36}}));
  EXPECT_EQ(m.frames()[3], "33: I J Object#13 | Object#13");
  EXPECT_EQ(failureOf([&] { m.code->extendHandlers(10, -1); }), kAssertion);
  // The third entry's handler has no frame of its own.
  EXPECT_EQ(failureOf([&] { m.code->extendHandlers(16, 3); }), kAssertion);
}

TEST(CodeAttribute, HandlerQueriesLookAtTheRanges) {
  TrackedMethod none;
  EXPECT_EQ(none.code->getCoveringHandlerEnd(5), 40);
  EXPECT_EQ(none.code->findHandlerPc(5), -1);

  TrackedMethod m(0, {}, {{0, 30, 35, 0}, {5, 20, 36, 0}, {10, 15, 37, 0}});
  EXPECT_EQ(m.code->getCoveringHandlerEnd(12), 15);
  EXPECT_EQ(m.code->getCoveringHandlerEnd(15), 20);  // a range ending at the offset does not hold it
  EXPECT_EQ(m.code->getCoveringHandlerEnd(5), 30);   // nor does one starting there
  EXPECT_EQ(m.code->getCoveringHandlerEnd(0), 40);
  EXPECT_EQ(m.code->findHandlerPc(12), 35);  // the first entry in table order
  EXPECT_EQ(m.code->findHandlerPc(30), -1);
}

TEST(CodeAttribute, FrameLocalsAreCopiedOnlyFromAFrameExactlyThere) {
  TrackedMethod m(1, {252, 0, 9, 2});  // frame at 9
  EXPECT_EQ(m.code->getFrameLocals(0), nullptr);
  EXPECT_EQ(m.code->getFrameLocals(-1), nullptr);
  EXPECT_EQ(m.code->getFrameLocals(8)->size, 0);
  EXPECT_EQ(describe(*m.code->getFrameLocals(9)), "I J Object#13 F");
  EXPECT_EQ(m.code->getFrameLocals(10)->size, 0);

  const std::unique_ptr<ClassFile> old = testClass(49);
  CodeBody body;
  body.attributes = {stackMapTable(1, {9})};
  const std::unique_ptr<CodeAttribute> untracked = parseCode(*old, body.encode());
  untracked->initStackMapFrames(old.get(), &m.method);
  EXPECT_EQ(untracked->getFrameLocals(9)->size, 0);
}

TEST(CodeAttribute, FramesForInsertedCodeGoBetweenTheOthers) {
  TrackedMethod m(2, {252, 0, 9, 2, 9});  // frames at 9 and 19
  m.code->getPreservedLocals().add(0);
  YVector<int32_t> offsets;
  for (int32_t o : {0, 4, 9, 12}) offsets.add(o);
  m.code->insertFramesForCode(offsets, 5, integer(), -1, false, nullptr);
  EXPECT_EQ(m.frames(), (std::vector<std::string>{"-1: I J Object#13 | ", "5: I J Object#13 | I", "9: I J Object#13 F | ",
                                                  "14: I J Object#13 F | I", "17: I J Object#13 F | I",
                                                  "19: I J Object#13 F | "}));

  TrackedMethod masked(1, {9});
  masked.code->getPreservedLocals().add(1);
  YVector<int32_t> one;
  one.add(3);
  masked.code->insertFramesForCode(one, 10, top(), -1, true, nullptr);
  EXPECT_EQ(masked.frames()[2], "13: T J T | ");
  const YVector<VerificationType> override = typeVector({floatType()});
  masked.code->insertFramesForCode(one, 20, top(), -1, true, &override);
  EXPECT_EQ(masked.frames()[3], "23: F | ");

  YVector<int32_t> descending;
  descending.add(4);
  descending.add(2);
  EXPECT_EQ(failureOf([&] { masked.code->insertFramesForCode(descending, 0, top(), -1, false, nullptr); }), kAssertion);
}

TEST(CodeAttribute, PatchFramesDoublesTheFirstCopyOfTheUninitialisedReference) {
  // Frames at 9 with [NEW@3 NEW@3] and 19 with [I NEW@5 NEW@3].
  TrackedMethod m(2, {255, 0, 9, 0, 0, 0, 2, 8, 0, 3, 8, 0, 3, 255, 0, 9, 0, 0, 0, 3, 1, 8, 0, 5, 8, 0, 3});
  m.code->patchFrames(3);
  EXPECT_EQ(m.frames(), (std::vector<std::string>{"-1: I J Object#13 | ", "9:  | Uninitialized@3 Uninitialized@3 Uninitialized@3",
                                                  "19:  | I Uninitialized@5 Uninitialized@3 Uninitialized@3"}));
  m.code->patchFrames(7);
  EXPECT_EQ(m.frames()[2], "19:  | I Uninitialized@5 Uninitialized@3 Uninitialized@3");
}

TEST(CodeAttribute, FillFrameLocalsRestoresPreservedLocalsAndHandlerLocals) {
  // Frames: 9 with only I, 19 handler with [I J Object#13 F], 29 with locals T T T inside the handled range.
  TrackedMethod m(3, {248 + 1, 0, 9, 255, 0, 9, 0, 4, 1, 4, 7, 0, 13, 2, 0, 0, 255, 0, 9, 0, 0, 0, 0},
                  {{25, 35, 19, 0}});
  EXPECT_FALSE(m.code->fillFrameLocals(-1));  // nothing preserved
  m.code->getPreservedLocals().add(1);
  EXPECT_TRUE(m.code->fillFrameLocals(-1));
  EXPECT_EQ(m.frames(), (std::vector<std::string>{"-1: I J Object#13 | ", "9: I J | ", "19: I J Object#13 F | ",
                                                  "29: I J Object#13 F | "}));
  EXPECT_FALSE(m.code->fillFrameLocals(-1));  // nothing left to fill

  TrackedMethod initial;
  initial.code->getPreservedLocals().add(0);
  EXPECT_FALSE(initial.code->fillFrameLocals(-1));  // only the initial frame
}

TEST(CodeAttribute, FillFrameLocalsInitialisesThisAfterTheConstructorCall) {
  const std::unique_ptr<ClassFile> classFile = testClass();
  const MethodInfo constructor(0, kInitName, kVoidDescriptor, classFile.get());
  CodeBody body;
  body.attributes = {stackMapTable(2, {255, 0, 4, 0, 0, 0, 0, 255, 0, 9, 0, 0, 0, 0})};  // frames at 4, 14
  const std::unique_ptr<CodeAttribute> code = parseCode(*classFile, body.encode());
  code->initStackMapFrames(classFile.get(), &constructor);
  code->getPreservedLocals().add(0);
  EXPECT_TRUE(code->fillFrameLocals(10));
  EXPECT_EQ(describe(code->getFrames()), (std::vector<std::string>{"-1: U | ", "4: U | ", "14: Object#2 | "}));
}

TEST(CodeAttribute, FramesAreExpandedOnlyForVersion50AndLater) {
  for (int32_t version : {49, 50}) {
    SCOPED_TRACE(version);
    const std::unique_ptr<ClassFile> classFile = testClass(version);
    const MethodInfo method(ACC_STATIC, kRunName, kRunDescriptor, classFile.get());
    CodeBody body;
    body.attributes = {stackMapTable(2, {9, 64 + 9, 1})};
    const Bytes bytes = body.encode();
    const std::unique_ptr<CodeAttribute> code = parseCode(*classFile, bytes);
    code->initStackMapFrames(classFile.get(), &method);
    EXPECT_EQ(code->tracksFrames(), version >= 50);
    EXPECT_EQ(code->getAttribute(YString("StackMapTable")) == nullptr, version >= 50);
    EXPECT_EQ(code->getFrames().size, version >= 50 ? 3 : 0);
    code->buildStackMapTable();
    EXPECT_EQ(writtenBody(*code), bytes);
    code->removeAttribute(YString("StackMapTable"));
    EXPECT_EQ(code->getLength(), int32_t(bytes.size()) - 6 - 5);
    if (version >= 50) {
      EXPECT_EQ(failureOf([&] { code->initStackMapFrames(classFile.get(), &method); }), kAssertion);
    }
  }
}

TEST(CodeAttribute, StackMapTableIsBuiltOnlyBeyondTheInitialFrame) {
  TrackedMethod m;
  EXPECT_EQ(m.code->getFrames().size, 1);
  const int32_t length = m.code->getLength();
  m.code->buildStackMapTable();
  EXPECT_EQ(m.code->getLength(), length);
  EXPECT_EQ(m.code->getAttributes().size, 1);

  YVector<int32_t> offsets;
  offsets.add(0);
  m.code->insertFramesForCode(offsets, 10, top(), -1, false, nullptr);
  m.code->buildStackMapTable();
  EXPECT_EQ(m.code->getLength(), length + 6 + 3);
  EXPECT_EQ(writtenBody(*m.code->getAttribute(YString("StackMapTable"))), (Bytes{0, 1, 10}));
}

TEST(CodeAttribute, ResetClearsTheTablesForANewBody) {
  TrackedMethod m(2, {9, 9}, {{0, 5, 6, 0}, {0, 7, 8, 0}});
  m.code->reset(m.classFile.get(), &m.method, 3, 4);
  EXPECT_EQ(m.code->getMaxLocals(), 3);
  EXPECT_EQ(m.code->getMaxStack(), 4);
  EXPECT_EQ(m.code->getExceptionTable().size, 0);
  EXPECT_EQ(m.code->getAttributes().size, 0);
  EXPECT_EQ(m.frames(), (std::vector<std::string>{"-1: I J Object#13 | "}));
  EXPECT_EQ(writtenBody(*m.code).size(), 12u + 40u);
}
