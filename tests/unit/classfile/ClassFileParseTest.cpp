#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/classfile/AttributeNames.h"
#include "agent/classfile/CodeAttribute.h"
#include "tests/support/LogCapture.h"
#include "tests/unit/classfile/ClassTestSupport.h"
#include "tests/unit/classfile/FailureWithoutLine.h"

using namespace classtest;

namespace {

constexpr int32_t ACC_STATIC_METHOD = 0x0009;  // public static

// p/Thing, version 49, implementing java/lang/Runnable, with a Long at pool index 5, a field with a
// constant value, a method with code and a line table, and a source file and an unknown class attribute.
struct ThingClass {
  ClassBuilder builder{49};
  int32_t runnable = 0;
  int32_t code = 0;

  ThingClass() {
    builder.thisClass = builder.classNamed("p/Thing");
    builder.superClass = builder.classNamed("java/lang/Object");
    EXPECT_EQ(builder.longValue(0x0000000180000000LL), 5);
    code = builder.utf8("Code");
    runnable = builder.classNamed("java/lang/Runnable");
    builder.interfaces = {runnable};
    const int32_t lineNumbers = builder.utf8("LineNumberTable");
    const int32_t constantValue = builder.utf8("ConstantValue");
    const int32_t seven = builder.integer(7);
    builder.fields.push_back(ClassBuilder::member(0x18, builder.utf8("COUNT"), builder.utf8("I"),
                                                 {ByteBuilder().attribute(constantValue, ByteBuilder().u2(seven).bytes).bytes}));
    const Bytes lines = ByteBuilder().attribute(lineNumbers, ByteBuilder().u2(1).u2(0).u2(12).bytes).bytes;
    builder.methods.push_back(ClassBuilder::member(1, builder.utf8("run"), builder.utf8("()V"),
                                                   {ClassBuilder::code(code, 0, 1, {0xB1}, {lines})}));
    const int32_t sourceFile = builder.utf8("SourceFile");
    builder.attributes.push_back(ByteBuilder().attribute(sourceFile, ByteBuilder().u2(builder.utf8("Thing.java")).bytes).bytes);
    builder.attributes.push_back(ByteBuilder().attribute(builder.utf8("Custom"), {1, 2, 3}).bytes);
  }
};

// A static method check(Ljava/lang/String;)I returning 1 for a string and 0 for null: "aload_0; ifnull 6;
// iconst_1; ireturn; iconst_0; ireturn" with its one frame, at offset 6.
Bytes checkMethod(ClassBuilder& builder, int32_t code, int32_t stackMapTable) {
  const Bytes table = ByteBuilder().attribute(stackMapTable, {0, 1, 6}).bytes;
  return ClassBuilder::member(ACC_STATIC_METHOD, builder.utf8("check"), builder.utf8("(Ljava/lang/String;)I"),
                              {ClassBuilder::code(code, 1, 1, {0x2A, 0xC6, 0x00, 0x05, 0x04, 0xAC, 0x03, 0xAC}, {table})});
}

// The nested attribute names of a method's Code attribute, in order.
std::vector<std::string> nestedNames(const ClassFile& classFile, const MethodInfo& method) {
  std::vector<std::string> names;
  const YVector<AttributeInfo*>& nested = method.getCodeAttribute()->getAttributes();
  for (int32_t i = 0; i < nested.size; i++) names.push_back(utf8Text(classFile, nested[i]->getNameIndex()));
  return names;
}

}  // namespace

