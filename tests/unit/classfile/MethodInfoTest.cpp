#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/classfile/AttributeNames.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/FieldInfo.h"
#include "tests/unit/classfile/ClassTestSupport.h"
#include "tests/unit/classfile/FailureWithoutLine.h"

using namespace classtest;

namespace {

// A static method (I)I: "iload_0; ifeq 8; iconst_1; goto 9; iconst_0; ireturn" with its two frames.
const Bytes kBranchCode = {0x1A, 0x99, 0x00, 0x07, 0x04, 0xA7, 0x00, 0x04, 0x03, 0xAC};
const Bytes kBranchFrames = {0x00, 0x02, 0x08, 0x40, 0x01};  // same at 8; one int on the stack at 9

struct MethodClass {
  ClassBuilder builder;
  int32_t code = 0;
  int32_t stackMapTable = 0;
  int32_t lineNumbers = 0;
  int32_t intToInt = 0;

  explicit MethodClass(int32_t majorVersion) : builder(majorVersion) {
    builder.thisClass = builder.classNamed("p/Methods");
    builder.superClass = builder.classNamed("java/lang/Object");
    code = builder.utf8("Code");
    stackMapTable = builder.utf8("StackMapTable");
    lineNumbers = builder.utf8("LineNumberTable");
    intToInt = builder.utf8("(I)I");
  }

  // A static (I)I method of that name with the branching code, a line table and, when asked, its frames.
  void addBranching(const std::string& name, bool frames) {
    std::vector<Bytes> nested = {ByteBuilder().attribute(lineNumbers, ByteBuilder().u2(1).u2(0).u2(3).bytes).bytes};
    if (frames) nested.push_back(ByteBuilder().attribute(stackMapTable, kBranchFrames).bytes);
    builder.methods.push_back(
        ClassBuilder::member(0x09, builder.utf8(name), intToInt, {ClassBuilder::code(code, 1, 1, kBranchCode, nested)}));
  }
};

Bytes writtenAttribute(const AttributeInfo& attribute) {
  YVector<uint8_t> output;
  DataOutput out(output);
  attribute.write(out);
  return Bytes(output.data, output.data + output.size);
}

std::vector<std::string> nestedNames(const ClassFile& classFile, const CodeAttribute& code) {
  std::vector<std::string> names;
  for (int32_t i = 0; i < code.getAttributes().size; i++) {
    names.push_back(utf8Text(classFile, code.getAttributes()[i]->getNameIndex()));
  }
  return names;
}

}  // namespace

TEST(MethodInfo, FlagsAndDescriptorsAnswerTheQueries) {
  struct Case {
    int32_t flags;
    const char* descriptor;
    const char* returnType;
    bool returnsVoid;
    bool isStatic, isPrivate, isPublic, isNative, syntheticBridge;
  };
  const Case cases[] = {
      {0x0009, "()V", "V", true, true, false, true, false, false},
      {0x0002, "(I)Ljava/lang/String;", "Ljava/lang/String;", false, false, true, false, false, false},
      {0x0100, "()Ljava/lang/Void;", "Ljava/lang/Void;", false, false, false, false, true, false},
      {0x1000, "([I)[J", "[J", false, false, false, false, false, false},  // synthetic alone
      {0x0040, "()V", "V", true, false, false, false, false, false},       // bridge alone
      {0x1041, "(Ljava/lang/Object;)V", "V", true, false, false, true, false, true},
      {0x0001, "V", "V", false, false, false, true, false, false},  // no ")": the whole descriptor
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.descriptor);
    ClassBuilder builder(52);
    builder.thisClass = builder.classNamed("p/Flags");
    builder.methods.push_back(ClassBuilder::member(c.flags, builder.utf8("m"), builder.utf8(c.descriptor)));
    const ParsedClass parsed(builder.build());
    MethodInfo& method = *parsed->getMethods()[0];
    EXPECT_EQ(text(method.getReturnType()), c.returnType);
    EXPECT_EQ(method.returnsVoid(), c.returnsVoid);
    EXPECT_EQ(method.isStatic(), c.isStatic);
    EXPECT_EQ(method.isPrivate(), c.isPrivate);
    EXPECT_EQ(method.isPublic(), c.isPublic);
    EXPECT_EQ(method.isNative(), c.isNative);
    EXPECT_EQ(method.isSyntheticBridge(), c.syntheticBridge);
    method.clearNative();
    EXPECT_FALSE(method.isNative());
    EXPECT_EQ(method.getAccessFlags(), c.flags & ~0x0100);
    EXPECT_TRUE(method.hasNameAndDescriptor(method.getNameIndex(), method.getDescriptorIndex()));
    EXPECT_FALSE(method.hasNameAndDescriptor(method.getNameIndex(), 1));
    EXPECT_EQ(failureOf([&] { method.hasNameAndDescriptor(0, 1); }), "error at MethodInfo: assertion failed");
  }
}

