#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "agent/classfile/StackMapTableAttribute.h"
#include "tests/unit/classfile/CodeTestSupport.h"
#include "tests/unit/classfile/FailureWithoutLine.h"

using namespace codetest;

namespace {

const char* const kAssertion = "error at VerificationType: assertion failed";

VerificationType readType(const Bytes& bytes, int32_t thisClassIndex = kThisClass) {
  const YVector<uint8_t> input = vectorOf(bytes);
  DataInput in(input);
  const VerificationType type(in, thisClassIndex);
  EXPECT_EQ(in.getPosition(), input.size);
  return type;
}

Bytes written(const VerificationType& type) {
  YVector<uint8_t> bytes;
  DataOutput out(bytes);
  type.write(out);
  return bytesOf(bytes);
}

Bytes encoded(const StackMapFrame& frame, const StackMapFrame& previous) {
  YVector<uint8_t> bytes;
  DataOutput out(bytes);
  frame.write(&previous, out);
  return bytesOf(bytes);
}

StackMapFrame decoded(const Bytes& bytes, const StackMapFrame& previous) {
  const YVector<uint8_t> input = vectorOf(bytes);
  DataInput in(input);
  StackMapFrame frame(previous, in, kThisClass);
  EXPECT_EQ(in.getPosition(), input.size);
  return frame;
}

}  // namespace

TEST(VerificationType, TagsWithoutIndexStoreMinusOneAndTheOthersNeedOne) {
  EXPECT_EQ(VerificationType().tag, ITEM_Top);
  EXPECT_EQ(VerificationType().index, -1);
  for (uint32_t tag = ITEM_Top; tag <= ITEM_Null; tag++) EXPECT_EQ(VerificationType(tag, 7).index, -1) << tag;
  EXPECT_EQ(VerificationType(ITEM_Uninitialized, 0).index, 0);
  for (uint32_t tag : {ITEM_UninitializedThis, ITEM_Object, ITEM_Uninitialized}) {
    EXPECT_EQ(failureOf([tag] { VerificationType(tag, -1); }), kAssertion) << tag;
  }
  EXPECT_EQ(failureOf([] { VerificationType(9, 1); }), kAssertion);
}

