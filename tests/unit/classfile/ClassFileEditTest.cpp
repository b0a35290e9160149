#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/ConstantReferences.h"
#include "tests/unit/classfile/ClassTestSupport.h"
#include "tests/unit/classfile/FailureWithoutLine.h"

using namespace classtest;

namespace {

// p/Edit with the pool: 1 "p/Edit", 2 Class p/Edit, 3 "Code", 4 "run", 5 "()V", 6 Int 7, 7 "Code" again,
// 8 "aaa", 9 "ab", and a method run()V without code.
ClassBuilder editClass(int32_t majorVersion = 52) {
  ClassBuilder builder(majorVersion);
  builder.thisClass = builder.classNamed("p/Edit");
  builder.utf8("Code");
  const int32_t run = builder.utf8("run");
  const int32_t descriptor = builder.utf8("()V");
  builder.integer(7);
  builder.utf8("Code");
  builder.utf8("aaa");
  builder.utf8("ab");
  builder.methods.push_back(ClassBuilder::member(1, run, descriptor));
  return builder;
}

YVector<YString> texts(const std::vector<std::string>& values) {
  YVector<YString> result;
  for (const std::string& value : values) result.add(YString(value.c_str()));
  return result;
}

template <class T>
const T& entryAt(const ClassFile& classFile, int32_t index) {
  return constantAt<T>(classFile.getConstantPool(), index, "test", 0);
}

// The class written with the given bytes already in the output: what the output holds afterwards.
Bytes writtenAfter(const ClassFile& classFile, const Bytes& before) {
  YVector<uint8_t> output = vectorOf(before);
  DataOutput out(output);
  classFile.write(out);
  return Bytes(output.data, output.data + output.size);
}

}  // namespace

TEST(ClassFileEdit, GetOrAddFindsTheFirstEqualEntryAndAppendsOnlyWhenMissing) {
  const ParsedClass parsed(editClass().build());
  ClassFile& classFile = *parsed;
  const ConstantPool& pool = classFile.getConstantPool();
  ASSERT_EQ(pool.size, 10);  // no method has code, so no "StackMapTable" was needed

  EXPECT_EQ(classFile.getOrAddUtf8(YString("Code")), 3);  // the first of the two
  EXPECT_EQ(classFile.getOrAddUtf8(YString("Code")), 3);  // from the cache
  EXPECT_EQ(classFile.getOrAddInteger(7), 6);
  EXPECT_EQ(pool.size, 10);

  // Long: the entry and the empty slot after it; found again afterwards.
  EXPECT_EQ(classFile.getOrAddLong(0), 10);
  EXPECT_EQ(pool.size, 12);
  EXPECT_EQ(pool[11], nullptr);
  EXPECT_EQ(classFile.getOrAddLong(0), 10);
  EXPECT_EQ(classFile.getOrAddLong(int64_t(1) << 32), 12);  // all 64 bits count

  EXPECT_EQ(classFile.getOrAddInteger(-1), 14);
  EXPECT_EQ(classFile.getOrAddInteger(0xFFFF), 15);

  // Class entries are keyed by the name's index: the second "Code" gives a Class entry of its own.
  EXPECT_EQ(classFile.getOrAddClass(3), 16);
  EXPECT_EQ(classFile.getOrAddClass(7), 17);
  EXPECT_EQ(classFile.getOrAddClass(3), 16);
  EXPECT_EQ(classFile.getOrAddClass(1), 2);

  // A Methodref adds its NameAndType and itself once.
  EXPECT_EQ(classFile.getOrAddMethodRef(2, 4, 5), 19);
  EXPECT_TRUE(entryAt<ConstantNameAndTypeInfo>(classFile, 18).equals(4, 5));
  EXPECT_TRUE(entryAt<ConstantMethodRefInfo>(classFile, 19).equals(2, 18));
  EXPECT_EQ(classFile.getOrAddMethodRef(2, 4, 5), 19);
  EXPECT_EQ(classFile.getOrAddNameAndType(4, 5), 18);
  EXPECT_EQ(pool.size, 20);

  // A String finds or adds its Utf8 first.
  EXPECT_EQ(classFile.getOrAddString(YString("ab")), 20);
  EXPECT_TRUE(entryAt<ConstantStringInfo>(classFile, 20).hasStringIndex(9));
  EXPECT_EQ(classFile.getOrAddString(YString("new")), 22);
  EXPECT_EQ(utf8Text(classFile, 21), "new");
  EXPECT_EQ(classFile.getOrAddString(YString("new")), 22);
  EXPECT_EQ(classFile.getOrAddString(YString("ab")), 20);
  EXPECT_EQ(pool.size, 23);

  EXPECT_EQ(failureOf([&] { classFile.getOrAddClass(0); }), "error at ClassFile: assertion failed");
  EXPECT_EQ(failureOf([&] { classFile.getOrAddNameAndType(1, 0); }), "error at ClassFile: assertion failed");
  EXPECT_EQ(failureOf([&] { classFile.getOrAddMethodRef(0, 4, 5); }), "error at ClassFile: assertion failed");
  EXPECT_EQ(failureOf([&] { classFile.getOrAddMethod(YString("run"), YString("()V"), -1); }),
            "error at ClassFile: assertion failed");
  EXPECT_EQ(pool.size, 23);
}