TEST(MethodInfo, FramesBecomeATableOnlyWhileTheMethodIsWritten) {
  MethodClass methods(52);
  methods.addBranching("branch", true);
  methods.builder.methods.push_back(ClassBuilder::member(
      0x09, methods.builder.utf8("plain"), methods.intToInt, {ClassBuilder::code(methods.code, 1, 1, {0x1A, 0xAC})}));
  const Bytes input = methods.builder.build();
  const ParsedClass parsed(input);
  const CodeAttribute& branch = *parsed->getMethods()[0]->getCodeAttribute();
  const CodeAttribute& plain = *parsed->getMethods()[1]->getCodeAttribute();
  EXPECT_EQ(branch.getFrames().size, 3);
  EXPECT_EQ(plain.getFrames().size, 1);
  // The table of two entries comes back as javac wrote it, and the initial frame alone makes none.
  EXPECT_EQ(writtenClass(*parsed), input);
  EXPECT_EQ(nestedNames(*parsed, branch), std::vector<std::string>{"LineNumberTable"});
  EXPECT_EQ(writtenClass(*parsed), input);
}

TEST(MethodInfo, WithoutTrackedFramesATableIsWrittenAsItCameEveryTime) {
  MethodClass methods(49);
  methods.addBranching("branch", true);
  const Bytes input = methods.builder.build();
  const ParsedClass parsed(input);
  const CodeAttribute& code = *parsed->getMethods()[0]->getCodeAttribute();
  EXPECT_FALSE(code.tracksFrames());
  EXPECT_EQ(writtenClass(*parsed), input);
  EXPECT_EQ(writtenClass(*parsed), input);
  EXPECT_EQ(nestedNames(*parsed, code), (std::vector<std::string>{"LineNumberTable", "StackMapTable"}));
}

TEST(MethodInfo, AddedCodeIsOneReturnAndTheClassGainsTheCodeNameWhenItLacksIt) {
  ClassBuilder builder(52);
  builder.thisClass = builder.classNamed("p/Natives");
  const int32_t descriptor = builder.utf8("()V");
  builder.methods.push_back(ClassBuilder::member(0x0101, builder.utf8("first"), descriptor));
  builder.methods.push_back(ClassBuilder::member(0x0101, builder.utf8("second"), descriptor));
  const ParsedClass parsed(builder.build());
  const int32_t poolSize = parsed->getConstantPool().size;

  MethodInfo& first = *parsed->getMethods()[0];
  EXPECT_EQ(first.getCodeAttribute(), nullptr);
  CodeAttribute* code = first.addCodeAttribute();
  EXPECT_EQ(first.getCodeAttribute(), code);
  EXPECT_EQ(parsed->getConstantPool().size, poolSize + 1);
  EXPECT_EQ(utf8Text(*parsed, code->getNameIndex()), "Code");
  EXPECT_EQ(code->getNameIndex(), poolSize);
  EXPECT_EQ(parsed->getMethods()[1]->addCodeAttribute()->getNameIndex(), poolSize);
  first.clearNative();
  parsed->getMethods()[1]->clearNative();

  const ParsedClass reparsed(writtenClass(*parsed));
  for (int32_t i = 0; i < 2; i++) {
    const CodeAttribute* written = reparsed->getMethods()[i]->getCodeAttribute();
    ASSERT_NE(written, nullptr);
    EXPECT_EQ(written->getCodeLength(), 1);
    EXPECT_EQ(written->getCode()[0], 0xB1);
    EXPECT_FALSE(reparsed->getMethods()[i]->isNative());
  }
}

TEST(MethodInfo, CopiedAttributesKeepTheTargetsNameAndTakeTheSourcesCode) {
  MethodClass methods(52);
  methods.addBranching("source", true);
  methods.builder.methods.push_back(ClassBuilder::member(
      0x09, methods.builder.utf8("target"), methods.intToInt, {ClassBuilder::code(methods.code, 1, 1, {0x1A, 0xAC})}));
  const ParsedClass parsed(methods.builder.build());
  MethodInfo& source = *parsed->getMethods()[0];
  MethodInfo& target = *parsed->getMethods()[1];
  const Bytes sourceCode = [&] {
    // As the source is written: with its frames encoded.
    YVector<uint8_t> output;
    DataOutput out(output);
    source.write(out);
    return Bytes(output.data + 8, output.data + output.size);  // after flags, name, descriptor and count
  }();

  target.copyAttributesFrom(&source);
  EXPECT_EQ(text(target.getName()), "target");
  EXPECT_EQ(target.getAccessFlags(), 0x09);
  ASSERT_EQ(target.getAttributes().size, 1);
  EXPECT_EQ(writtenAttribute(*target.getCodeAttribute()), sourceCode);
  // The copy holds the table as bytes and writes it however often the class is written.
  EXPECT_FALSE(target.getCodeAttribute()->tracksFrames());
  const Bytes written = writtenClass(*parsed);
  EXPECT_EQ(writtenClass(*parsed), written);
  const ParsedClass reparsed(written);
  EXPECT_EQ(reparsed->getMethods()[1]->getCodeAttribute()->getFrames().size, 3);
  EXPECT_TRUE(source.getCodeAttribute()->tracksFrames());

  EXPECT_EQ(failureOf([&] { target.copyAttributesFrom(nullptr); }), "error at MethodInfo: assertion failed: value is NULL");
  EXPECT_EQ(failureOf([&] { target.copyAttributesFrom(reparsed->getMethods()[0]); }),
            "error at MethodInfo: assertion failed");
}