TEST(ClassFileParse, AClassWithoutFramesWritesBackByteForByte) {
  ThingClass thing;
  const Bytes input = thing.builder.build();
  const ParsedClass parsed(input);
  ASSERT_FALSE(parsed->isParseFailed());
  const ConstantPool& pool = parsed->getConstantPool();
  EXPECT_EQ(pool[6], nullptr);  // the second slot of the Long
  EXPECT_EQ(utf8Text(*parsed, 7), "Code");
  EXPECT_EQ(writtenClass(*parsed), input);
  EXPECT_EQ(writtenClass(*parsed), input);  // a write leaves the model as it was

  EXPECT_EQ(text(parsed->getThisClassName()), "p/Thing");
  EXPECT_EQ(text(*parsed->getSuperClassName()), "java/lang/Object");
  EXPECT_TRUE(parsed->hasInterfaces());
  EXPECT_TRUE(parsed->implementsInterface(YString("java/lang/Runnable")));
  EXPECT_FALSE(parsed->implementsInterface(YString("java/lang/Object")));
  EXPECT_EQ(text(parsed->getSourceFileName()), "Thing.java");
  EXPECT_EQ(parsed->getAccessFlags(), 0x21);
  EXPECT_EQ(parsed->getMajorVersion(), 49);
  ASSERT_EQ(parsed->getFields().size, 1);
  EXPECT_EQ(utf8Text(*parsed, parsed->getFields()[0]->getNameIndex()), "COUNT");
  ASSERT_EQ(parsed->getMethods().size, 1);
  EXPECT_FALSE(parsed->getMethods()[0]->getCodeAttribute()->tracksFrames());
}

TEST(ClassFileParse, FromVersion50FramesAreExpandedWhileParsingAndEncodedOnlyWhileWriting) {
  ClassBuilder builder(52);
  builder.thisClass = builder.classNamed("p/Check");
  builder.superClass = builder.classNamed("java/lang/Object");
  const int32_t code = builder.utf8("Code");
  const int32_t stackMapTable = builder.utf8("StackMapTable");
  builder.methods.push_back(checkMethod(builder, code, stackMapTable));
  const Bytes input = builder.build();
  const int32_t poolCount = input[8] << 8 | input[9];

  const ParsedClass parsed(input);
  // The initial frame names the parameter's class, which the pool gains: its name, then the entry.
  const ConstantPool& pool = parsed->getConstantPool();
  ASSERT_EQ(pool.size, poolCount + 2);
  EXPECT_EQ(text(parsed->getClassNameAt(poolCount + 1)), "java/lang/String");
  const MethodInfo& check = *parsed->getMethods()[0];
  const CodeAttribute& codeAttribute = *check.getCodeAttribute();
  EXPECT_TRUE(codeAttribute.tracksFrames());
  EXPECT_EQ(codeAttribute.getFrames().size, 2);
  EXPECT_EQ(nestedNames(*parsed, check), std::vector<std::string>{});

  // Written, the class holds its table again, and the model still holds none.
  const Bytes written = writtenClass(*parsed);
  EXPECT_EQ(writtenClass(*parsed), written);
  EXPECT_EQ(nestedNames(*parsed, check), std::vector<std::string>{});
  const ParsedClass reparsed(written);
  EXPECT_EQ(reparsed->getConstantPool().size, pool.size);
  EXPECT_EQ(writtenClass(*reparsed), written);
  // The written class is the input with the two entries appended to the pool: the table comes back
  // where it stood, as the last nested attribute.
  const Bytes added = {CONSTANT_Utf8, 0, 16, 'j', 'a', 'v', 'a', '/', 'l', 'a', 'n', 'g', '/', 'S', 't', 'r', 'i',
                       'n', 'g', CONSTANT_Class, 0, uint8_t(poolCount)};
  Bytes expected(input.begin(), input.begin() + builder.poolEnd());
  expected[9] = uint8_t(poolCount + 2);
  expected.insert(expected.end(), added.begin(), added.end());
  expected.insert(expected.end(), input.begin() + builder.poolEnd(), input.end());
  EXPECT_EQ(written, expected);
}

TEST(ClassFileParse, AVersion52ClassWithoutTablesGainsTheTableName) {
  ClassBuilder builder(52);
  builder.thisClass = builder.classNamed("p/Plain");
  const int32_t code = builder.utf8("Code");
  builder.methods.push_back(ClassBuilder::member(ACC_STATIC_METHOD, builder.utf8("run"), builder.utf8("()V"),
                                                 {ClassBuilder::code(code, 0, 0, {0xB1})}));
  const Bytes input = builder.build();
  const ParsedClass parsed(input);
  const ConstantPool& pool = parsed->getConstantPool();
  EXPECT_EQ(utf8Text(*parsed, pool.size - 1), "StackMapTable");
  // A method with the initial frame alone is written without a table.
  const Bytes written = writtenClass(*parsed);
  EXPECT_EQ(written.size(), input.size() + 3 + 13);
}