TEST(ClassFileEdit, GetOrAddMethodAnswersAPositionInTheMethodList) {
  ClassBuilder builder = editClass();
  // A second method whose name is the second "Code" entry: not found through the text "Code".
  builder.methods.push_back(ClassBuilder::member(1, 7, 5));
  const ParsedClass parsed(builder.build());
  ClassFile& classFile = *parsed;
  const int32_t poolSize = classFile.getConstantPool().size;

  EXPECT_EQ(classFile.getOrAddMethod(YString("run"), YString("()V"), 0), 0);
  EXPECT_EQ(classFile.getMethods().size, 2);
  EXPECT_EQ(classFile.getOrAddMethod(YString("Code"), YString("()V"), 0x108), 2);
  EXPECT_EQ(classFile.getConstantPool().size, poolSize);
  const MethodInfo& added = *classFile.getMethods()[2];
  EXPECT_EQ(added.getAccessFlags(), 0x108);
  EXPECT_TRUE(added.hasNameAndDescriptor(3, 5));
  EXPECT_EQ(added.getAttributes().size, 0);
  EXPECT_EQ(classFile.getOrAddMethod(YString("walk"), YString("(I)V"), 1), 3);
  EXPECT_EQ(classFile.getConstantPool().size, poolSize + 2);
  EXPECT_EQ(classFile.getOrAddMethod(YString("walk"), YString("(I)V"), 1), 3);
}

// The caches' answers outlive the texts they were given for: a replaced text is neither found under its
// old value nor lost under its new one, and no key points at a text that was freed (the sanitizer build
// would see it).
TEST(ClassFileEdit, CachedAnswersFollowReplacedTexts) {
  const ParsedClass parsed(editClass().build());
  ClassFile& classFile = *parsed;
  const std::string longName = "java/lang/StringBuilder";  // held outside the string's inline buffer
  const int32_t utf8 = classFile.getOrAddUtf8(YString(longName.c_str()));
  const int32_t string = classFile.getOrAddString(YString(longName.c_str()));
  const int32_t classEntry = classFile.getOrAddClass(utf8);

  classFile.replaceUtf8Text(texts({"Builder"}), texts({"Buffer"}));
  EXPECT_EQ(utf8Text(classFile, utf8), "java/lang/StringBuffer");
  EXPECT_EQ(classFile.getOrAddUtf8(YString("java/lang/StringBuffer")), utf8);
  const int32_t again = classFile.getOrAddUtf8(YString(longName.c_str()));
  EXPECT_EQ(again, classFile.getConstantPool().size - 1);
  EXPECT_EQ(classFile.getOrAddString(YString("java/lang/StringBuffer")), string);
  EXPECT_NE(classFile.getOrAddString(YString(longName.c_str())), string);
  EXPECT_EQ(classFile.getOrAddClass(utf8), classEntry);

  // A text replaced on the entry itself is looked up afresh as well.
  auto& entry = const_cast<ConstantUtf8Info&>(entryAt<ConstantUtf8Info>(classFile, again));
  entry.setString(YString("java/lang/StringJoiner"));
  const int32_t third = classFile.getOrAddUtf8(YString(longName.c_str()));
  EXPECT_NE(third, again);
  EXPECT_EQ(utf8Text(classFile, third), longName);
  EXPECT_EQ(classFile.getOrAddUtf8(YString("java/lang/StringJoiner")), again);
}