TEST(MethodInfo, ParametersAndExceptionsComeFromTheirAttributes) {
  ClassBuilder builder(52);
  builder.thisClass = builder.classNamed("p/Probe");
  const int32_t io = builder.classNamed("java/io/IOException");
  const int32_t state = builder.classNamed("java/lang/IllegalStateException");
  const int32_t exceptions = builder.utf8("Exceptions");
  const int32_t descriptor = builder.utf8("(Ljava/lang/Object;I)V");
  builder.methods.push_back(ClassBuilder::member(
      1, builder.utf8("plain"), descriptor,
      {ByteBuilder().attribute(exceptions, ByteBuilder().u2(1).u2(io).bytes).bytes,
       ByteBuilder().attribute(exceptions, ByteBuilder().u2(1).u2(state).bytes).bytes}));
  const int32_t parameterAnnotations = builder.utf8("RuntimeInvisibleParameterAnnotations");
  const int32_t visible = builder.utf8("RuntimeVisibleAnnotations");
  const Bytes annotated = ByteBuilder().u1(1).u2(1).u2(builder.utf8("Lcom/brantel/probes/This;")).u2(0).bytes;
  const Bytes deprecated = ByteBuilder().u2(1).u2(builder.utf8("Ljava/lang/Deprecated;")).u2(0).bytes;
  builder.methods.push_back(ClassBuilder::member(1, builder.utf8("annotated"), descriptor,
                                                 {ByteBuilder().attribute(parameterAnnotations, annotated).bytes,
                                                  ByteBuilder().attribute(visible, deprecated).bytes}));
  const ParsedClass parsed(builder.build());
  const MethodInfo& plain = *parsed->getMethods()[0];
  const MethodInfo& probe = *parsed->getMethods()[1];

  YVector<CallbackParameter> parameters;
  plain.getParameters(parameters);
  ASSERT_EQ(parameters.size, 2);
  EXPECT_EQ(text(parameters[0].type), "Ljava/lang/Object;");
  EXPECT_EQ(text(parameters[1].type), "I");
  for (int32_t i = 0; i < 2; i++) {
    EXPECT_EQ(parameters[i].kind, CallbackParameter::KIND_NONE);
    EXPECT_EQ(parameters[i].index, -1);
    EXPECT_FALSE(parameters[i].out);
  }
  // The attribute lists one parameter, so there is one entry.
  YVector<CallbackParameter> annotatedParameters;
  probe.getParameters(annotatedParameters);
  ASSERT_EQ(annotatedParameters.size, 1);
  EXPECT_EQ(annotatedParameters[0].kind, CallbackParameter::KIND_THIS);

  YVector<YString> names;
  plain.getExceptionClassNames(&names);
  probe.getExceptionClassNames(&names);
  EXPECT_EQ(strings(names), (std::vector<std::string>{"java/io/IOException", "java/lang/IllegalStateException"}));
  EXPECT_EQ(failureOf([&] { plain.getExceptionClassNames(nullptr); }), "error at MethodInfo: assertion failed: value is NULL");

  EXPECT_TRUE(probe.hasAnnotationMatching(YString("Ljava/lang/Dep*")));
  EXPECT_FALSE(plain.hasAnnotationMatching(YString("Ljava/lang/Dep*")));
  EXPECT_TRUE(plain.hasAnnotationMatching(YString("")));
}

TEST(FieldInfo, FieldsKeepTheirIndicesAndAttributes) {
  const FieldInfo field(0x0A, 3, 4);
  EXPECT_TRUE(field.hasNameIndex(3));
  EXPECT_FALSE(field.hasNameIndex(4));
  YVector<uint8_t> output;
  DataOutput out(output);
  field.write(out);
  EXPECT_EQ(Bytes(output.data, output.data + output.size), (Bytes{0, 0x0A, 0, 3, 0, 4, 0, 0}));
  EXPECT_EQ(failureOf([&] { field.hasNameIndex(0); }), "error at FieldInfo: assertion failed");
  EXPECT_EQ(failureOf([] { FieldInfo(-1, 1, 1); }), "error at FieldInfo: assertion failed");
  EXPECT_EQ(failureOf([] { FieldInfo(0, 0, 1); }), "error at FieldInfo: assertion failed");
  EXPECT_EQ(failureOf([] { FieldInfo(0, 1, 0); }), "error at FieldInfo: assertion failed");
}
