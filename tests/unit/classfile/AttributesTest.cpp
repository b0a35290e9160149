#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "agent/classfile/ClassFile.h"
#include "tests/classfile/PoolClass.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/LineNumberTableAttribute.h"
#include "agent/classfile/LocalVariableTableAttribute.h"
#include "agent/classfile/SimpleAttributes.h"
#include "agent/classfile/StackMapTableAttribute.h"
#include "tests/unit/classfile/AttributeTestSupport.h"
#include "tests/unit/classfile/FailureWithoutLine.h"

namespace {

struct RoundTripCase {
  const char* name;
  Bytes body;
  const std::type_info& type;
};

// Every attribute name the reader knows, and a few it does not: the class it makes, and the bytes it
// writes back, which are the bytes it read.
TEST(Attributes, EachNameMakesItsClassAndWritesBackWhatItRead) {
  const std::vector<RoundTripCase> cases = {
      {"ConstantValue", {0x00, 0x05}, typeid(ConstantValueAttribute)},
      {"Deprecated", {}, typeid(DeprecatedAttribute)},
      {"Deprecated", {0xDE, 0xAD, 0x01}, typeid(DeprecatedAttribute)},
      {"Synthetic", {}, typeid(SyntheticAttribute)},
      {"Synthetic", {0x00, 0x07}, typeid(SyntheticAttribute)},
      {"Exceptions", {0x00, 0x00}, typeid(ExceptionsAttribute)},
      {"Exceptions", {0x00, 0x02, 0x00, 0x0A, 0xFF, 0xFF}, typeid(ExceptionsAttribute)},
      {"InnerClasses", {0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04, 0x80, 0x19}, typeid(InnerClassesAttribute)},
      {"SourceFile", {0x00, 0x03}, typeid(SourceFileAttribute)},
      {"LineNumberTable", {0x00, 0x02, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x05, 0xFF, 0xFF},
       typeid(LineNumberTableAttribute)},
      {"LocalVariableTable", {0x00, 0x01, 0x00, 0x00, 0x00, 0x09, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03},
       typeid(LocalVariableTableAttribute)},
      {"LocalVariableTypeTable", {0x00, 0x01, 0x00, 0x02, 0x00, 0x07, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00},
       typeid(LocalVariableTypeTableAttribute)},
      {"StackMapTable", {0x00, 0x01, 0x03}, typeid(StackMapTableAttribute)},
      {"RuntimeVisibleAnnotations", {0x00, 0x00}, typeid(AnnotationsAttribute)},
      {"RuntimeInvisibleAnnotations", {0x00, 0x01, 0x00, 0x01, 0x00, 0x00}, typeid(AnnotationsAttribute)},
      {"RuntimeInvisibleParameterAnnotations", {0x01, 0x00, 0x00}, typeid(ParameterAnnotationsAttribute)},
      // Everything else passes through unchanged, the visible parameter annotations among them.
      {"RuntimeVisibleParameterAnnotations", {0x01, 0x00, 0x00}, typeid(UnknownAttribute)},
      {"Signature", {0x00, 0x04}, typeid(UnknownAttribute)},
      {"Custom", {}, typeid(UnknownAttribute)},
      {"code", {0x01, 0x02, 0x03}, typeid(UnknownAttribute)},  // names compare byte for byte
  };
  for (const RoundTripCase& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " of " + std::to_string(c.body.size()) + " bytes");
    TestPool pool;
    const Bytes input = ByteBuilder().attribute(pool.utf8(c.name), c.body).bytes;
    const auto attribute = readAttribute(input, pool.pool);
    EXPECT_EQ(typeid(*attribute), c.type);
    EXPECT_EQ(attribute->getNameIndex(), 1);
    EXPECT_EQ(attribute->getLength(), int32_t(c.body.size()));
    EXPECT_EQ(written(*attribute), input);
  }
}

TEST(Attributes, AnEmptyDeprecatedAttributeIsItsNameIndexAndAZeroLength) {
  TestPool pool;
  pool.utf8("SourceFile");
  const auto attribute = readAttribute(ByteBuilder().attribute(pool.utf8("Deprecated"), {}).bytes, pool.pool);
  EXPECT_EQ(written(*attribute), (Bytes{0x00, 0x02, 0x00, 0x00, 0x00, 0x00}));
}

struct FailureCase {
  const char* what;
  Bytes input;
  std::string failure;
};