TEST(ClassFileParse, UnknownPoolTagsStopTheParseWithoutAFatalError) {
  for (const int32_t tag : {17, 19, 20}) {
    SCOPED_TRACE(tag);
    ClassBuilder builder(53);
    builder.thisClass = builder.classNamed("p/Odd");
    builder.entry(ByteBuilder().u1(tag).u2(1).u2(1).bytes);
    builder.methods.push_back(ClassBuilder::member(1, 1, 1));
    LogCapture log;
    const ParsedClass parsed(builder.build());
    EXPECT_TRUE(parsed->isParseFailed());
    EXPECT_EQ(log.entries(), std::vector<std::string>{"Unknown Constant Pool Info tag: " + std::to_string(tag)});
    EXPECT_EQ(parsed->getMethods().size, 0);
    EXPECT_EQ(parsed->getConstantPool().size, 3);  // slot 0 and the two entries read before
  }
}

TEST(ClassFileParse, MalformedClassesAreFatal) {
  ThingClass thing;
  const Bytes input = thing.builder.build();
  const auto parse = [](const Bytes& bytes) {
    return [bytes] { ParsedClass parsed(bytes); };
  };
  Bytes truncated(input.begin(), input.end() - 1);
  EXPECT_EQ(failureOf(parse(truncated)).rfind("error at YVector: op=yvector::[] ", 0), 0u);

  ClassBuilder noThis(52);
  noThis.classNamed("p/None");
  EXPECT_EQ(failureOf(parse(noThis.build())), "error at ClassFile: assertion failed");

  ClassBuilder zeroInterface(52);
  zeroInterface.thisClass = zeroInterface.classNamed("p/Zero");
  zeroInterface.interfaces = {0};
  EXPECT_EQ(failureOf(parse(zeroInterface.build())), "error at ClassFile: assertion failed");

  ClassBuilder namelessMethod(52);
  namelessMethod.thisClass = namelessMethod.classNamed("p/Nameless");
  namelessMethod.methods.push_back(ClassBuilder::member(1, 0, 1));
  EXPECT_EQ(failureOf(parse(namelessMethod.build())), "error at MethodInfo: assertion failed");

  ClassBuilder untypedField(52);
  untypedField.thisClass = untypedField.classNamed("p/Untyped");
  untypedField.fields.push_back(ClassBuilder::member(1, 1, 0));
  EXPECT_EQ(failureOf(parse(untypedField.build())), "error at FieldInfo: assertion failed");

  // A method whose Code attribute is broken after other members were read: all of them are freed.
  ClassBuilder brokenCode(52);
  brokenCode.thisClass = brokenCode.classNamed("p/Broken");
  const int32_t code = brokenCode.utf8("Code");
  brokenCode.fields.push_back(ClassBuilder::member(1, 1, 1));
  brokenCode.methods.push_back(ClassBuilder::member(1, 1, 1, {ClassBuilder::code(code, 0, 0, {0xB1})}));
  brokenCode.methods.push_back(ClassBuilder::member(1, 1, 1, {ClassBuilder::code(code, 0, 0, {})}));
  EXPECT_EQ(failureOf(parse(brokenCode.build())), "error at CodeAttribute: assertion failed");
}