TEST(VerificationType, ReadsAndWritesEveryTag) {
  struct Case {
    Bytes bytes;
    uint32_t tag;
    int32_t index;
  };
  const std::vector<Case> cases = {
      {{0}, ITEM_Top, -1},  {{1}, ITEM_Integer, -1}, {{2}, ITEM_Float, -1},
      {{3}, ITEM_Double, -1}, {{4}, ITEM_Long, -1}, {{5}, ITEM_Null, -1},
      {{7, 0x12, 0x34}, ITEM_Object, 0x1234}, {{8, 0xFF, 0xFF}, ITEM_Uninitialized, 0xFFFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    const VerificationType type = readType(c.bytes);
    EXPECT_EQ(type.tag, c.tag);
    EXPECT_EQ(type.index, c.index);
    EXPECT_EQ(written(type), c.bytes);
  }
  // UninitializedThis takes the this-class index from the caller and is written as its tag alone.
  const VerificationType self = readType({6}, 9);
  EXPECT_EQ(self.tag, ITEM_UninitializedThis);
  EXPECT_EQ(self.index, 9);
  EXPECT_EQ(written(self), Bytes{6});
  EXPECT_EQ(failureOf([] { readType({9}); }), kAssertion);
  EXPECT_EQ(failureOf([] { readType({7, 0}); }), "error at YVector: op=yvector::[] 2 2");
}

TEST(VerificationType, EqualityComparesIndicesOfObjectsAndUninitialisedOnly) {
  EXPECT_TRUE(integer().equals(integer()));
  EXPECT_FALSE(integer().equals(floatType()));
  EXPECT_TRUE(object(4).equals(object(4)));
  EXPECT_FALSE(object(4).equals(object(13)));
  EXPECT_FALSE(uninitialized(4).equals(uninitialized(5)));
  EXPECT_FALSE(object(4).equals(uninitialized(4)));
  EXPECT_TRUE(VerificationType(ITEM_UninitializedThis, 2).equals(VerificationType(ITEM_UninitializedThis, 9)));
  VerificationType broken = integer();
  broken.tag = 9;
  EXPECT_EQ(failureOf([&] { broken.equals(integer()); }), kAssertion);
}

TEST(VerificationType, FromDescriptorNamesClassesAndArraysThroughThePool) {
  const std::unique_ptr<ClassFile> classFile = testClass();
  for (const char* descriptor : {"B", "C", "I", "S", "Z"}) {
    EXPECT_EQ(VerificationType::fromDescriptor(YString(descriptor), *classFile).tag, ITEM_Integer) << descriptor;
  }
  EXPECT_EQ(VerificationType::fromDescriptor(YString("F"), *classFile).tag, ITEM_Float);
  EXPECT_EQ(VerificationType::fromDescriptor(YString("D"), *classFile).tag, ITEM_Double);
  EXPECT_EQ(VerificationType::fromDescriptor(YString("J"), *classFile).tag, ITEM_Long);
  EXPECT_EQ(VerificationType::fromDescriptor(YString("V"), *classFile).tag, ITEM_Top);

  // An existing Class entry is found; a missing one is added once.
  const VerificationType string = VerificationType::fromDescriptor(YString("Ljava/lang/String;"), *classFile);
  EXPECT_EQ(string.tag, ITEM_Object);
  EXPECT_EQ(string.index, kStringClass);
  EXPECT_EQ(classFile->getConstantPool().size, kPoolSize);
  const VerificationType array = VerificationType::fromDescriptor(YString("[I"), *classFile);
  EXPECT_EQ(array.tag, ITEM_Object);
  EXPECT_EQ(array.index, kPoolSize + 1);
  EXPECT_TRUE(constantAt<ConstantClassInfo>(classFile->getConstantPool(), array.index, "test", 0)
                  .getName(classFile->getConstantPool())
                  .equals("[I"));
  EXPECT_EQ(VerificationType::fromDescriptor(YString("[I"), *classFile).index, array.index);
  EXPECT_EQ(classFile->getConstantPool().size, kPoolSize + 2);

  EXPECT_EQ(failureOf([&] { VerificationType::fromDescriptor(YString("X"), *classFile); }),
            "error at VerificationType: unexpected java type: 88");
  EXPECT_EQ(failureOf([&] { VerificationType::fromDescriptor(YString(""), *classFile); }),
            "error at VerificationType: unexpected java type: 0");
  EXPECT_EQ(failureOf([&] { VerificationType::fromDescriptor(YString("L;"), *classFile); }), kAssertion);
  EXPECT_EQ(failureOf([&] { VerificationType::fromDescriptor(YString("Ljava/lang/String"), *classFile); }), kAssertion);
}

TEST(StackMapFrame, InitialFramesHoldThisAndTheParameters) {
  const std::unique_ptr<ClassFile> classFile = testClass();
  struct Case {
    int32_t flags;
    int32_t name;
    std::string locals;
  };
  const std::vector<Case> cases = {
      {ACC_STATIC, kRunName, "I J Object#13"},
      {0, kRunName, "Object#2 I J Object#13"},
      {0, kInitName, "U I J Object#13"},
      {ACC_STATIC, kInitName, "I J Object#13"},
  };
  for (const Case& c : cases) {
    const StackMapFrame frame(*classFile, MethodInfo(c.flags, c.name, kRunDescriptor, classFile.get()));
    EXPECT_EQ(describe(frame), "-1: " + c.locals + " | ") << c.locals;
  }
  EXPECT_EQ(describe(StackMapFrame(*classFile, MethodInfo(0, kInitName, kVoidDescriptor, classFile.get()))), "-1: U | ");

  // this in a constructor of java/lang/Object is initialised already.
  const std::unique_ptr<ClassFile> object = testClass(52, "java/lang/Object");
  EXPECT_EQ(describe(StackMapFrame(*object, MethodInfo(0, kInitName, kVoidDescriptor, object.get()))),
            "-1: Object#2 | ");
}

TEST(StackMapFrame, DerivedFramesCopyLocalsAndInitialiseThisAfterTheConstructorCall) {
  const StackMapFrame source = frameOf(-1, {uninitializedThis(), integer()}, {integer()});
  EXPECT_EQ(describe(StackMapFrame(source, 10, top(), -1)), "10: U I | ");
  EXPECT_EQ(describe(StackMapFrame(source, 10, object(4), 10)), "10: U I | Object#4");
  EXPECT_EQ(describe(StackMapFrame(source, 11, longType(), 10)), "11: Object#2 I | J");
}

// Each frame is encoded against its predecessor in the most compact form, and decodes back to itself.
TEST(StackMapFrame, EncodingsChooseTheCompactFormAndDecodeBack) {
  const Types three = {integer(), longType(), object(4)};
  struct Case {
    std::string name;
    StackMapFrame previous;
    StackMapFrame frame;
    Bytes bytes;
  };
  const std::vector<Case> cases = {
      {"first frame at 0", frameOf(-1, three), frameOf(0, three), {0}},
      {"same, delta 63", frameOf(10, three), frameOf(74, three), {63}},
      {"same, delta 64", frameOf(10, three), frameOf(75, three), {251, 0, 64}},
      {"one stack item, delta 63", frameOf(10, three), frameOf(74, three, {integer()}), {127, 1}},
      {"one stack item, delta 64", frameOf(10, three), frameOf(75, three, {object(13)}), {247, 0, 64, 7, 0, 13}},
      {"one stack item, other locals", frameOf(10, three), frameOf(11, {integer()}, {integer()}),
       {255, 0, 0, 0, 1, 1, 0, 1, 1}},
      {"two stack items", frameOf(10, three), frameOf(11, three, {integer(), integer()}),
       {255, 0, 0, 0, 3, 1, 4, 7, 0, 4, 0, 2, 1, 1}},
      {"chop of a long and an object", frameOf(10, three), frameOf(12, {integer()}), {249, 0, 1}},
      {"chop to no locals", frameOf(10, three), frameOf(12, {}), {248, 0, 1}},
      {"chop of four", frameOf(10, {integer(), integer(), integer(), integer()}), frameOf(12, {}),
       {255, 0, 1, 0, 0, 0, 0}},
      {"append of three", frameOf(10, {integer()}), frameOf(12, {integer(), floatType(), doubleType(), null()}),
       {254, 0, 1, 2, 3, 5}},
      {"append to no locals", frameOf(10, {}), frameOf(12, {uninitialized(3)}), {252, 0, 1, 8, 0, 3}},
      {"append of four", frameOf(10, {}), frameOf(12, {integer(), integer(), integer(), integer()}),
       {255, 0, 1, 0, 4, 1, 1, 1, 1, 0, 0}},
      {"differing common part", frameOf(10, three), frameOf(12, {integer(), longType(), object(13)}),
       {255, 0, 1, 0, 3, 1, 4, 7, 0, 13, 0, 0}},
      {"UninitializedThis", frameOf(10, {integer()}), frameOf(12, {uninitializedThis()}, {uninitializedThis()}),
       {255, 0, 1, 0, 1, 6, 0, 1, 6}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(encoded(c.frame, c.previous), c.bytes);
    EXPECT_EQ(describe(decoded(c.bytes, c.previous)), describe(c.frame));
  }
}

TEST(StackMapFrame, LocalComparisonCountsEntriesAndFindsDifferences) {
  const StackMapFrame previous = frameOf(0, {integer(), longType()});
  EXPECT_EQ(frameOf(1, {integer(), longType()}).compareLocals(previous), 0);
  EXPECT_EQ(frameOf(1, {integer()}).compareLocals(previous), -1);
  EXPECT_EQ(frameOf(1, {}).compareLocals(previous), -2);
  EXPECT_EQ(frameOf(1, {integer(), longType(), integer(), integer(), integer(), integer()}).compareLocals(previous), 4);
  EXPECT_EQ(frameOf(1, Types(7, integer())).compareLocals(previous), 5);  // beyond 4: the difference at once
  EXPECT_EQ(frameOf(1, {floatType()}).compareLocals(previous), 104);
  EXPECT_EQ(frameOf(1, {integer(), doubleType(), integer()}).compareLocals(previous), 104);
}

TEST(StackMapFrame, BrokenEntriesAndOrderAreFatal) {
  const StackMapFrame previous = frameOf(10, {integer()});
  EXPECT_EQ(failureOf([&] { decoded({128}, previous); }), "error at StackMapFrame: assertion failed");
  EXPECT_EQ(failureOf([&] { decoded({246}, previous); }), "error at StackMapFrame: assertion failed");
  EXPECT_EQ(failureOf([&] { decoded({249, 0, 0}, previous); }), "error at YVector: op=yvector::removeRange/fromIndex -1 1");
  EXPECT_EQ(failureOf([&] { decoded({252, 0, 0, 9}, previous); }), kAssertion);
  EXPECT_EQ(failureOf([&] { encoded(frameOf(10, {}), previous); }), "error at StackMapFrame: assertion failed");
  EXPECT_EQ(failureOf([&] {
              YVector<uint8_t> bytes;
              DataOutput out(bytes);
              frameOf(11, {}).write(nullptr, out);
            }),
            "error at StackMapFrame: assertion failed");
}

TEST(StackMapFrame, AddedLocalsGoAfterTheMethodsSlotsWithTopBetween) {
  StackMapFrame frame = frameOf(20, {integer()});
  frame.appendAddedLocals(typeVector({longType(), integer()}), 5, 10);
  EXPECT_EQ(describe(frame), "20: I T J I | ");

  // Added UninitializedThis is initialised in frames after the constructor call; trailing Tops go.
  StackMapFrame late = frameOf(20, {integer(), longType()});
  late.appendAddedLocals(typeVector({uninitializedThis(), top()}), 5, 10);
  EXPECT_EQ(describe(late), "20: I J Object#2 | ");
  StackMapFrame early = frameOf(10, {integer()});
  early.appendAddedLocals(typeVector({uninitializedThis()}), 2, 10);
  EXPECT_EQ(describe(early), "10: I U | ");

  // A frame that already reaches into the added slots would give them two types.
  StackMapFrame full = frameOf(20, {integer(), integer()});
  EXPECT_EQ(failureOf([&] { full.appendAddedLocals(typeVector({integer()}), 2, -1); }),
            "error at StackMapFrame: assertion failed");
}

TEST(StackMapTableAttribute, ExpandsEntriesAndChecksThemAgainstTheCode) {
  const StackMapFrame initial = frameOf(-1, {integer()});
  const auto expand = [&initial](const Bytes& attributeBytes, int32_t codeLength) {
    const YVector<uint8_t> input = vectorOf(attributeBytes);
    DataInput in(input);
    in.readUnsignedShort();
    const StackMapTableAttribute table(in, kStackMapTableName, in.readInt());
    YVector<StackMapFrame*> frames;
    frames.add(new StackMapFrame(initial));
    try {
      table.expandFrames(frames, kThisClass, codeLength);
    } catch (...) {
      frames.deleteElements();
      throw;
    }
    std::vector<std::string> texts = describe(frames);
    frames.deleteElements();
    return texts;
  };
  // same at 3, append a NEW at 8 at 9, one stack item at 10, chop at 20.
  const Bytes entries = {3, 252, 0, 5, 8, 0, 8, 64, 1, 249, 0, 9};
  EXPECT_EQ(expand(stackMapTable(4, entries), 21),
            (std::vector<std::string>{"-1: I | ", "3: I | ", "9: I Uninitialized@8 | ", "10: I Uninitialized@8 | I",
                                      "20:  | "}));
  const std::string malformed = "error at StackMapTableAttribute: assertion failed";
  EXPECT_EQ(failureOf([&] { expand(stackMapTable(4, entries), 20); }), malformed);  // frame at the code length
  EXPECT_EQ(failureOf([&] { expand(stackMapTable(1, {252, 0, 0, 8, 0, 30}), 21); }), malformed);  // NEW outside
  EXPECT_EQ(failureOf([&] { expand(stackMapTable(1, {3, 0}), 21); }), malformed);  // a byte after the entries
  EXPECT_EQ(failureOf([&] { expand(stackMapTable(2, {3}), 21); }), "error at YVector: op=yvector::[] 3 3");
  // Deltas of 65535 cannot carry an offset past the code, however many entries follow.
  EXPECT_EQ(failureOf([&] { expand(stackMapTable(2, {251, 0xFF, 0xFF, 251, 0xFF, 0xFF}), 0xFFFF); }), malformed);

  // Only a list holding just the initial frame can be expanded into.
  const YVector<uint8_t> input = vectorOf(Bytes{0, 0});
  DataInput in(input);
  const StackMapTableAttribute empty(in, kStackMapTableName, 2);
  YVector<StackMapFrame*> none;
  EXPECT_EQ(failureOf([&] { empty.expandFrames(none, kThisClass, 10); }), malformed);
}
