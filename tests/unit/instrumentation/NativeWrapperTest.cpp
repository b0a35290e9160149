#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/ConstantReferences.h"
#include "agent/classfile/MethodInfo.h"
#include "agent/instrumentation/NativeWrapping.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/unit/classfile/FailureWithoutLine.h"
#include "tests/unit/instrumentation/WrapperTestSupport.h"

namespace {

using namespace wraptest;

constexpr uint8_t INVOKEVIRTUAL = 182;
constexpr uint8_t INVOKESPECIAL = 183;
constexpr uint8_t INVOKESTATIC = 184;

struct WrapperCase {
  int32_t flags;
  const char* descriptor;
  Bytes loads;       // the code before the call
  uint8_t invoke;
  uint8_t returnOpcode;
  int32_t maxStack;
  int32_t maxLocals;
};

// The wrapper of native "run" with these flags and descriptor, checked in the model and again in the class
// as written and parsed anew.
void checkWrapper(const WrapperCase& c) {
  SCOPED_TRACE(c.descriptor);
  const AssembledClass assembled = assembledClass("demo/Reader", {{"run", c.descriptor, c.flags}});
  const ParsedClass parsed(assembled.bytes);
  createNativeWrapper(*parsed, parsed->getMethods()[0]);

  // The native half's name, then its NameAndType, then the Methodref that the body calls.
  const int32_t target = assembled.poolCount + 2;
  Bytes expected = c.loads;
  expected.insert(expected.end(), {c.invoke, uint8_t(target >> 8), uint8_t(target), c.returnOpcode});
  const ParsedClass reparsed(classtest::writtenClass(*parsed));
  for (const ClassFile* classFile : {parsed.model.get(), reparsed.model.get()}) {
    ASSERT_EQ(classFile->getMethods().size, 2);
    const MethodInfo& wrapper = *classFile->getMethods()[0];
    EXPECT_EQ(text(wrapper.getName()), "run");
    EXPECT_EQ(wrapper.getAccessFlags(), c.flags & ~ACC_NATIVE);
    ASSERT_NE(wrapper.getCodeAttribute(), nullptr);
    EXPECT_EQ(codeOf(wrapper), expected);
    EXPECT_EQ(wrapper.getCodeAttribute()->getMaxStack(), c.maxStack);
    EXPECT_EQ(wrapper.getCodeAttribute()->getMaxLocals(), c.maxLocals);
    // The body has no branch: the method's entry is its only frame.
    EXPECT_EQ(wrapper.getCodeAttribute()->getFrames().size, 1);

    const MethodInfo& native = *classFile->getMethods()[1];
    EXPECT_EQ(text(native.getName()), "$$BZP$$run");
    EXPECT_EQ(text(native.getDescriptor()), c.descriptor);
    EXPECT_EQ(native.getAccessFlags(), c.flags);
    EXPECT_EQ(native.getCodeAttribute(), nullptr);
    EXPECT_EQ(native.getAttributes().size, 0);

    const auto& ref = constantAt<ConstantMethodRefInfo>(classFile->getConstantPool(), target, "test", 0);
    EXPECT_EQ(text(ref.getClassName(classFile->getConstantPool())), "demo/Reader");
    EXPECT_EQ(text(ref.getName(classFile->getConstantPool())), "$$BZP$$run");
    EXPECT_EQ(text(ref.getDescriptor(classFile->getConstantPool())), c.descriptor);
  }
}

TEST(NativeWrapper, BodiesPassTheArgumentsOnAndReturnTheResult) {
  const std::vector<WrapperCase> cases = {
      // read(long, byte[]) of an instance: ALOAD_0, LLOAD_1, ALOAD_3.
      {ACC_PRIVATE | ACC_NATIVE, "(J[B)I", {42, 31, 45}, INVOKESPECIAL, 172, 4, 4},
      {ACC_PUBLIC | ACC_STATIC | ACC_NATIVE, "()V", {}, INVOKESTATIC, 177, 0, 0},
      // The return value needs more stack than the arguments.
      {ACC_PUBLIC | ACC_NATIVE, "()J", {42}, INVOKEVIRTUAL, 173, 2, 1},
      {ACC_STATIC | ACC_NATIVE, "()Ljava/lang/String;", {}, INVOKESTATIC, 176, 1, 0},
      {ACC_STATIC | ACC_NATIVE, "(D)F", {38}, INVOKESTATIC, 174, 2, 2},
      {ACC_PRIVATE | ACC_STATIC | ACC_NATIVE, "(SCB)Z", {26, 27, 28}, INVOKESTATIC, 172, 3, 3},
      // Every kind of argument; past slot 3 the two-byte forms.
      {ACC_PUBLIC | ACC_NATIVE | 0x0010 /* final */ | 0x0020 /* synchronized */, "(IFJDZ[[Ljava/lang/Object;)[I",
       {42, 27, 36, 33, 24, 5, 21, 7, 25, 8}, INVOKEVIRTUAL, 176, 9, 9},
      {ACC_NATIVE, "(Ljava/util/List;)D", {42, 43}, INVOKEVIRTUAL, 175, 2, 2},
  };
  for (const WrapperCase& c : cases) checkWrapper(c);
}

TEST(NativeWrapper, ArgumentsFromSlot256OnAreLoadedWide) {
  // 255 ints (slots 0 to 254), a long at 255 that reaches into 256, then float, String, double, long[][]
  // at 257, 258, 259 and 261, and 38 ints up to slot 299: 300 slots in all.
  const std::string descriptor =
      "(" + std::string(255, 'I') + "JFLjava/lang/String;D[[J" + std::string(38, 'I') + ")J";
  Bytes loads;
  for (int32_t slot = 0; slot < 255; slot++) {
    if (slot <= 3) {
      loads.push_back(uint8_t(26 + slot));
    } else {
      loads.insert(loads.end(), {21, uint8_t(slot)});
    }
  }
  loads.insert(loads.end(), {22, 255, 196, 23, 1, 1, 196, 25, 1, 2, 196, 24, 1, 3, 196, 25, 1, 5});
  for (int32_t slot = 262; slot < 300; slot++) loads.insert(loads.end(), {196, 21, uint8_t(slot >> 8), uint8_t(slot)});
  checkWrapper({ACC_PUBLIC | ACC_STATIC | ACC_NATIVE, descriptor.c_str(), loads, INVOKESTATIC, 173, 300, 300});
}

TEST(NativeWrapper, ClassesWithoutFramesGetNone) {
  classtest::ClassBuilder builder(49);
  builder.thisClass = builder.classNamed("demo/Old");
  builder.methods.push_back(classtest::ClassBuilder::member(ACC_NATIVE, builder.utf8("run"), builder.utf8("(I)V")));
  const ParsedClass parsed(builder.build());
  createNativeWrapper(*parsed, parsed->getMethods()[0]);
  const ParsedClass reparsed(classtest::writtenClass(*parsed));
  const CodeAttribute* code = reparsed->getMethods()[0]->getCodeAttribute();
  ASSERT_NE(code, nullptr);
  EXPECT_FALSE(code->tracksFrames());
  EXPECT_EQ(code->getAttributes().size, 0);
  EXPECT_EQ(codeOf(*reparsed->getMethods()[0]).size(), 6u);  // ALOAD_0, ILOAD_1, INVOKEVIRTUAL, RETURN
}

TEST(NativeWrapper, RefusesWhatItCannotWrapAndLeavesTheMethodAlone) {
  classtest::ClassBuilder builder;
  builder.thisClass = builder.classNamed("demo/Broken");
  const int32_t codeName = builder.utf8("Code");
  const int32_t run = builder.utf8("run");
  const int32_t voidDescriptor = builder.utf8("()V");
  const std::vector<const char*> invalid = {"(Q)V", "(Ljava/lang/String)V", "([)V", "(L;)V", "(I", "I"};
  for (const char* descriptor : invalid) {
    builder.methods.push_back(classtest::ClassBuilder::member(ACC_NATIVE, run, builder.utf8(descriptor)));
  }
  builder.methods.push_back(classtest::ClassBuilder::member(ACC_PUBLIC, run, voidDescriptor,
                                                            {classtest::ClassBuilder::code(codeName, 0, 1, {177})}));
  builder.methods.push_back(classtest::ClassBuilder::member(0x0400 /* abstract */, run, voidDescriptor));
  // 40000 slots: more than a method's stack can hold.
  const std::string huge = "(" + std::string(20000, 'J') + ")V";
  builder.methods.push_back(classtest::ClassBuilder::member(ACC_STATIC | ACC_NATIVE, run, builder.utf8(huge)));
  const ParsedClass parsed(builder.build());
  const YVector<MethodInfo*>& methods = parsed->getMethods();

  EXPECT_EQ(fatalErrorOf([&] { createNativeWrapper(*parsed, nullptr); }),
            "error at Patchers:483: assertion failed: value is NULL");
  for (int32_t i = 0; i < int32_t(invalid.size()); i++) {
    EXPECT_EQ(fatalErrorOf([&] { createNativeWrapper(*parsed, methods[i]); }),
              std::string("error at Patchers:613: Invalid descriptor: ") + invalid[size_t(i)]);
    EXPECT_TRUE(methods[i]->isNative());
  }
  const int32_t withCode = int32_t(invalid.size());
  EXPECT_EQ(fatalErrorOf([&] { createNativeWrapper(*parsed, methods[withCode]); }),
            "error at Patchers:485: assertion failed");
  EXPECT_EQ(fatalErrorOf([&] { createNativeWrapper(*parsed, methods[withCode + 1]); }),
            "error at Patchers:485: assertion failed");
  EXPECT_EQ(methods.size, withCode + 3);  // no native half was added for any of them
  EXPECT_EQ(failureOf([&] { createNativeWrapper(*parsed, methods[withCode + 2]); }),
            "error at Patchers: assertion failed");
}

}  // namespace