// Malformed attributes are fatal errors: the caller abandons the class instead of misreading it or
// writing it back with a length that does not describe its body.
TEST(Attributes, MalformedAttributesAreFatal) {
  TestPool pool;
  const int32_t constantValue = pool.utf8("ConstantValue");  // 1
  const int32_t exceptions = pool.utf8("Exceptions");        // 2
  const int32_t deprecated = pool.utf8("Deprecated");        // 3
  const int32_t klass = pool.classNamed("java/lang/Object");  // 5, its name at 4
  const int32_t empty = pool.emptySlot();                     // 6
  const int32_t lineNumbers = pool.utf8("LineNumberTable");   // 7
  const int32_t localVariables = pool.utf8("LocalVariableTable");
  const int32_t innerClasses = pool.utf8("InnerClasses");
  const int32_t synthetic = pool.utf8("Synthetic");
  const int32_t code = pool.utf8("Code");
  const int32_t size = pool.pool.size;
  const std::string rangeError = "error at YVector: op=yvector::[] ";
  const std::vector<FailureCase> cases = {
      {"name index beyond the pool", ByteBuilder().attribute(size, {}).bytes,
       rangeError + std::to_string(size) + " " + std::to_string(size)},
      {"name index of an empty slot", ByteBuilder().attribute(empty, {}).bytes,
       "error at AttributeInfoReader: assertion failed: value is NULL"},
      {"name index 0", ByteBuilder().attribute(0, {}).bytes,
       "error at AttributeInfoReader: assertion failed: value is NULL"},
      {"name index of a Class entry", ByteBuilder().attribute(klass, {0x00, 0x01}).bytes,
       "error at AttributeInfoReader: assertion failed"},
      {"length of 2^31", ByteBuilder().u2(deprecated).u4(int32_t(0x80000000)).bytes,
       "error at AttributeInfo: assertion failed"},
      {"constant index 0", ByteBuilder().attribute(constantValue, {0x00, 0x00}).bytes,
       "error at ConstantValueAttribute: assertion failed"},
      {"body shorter than its length", ByteBuilder().attribute(constantValue, {0x00, 0x05, 0x00, 0x00}).bytes,
       "error at AttributeInfoReader: assertion failed"},
      {"body longer than its length", ByteBuilder().u2(exceptions).u4(2).u2(1).u2(klass).bytes,
       "error at AttributeInfoReader: assertion failed"},
      {"a zero length with a body", ByteBuilder().u2(constantValue).u4(0).u2(5).bytes,
       "error at AttributeInfoReader: assertion failed"},
      {"length beyond the input", ByteBuilder().u2(synthetic).u4(0x7FFFFFFF).u2(0).bytes, rangeError + "8 8"},
      {"Deprecated cut short", ByteBuilder().u2(deprecated).u4(4).u2(0).bytes, rangeError + "8 8"},
      {"line table cut short", ByteBuilder().u2(lineNumbers).u4(10).u2(2).u4(1).u2(0).bytes, rangeError + "14 14"},
      {"inner classes cut short", ByteBuilder().u2(innerClasses).u4(18).u2(2).u4(1).u4(2).u2(0).bytes,
       rangeError + "18 18"},
      {"local variable name index 0",
       ByteBuilder().attribute(localVariables, {0, 1, 0, 0, 0, 1, 0, 0, 0, 4, 0, 0}).bytes,
       "error at LocalVariable: assertion failed"},
      {"local variable descriptor index 0",
       ByteBuilder().attribute(localVariables, {0, 1, 0, 0, 0, 1, 0, 4, 0, 0, 0, 0}).bytes,
       "error at LocalVariable: assertion failed"},
      {"input ends in the length", ByteBuilder().u2(deprecated).u2(0).bytes, rangeError + "4 4"},
      {"Code without its class file", ByteBuilder().attribute(code, {0, 0, 0, 0, 0, 0, 0, 1, 0xB1, 0, 0, 0, 0}).bytes,
       "error at AttributeInfoReader: assertion failed: value is NULL"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.what);
    const YVector<uint8_t> input = vectorOf(c.input);
    EXPECT_EQ(failureOf([&] {
                DataInput in(input);
                delete AttributeInfoReader::read(in, pool.pool, nullptr);
              }),
              c.failure);
  }
}

// The smallest attribute of our own, to reach the base class directly.
class PlainAttribute : public AttributeInfo {
 public:
  PlainAttribute(int32_t nameIndex, int32_t length) : AttributeInfo(nameIndex, length) {}
  void writeBody(DataOutput& out) const override {
    for (int32_t i = 0; i < getLength(); i++) out.writeByte(0xAB);
  }
};