TEST(ClassFileEdit, ReplaceUtf8TextReplacesLeftToRightPairByPair) {
  struct Case {
    std::string text;
    std::vector<std::string> searches;
    std::vector<std::string> replacements;
    std::string result;
  };
  const Case cases[] = {
      {"aaa", {"aa"}, {"b"}, "ba"},
      {"ab", {"a"}, {"aa"}, "aab"},  // the inserted text is not searched again
      {"ab", {""}, {"x"}, "ab"},     // an empty search text changes nothing
      {"ab", {"q"}, {"x"}, "ab"},
      {"ab", {"a", "b"}, {"b", "c"}, "cc"},  // the second pair sees what the first made
      {"a.b.c", {"."}, {""}, "abc"},
      {"sun/misc/Unsafe", {"sun/misc/Unsafe"}, {"jdk/internal/misc/Unsafe"}, "jdk/internal/misc/Unsafe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text + " " + c.searches[0]);
    ClassBuilder builder = editClass(49);
    const int32_t index = builder.utf8(c.text);
    const ParsedClass parsed(builder.build());
    parsed->replaceUtf8Text(texts(c.searches), texts(c.replacements));
    EXPECT_EQ(utf8Text(*parsed, index), c.result);
    // The length written follows the text.
    const ParsedClass reparsed(writtenClass(*parsed));
    EXPECT_EQ(utf8Text(*reparsed, index), c.result);
  }
  const ParsedClass parsed(editClass().build());
  EXPECT_EQ(failureOf([&] { parsed->replaceUtf8Text(texts({"a", "b"}), texts({"c"})); }),
            "error at ClassFile: assertion failed");
}

TEST(ClassFileEdit, TemplateMethodsAreRemovedAndTheirNamesErased) {
  ClassBuilder builder(52);
  builder.thisClass = builder.classNamed("p/Template");
  const int32_t descriptor = builder.utf8("()V");
  const int32_t mention = builder.utf8("a$$x$$b");
  const int32_t template1 = builder.utf8("$$x$$");
  const int32_t notTemplate = builder.utf8("$$y");
  for (const char* name : {"run", "$$x$$", "$$y", "$$"}) {
    const std::string text(name);
    const int32_t index = text == "$$x$$" ? template1 : text == "$$y" ? notTemplate : builder.utf8(text);
    builder.methods.push_back(ClassBuilder::member(1, index, descriptor));
  }
  const ParsedClass parsed(builder.build());
  parsed->processTemplateMethods();
  std::vector<std::string> names;
  for (int32_t i = 0; i < parsed->getMethods().size; i++) names.push_back(text(parsed->getMethods()[i]->getName()));
  // "$$" itself is a template name: erasing it also takes the "$$" out of "$$y".
  EXPECT_EQ(names, (std::vector<std::string>{"run", "y"}));
  EXPECT_EQ(utf8Text(*parsed, mention), "ab");
  EXPECT_EQ(utf8Text(*parsed, template1), "");
}

TEST(ClassFileEdit, OnlyNamesThatBeginAndEndWithTwoDollarsAreTemplates) {
  ClassBuilder builder(52);
  builder.thisClass = builder.classNamed("p/Template");
  const int32_t descriptor = builder.utf8("()V");
  const int32_t mention = builder.utf8("a$$x$$b");
  for (const char* name : {"run", "$$x$$", "$$y", "y$$", "$x$"}) {
    builder.methods.push_back(ClassBuilder::member(1, builder.utf8(name), descriptor));
  }
  const ParsedClass parsed(builder.build());
  parsed->processTemplateMethods();
  std::vector<std::string> names;
  for (int32_t i = 0; i < parsed->getMethods().size; i++) names.push_back(text(parsed->getMethods()[i]->getName()));
  EXPECT_EQ(names, (std::vector<std::string>{"run", "$$y", "y$$", "$x$"}));
  EXPECT_EQ(utf8Text(*parsed, mention), "ab");
}

// What a class file cannot hold is refused when the class is written, and the output keeps what it held:
// the transformation that catches the error hands the JVM the class as it came.
TEST(ClassFileEdit, WritesRefuseTextsCountsAndCodePastTheirFields) {
  const Bytes before = {1, 2, 3};

  // A text of 65535 bytes is the longest a Utf8 entry holds.
  ClassBuilder textClass = editClass(49);
  const int32_t index = textClass.utf8("x");
  const ParsedClass parsed(textClass.build());
  parsed->replaceUtf8Text(texts({"x"}), texts({std::string(65535, 'y')}));
  const ParsedClass reparsed(writtenClass(*parsed));
  EXPECT_EQ(utf8Text(*reparsed, index).size(), 65535u);
  parsed->replaceUtf8Text(texts({"y"}), texts({"yy"}));
  EXPECT_EQ(failureOf([&] { writtenAfter(*parsed, before); }), "error at ConstantUtf8Info: assertion failed");
  EXPECT_EQ(writtenAfter(*reparsed, before).size(), before.size() + writtenClass(*reparsed).size());

  // The pool count is a u2: 65535 entries, slot 0 included, and no more.
  const ParsedClass crowded(editClass().build());
  ConstantPool& entries = crowded->getConstantPool();
  while (entries.size < 65535) entries.add(new ConstantIntInfo(entries.size));
  const ParsedClass full(writtenClass(*crowded));
  EXPECT_EQ(full->getConstantPool().size, 65535);
  EXPECT_EQ(full->getOrAddInteger(-5), 65535);
  Bytes output;
  EXPECT_EQ(failureOf([&] { output = writtenAfter(*full, before); }), "error at ClassFile: assertion failed");
  EXPECT_TRUE(output.empty());

  // Code of more than 65535 bytes, and more than 65535 handlers.
  ClassBuilder code = editClass(49);
  code.methods.push_back(ClassBuilder::member(1, 4, 5, {ClassBuilder::code(3, 0, 1, {0xB1})}));
  const ParsedClass coded(code.build());
  CodeAttribute& attribute = *coded->getMethods()[1]->getCodeAttribute();
  const std::vector<uint8_t> longest(65535, 0);
  attribute.setCode(longest.data(), 65535);
  const ParsedClass longestCode(writtenClass(*coded));
  EXPECT_EQ(longestCode->getMethods()[1]->getCodeAttribute()->getCodeLength(), 65535);
  const std::vector<uint8_t> tooLong(65536, 0);
  attribute.setCode(tooLong.data(), 65536);
  EXPECT_EQ(failureOf([&] { writtenAfter(*coded, before); }), "error at CodeAttribute: assertion failed");
  attribute.setCode(longest.data(), 65535);
  for (int32_t i = 0; i < 65536; i++) attribute.addExceptionHandler(0, 1, 0, VerificationType());
  EXPECT_EQ(failureOf([&] { writtenAfter(*coded, before); }), "error at CodeAttribute: assertion failed");
}