TEST(ClassFileParse, QueriesFollowThePool) {
  ThingClass thing;
  ClassBuilder& builder = thing.builder;
  const int32_t inner = builder.classNamed("p/Thing$Inner");
  const int32_t innerClasses = builder.utf8("InnerClasses");
  builder.attributes.push_back(
      ByteBuilder().attribute(innerClasses, ByteBuilder().u2(1).u2(inner).u2(builder.thisClass).u2(builder.utf8("Inner")).u2(1).bytes).bytes);
  const int32_t invisible = builder.utf8("RuntimeInvisibleAnnotations");
  const Bytes annotation = ByteBuilder()
                               .u2(1)
                               .u2(builder.utf8("Lcom/brantel/probes/InstanceOf;"))
                               .u2(1)
                               .u2(builder.utf8("value"))
                               .u1('s')
                               .u2(builder.utf8("java.util.Map"))
                               .bytes;
  builder.attributes.push_back(ByteBuilder().attribute(invisible, annotation).bytes);
  const int32_t name = builder.utf8("run");
  builder.methods.push_back(ClassBuilder::member(1, name, builder.utf8("(I)V")));
  builder.methods.push_back(ClassBuilder::member(1, builder.utf8("stop"), builder.utf8("()V")));
  const ParsedClass parsed(builder.build());

  const MethodInfo* run = parsed->findMethod(YString("run"), YString("(I)V"));
  ASSERT_NE(run, nullptr);
  EXPECT_EQ(run, parsed->getMethods()[1]);
  EXPECT_EQ(parsed->findMethod(YString("run"), YString("(J)V")), nullptr);
  bool several = false;
  EXPECT_EQ(parsed->findMethodByName(YString("run"), &several), parsed->getMethods()[0]);
  EXPECT_TRUE(several);
  EXPECT_EQ(parsed->findMethodByName(YString("stop"), &several), parsed->getMethods()[2]);
  EXPECT_FALSE(several);
  EXPECT_EQ(parsed->findMethodByName(YString("walk"), &several), nullptr);
  EXPECT_EQ(failureOf([&] { parsed->findMethodByName(YString("run"), nullptr); }),
            "error at ClassFile: assertion failed: value is NULL");

  YVector<YString> names;
  parsed->getInnerClassNames(&names);
  EXPECT_EQ(strings(names), std::vector<std::string>{"p.Thing$Inner"});
  EXPECT_EQ(failureOf([&] { parsed->getInnerClassNames(nullptr); }), "error at ClassFile: assertion failed: value is NULL");

  EXPECT_TRUE(parsed->hasAnnotationMatching(YString("Lcom/brantel/probes/*;")));
  EXPECT_FALSE(parsed->hasAnnotationMatching(YString("Ljavax/*;")));
  YVector<YString> patterns;
  YVector<YString> retransform;
  YString instanceOf;
  bool discard = false;
  parsed->readProbeClassAnnotations(patterns, instanceOf, retransform, discard);
  EXPECT_EQ(text(instanceOf), "java/util/Map");

  EXPECT_EQ(text(parsed->getClassNameAt(thing.runnable)), "java/lang/Runnable");
  EXPECT_EQ(failureOf([&] { parsed->getClassNameAt(thing.code); }), "error at ClassFile: assertion failed");
  EXPECT_EQ(failureOf([&] { parsed->getClassNameAt(6); }), "error at ClassFile: assertion failed: value is NULL");
  EXPECT_EQ(failureOf([&] { parsed->getClassNameAt(parsed->getConstantPool().size); }).rfind("error at YVector", 0), 0u);
}

TEST(ClassFileParse, AClassWithoutSuperClassInterfacesOrSourceFile) {
  ClassBuilder builder(52);
  builder.thisClass = builder.classNamed("java/lang/Object");
  const ParsedClass parsed(builder.build());
  EXPECT_EQ(parsed->getSuperClassName(), nullptr);
  EXPECT_FALSE(parsed->hasInterfaces());
  EXPECT_EQ(text(parsed->getSourceFileName()), "");
  YVector<YString> names;
  parsed->getInnerClassNames(&names);
  EXPECT_EQ(names.size, 0);
  YVector<YString> patterns;
  YVector<YString> retransform;
  YString instanceOf("unchanged");
  bool discard = false;
  parsed->readProbeClassAnnotations(patterns, instanceOf, retransform, discard);
  EXPECT_EQ(text(instanceOf), "unchanged");
  EXPECT_TRUE(parsed->hasAnnotationMatching(YString("")));
}