TEST(Attributes, TheBaseChecksItsIndexAndLengthAndWritesTheHeaderBeforeTheBody) {
  EXPECT_EQ(failureOf([] { PlainAttribute(0, 0); }), "error at AttributeInfo: assertion failed");
  EXPECT_EQ(failureOf([] { PlainAttribute(1, -1); }), "error at AttributeInfo: assertion failed");
  PlainAttribute attribute(0x1234, 1);
  EXPECT_EQ(failureOf([&] { attribute.setLength(-1); }), "error at AttributeInfo: assertion failed");
  attribute.setLength(2);
  EXPECT_EQ(written(attribute), (Bytes{0x12, 0x34, 0x00, 0x00, 0x00, 0x02, 0xAB, 0xAB}));
  // Nothing in a base attribute depends on the code length.
  attribute.validate(0);
}

TEST(Attributes, HasNameComparesTheUtf8EntryAndRefusesOtherKinds) {
  TestPool pool;
  const int32_t code = pool.utf8("Code");
  const int32_t klass = pool.classNamed("Code");
  EXPECT_TRUE(PlainAttribute(code, 0).hasName(pool.pool, YString("Code")));
  EXPECT_FALSE(PlainAttribute(code, 0).hasName(pool.pool, YString("Cod")));
  EXPECT_FALSE(PlainAttribute(code, 0).hasName(pool.pool, YString("CodeX")));
  EXPECT_EQ(failureOf([&] { PlainAttribute(klass, 0).hasName(pool.pool, YString("Code")); }),
            "error at AttributeInfo: assertion failed");
}

TEST(Attributes, SourceFileNamesItsUtf8Entry) {
  TestPool pool;
  const int32_t name = pool.utf8("SourceFile");
  const int32_t file = pool.utf8("Thread.java");
  const int32_t klass = pool.classNamed("Thread");
  const auto good = readAttribute(ByteBuilder().attribute(name, {0x00, uint8_t(file)}).bytes, pool.pool);
  EXPECT_STREQ(as<SourceFileAttribute>(good).getSourceFile(pool.pool).data, "Thread.java");
  const auto wrongKind = readAttribute(ByteBuilder().attribute(name, {0x00, uint8_t(klass)}).bytes, pool.pool);
  EXPECT_EQ(failureOf([&] { as<SourceFileAttribute>(wrongKind).getSourceFile(pool.pool); }),
            "error at SourceFileAttribute: assertion failed");
}

TEST(Attributes, ExceptionsGiveTheirClassNamesInOrder) {
  TestPool pool;
  const int32_t name = pool.utf8("Exceptions");
  const int32_t io = pool.classNamed("java/io/IOException");
  const int32_t state = pool.classNamed("java/lang/IllegalStateException");
  const auto attribute = readAttribute(ByteBuilder().attribute(name, ByteBuilder().u2(2).u2(state).u2(io).bytes).bytes,
                                       pool.pool);
  const auto& exceptions = as<ExceptionsAttribute>(attribute);
  YVector<YString> names;
  names.add(YString("kept"));
  exceptions.getClassNames(&pool.pool, &names);
  EXPECT_EQ(strings(names),
            (std::vector<std::string>{"kept", "java/lang/IllegalStateException", "java/io/IOException"}));

  EXPECT_EQ(failureOf([&] { exceptions.getClassNames(nullptr, &names); }),
            "error at ExceptionsAttribute: assertion failed: value is NULL");
  EXPECT_EQ(failureOf([&] { exceptions.getClassNames(&pool.pool, nullptr); }),
            "error at ExceptionsAttribute: assertion failed: value is NULL");
  const int32_t empty = pool.emptySlot();
  const auto toEmpty =
      readAttribute(ByteBuilder().attribute(name, ByteBuilder().u2(1).u2(empty).bytes).bytes, pool.pool);
  EXPECT_EQ(failureOf([&] { as<ExceptionsAttribute>(toEmpty).getClassNames(&pool.pool, &names); }),
            "error at ExceptionsAttribute: assertion failed: value is NULL");
  const auto toUtf8 = readAttribute(ByteBuilder().attribute(name, ByteBuilder().u2(1).u2(name).bytes).bytes, pool.pool);
  EXPECT_EQ(failureOf([&] { as<ExceptionsAttribute>(toUtf8).getClassNames(&pool.pool, &names); }),
            "error at ExceptionsAttribute: assertion failed");
}

// The records of a class's own InnerClasses attribute: its members and its local and anonymous classes
// are reported in Java form; other classes' members and the class's own record are not.
TEST(Attributes, InnerClassNamesAreThisClassesMembersAndLocalClasses) {
  TestPool pool;
  const int32_t name = pool.utf8("InnerClasses");
  const int32_t self = pool.classNamed("p/Outer");
  const int32_t member = pool.classNamed("p/Outer$Member");
  const int32_t anonymous = pool.classNamed("p/Outer$1");
  const int32_t other = pool.classNamed("q/Other");
  const int32_t othersMember = pool.classNamed("q/Other$Nested");
  const int32_t simpleName = pool.utf8("Member");
  const Bytes body = ByteBuilder()
                         .u2(5)
                         .u2(self).u2(other).u2(simpleName).u2(0x0008)  // this class as a member of another
                         .u2(member).u2(self).u2(simpleName).u2(0x0001)
                         .u2(othersMember).u2(other).u2(simpleName).u2(0)
                         .u2(anonymous).u2(0).u2(0).u2(0)
                         .u2(self).u2(0).u2(0).u2(0)  // and as a local class
                         .bytes;
  const auto attribute = readAttribute(ByteBuilder().attribute(name, body).bytes, pool.pool);
  YVector<YString> names;
  as<InnerClassesAttribute>(attribute).getInnerClassNames(pool.pool, self, names);
  EXPECT_EQ(strings(names), (std::vector<std::string>{"p.Outer$Member", "p.Outer$1"}));

  const Bytes notAClass = ByteBuilder().u2(1).u2(simpleName).u2(self).u2(0).u2(0).bytes;
  const auto malformed = readAttribute(ByteBuilder().attribute(name, notAClass).bytes, pool.pool);
  EXPECT_EQ(failureOf([&] { as<InnerClassesAttribute>(malformed).getInnerClassNames(pool.pool, self, names); }),
            "error at InnerClassesAttribute: assertion failed");
}

struct NestedCase {
  const char* what;
  const char* name;
  Bytes body;
  std::string failure;  // empty: accepted
};

// The tables nested in a Code attribute are checked against its code length as it is read, so that no
// offset from a file can index past the code or a position map made for it.
TEST(Attributes, OffsetsOfNestedTablesMustLieInsideTheCode) {
  const std::vector<NestedCase> cases = {
      {"line at the last byte", "LineNumberTable", ByteBuilder().u2(1).u2(3).u2(7).bytes, ""},
      {"line at the code length", "LineNumberTable", ByteBuilder().u2(2).u2(0).u2(7).u2(4).u2(8).bytes,
       "error at LineNumberTableAttribute: assertion failed"},
      {"variable to the code's end", "LocalVariableTable", ByteBuilder().u2(1).u2(1).u2(3).u2(1).u2(1).u2(0).bytes, ""},
      {"variable past the code's end", "LocalVariableTable", ByteBuilder().u2(1).u2(1).u2(4).u2(1).u2(1).u2(0).bytes,
       "error at LocalVariableTableAttribute: assertion failed"},
      {"empty variable at the code length", "LocalVariableTypeTable",
       ByteBuilder().u2(1).u2(4).u2(0).u2(1).u2(1).u2(0).bytes,
       "error at LocalVariableTableAttribute: assertion failed"},
  };
  for (const NestedCase& c : cases) {
    SCOPED_TRACE(c.what);
    ConstantPool entries;
    entries.add(nullptr);
    entries.add(new ConstantUtf8Info(YString("Code")));
    entries.add(new ConstantUtf8Info(YString(c.name)));
    entries.add(new ConstantClassInfo(1));
    const std::unique_ptr<ClassFile> classFile = classFileOver(entries, 52, 3);
    const Bytes code = ByteBuilder()
                           .u2(1).u2(2).u4(4).u4(0x033C1BB1)  // iconst_0, istore_1, iload_1, return
                           .u2(0)
                           .u2(1).attribute(2, c.body)
                           .bytes;
    const Bytes input = ByteBuilder().attribute(1, code).bytes;
    if (c.failure.empty()) {
      const YVector<uint8_t> bytes = vectorOf(input);
      DataInput in(bytes);
      const std::unique_ptr<AttributeInfo> attribute(
          AttributeInfoReader::read(in, classFile->getConstantPool(), classFile.get()));
      EXPECT_EQ(written(*attribute), input);
    } else {
      EXPECT_EQ(failureOf([&] {
                  const YVector<uint8_t> bytes = vectorOf(input);
                  DataInput in(bytes);
                  delete AttributeInfoReader::read(in, classFile->getConstantPool(), classFile.get());
                }),
                c.failure);
    }
  }
}

}  // namespace
